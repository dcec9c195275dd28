// An AppDelegate whose menu only the test feeds with lsof output.
#pragma once

#include "AppDelegate.h"
#include "LsofTask.h"

#include <QBuffer>
#include <QMenu>
#include <QTemporaryDir>

// For a program of its own (a benchmark): the offscreen platform, a scratch configuration and
// update checks kept on loopback. Call before the application object exists.
inline void useQuietEnvironment(const QTemporaryDir &config)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("AMBREL_UPDATE_ORIGIN", "http://127.0.0.1:9");
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
}

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
