// Desktop notifications.
#pragma once

#include <QString>

namespace Platform {

// A desktop notification (org.freedesktop.Notifications), sent without waiting; nothing
// happens where no notification server runs. The body shows as written, also on a server that
// reads bodies as markup.
void notify(const QString &summary, const QString &body);

} // namespace Platform
