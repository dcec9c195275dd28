// How long a new listening socket takes to show in the menu, with each engine: the native one
// reads the kernel's table every second, lsof lists every 3 s. Waits by sleeping in the event
// loop, so that the wait itself costs nothing.
#include "BenchDelegate.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

static bool shows(const AppDelegate &d, quint16 port)
{
    const QString prefix = QString::number(port) + QStringLiteral(" · ");
    const QList<QAction *> items = d.statusMenu()->entries();
    return std::any_of(items.begin(), items.end(),
                       [&](const QAction *a) { return a->text().startsWith(prefix); });
}

// Runs the event loop until the menu shows (or no longer shows) the port; milliseconds taken.
static qint64 waitFor(const AppDelegate &d, quint16 port, bool shown)
{
    QElapsedTimer clock;
    clock.start();
    while (shows(d, port) != shown && clock.elapsed() < 10000) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return clock.elapsed();
}

int main(int argc, char **argv)
{
    QTemporaryDir config;
    useQuietEnvironment(config);
    QApplication app(argc, argv);
    const int runs = argc > 1 ? QByteArray(argv[1]).toInt() : 10;
    std::printf("%-44s %14s %14s\n", "socket to menu entry", "native", "lsof");
    QList<qint64> times[2];
    for (int engine = 0; engine < 2; ++engine) {
        AppDelegate d;
        d.useEngine(engine ? ScanEngine::Lsof : ScanEngine::Native);
        d.applicationDidFinishLaunching();
        waitFor(d, 0, false);
        for (int i = 0; i < runs; ++i) {
            // Start at a random point of the engine's cycle, the event loop running meanwhile.
            QEventLoop pause;
            QTimer::singleShot(QRandomGenerator::global()->bounded(3000), &pause,
                               &QEventLoop::quit);
            pause.exec();
            QTcpServer server;
            server.listen(QHostAddress::LocalHost);
            times[engine].append(waitFor(d, server.serverPort(), true));
            const quint16 port = server.serverPort();
            server.close();
            waitFor(d, port, false);
        }
        std::sort(times[engine].begin(), times[engine].end());
    }
    for (const auto &[name, at] : {std::pair{"  median (ms)", 0.5}, std::pair{"  max (ms)", 1.0}}) {
        const auto pick = [at](const QList<qint64> &t) {
            return t[qMin(t.size() - 1, qsizetype(at * t.size()))];
        };
        std::printf("%-44s %14lld %14lld\n", name, pick(times[0]), pick(times[1]));
    }
    return 0;
}
