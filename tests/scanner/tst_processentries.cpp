// The lsof output handler against the real status menu.
#include "../FedDelegate.h"
#include "LsofTask.h"
#include "MenuItem.h"
#include "ProcessEntries.h"
#include "StatusItem.h"

#include "../FdCapture.h"

#include <QBuffer>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>

class TestProcessEntries : public QObject {
    Q_OBJECT

    QTemporaryDir config;

    static QStringList fixed(const QStringList &entries)
    {
        return QStringList{QStringLiteral("Listening Processes")} + entries +
               QStringList{QStringLiteral("-"),
                           QStringLiteral("Preferences"),
                           QStringLiteral("Open at Login"),
                           QStringLiteral("About Ambrel"),
                           QStringLiteral("-"),
                           QStringLiteral("Quit")};
    }

private Q_SLOTS:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", config.path().toUtf8()); }

    void entriesTagsAndTitle()
    {
        AppDelegate d;
        launch(d);
        feed(d, "p10\ncA\nn127.0.0.1:5000\nn[::1]:5000\np20\ncB\nn*:80\nm\n");
        QCOMPARE(titles(d), fixed({QStringLiteral("80 · B"), QStringLiteral("5000 · A")}));
        QCOMPARE(d.statusBarItem->title(), QStringLiteral("2"));
        QCOMPARE(d.statusBarItem->toolTip(), QStringLiteral("2 listening processes"));

        const QList<QAction *> items = d.statusBarMenu->actions();
        QMenu *submenu = items[1]->menu();
        QVERIFY(submenu);
        QCOMPARE(submenu->parentWidget(), d.statusBarMenu.get());
        const QList<QAction *> actions = submenu->actions();
        QCOMPARE(actions.size(), 3);
        const struct {
            const char *title, *action;
            qint64 tag;
        } expected[] = {{"Open in Browser", "openURL:", 80},
                        {"Copy Network URL", "copyURL:", 80},
                        {"Kill Process (id 20)", "killProcess:", 20}};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(actions[i]->text(), QString::fromUtf8(expected[i].title));
            QCOMPARE(MenuItem::actionName(actions[i]), QString::fromUtf8(expected[i].action));
            QCOMPARE(MenuItem::tag(actions[i]), expected[i].tag);
            QVERIFY(actions[i]->isEnabled() && !actions[i]->isCheckable());
        }
        QCOMPARE(MenuItem::tag(items[2]->menu()->actions()[2]), qint64(10));
        QCOMPARE(d.lsof.size(), 7);
    }

    void identicalListingChangesNothing()
    {
        AppDelegate d;
        launch(d);
        const QByteArray listing = "p10\ncA\nn*:5000\nm\n";
        feed(d, listing);
        const QList<QAction *> before = d.statusBarMenu->actions();
        d.statusBarItem->setTitle(QStringLiteral("untouched"));
        feed(d, listing);
        feed(d, "\n" + listing); // the same lines once trimmed
        QCOMPARE(d.statusBarMenu->actions(), before);
        QCOMPARE(d.statusBarItem->title(), QStringLiteral("untouched"));
    }

    void nextListingReplacesEntriesWithoutDuplicates()
    {
        AppDelegate d;
        launch(d);
        feed(d, "p10\ncA\nn*:5000\np20\ncB\nn*:80\nm\n");
        feed(d, "p30\ncC\nn*:8080\nm\n");
        QCOMPARE(titles(d), fixed({QStringLiteral("8080 · C")}));
        QCOMPARE(d.processEntries.size(), 1);
        feed(d, "m\n");
        QCOMPARE(titles(d), fixed({}));
        QCOMPARE(d.statusBarItem->title(), QStringLiteral("0"));
        QVERIFY(d.processEntries.isEmpty());
    }

    void listingSplitAtEveryOffsetRebuildsOnceAndWhole()
    {
        const QByteArray stream = "p10\ncA\nn*:5000\np20\ncB\nn*:80\nm\n";
        const QStringList whole = fixed({QStringLiteral("80 · B"), QStringLiteral("5000 · A")});
        for (qsizetype cut = 1; cut < stream.size(); ++cut) {
            AppDelegate d;
            launch(d);
            feed(d, stream.first(cut));
            QCOMPARE(titles(d), fixed({}));
            QVERIFY(d.statusBarItem->title().isEmpty());
            feed(d, stream.sliced(cut));
            QCOMPARE(titles(d), whole);
            QCOMPARE(d.statusBarItem->title(), QStringLiteral("2"));
        }
    }

    void entryTakenOutBeforehandIsSkipped()
    {
        AppDelegate d;
        launch(d);
        feed(d, "p10\ncA\nn*:5000\np20\ncB\nn*:80\nm\n");
        d.statusBarMenu->removeAction(d.statusBarMenu->actions()[1]); // as a kill does
        feed(d, "p10\ncA\nn*:5000\np30\ncC\nn*:81\nm\n");
        QCOMPARE(titles(d), fixed({QStringLiteral("81 · C"), QStringLiteral("5000 · A")}));
        QCOMPARE(d.processEntries.size(), 2);
    }

    void recordsThatCannotBeTagsMakeNoEntry()
    {
        AppDelegate d;
        launch(d);
        feed(d, "n*:1\n"                                         // no pid yet
                "p0\ncZero\nn*:2\n"                              // pid 0: the process group
                "p-1\ncNeg\nn*:3\n"                              // pid -1: every process
                "p5\ncNoPort\nnsomewhere\n"                      // no port
                "p6\ncHuge\nn*:123456789012345678901234567890\n" // not a 64-bit value
                "p7\ncGood\nn*:4\nm\n");
        QCOMPARE(titles(d), fixed({QStringLiteral("4 · Good")}));
        QCOMPARE(d.statusBarItem->title(), QStringLiteral("1"));
    }

    void processTextShowsAsItIs()
    {
        AppDelegate d;
        launch(d);
        feed(d, "p7\nca&b\tc\nn*:4\nm\n");
        QAction *entry = d.statusBarMenu->actions()[1];
        QCOMPARE(entry->iconText(), QStringLiteral("4 · a&b c")); // no mnemonic, no shortcut
        QCOMPARE(d.lsof[1], QStringLiteral("ca&b\tc"));           // kept unchanged otherwise
    }

    void undecodableListingKeepsTheLastGoodOne()
    {
        AppDelegate d;
        launch(d);
        feed(d, "p10\ncA\nn*:5000\nm\n");
        const QStringList good = d.lsof;
        FdCapture out(STDOUT_FILENO);
        feed(d, "p10\ncA\xff\nn*:5000\nm\n");
        QVERIFY(out.release().startsWith("Error decoding data: "));
        QCOMPARE(titles(d), fixed({QStringLiteral("5000 · A")}));
        QCOMPARE(d.lsof, good);
        d.statusBarItem->setTitle(QStringLiteral("untouched"));
        feed(d, "p10\ncA\nn*:5000\nm\n");
        QCOMPARE(d.statusBarItem->title(), QStringLiteral("untouched"));
    }

    void endOfStreamClearsOnce()
    {
        AppDelegate d;
        launch(d);
        feed(d, "p10\ncA\nn*:5000\nm\n");
        Q_EMIT d.lsofTask->ended();
        QCOMPARE(titles(d), fixed({}));
        QCOMPARE(d.statusBarItem->title(), QStringLiteral("0"));
        d.statusBarItem->setTitle(QStringLiteral("untouched"));
        Q_EMIT d.lsofTask->ended();
        QCOMPARE(d.statusBarItem->title(), QStringLiteral("untouched"));
    }
};

QTEST_MAIN(TestProcessEntries)
#include "tst_processentries.moc"
