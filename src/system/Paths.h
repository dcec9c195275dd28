// Where the programs Ambrel runs and its own files are.
#pragma once

#include <QString>
#include <QUrl>

namespace Platform {

// "/usr/sbin/lsof" where it exists; Debian and most others install it in /usr/bin.
QString lsofLaunchPath();

// A folder only this user may enter, for Ambrel's own sockets: the runtime folder
// (XDG_RUNTIME_DIR) where it is fit, else /tmp/ambrel-<uid>, made with mode 0700. Empty, with
// the reason, when that one is another user's, a link, or open to others.
QString privateFolder(QString *why);

// The installed resources, "<prefix>/share/ambrel/", as a file URL ending in a slash; an empty
// URL when the program does not run from an installed tree.
QUrl resourceURL();

} // namespace Platform
