#include "Platform.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace Platform {

QString lsofLaunchPath()
{
    static const QString sbin = QStringLiteral("/usr/sbin/lsof");
    return QFileInfo(sbin).isExecutable() ? sbin : QStringLiteral("/usr/bin/lsof");
}

QString shellPath()
{
    return QStringLiteral("/bin/bash");
}

QString defaultRouteInterface(const QByteArray &procNetRoute)
{
    // Columns: Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the default route
    // has destination and mask 0. Of several, the lowest metric wins, as in the kernel.
    QString best;
    qlonglong bestMetric = -1;
    const QList<QByteArray> rows = procNetRoute.split('\n');
    for (qsizetype i = 1; i < rows.size(); ++i) {
        const QList<QByteArray> cols = rows[i].simplified().split(' ');
        if (cols.size() < 8 || cols[1] != "00000000" || cols[7] != "00000000")
            continue;
        bool ok = false;
        const qlonglong flags = cols[3].toLongLong(&ok, 16);
        if (!ok || !(flags & 0x1)) // RTF_UP
            continue;
        const qlonglong metric = cols[6].toLongLong(&ok);
        if (!ok)
            continue;
        if (bestMetric < 0 || metric < bestMetric) {
            best = QString::fromUtf8(cols[0]);
            bestMetric = metric;
        }
    }
    return best;
}

QString networkInterfaceName()
{
    QFile route(QStringLiteral("/proc/net/route"));
    if (!route.open(QIODevice::ReadOnly))
        return QStringLiteral("en0");
    return defaultRouteInterface(route.readAll());
}

void logLine(const QString &text)
{
    static const bool opened = [] {
        openlog(programName, LOG_PID, LOG_USER);
        return true;
    }();
    Q_UNUSED(opened);
    const QByteArray line = text.toUtf8();
    std::fprintf(stderr, "%s[%d]: %s\n", programName, int(getpid()), line.constData());
    std::fflush(stderr);
    syslog(LOG_NOTICE, "%s", line.constData());
}

void printLine(const QString &text)
{
    const QByteArray line = text.toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QUrl resourceURL()
{
    // Installed as <prefix>/bin/ambrel beside <prefix>/share/ambrel.
    const QDir bin(QCoreApplication::applicationDirPath());
    const QString resources = bin.absoluteFilePath(QStringLiteral("../share/ambrel"));
    if (!QFileInfo(resources).isDir())
        return {};
    return QUrl::fromLocalFile(QDir::cleanPath(resources) + QLatin1Char('/'));
}

bool openBundle(const QString &bundleText)
{
    const QUrl bundle(bundleText);
    if (!bundle.isLocalFile())
        return false;
    const QString program =
        QDir(bundle.toLocalFile()).absoluteFilePath(QStringLiteral("bin/ambrel"));
    return QProcess::startDetached(program, {});
}

} // namespace Platform

namespace Platform {

static int signalPipe[2] = {-1, -1};

static void forwardSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[0], &byte, 1);
}

void quitOnTerminationSignals()
{
    if (signalPipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe))
        return;
    auto *notifier =
        new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[1], &byte, 1);
        notifier->setEnabled(false);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &action, nullptr);
}

void endWithParent(QProcess &child)
{
    child.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

std::optional<quint64> processStartTime(qint64 pid)
{
    if (pid <= 0)
        return std::nullopt;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = stat.read(4096);
    // "pid (comm) state ppid ...": the name may hold anything, so count fields after its
    // last ')'. The start time is field 22, the 20th after the name.
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    bool ok = false;
    const quint64 ticks = fields.value(19).toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    return ticks;
}

void notify(const QString &summary, const QString &body)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Ambrel") << uint(0) << QStringLiteral("ambrel") << summary << body
         << QStringList() << QVariantMap() << int(-1);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected())
        bus.asyncCall(call);
}

static const QString statusNotifierWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

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
        connect(dbus, &QDBusServiceWatcher::serviceRegistered, this, [this] {
            const bool wasAvailable = m_dbusHostSeen || x11TrayOwned();
            m_dbusHostSeen = true;
            if (m_dbusHostGone)
                Q_EMIT restarted();
            else if (!wasAvailable)
                Q_EMIT appeared();
            m_dbusHostGone = false;
        });
        connect(dbus, &QDBusServiceWatcher::serviceUnregistered, this,
                [this] { m_dbusHostGone = m_dbusHostSeen; });
        m_dbusHostSeen = dbusHostRegistered();
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
    return m_dbusHostSeen || x11TrayOwned();
}

bool TrayHostWatcher::dbusHostRegistered() const
{
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    return bus && bus->isServiceRegistered(statusNotifierWatcher);
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
