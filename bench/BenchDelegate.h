// An AppDelegate whose menu only the benchmark feeds with lsof output.
#pragma once

#include "AppDelegate.h"
#include "Scanner.h"
#include "StatusMenu.h"

#include <QAction>
#include <QMenu>
#include <QTemporaryDir>

// The offscreen platform, a scratch configuration and update checks kept on loopback. Call
// before the application object exists.
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
    d.scanner()->stop();
}

// One read of the lsof pipe that returns these bytes.
inline void feed(AppDelegate &d, const QByteArray &bytes)
{
    d.scanner()->handleLsofOutput(bytes);
}
