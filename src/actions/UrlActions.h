// The two URL items of a process submenu. Both use only the port.
#pragma once

#include <QString>

// "http://<host>:<port>".
QString urlText(const QString &host, qint64 port);

// Opens http://localhost:<port> in the default browser. Returns whether a handler took it.
bool openInBrowser(qint64 port);

// Puts http://<host>:<port> on the clipboard as plain text, and nothing else. The host is the
// one given, else the machine's network address, else localhost.
void copyNetworkURL(qint64 port, const QString &host = {});
