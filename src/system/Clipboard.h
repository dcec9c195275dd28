// The desktop's clipboard.
#pragma once

#include <QString>

namespace Platform {

// Puts the text on the clipboard as plain text, and nothing else. On X11 that is Qt's
// clipboard. On Wayland a program may only set the clipboard while one of its windows has the
// keyboard focus, which a tray item never has, so there wl-copy (wl-clipboard) takes the text
// and serves it. Returns whether the text got there; a failure leaves one log line.
bool copyText(const QString &text);
// The Wayland way alone, whatever the platform.
bool copyWithWlCopy(const QString &text);

} // namespace Platform
