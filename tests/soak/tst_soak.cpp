// Weeks of kills in one run: descriptors, children and the entry list stay where they were after
// the first thousand steps (memory is bench_scanner's). AMBREL_SOAK_FULL=1 runs five times the
// default counts.
#include "AppDelegate.h"
#include "Helpers.h"
#include "Scanner.h"
#include "StatusMenu.h"

#include <QDir>
#include <QEventLoop>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

using namespace Qt::StringLiterals;

// Descriptors, children, zombies among them, menu entries.
static QMap<QByteArray, qint64> usage(const AppDelegate &d)
{
    QMap<QByteArray, qint64> u{
        {"fds", QDir(u"/proc/self/fd"_s)
                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                    .size()},
        {"children", 0},
        {"zombies", 0},
        {"entries", d.statusMenu()->entries().size()}};
    for (const QString &pid : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        // "pid (comm) state ppid ...": the command may hold spaces and parentheses.
        const QByteArray stat = readFile(u"/proc/%1/stat"_s.arg(pid));
        const QList<QByteArray> rest = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (rest.value(1) == QByteArray::number(getpid())) {
            ++u["children"];
            u["zombies"] += rest[0] == "Z";
        }
    }
    return u;
}

class TestSoak : public QObject {
    Q_OBJECT
    QTemporaryDir config;

    // Runs `step` from the event loop, as Ambrel's reads come, so that what it leaves for
    // deletion goes as it would there.
    template <typename Step> void soak(const char *what, int full, Step step)
    {
        const int n = qEnvironmentVariableIntValue("AMBREL_SOAK_FULL") ? full : full / 5;
        AppDelegate d;
        d.applicationDidFinishLaunching();
        d.scanner()->stop();
        QMap<QByteArray, qint64> first, last;
        QEventLoop loop;
        QTimer tick;
        int i = 0;
        connect(&tick, &QTimer::timeout, &loop, [&] {
            if (i == 1000)
                first = usage(d);
            if (i == n || QTest::currentTestFailed()) {
                last = usage(d);
                return loop.quit();
            }
            step(d, i++);
        });
        tick.start(0);
        loop.exec();
        QCOMPARE(i, n);
        for (const auto &[name, value] : last.asKeyValueRange())
            qInfo("%s x%d: %s %lld -> %lld", what, n, name.constData(), first[name], value);
        for (const char *same : {"fds", "children", "entries"})
            QVERIFY2(last[same] == first[same], same);
        QCOMPARE(last["zombies"], 0);
    }

private Q_SLOTS:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", config.path().toUtf8()); }

    // Every listing names a live process again, and every kill ends it.
    void killsOfListedProcesses()
    {
        soak("kills", 10'000, [](AppDelegate &d, int i) {
            const auto p = sleeper();
            d.scanner()->handleLsofOutput(listing({{p->processId(), 3000 + i % 2}}));
            QAction *entry = d.statusMenu()->entries().value(0);
            QVERIFY(entry);
            entry->menu()->actions().constLast()->trigger();
            QVERIFY(endedBy(*p, SIGKILL));
            QVERIFY(d.statusMenu()->entries().isEmpty());
        });
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
