// The two URL items of a process submenu.
#pragma once

#include <QString>

// "http://<host>:<port>".
QString urlText(const QString &host, qint64 port);

// Opens the URL (what localUrl() gives for the entry) in the default browser. Returns whether a
// handler took it.
bool openInBrowser(const QString &url);
// Opens http://localhost:<port>.
bool openInBrowser(qint64 port);

// Puts the URL (what networkUrl() gives for the entry) on the clipboard as plain text, and
// nothing else.
void copyNetworkURL(const QString &url);
// Puts http://<host>:<port> there; the host is the one given, else the machine's network
// address, else localhost.
void copyNetworkURL(qint64 port, const QString &host = {});
