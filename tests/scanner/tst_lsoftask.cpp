// The scanner with the real lsof, and with a stand-in for what the real one will not do on cue.
#include "AppDelegate.h"
#include "LsofTask.h"
#include "MenuItem.h"
#include "StatusItem.h"

#include <QFile>
#include <QMenu>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

class TestLsofTask : public QObject {
    Q_OBJECT

    QTemporaryDir scratch;

    static QAction *entry(const AppDelegate &d, const QString &title)
    {
        for (QAction *a : d.statusBarMenu->actions()) {
            if (a->menu() && a->text() == title)
                return a;
        }
        return nullptr;
    }

    QStringList lines(const char *name) const
    {
        QFile f(scratch.filePath(QString::fromUtf8(name)));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    void startStandIn(AppDelegate &d, const char *mode)
    {
        qputenv("STAND_IN_MODE", mode);
        d.applicationDidFinishLaunching();
        d.lsofTask->terminate(); // the real one, started by the start-up
        d.lsofTask->setRestartDelays(200, 800);
        d.startLsofTask(QStringLiteral(STAND_IN_LSOF), lsofArguments());
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", scratch.path().toUtf8());
        qputenv("STAND_IN_DIR", scratch.path().toUtf8());
    }

    void init()
    {
        QFile::remove(scratch.filePath(QStringLiteral("starts")));
        QFile::remove(scratch.filePath(QStringLiteral("args")));
    }

    void realLsofFollowsAListeningSocket()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QFile comm(QStringLiteral("/proc/self/comm"));
        QVERIFY(comm.open(QIODevice::ReadOnly));
        const QString title = QStringLiteral("%1 · %2")
                                  .arg(server.serverPort())
                                  .arg(QString::fromUtf8(comm.readAll().trimmed()));

        AppDelegate d;
        d.applicationDidFinishLaunching();
        QTRY_VERIFY_WITH_TIMEOUT(entry(d, title), 15000);
        const QList<QAction *> actions = entry(d, title)->menu()->actions();
        QCOMPARE(MenuItem::tag(actions[0]), qint64(server.serverPort()));
        QCOMPARE(MenuItem::tag(actions[1]), qint64(server.serverPort()));
        QCOMPARE(MenuItem::tag(actions[2]), QCoreApplication::applicationPid());
        QVERIFY(d.statusBarItem->title().toInt() >= 1);

        server.close();
        QTRY_VERIFY_WITH_TIMEOUT(!entry(d, title), 15000);
    }

    void standInGetsTheFifteenArguments()
    {
        AppDelegate d;
        startStandIn(d, "listen");
        QTRY_VERIFY_WITH_TIMEOUT(entry(d, QStringLiteral("83 · x")), 10000);
        QCOMPARE(lines("args"), lsofArguments());
        QCOMPARE(lsofArguments().size(), 15);
    }

    void floodOnStandardErrorStallsNothing()
    {
        AppDelegate d;
        startStandIn(d, "stderr-flood");
        QTRY_VERIFY_WITH_TIMEOUT(entry(d, QStringLiteral("81 · flood")), 15000);
    }

    void childThatEndsIsStartedAgain()
    {
        AppDelegate d;
        startStandIn(d, "exit");
        QTRY_VERIFY_WITH_TIMEOUT(lines("starts").size() >= 3, 10000);
        QVERIFY(d.statusBarItem->toolTip().contains(QStringLiteral("exit status 3")) ||
                entry(d, QStringLiteral("82 · short")));
        // Each run delivered a listing, so the delay never grew.
        QCOMPARE(d.lsofTask->nextRestartDelay(), 400);
    }

    void repeatedFailuresBackOff()
    {
        AppDelegate d;
        startStandIn(d, "exit-silent");
        QTRY_VERIFY_WITH_TIMEOUT(lines("starts").size() >= 3, 10000);
        QTRY_COMPARE(d.lsofTask->nextRestartDelay(), 800);
        QVERIFY(d.statusBarItem->toolTip().contains(QStringLiteral("exit status 4")));
        d.lsofTask->terminate();
        const qsizetype starts = lines("starts").size();
        QTest::qWait(1500);
        QCOMPARE(lines("starts").size(), starts); // stopped means stopped
    }

    void stalledChildIsRestartedAndTheListCleared()
    {
        AppDelegate d;
        d.lsofTask->setStallTimeout(700);
        startStandIn(d, "listen"); // one listing, then silence
        QTRY_VERIFY_WITH_TIMEOUT(entry(d, QStringLiteral("83 · x")), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!entry(d, QStringLiteral("83 · x")), 5000);
        QVERIFY(d.statusBarItem->toolTip().contains(QStringLiteral("the list is out of date")));
        QCOMPARE(d.statusBarItem->title(), QStringLiteral("0"));
        QTRY_VERIFY_WITH_TIMEOUT(lines("starts").size() >= 2, 5000);
    }

    void missingProgramIsReportedAndRetried()
    {
        AppDelegate d;
        d.applicationDidFinishLaunching();
        d.lsofTask->terminate();
        d.startLsofTask(QStringLiteral("/nonexistent/lsof"), lsofArguments());
        QTRY_VERIFY(d.lsofTask->isRestartPending());
        QVERIFY(d.lsofTask->problem().startsWith(QStringLiteral("cannot start /nonexistent/lsof")));
        QVERIFY(d.statusBarItem->toolTip().contains(d.lsofTask->problem()));
        QCOMPARE(d.statusBarMenu->actions().size(), 7); // the fixed menu stands
    }
};

QTEST_MAIN(TestLsofTask)
#include "tst_lsoftask.moc"
