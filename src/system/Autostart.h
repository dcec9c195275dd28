// Launch at login, kept as a freedesktop autostart entry.
#pragma once

#include <QString>

namespace LaunchAtLogin {
// "$XDG_CONFIG_HOME/autostart/ambrel.desktop" (XDG_CONFIG_HOME defaults to ~/.config).
QString entryPath();
// The entry exists, reads as a desktop entry, and neither Hidden=true nor
// X-GNOME-Autostart-enabled=false turns it off.
bool isEnabled();
// Starts the running program at login, or stops doing so. Returns whether that took effect; a
// failure leaves one log line. The user's own keys, groups and comments in the entry stay.
bool setEnabled(bool enabled);
// The same for another program; a path no entry can hold (a control character) is refused.
bool setEnabled(bool enabled, const QString &program);
} // namespace LaunchAtLogin
