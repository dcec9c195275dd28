// The tray image: the process count on a plate that reads on any panel.
#pragma once

#include <QIcon>
#include <QString>

// White digits on a dark blue plate, "99+" above 99; with warning, a dark "!" on an amber one.
// Each pixel size a panel asks for is drawn for its own grid; the symbol shows beside the plate
// only where there is room for both. An empty count without warning gives the symbol alone.
QIcon countIcon(const QIcon &symbol, const QString &count, bool warning = false);
