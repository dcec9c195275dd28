// The two URL items of a process submenu. Both read only the port the item carries and leave
// the menu as it is.
#pragma once

#include <QString>

class QAction;

// "http://<host>:<port>".
QString urlText(const QString &host, qint64 port);

// Opens http://localhost:<port> in the default browser.
void openInBrowser(const QAction &sender);

// Puts http://<network address>:<port> on the clipboard as plain text, and nothing else;
// localhost when the machine has no network address.
void copyNetworkURL(const QAction &sender);
