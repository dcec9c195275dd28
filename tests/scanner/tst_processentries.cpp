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

    void listingsGiveEntries_data()
    {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("replaced, never duplicated")
            << QByteArrayList{"p10\ncA\nn*:5000\np20\ncB\nn*:80\nm\n", "p30\ncC\nn*:8080\nm\n"}
            << QStringList{QStringLiteral("8080 · C")};
        QTest::newRow("nothing listens")
            << QByteArrayList{"p10\ncA\nn*:5000\nm\n", "m\n"} << QStringList{};
        QTest::newRow("records that cannot be tags")
            << QByteArrayList{"n*:1\n"                                         // no pid yet
                              "p0\ncZero\nn*:2\np-1\ncNeg\nn*:3\n"             // process groups
                              "p5\ncNoPort\nnsomewhere\n"                      // no port
                              "p6\ncHuge\nn*:123456789012345678901234567890\n" // beyond 64 bits
                              "p7\ncGood\nn*:4\nm\n"}
            << QStringList{QStringLiteral("4 · Good")};
        QTest::newRow("undecodable listing keeps the last good one")
            << QByteArrayList{"p10\ncA\nn*:5000\nm\n", "p10\ncA\xff\nn*:5000\nm\n"}
            << QStringList{QStringLiteral("5000 · A")};
    }

    void listingsGiveEntries()
    {
        QFETCH(QByteArrayList, reads);
        QFETCH(QStringList, entries);
        AppDelegate d;
        launch(d);
        FdCapture out(STDOUT_FILENO);
        for (const QByteArray &read : reads)
            feed(d, read);
        QCOMPARE(titles(d), fixed(entries));
        QCOMPARE(d.statusBarItem->title(), QString::number(entries.size()));
        QCOMPARE(d.processEntries.size(), entries.size());
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

    void processTextShowsAsItIs()
    {
        AppDelegate d;
        launch(d);
        feed(d, "p7\nca&b\tc\nn*:4\nm\n");
        // No mnemonic, no shortcut column; the text itself is kept.
        QCOMPARE(d.statusBarMenu->actions()[1]->iconText(), QStringLiteral("4 · a&b c"));
        QCOMPARE(d.lsof[1], QStringLiteral("ca&b\tc"));
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
