// An AppDelegate whose menu only the test feeds with lsof output.
#pragma once

#include "AppDelegate.h"
#include "LsofTask.h"

#include <QBuffer>
#include <QMenu>

// Starts the delegate, then stops its own lsof so that no real listing interferes.
inline void launch(AppDelegate &d)
{
    d.applicationDidFinishLaunching();
    d.lsofTask->terminate();
}

// One read of the lsof pipe that returns these bytes.
inline void feed(AppDelegate &d, const QByteArray &bytes)
{
    QBuffer readEnd;
    readEnd.setData(bytes);
    readEnd.open(QIODevice::ReadOnly);
    d.handleLsofOutput(readEnd);
}

// The menu's titles in order, "-" for a separator.
inline QStringList titles(const AppDelegate &d)
{
    QStringList result;
    for (const QAction *a : d.statusBarMenu->actions())
        result.append(a->isSeparator() ? QStringLiteral("-") : a->text());
    return result;
}
