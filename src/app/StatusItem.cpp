#include "StatusItem.h"

#include "Log.h"
#include "TrayHosts.h"

#include <QCursor>
#include <QFont>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSystemTrayIcon>

StatusBar::StatusBar(QObject *parent)
    : QObject(parent), m_hosts(new Platform::TrayHostWatcher(this))
{}

StatusItem *StatusBar::makeStatusItem(QObject *owner)
{
    auto *item = new StatusItem(owner);
    if (m_hosts->isAvailable())
        item->attach();
    else
        Platform::logLine(QStringLiteral("no system tray yet; the icon appears with one"));
    connect(m_hosts, &Platform::TrayHostWatcher::appeared, item, [item] {
        if (!item->trayIcon())
            item->attach();
    });
    connect(m_hosts, &Platform::TrayHostWatcher::restarted, item, &StatusItem::attach);
    return item;
}

StatusItem::StatusItem(QObject *parent) : QObject(parent)
{}

void StatusItem::attach()
{
    delete m_tray;
    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(m_menu);
    // A left click only reports Trigger; open the same menu a right click opens.
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger && m_menu && !m_menu->isVisible())
            m_menu->popup(QCursor::pos());
    });
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

void StatusItem::setMenu(QMenu *menu)
{
    m_menu = menu;
    if (m_tray)
        m_tray->setContextMenu(menu);
}

QString StatusItem::toolTip() const
{
    QString tip = QStringLiteral("Ambrel");
    if (!m_title.isEmpty()) {
        tip = m_title == QLatin1String("1") ? QStringLiteral("1 listening process")
                                            : m_title + QStringLiteral(" listening processes");
    }
    if (!m_problem.isEmpty())
        tip += QLatin1Char('\n') + m_problem;
    return tip;
}

QIcon StatusItem::renderedIcon() const
{
    if (m_title.isEmpty() || m_image.isNull())
        return m_image;
    // Panels shrink the square icon to 22 or 24 pixels, so the count takes all the height it
    // can and the symbol shrinks to a badge at its right. White with a dark outline reads on
    // light and dark panels alike.
    constexpr int side = 64;
    const int digits = int(m_title.size());
    const int badge = digits <= 1 ? 26 : digits == 2 ? 18 : 13;
    QPixmap canvas(side, side);
    canvas.fill(Qt::transparent);
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    m_image.paint(&p, QRect(side - badge, (side - badge) / 2, badge, badge));

    QFont font;
    font.setBold(true);
    font.setPixelSize(100);
    QPainterPath text;
    text.addText(0, 0, font, m_title);
    const QRectF glyphs = text.boundingRect();
    // Fill the box left of the badge: as tall as it fits, squeezed sideways no more than needed.
    const QRectF box(3, 8, side - badge - 6, side - 16);
    const qreal scale = box.height() / glyphs.height();
    const qreal squeeze = qMin<qreal>(1.0, box.width() / (glyphs.width() * scale));
    QTransform fit;
    fit.translate(box.left() + (box.width() - glyphs.width() * scale * squeeze) / 2, box.top());
    fit.scale(scale * squeeze, scale);
    fit.translate(-glyphs.left(), -glyphs.top());
    const QPainterPath shaped = fit.map(text);
    p.setPen(QPen(QColor(0, 0, 0, 210), 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(shaped);
    p.fillPath(shaped, Qt::white);
    p.end();
    return {canvas};
}

void StatusItem::refresh()
{
    if (!m_tray)
        return;
    m_tray->setIcon(renderedIcon());
    m_tray->setToolTip(toolTip());
    if (!m_image.isNull())
        m_tray->show();
}
