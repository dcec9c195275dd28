// What each engine costs the machine, with the real ambrel binary and real listening sockets:
// CPU at rest over a window (Ambrel and, for lsof, its child) and the time of `ambrel --list`,
// the native engine beside the lsof engine measured in the same run.
//
// Usage: bench_engines AMBREL [seconds per window]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

// `processes` processes holding `sockets` listening sockets between them, until stdin closes.
const char farmScript[] = R"(import os, socket, sys
procs, sockets = int(sys.argv[1]), int(sys.argv[2])
share = [sockets // procs + (i < sockets % procs) for i in range(procs)]
def hold(n):
    return [socket.create_server(('127.0.0.1', 0)) for _ in range(n)]
r, w = os.pipe()
kids = []
for i in range(1, procs):
    pid = os.fork()
    if pid == 0:
        held = hold(share[i]); os.write(w, b'.'); sys.stdin.read(); os._exit(0)
    kids.append(pid)
held = hold(share[0])
got = 0
while got < procs - 1:
    got += len(os.read(r, procs))
print('ready', flush=True)
sys.stdin.read()
for k in kids: os.kill(k, 9)
for k in kids: os.waitpid(k, 0)
)";

// The CPU time of a process so far, in seconds, to the nanosecond (clock ticks are too coarse
// for a hundredth of a percent); 0 once it is gone. Every thread counts.
double cpuSeconds(qint64 pid)
{
    double total = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks + u'/' + task + QStringLiteral("/schedstat"));
        if (stat.open(QIODevice::ReadOnly))
            total += double(stat.readAll().split(' ').value(0).toLongLong()) / 1e9;
    }
    return total;
}

qint64 childOf(qint64 parent)
{
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        if (text.mid(text.lastIndexOf(')') + 2).split(' ').value(1).toLongLong() == parent)
            return entry.toLongLong();
    }
    return 0;
}

struct Rest {
    double ambrel = 0; // % of one core
    double child = 0;
};

// Ambrel at rest with the engine, after a start-up of 5 s, over `seconds`.
Rest atRest(const QString &ambrel, const char *engine, int seconds)
{
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path());
    QProcess app;
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    app.start(ambrel, {QStringLiteral("--scanner=") + QLatin1String(engine)});
    app.waitForStarted();
    QThread::sleep(5);
    const qint64 child = childOf(app.processId());
    const double a0 = cpuSeconds(app.processId()), c0 = child ? cpuSeconds(child) : 0;
    QThread::sleep(seconds);
    const double a1 = cpuSeconds(app.processId()), c1 = child ? cpuSeconds(child) : 0;
    app.terminate();
    app.waitForFinished();
    return {100 * (a1 - a0) / seconds, 100 * (c1 - c0) / seconds};
}

// The median wall time of `ambrel --list` with the engine, in milliseconds.
double listTime(const QString &ambrel, const char *engine)
{
    QList<qint64> times;
    for (int i = 0; i < 9; ++i) {
        QElapsedTimer clock;
        clock.start();
        QProcess list;
        list.setStandardOutputFile(QProcess::nullDevice());
        list.start(ambrel, {QStringLiteral("--list"),
                            QStringLiteral("--scanner=") + QLatin1String(engine)});
        list.waitForFinished();
        times.append(clock.nsecsElapsed());
    }
    std::sort(times.begin(), times.end());
    return double(times[times.size() / 2]) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s AMBREL [seconds]\n", argv[0]);
        return 2;
    }
    const QString ambrel = QString::fromLocal8Bit(argv[1]);
    const int seconds = argc > 2 ? std::max(5, atoi(argv[2])) : 30;
    std::printf("%-44s %14s %14s %8s\n", "figure", "native", "lsof", "ratio");
    for (const auto &[processes, sockets] :
         {std::pair{10, 10}, std::pair{40, 200}, std::pair{400, 1000}}) {
        QProcess farm;
        farm.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        farm.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral("-c"), QString::fromLatin1(farmScript),
                    QString::number(processes), QString::number(sockets)});
        if (!farm.waitForReadyRead(120000)) {
            std::fprintf(stderr, "the listening processes did not start\n");
            return 1;
        }
        const Rest native = atRest(ambrel, "native", seconds);
        const Rest lsof = atRest(ambrel, "lsof", seconds);
        const double listNative = listTime(ambrel, "native");
        const double listLsof = listTime(ambrel, "lsof");
        const QByteArray at =
            QStringLiteral("%1 sockets, %2 processes").arg(sockets).arg(processes).toUtf8();
        std::printf("%s, at rest over %d s (%% of one core):\n", at.constData(), seconds);
        std::printf("  %-42s %13.4f%% %13.4f%% %7.1fx\n", "Ambrel in total",
                    native.ambrel + native.child, lsof.ambrel + lsof.child,
                    native.ambrel + native.child > 0
                        ? (lsof.ambrel + lsof.child) / (native.ambrel + native.child)
                        : 0);
        std::printf("  %-42s %13.4f%% %13.4f%%\n", "  of which the lsof child", native.child,
                    lsof.child);
        std::printf("  %-42s %12.1f ms %12.1f ms %7.1fx\n", "ambrel --list (median of 9)",
                    listNative, listLsof, listNative > 0 ? listLsof / listNative : 0);
        farm.closeWriteChannel();
        farm.waitForFinished(60000);
    }
    return 0;
}
