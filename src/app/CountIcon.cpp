#include "CountIcon.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <cmath>

namespace {

// Panels ask for 16 to 24 px, doubled on scaled screens; the about box and hosts that take the
// biggest one get 64.
constexpr int sides[] = {16, 22, 24, 32, 44, 48, 64};

QString shownText(const QString &count, bool warning)
{
    if (warning)
        return QStringLiteral("!");
    bool number = false;
    const qulonglong n = count.toULongLong(&number);
    return number && n > 99 ? QStringLiteral("99+") : count.left(3);
}

QPixmap draw(const QIcon &symbol, const QString &text, bool warning, int side)
{
    QPixmap canvas(side, side);
    canvas.fill(Qt::transparent);
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);

    // Only the biggest size has room for the symbol beside digits that still read when a host
    // scales it down; below that the digits take the whole square.
    const auto glyphs = text.size();
    const bool badge = !symbol.isNull() && glyphs <= 2 && side >= 64;
    QRectF plate(0, 0, side, side);
    if (badge) {
        const int symbolSide = int(std::lround(side * 0.7));
        symbol.paint(&p, QRect(0, 0, symbolSide, symbolSide));
        const qreal height = std::round(side * 0.6);
        const qreal width = glyphs == 1 ? height : side;
        plate = QRectF(side - width, side - height, width, height);
    }
    const qreal radius = plate.height() * 0.22;
    p.setPen(Qt::NoPen);
    p.setBrush(warning ? QColor(0xff, 0xb0, 0x20) : QColor(0x1a, 0x47, 0x94));
    p.drawRoundedRect(plate, radius, radius);

    QFont font;
    font.setBold(true);
    font.setPixelSize(100);
    QPainterPath path;
    path.addText(0, 0, font, text);
    const QRectF glyphBox = path.boundingRect();
    // As tall as the plate allows; squeezed sideways to fit, and shorter where that would
    // squeeze the digits out of shape. Whole-pixel height and top keep the edges sharp.
    const qreal padX = std::max(1.0, plate.width() * 0.08);
    const qreal room = plate.width() - 2 * padX;
    qreal sy = plate.height() * 0.68 / glyphBox.height();
    qreal sx = std::min(sy, room / glyphBox.width());
    sy = std::min(sy, sx / 0.62);
    const qreal height = std::max(1.0, std::round(glyphBox.height() * sy));
    sy = height / glyphBox.height();
    const qreal top = std::round(plate.center().y() - height / 2);
    const qreal left = plate.center().x() - glyphBox.width() * sx / 2;
    QTransform fit;
    fit.translate(left, top);
    fit.scale(sx, sy);
    fit.translate(-glyphBox.left(), -glyphBox.top());
    const QColor ink = warning ? QColor(0x1c, 0x1c, 0x1c) : QColor(Qt::white);
    // Squeezed stems grow thin; a hairline of the same ink gives digits their weight back. It
    // would close the gap in "!".
    if (!warning)
        p.setPen(QPen(ink, side / 24.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(ink);
    p.drawPath(fit.map(path));
    return canvas;
}

} // namespace

QIcon countIcon(const QIcon &symbol, const QString &count, bool warning)
{
    const QString text = shownText(count, warning);
    if (text.isEmpty())
        return symbol;
    QIcon icon;
    for (int side : sides)
        icon.addPixmap(draw(symbol, text, warning, side));
    return icon;
}
