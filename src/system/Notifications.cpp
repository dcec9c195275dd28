#include "Notifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace Platform {

void notify(const QString &summary, const QString &body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    const auto method = [](const QString &name) {
        return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                              QStringLiteral("/org/freedesktop/Notifications"),
                                              QStringLiteral("org.freedesktop.Notifications"),
                                              name);
    };
    // A server with "body-markup" reads the body as markup: text from a process, the system or
    // the network must reach it escaped, to show as written. The answer is awaited off the
    // caller's path.
    auto *watcher =
        new QDBusPendingCallWatcher(bus.asyncCall(method(QStringLiteral("GetCapabilities")), 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [bus, method, summary, body](QDBusPendingCallWatcher *answer) {
                         answer->deleteLater();
                         const QDBusPendingReply<QStringList> capabilities = *answer;
                         const bool markup =
                             capabilities.isValid() &&
                             capabilities.value().contains(QStringLiteral("body-markup"));
                         QDBusMessage call = method(QStringLiteral("Notify"));
                         call << QStringLiteral("Ambrel") << uint(0) << QStringLiteral("ambrel")
                              << summary << (markup ? body.toHtmlEscaped() : body) << QStringList()
                              << QVariantMap() << int(-1);
                         QDBusConnection(bus).send(call);
                     });
}

} // namespace Platform
