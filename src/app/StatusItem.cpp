#include "StatusItem.h"

#include <QCursor>
#include <QFont>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSystemTrayIcon>

StatusItem *StatusBar::makeStatusItem(QObject *owner)
{
    return new StatusItem(owner);
}

StatusItem::StatusItem(QObject *parent) : QObject(parent), m_tray(new QSystemTrayIcon(this))
{
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
    // The count stands left of the symbol, large enough to read once the host shrinks the
    // square icon to panel size; an outline keeps it legible on light and dark panels.
    constexpr int side = 64;
    QPixmap canvas(side, side);
    canvas.fill(Qt::transparent);
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    const int symbol = m_title.size() > 1 ? side / 2 : side * 5 / 8;
    m_image.paint(&p, QRect(side - symbol, (side - symbol) / 2, symbol, symbol));
    QFont font;
    font.setBold(true);
    font.setPixelSize(m_title.size() > 2 ? 26 : 40);
    QPainterPath text;
    const QRect box(0, 0, side - symbol + (m_title.size() > 1 ? 8 : 0), side);
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(m_title);
    text.addText(qMax(0, (box.width() - width) / 2), (side + metrics.capHeight()) / 2, font,
                 m_title);
    p.setPen(QPen(QColor(0, 0, 0, 200), 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(text);
    p.fillPath(text, Qt::white);
    p.end();
    return QIcon(canvas);
}

void StatusItem::refresh()
{
    m_tray->setIcon(renderedIcon());
    m_tray->setToolTip(toolTip());
    if (!m_image.isNull())
        m_tray->show();
}
