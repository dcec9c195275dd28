// Desktop notifications.
#pragma once

#include <QString>

namespace Platform {

// A desktop notification (org.freedesktop.Notifications), sent without waiting; nothing
// happens where no notification server runs.
void notify(const QString &summary, const QString &body);

} // namespace Platform
