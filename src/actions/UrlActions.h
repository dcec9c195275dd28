// The two URL items of a process submenu. Both use only the port.
#pragma once

#include <QString>

// "http://<host>:<port>".
QString urlText(const QString &host, qint64 port);

// Opens http://localhost:<port> in the default browser. Returns whether a handler took it.
bool openInBrowser(qint64 port);

// Puts http://<network address>:<port> on the clipboard as plain text, and nothing else;
// localhost when the machine has no network address.
void copyNetworkURL(qint64 port);
