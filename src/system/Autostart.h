// Launch at login, kept as a freedesktop autostart entry.
#pragma once

#include <QString>

namespace LaunchAtLogin {
// "$XDG_CONFIG_HOME/autostart/ambrel.desktop" (XDG_CONFIG_HOME defaults to ~/.config).
QString entryPath();
// The entry exists and is not hidden.
bool isEnabled();
// Writes the entry (Exec= the running program) or removes it. Returns whether that took
// effect; a failure leaves one log line.
bool setEnabled(bool enabled);
} // namespace LaunchAtLogin
