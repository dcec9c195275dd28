#include "TrayHosts.h"

#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

#include <xcb/xcb.h>

namespace Platform {

static const QString statusNotifierWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
static const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");

// Catches the MANAGER message with which an XEmbed tray announces itself on the root window.
struct TrayHostWatcher::X11Tray : QAbstractNativeEventFilter {
    TrayHostWatcher *watcher;
    xcb_connection_t *connection;
    xcb_window_t root;
    xcb_atom_t selection;
    xcb_atom_t manager;

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override
    {
        if (type != "xcb_generic_event_t")
            return false;
        const auto *event = static_cast<const xcb_generic_event_t *>(message);
        if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
            return false;
        const auto *client = static_cast<const xcb_client_message_event_t *>(message);
        if (client->type == manager && client->data.data32[1] == selection) {
            QMetaObject::invokeMethod(watcher, &TrayHostWatcher::appeared, Qt::QueuedConnection);
        }
        return false;
    }

    static xcb_atom_t atom(xcb_connection_t *c, const QByteArray &name)
    {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.constData()), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return result;
    }
};

TrayHostWatcher::TrayHostWatcher(QObject *parent) : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        auto *dbus = new QDBusServiceWatcher(statusNotifierWatcher, bus,
                                             QDBusServiceWatcher::WatchForRegistration |
                                                 QDBusServiceWatcher::WatchForUnregistration,
                                             this);
        connect(dbus, &QDBusServiceWatcher::serviceRegistered, this,
                &TrayHostWatcher::checkDBusHost);
        connect(dbus, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
            m_dbusHostGone = m_dbusHost || m_dbusHostGone;
            m_dbusHost = false;
        });
        // A panel names its watcher a moment before its host registers there, and Qt takes
        // the tray for a D-Bus one only once a host has: wait for the host.
        bus.connect(statusNotifierWatcher, watcherPath, statusNotifierWatcher,
                    QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(checkDBusHost()));
        m_dbusHost = dbusHostRegistered();
    }

    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (x11 && x11->connection()) {
        m_x11 = new X11Tray;
        m_x11->watcher = this;
        m_x11->connection = x11->connection();
        xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_x11->connection)).data;
        m_x11->root = screen->root;
        m_x11->selection = X11Tray::atom(m_x11->connection, "_NET_SYSTEM_TRAY_S0");
        m_x11->manager = X11Tray::atom(m_x11->connection, "MANAGER");
        // A tray announces itself to StructureNotify listeners of the root window; add that
        // to whatever Qt already listens for there.
        xcb_get_window_attributes_reply_t *attributes = xcb_get_window_attributes_reply(
            m_x11->connection, xcb_get_window_attributes(m_x11->connection, m_x11->root), nullptr);
        if (attributes) {
            const uint32_t mask = attributes->your_event_mask | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            xcb_change_window_attributes(m_x11->connection, m_x11->root, XCB_CW_EVENT_MASK, &mask);
            xcb_flush(m_x11->connection);
            free(attributes);
        }
        qGuiApp->installNativeEventFilter(m_x11);
    }
}

TrayHostWatcher::~TrayHostWatcher()
{
    if (m_x11 && qGuiApp)
        qGuiApp->removeNativeEventFilter(m_x11);
    delete m_x11;
}

bool TrayHostWatcher::isAvailable() const
{
    return m_dbusHost || x11TrayOwned();
}

void TrayHostWatcher::checkDBusHost()
{
    if (m_dbusHost || !dbusHostRegistered())
        return;
    const bool wasAvailable = isAvailable();
    m_dbusHost = true;
    if (m_dbusHostGone)
        Q_EMIT restarted();
    else if (!wasAvailable)
        Q_EMIT appeared();
    m_dbusHostGone = false;
}

bool TrayHostWatcher::dbusHostRegistered() const
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        statusNotifierWatcher, watcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << statusNotifierWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

bool TrayHostWatcher::x11TrayOwned() const
{
    if (!m_x11)
        return false;
    xcb_get_selection_owner_reply_t *reply = xcb_get_selection_owner_reply(
        m_x11->connection, xcb_get_selection_owner(m_x11->connection, m_x11->selection), nullptr);
    const bool owned = reply && reply->owner != XCB_NONE;
    free(reply);
    return owned;
}

} // namespace Platform
