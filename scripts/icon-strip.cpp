// Draws docs/icon-strip.png: the tray image at the sizes panels use, on a light and a dark
// panel, at device pixel ratio 1 and 2.
//   cmake --build build --target icon-strip && build/bin/icon-strip docs/icon-strip.png
#include "CountIcon.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QIcon symbol(QStringLiteral(AMBREL_SOURCE_DIR "/resources/menuTemplateInverted.svg"));
    const int sizes[] = {16, 22, 24, 32, 48};
    const QString counts[] = {QStringLiteral("1"), QStringLiteral("7"), QStringLiteral("42"),
                              QStringLiteral("108"), QString()};
    const QColor panels[] = {QColor(0xe8, 0xe8, 0xe8), QColor(0x2a, 0x2a, 0x2e)};
    constexpr int gap = 8, row = (16 + 22 + 24 + 32 + 48) * 2 + 6 * gap;
    QImage strip(gap + 5 * row, gap + 4 * (2 * 48 + gap), QImage::Format_ARGB32);
    strip.fill(Qt::white);
    QPainter p(&strip);
    int y = gap;
    for (const QColor &panel : panels) {
        for (int ratio : {1, 2}) {
            p.fillRect(0, y - gap / 2, strip.width(), 48 * ratio + gap, panel);
            int x = gap;
            for (const QString &count : counts) {
                const QIcon icon = countIcon(symbol, count, count.isEmpty());
                for (int size : sizes) {
                    const QPixmap pixmap = icon.pixmap(QSize(size * ratio, size * ratio));
                    p.drawPixmap(x, y + (48 * ratio - pixmap.height()) / 2, pixmap);
                    x += (size == 48 ? 48 * ratio : size * ratio) + gap;
                }
                x += gap;
            }
            y += 48 * ratio + gap;
        }
    }
    p.end();
    return strip.copy(0, 0, strip.width(), y).save(QString::fromLocal8Bit(argv[argc - 1])) ? 0 : 1;
}
