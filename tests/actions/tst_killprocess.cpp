// "Kill Process" chosen in the real status menu, against real processes.
#include "../FedDelegate.h"
#include "LsofTask.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QMenu>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestKillProcess : public QObject {
    Q_OBJECT

    QTemporaryDir config;

    static QAction *killItem(const AppDelegate &d, int index)
    {
        return d.statusBarMenu->actions().at(index)->menu()->actions().at(2);
    }

    static void startSleeper(QProcess &p)
    {
        p.start(QStringLiteral("sleep"), {QStringLiteral("1000")});
        QVERIFY(p.waitForStarted());
    }

private Q_SLOTS:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", config.path().toUtf8()); }

    void killEndsTheProcessAndTakesOutOnlyItsEntry()
    {
        QProcess victim;
        startSleeper(victim);
        AppDelegate d;
        launch(d);
        feed(d, "p1\nca\nn*:1001\np" + QByteArray::number(victim.processId()) +
                    "\ncvictim\nn*:1002\np3\ncc\nn*:1003\nm\n");
        QStringList expected = titles(d);
        QCOMPARE(expected[2], QStringLiteral("1002 · victim"));

        QElapsedTimer clock;
        clock.start();
        killItem(d, 2)->trigger();
        const qint64 ms = clock.elapsed();
        qInfo("choice to entry removed: %lld ms", ms);

        expected.removeAt(2);
        QCOMPARE(titles(d), expected);
        QVERIFY(victim.waitForFinished(5000));
        QCOMPARE(victim.exitStatus(), QProcess::CrashExit);
        QCOMPARE(victim.exitCode(), 9); // SIGKILL

        // The next listing without it rebuilds without trying to take it out again.
        feed(d, "p1\nca\nn*:1001\np3\ncc\nn*:1003\nm\n");
        QCOMPARE(titles(d), expected);
        QCOMPARE(d.processEntries.size(), 2);
    }

    void processAlreadyGoneStillLeavesTheMenu()
    {
        QProcess gone;
        gone.start(QStringLiteral("sleep"), {QStringLiteral("0.1")});
        QVERIFY(gone.waitForStarted());
        const qint64 pid = gone.processId();
        QVERIFY(gone.waitForFinished());
        AppDelegate d;
        launch(d);
        feed(d, "p" + QByteArray::number(pid) + "\ncgone\nn*:1002\nm\n");
        QCOMPARE(d.statusBarMenu->actions().size(), 8);
        killItem(d, 1)->trigger();
        QCOMPARE(d.statusBarMenu->actions().size(), 7);
    }

    void secondChoiceOfAGoneEntryChangesNothing()
    {
        QProcess victim;
        startSleeper(victim);
        AppDelegate d;
        launch(d);
        feed(d, "p" + QByteArray::number(victim.processId()) + "\ncv\nn*:1002\nm\n");
        QAction *item = killItem(d, 1);
        item->trigger();
        const QStringList after = titles(d);
        item->trigger(); // its entry has left the menu already
        QCOMPARE(titles(d), after);
    }

    void tagsThatNameGroupsSignalNothing()
    {
        // Our own process group holds this test and its child: kill -9 0 would end both.
        QProcess survivor;
        startSleeper(survivor);
        AppDelegate d;
        launch(d);
        feed(d, "p" + QByteArray::number(survivor.processId()) + "\ncs\nn*:1002\nm\n");
        const QStringList before = titles(d);
        for (qint64 tag : {qint64(0), qint64(-1)}) {
            QAction *item = killItem(d, 1);
            item->setData(QVariant::fromValue(tag));
            item->trigger();
            QCOMPARE(titles(d), before);
        }
        QVERIFY(!survivor.waitForFinished(300));
        survivor.kill();
        survivor.waitForFinished();
    }
};

QTEST_MAIN(TestKillProcess)
#include "tst_killprocess.moc"
