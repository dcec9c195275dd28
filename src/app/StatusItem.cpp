#include "StatusItem.h"

#include "CountIcon.h"
#include "Log.h"
#include "Notifications.h"
#include "TrayHosts.h"

#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTextDocument>
#include <QTimer>

StatusBar::StatusBar(QObject *parent)
    : QObject(parent), m_hosts(new Platform::TrayHostWatcher(this))
{}

StatusItem *StatusBar::makeStatusItem(QObject *owner)
{
    auto *item = new StatusItem(owner);
    // Qt chooses between a D-Bus item and an XEmbed icon once, for its first tray icon, by
    // whether a StatusNotifierItem host is there; every later icon is of the same kind.
    const auto attach = [this, item] {
        if (!m_dbusItems)
            m_dbusItems = m_hosts->hasDBusHost();
        item->attach(*m_dbusItems);
    };
    if (m_hosts->isAvailable()) {
        attach();
    } else {
        Platform::logLine(QStringLiteral("no system tray yet; the icon appears with one"));
        // Stock GNOME has no tray: say so once, where the user will see it, and keep waiting.
        QTimer::singleShot(10000, item, [item] {
            if (item->trayIcon())
                return;
            const QString how = QStringLiteral(
                "Ambrel shows its icon in a system tray, and this desktop has none running. On "
                "GNOME, install and enable the AppIndicator extension "
                "(gnome-shell-extension-appindicator); the icon appears as soon as a tray does.");
            Platform::logLine(how);
            Platform::notify(QStringLiteral("Ambrel needs a system tray"), how);
        });
    }
    connect(m_hosts, &Platform::TrayHostWatcher::appeared, item, [item, attach] {
        if (!item->trayIcon())
            attach();
    });
    connect(m_hosts, &Platform::TrayHostWatcher::restarted, item, attach);
    return item;
}

StatusItem::StatusItem(QObject *parent) : QObject(parent)
{}

void StatusItem::attach(bool dbusItem)
{
    delete m_tray;
    m_dbusItem = dbusItem;
    Q_EMIT attached(dbusItem);
    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(m_menu);
    // An XEmbed tray only reports a left click: open the menu a right click opens. A
    // StatusNotifierItem host draws our exported menu itself on a right click; a menu we popped
    // up on its left click (Activate) would be a second, unanchored window, on Wayland one that
    // fills the workspace. Qt cannot flag the item as menu-only, so a left click there does
    // nothing.
    if (!dbusItem) {
        connect(m_tray, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason r) {
                    if (r == QSystemTrayIcon::Trigger && m_menu && !m_menu->isVisible())
                        m_menu->popup(QCursor::pos());
                });
    }
    refresh();
}

void StatusItem::setImage(const QIcon &image)
{
    m_image = image;
    refresh();
}

void StatusItem::setTitle(const QString &title)
{
    if (title == m_title)
        return;
    m_title = title;
    refresh();
}

void StatusItem::setProblem(const QString &problem)
{
    if (problem == m_problem)
        return;
    m_problem = problem;
    refresh();
}

void StatusItem::setNotice(const QString &notice)
{
    if (notice == m_notice)
        return;
    m_notice = notice;
    refresh();
}

void StatusItem::setMenu(QMenu *menu)
{
    m_menu = menu;
    if (m_tray)
        m_tray->setContextMenu(menu);
}

QString StatusItem::toolTip() const
{
    if (!m_problem.isEmpty())
        return m_problem;
    QString tip = QStringLiteral("Ambrel");
    if (!m_title.isEmpty()) {
        tip = m_title == QLatin1String("1") ? QStringLiteral("1 listening process")
                                            : m_title + QStringLiteral(" listening processes");
    }
    if (!m_notice.isEmpty())
        tip += u'\n' + m_notice;
    return tip;
}

QIcon StatusItem::renderedIcon() const
{
    if (m_image.isNull())
        return m_image;
    return countIcon(m_image, m_title, !m_problem.isEmpty());
}

void StatusItem::refresh()
{
    if (!m_tray)
        return;
    m_tray->setIcon(renderedIcon());
    // The reason may quote a child's words; Qt would render markup in them as rich text.
    const QString tip = toolTip();
    m_tray->setToolTip(Qt::mightBeRichText(tip) ? Qt::convertFromPlainText(tip) : tip);
    if (!m_image.isNull())
        m_tray->show();
}
