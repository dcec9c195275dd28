// "Kill Process" chosen in the real status menu, against real processes.
#include "../FdCapture.h"
#include "../FedDelegate.h"
#include "LsofTask.h"
#include "MenuItem.h"
#include "StatusItem.h"

#include <QMenu>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <unistd.h>

class TestKillProcess : public QObject {
    Q_OBJECT

    QTemporaryDir config;

    static QAction *entry(const AppDelegate &d, qint64 port)
    {
        const QString prefix = QString::number(port) + QStringLiteral(" · ");
        for (QAction *a : d.statusBarMenu->actions()) {
            if (a->menu() && a->text().startsWith(prefix))
                return a;
        }
        return nullptr;
    }

    static QAction *killItem(const AppDelegate &d, qint64 port)
    {
        QAction *e = entry(d, port);
        return e ? e->menu()->actions().at(2) : nullptr;
    }

    static std::unique_ptr<QProcess> sleeper()
    {
        auto p = std::make_unique<QProcess>();
        p->start(QStringLiteral("sleep"), {QStringLiteral("1000")});
        p->waitForStarted();
        return p;
    }

    // A listing of (pid, port) pairs, the command named after the port.
    static QByteArray listing(const QList<std::pair<qint64, int>> &processes)
    {
        QByteArray bytes;
        for (const auto &[pid, port] : processes)
            bytes += "p" + QByteArray::number(pid) + "\ncp" + QByteArray::number(port) +
                     "\nn*:" + QByteArray::number(port) + "\n";
        return bytes + "m\n";
    }

    static bool killedBySigkill(QProcess &p)
    {
        return p.waitForFinished(5000) && p.exitStatus() == QProcess::CrashExit &&
               p.exitCode() == 9;
    }

private Q_SLOTS:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", config.path().toUtf8()); }

    // Listings that arrive while the submenu is open change nothing on screen; its Kill item
    // kills the process it was opened for, and the newest listing shows once the menu closes.
    void openSubmenuKeepsItsProcess_data()
    {
        QTest::addColumn<int>("change");
        QTest::newRow("a process is added") << 0;
        QTest::newRow("another is removed") << 1;
        QTest::newRow("its place goes to another process") << 2;
    }

    void openSubmenuKeepsItsProcess()
    {
        QFETCH(int, change);
        const auto a = sleeper(), b = sleeper(), c = sleeper();
        const qint64 killed = a->processId();
        AppDelegate d;
        launch(d);
        feed(d, listing({{a->processId(), 1001}, {b->processId(), 1002}}));

        QMenu &menu = *d.statusBarMenu;
        menu.popup(QPoint(10, 10));
        QVERIFY(QTest::qWaitForWindowExposed(&menu));
        menu.setActiveAction(entry(d, 1001));
        QTest::keyClick(&menu, Qt::Key_Right);
        QMenu *submenu = entry(d, 1001)->menu();
        QTRY_VERIFY(submenu->isVisible());
        const QStringList onScreen = titles(d);

        const QList<std::pair<qint64, int>> newest[] = {
            {{c->processId(), 1003}, {a->processId(), 1001}, {b->processId(), 1002}},
            {{a->processId(), 1001}},
            {{c->processId(), 1001}, {b->processId(), 1002}},
        };
        feed(d, listing({{b->processId(), 1002}})); // held, then replaced by the newest
        feed(d, listing(newest[change]));
        QCOMPARE(titles(d), onScreen);
        QCOMPARE(submenu->actions().at(2)->text(),
                 QStringLiteral("Kill Process (id %1)").arg(a->processId()));

        submenu->setActiveAction(submenu->actions().at(2));
        QTest::keyClick(submenu, Qt::Key_Return);
        QVERIFY(killedBySigkill(*a));
        QVERIFY(!b->waitForFinished(200) && !c->waitForFinished(0));

        // The newest listing, without the process just killed, even where it still named it.
        QTRY_VERIFY(!d.isMenuOpen());
        QList<std::pair<qint64, int>> expected = newest[change];
        expected.removeIf([&](const auto &p) { return p.first == killed; });
        AppDelegate fresh;
        launch(fresh);
        feed(fresh, listing(expected));
        QCOMPARE(titles(d), titles(fresh));
        QCOMPARE(d.statusBarItem->title(), QString::number(expected.size()));
    }

    // The pid must still name the process its entry was made for.
    void goneOrReusedIdSignalsNothing_data()
    {
        QTest::addColumn<bool>("ended");
        QTest::newRow("the process ended") << true;
        QTest::newRow("the id is another process's now") << false;
    }

    void goneOrReusedIdSignalsNothing()
    {
        QFETCH(bool, ended);
        const auto p = sleeper();
        AppDelegate d;
        launch(d);
        feed(d, listing({{p->processId(), 1001}, {1, 1002}}));
        if (ended) {
            p->kill();
            QVERIFY(p->waitForFinished());
        } else {
            // As if the listed process had started a moment earlier than this one.
            entry(d, 1001)->setProperty("ambrelStartTime",
                                        entryProcess(entry(d, 1001)).startTime - 1);
        }
        FdCapture err(STDERR_FILENO);
        killItem(d, 1001)->trigger();
        const QByteArray log = err.release();
        QCOMPARE(log.count('\n'), 1);
        QVERIFY2(log.contains(ended ? "it has ended" : "the id now belongs to another process"),
                 log.constData());
        QVERIFY(!entry(d, 1001) && entry(d, 1002));
        if (!ended)
            QVERIFY(!p->waitForFinished(300));
    }

    void tagsThatNameGroupsSignalNothing()
    {
        // Our own process group holds this test and its child: kill -9 0 would end both.
        const auto survivor = sleeper();
        AppDelegate d;
        launch(d);
        feed(d, listing({{survivor->processId(), 1002}}));
        const QStringList before = titles(d);
        for (qint64 tag : {qint64(0), qint64(-1)}) {
            killItem(d, 1002)->setData(QVariant::fromValue(tag));
            killItem(d, 1002)->trigger();
            QCOMPARE(titles(d), before);
        }
        QVERIFY(!survivor->waitForFinished(300));
    }

    // A kill the kernel refuses keeps the entry and says why, until a kill succeeds.
    void refusedKillKeepsItsEntry()
    {
        const auto root = sleeper(); // ours; as root we then act as nobody
        const bool asNobody = ::geteuid() == 0;
        const qint64 target = asNobody ? root->processId() : 1;
        AppDelegate d;
        launch(d);
        feed(d, listing({{target, 1001}}));
        if (asNobody)
            QCOMPARE(::setresuid(65534, 65534, 0), 0);
        FdCapture err(STDERR_FILENO);
        killItem(d, 1001)->trigger();
        const QByteArray log = err.release();
        if (asNobody)
            QCOMPARE(::setresuid(0, 0, 0), 0);
        QVERIFY(entry(d, 1001));
        const QString why = d.statusBarItem->toolTip();
        QVERIFY2(why.contains(QStringLiteral("Could not kill process %1: ").arg(target)) &&
                     why.contains(QStringLiteral("Operation not permitted")),
                 qPrintable(why));
        QCOMPARE(log.count('\n'), 1);
        QVERIFY(!root->waitForFinished(200));

        if (!asNobody)
            return;
        killItem(d, 1001)->trigger();
        QVERIFY(killedBySigkill(*root));
        QVERIFY(!entry(d, 1001));
        QVERIFY(!d.statusBarItem->toolTip().contains(QStringLiteral("Could not kill")));
    }
};

QTEST_MAIN(TestKillProcess)
#include "tst_killprocess.moc"
