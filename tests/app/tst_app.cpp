// The application as a user meets it: the real status menu, its submenus and real processes.
#include "AppDelegate.h"
#include "Autostart.h"
#include "CommandLine.h"
#include "CountIcon.h"
#include "Helpers.h"
#include "LsofTask.h"
#include "MenuItem.h"
#include "ProcessDetails.h"
#include "Scanner.h"
#include "StatusItem.h"
#include "StatusMenu.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QUrl>

using namespace Qt::StringLiterals;

// Started, with its own lsof stopped so that only what the test feeds is listed.
struct Fed : AppDelegate {
    Fed()
    {
        applicationDidFinishLaunching();
        scanner()->stop();
    }
    void feed(const QByteArray &bytes) { scanner()->handleLsofOutput(bytes); }
    QMenu &menu() const { return *statusMenu()->menu(); }
    // The first of the actions whose text starts so.
    static QAction *find(const QList<QAction *> &actions, const QString &start)
    {
        const auto it = std::find_if(actions.cbegin(), actions.cend(),
                                     [&](QAction *a) { return a->text().startsWith(start); });
        return it == actions.cend() ? nullptr : *it;
    }
    QAction *entry(qint64 port) const
    {
        return find(statusMenu()->entries(), QString::number(port) + u" · "_s);
    }
    // The item of the entry's submenu whose text starts so.
    QAction *item(qint64 port, const QString &text) const
    {
        return find(entry(port)->menu()->actions(), text);
    }
    QAction *kill(qint64 port) const { return item(port, u"Kill"_s); }
    QStringList titles() const
    {
        QStringList result;
        for (const QAction *a : menu().actions())
            result.append(a->text());
        return result;
    }
};

class TestApp : public QObject {
    Q_OBJECT
    QTemporaryDir config;

private Q_SLOTS:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", config.path().toUtf8()); }

    // Listings that arrive while a submenu is open change nothing on screen; its Kill item
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
        Fed d;
        d.feed(listing({{a->processId(), 1001}, {b->processId(), 1002}}));
        d.menu().popup(QPoint(10, 10));
        QVERIFY(QTest::qWaitForWindowExposed(&d.menu()));
        d.menu().setActiveAction(d.entry(1001));
        QTest::keyClick(&d.menu(), Qt::Key_Right);
        QMenu *submenu = d.entry(1001)->menu();
        QTRY_VERIFY(submenu->isVisible());
        const QStringList onScreen = d.titles();

        const QList<std::pair<qint64, qint64>> newest[] = {
            {{c->processId(), 1003}, {a->processId(), 1001}, {b->processId(), 1002}},
            {{a->processId(), 1001}},
            {{c->processId(), 1001}, {b->processId(), 1002}},
        };
        d.feed(listing({{b->processId(), 1002}})); // held, then replaced by the newest
        d.feed(listing(newest[change]));
        QCOMPARE(d.titles(), onScreen);
        QCOMPARE(submenu->actions().constLast()->text(), u"Kill Process (id %1)"_s.arg(killed));

        submenu->setActiveAction(submenu->actions().constLast());
        QTest::keyClick(submenu, Qt::Key_Return);
        QVERIFY(endedBy(*a, SIGKILL));
        QVERIFY(!b->waitForFinished(200) && !c->waitForFinished(0));

        // The newest listing, without the process just killed, even where it still names it.
        QTRY_VERIFY(!d.statusMenu()->isOpen());
        QList<std::pair<qint64, qint64>> expected = newest[change];
        expected.removeIf([&](const auto &p) { return p.first == killed; });
        Fed fresh;
        fresh.feed(listing(expected));
        QCOMPARE(d.titles(), fresh.titles());
        QCOMPARE(d.statusItem()->title(), QString::number(expected.size()));
    }

    // Weeks of kills in a few dozen: each leaves no descriptor open and no entry behind.
    void killsLeaveNothing()
    {
        Fed d;
        qsizetype fds = 0;
        for (int i = 0; i < 40; ++i) {
            if (i == 10)
                fds = QDir(u"/proc/self/fd"_s).count();
            const auto p = sleeper();
            d.feed(listing({{p->processId(), 3000 + i % 2}}));
            d.kill(3000 + i % 2)->trigger();
            QVERIFY(endedBy(*p, SIGKILL) && d.statusMenu()->entries().isEmpty());
        }
        QCOMPARE(QDir(u"/proc/self/fd"_s).count(), fds);
    }

    // A kill that cannot be done keeps or drops the entry as the process warrants, and says why.
    void killThatDoesNotHappen_data()
    {
        QTest::addColumn<int>("change");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<bool>("kept");
        QTest::newRow("ended") << 0 << u"it has ended"_s << false;
        QTest::newRow("refused") << 1 << u"Operation not permitted"_s << true;
    }

    void killThatDoesNotHappen()
    {
        QFETCH(int, change);
        QFETCH(QString, logged);
        QFETCH(bool, kept);
        const bool asNobody = change == 1;
        if (asNobody && ::geteuid() != 0)
            QSKIP("needs root, to act as another user");
        const auto p = sleeper();
        Fed d;
        d.feed(listing({{p->processId(), 1001}, {2, 1002}}));
        if (change == 0) {
            p->kill();
            QVERIFY(p->waitForFinished());
        }
        if (asNobody)
            QCOMPARE(::setresuid(65534, 65534, 0), 0);
        FdCapture err(STDERR_FILENO);
        d.kill(1001)->trigger();
        const QStringList lines = logLines(err.release());
        if (asNobody) { // and from the command line: status 2, and why
            FdCapture said(STDERR_FILENO);
            QCOMPARE(endProcessOnPort(d.scanner()->processes(), 1001, false), 2);
            QVERIFY(said.release().contains("Operation not permitted"));
            QCOMPARE(::setresuid(0, 0, 0), 0);
        }
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.front().contains(logged), qPrintable(lines.front()));
        QCOMPARE(d.entry(1001) != nullptr, kept);
        QVERIFY(d.entry(1002));
        QCOMPARE(d.statusItem()->toolTip().contains(logged), kept);
        if (!asNobody)
            return;
        d.kill(1001)->trigger(); // now as root: it goes, and so does the complaint
        QVERIFY(endedBy(*p, SIGKILL));
        QVERIFY(!d.entry(1001));
        QVERIFY(!d.statusItem()->toolTip().contains(logged));
    }

    // The address rows and Copy Network URL follow each listing: the copy is off where only
    // this machine can connect, else it gives a port other machines reach.
    void addressRowsAndCopy()
    {
        Fed d;
        const auto rows = [&d] {
            QStringList texts;
            for (const QAction *a : d.entry(3001)->menu()->actions()) {
                if (a->text().contains(u" — "_s))
                    texts.append(a->text());
            }
            return texts.join(u',');
        };
        d.feed("p1\nca\nn127.0.0.1:3001\nn*:3002\nm\n");
        QCOMPARE(rows(), u"127.0.0.1:3001 — this machine only,*:3002 — all networks"_s);
        d.item(3001, u"Copy"_s)->trigger();
        QCOMPARE(QUrl(QGuiApplication::clipboard()->text()).port(), 3002);
        d.feed("p1\nca\nn127.0.0.1:3001\nm\n");
        QCOMPARE(rows(), u"127.0.0.1:3001 — this machine only"_s);
        QAction *copy = d.item(3001, u"Copy"_s);
        QCOMPARE(copy->text(), u"Copy Network URL (this machine only)"_s);
        QVERIFY(!copy->isEnabled());
    }

    // The item shows what reads back, also in the next start, and stays off where the
    // autostart folder cannot be made (a file stands in its place).
    void openAtLoginShowsWhatReadsBack()
    {
        Fed d;
        QAction *toggle = d.statusMenu()->openAtLoginItem();
        toggle->setChecked(false);
        toggle->trigger();
        QVERIFY(toggle->isChecked() && LaunchAtLogin::isEnabled());
        QVERIFY(Fed().statusMenu()->openAtLoginItem()->isChecked());
        QDir(config.filePath(u"autostart"_s)).removeRecursively();
        QFile blocker(config.filePath(u"autostart"_s));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        toggle->setChecked(false);
        toggle->trigger();
        QVERIFY(!toggle->isChecked());
        QVERIFY(blocker.remove());
    }

    // The fixed items, what an empty or a long list looks like, and a scanner that cannot run.
    void menuAndIcon()
    {
        Fed d;
        // An XEmbed tray reports only a left click: it opens the menu. On a StatusNotifierItem
        // host it opens nothing.
        for (const bool dbusItem : {false, true}) {
            d.statusItem()->attach(dbusItem);
            Q_EMIT d.statusItem()->trayIcon()->activated(QSystemTrayIcon::Trigger);
            QCOMPARE(d.menu().isVisible(), !dbusItem);
            d.menu().hide();
        }
        QTRY_VERIFY(!d.statusMenu()->isOpen());
        for (const QAction *a : d.menu().actions()) // headers cannot be chosen
            QVERIFY(a->text() != u"Preferences"_s || !a->isEnabled());
        d.statusMenu()->aboutItem()->trigger();
        d.statusMenu()->aboutItem()->trigger();
        int boxes = 0;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible()) {
                ++boxes;
                QVERIFY(box->text().contains(QStringLiteral(AMBREL_VERSION)) && !box->isModal());
            }
        }
        QCOMPARE(boxes, 1);

        // Entries that stay keep their place, new ones go where they belong.
        using Listing = QList<std::pair<qint64, qint64>>;
        for (const Listing &order :
             {Listing{{1, 1}, {2, 2}, {3, 3}}, Listing{{3, 3}, {1, 1}, {2, 2}, {4, 4}},
              Listing{{2, 2}, {5, 5}, {4, 4}}, Listing{{4, 4}, {2, 2}}}) {
            d.feed(listing(order));
            Fed fresh;
            fresh.feed(listing(order));
            QCOMPARE(d.titles(), fresh.titles());
        }
        for (const auto &[n, tip] : {std::pair{0, "0 listening processes"},
                                     {108, "108 listening processes"},
                                     {1, "1 listening process"}}) {
            QList<std::pair<qint64, qint64>> many;
            for (int i = 1; i <= n; ++i)
                many.append({i, 1000 + i});
            d.feed(listing(many));
            QCOMPARE(d.statusMenu()->emptyItem()->isVisible(), n == 0);
            QCOMPARE(d.statusItem()->toolTip(), QString::fromUtf8(tip));
        }
        // 60: the 40 past the first 20 fit in their submenu without groups.
        QList<std::pair<qint64, qint64>> sixty;
        for (int i = 1; i <= 60; ++i)
            sixty.append({i, 1000 + i});
        d.feed(listing(sixty));
        const QStringList top = d.titles();
        QMenu *more = d.menu().actions().at(top.indexOf(u"40 more…"_s))->menu();
        QCOMPARE(std::count_if(more->actions().cbegin(), more->actions().cend(),
                               [](QAction *a) { return a->isVisible() && !a->menu()->isEmpty(); }),
                 40);
        // The count's plate fills the small icon edge to edge.
        const QImage small = countIcon(QIcon(), u"7"_s).pixmap(22).toImage();
        QVERIFY(qAlpha(small.pixel(0, 11)) > 0 && qAlpha(small.pixel(21, 11)) > 0);
        d.scanner()->startLsofTask(u"/nonexistent/lsof"_s, {});
        QTRY_VERIFY(!d.scanner()->problem().isEmpty());
        QCOMPARE(d.statusItem()->toolTip(), d.scanner()->problem()); // the reason alone
        QVERIFY(d.titles().contains(u"Cannot list processes: "_s + d.scanner()->problem()) &&
                !d.statusMenu()->emptyItem()->isVisible());
        QVERIFY(d.statusItem()->renderedIcon().pixmap(22).toImage() != // a warning, not a count
                countIcon(d.statusItem()->image(), d.statusItem()->title()).pixmap(22).toImage());
    }

    // Fixed texts that tell entries apart: when a process started, a long text cut in its middle.
    void detailTexts()
    {
        const QDateTime now(QDate(2026, 12, 7), QTime(10, 0));
        const std::pair<QDateTime, const char *> rows[] = {
            {QDateTime(QDate(2026, 12, 7), QTime(9, 12)), "started 09:12"},
            {QDateTime(QDate(2026, 12, 6), QTime(18, 3)), "started yesterday 18:03"},
            {QDateTime(QDate(2026, 12, 5), QTime(23, 59)), "started 5 Dec 23:59"},
            {QDateTime(QDate(2025, 12, 31), QTime(8, 0)), "started 31 Dec 2025"}};
        for (const auto &[started, text] : rows)
            QCOMPARE(startedText(started, now), QString::fromUtf8(text));
        QCOMPARE(elideMiddle(u"node /srv/app/server.js"_s, 12), u"node …ver.js"_s);
        QCOMPARE(elideMiddle(u"short"_s, 12), u"short"_s);
        // Markup in a command line reads as written in the tooltip, each row on its own line.
        const QString markup = u"<b>x</b> <img src=x.png> &lt;y&gt;"_s;
        const QString tip = detailsToolTip({markup, u"in /tmp"_s});
        QCOMPARE(Qt::mightBeRichText(tip) ? QTextDocumentFragment::fromHtml(tip).toPlainText()
                                          : tip,
                 markup + u"\nin /tmp"_s);
    }

    // Last: they run and end the application's event loop, and with it the lsof child.
    void quitStopsTheChild_data()
    {
        QTest::addColumn<bool>("byKey");
        QTest::newRow("Quit chosen") << false;
        QTest::newRow("Ctrl+Q while the menu is open") << true;
    }

    void quitStopsTheChild()
    {
        QFETCH(bool, byKey);
        AppDelegate d;
        d.useEngine(ScanEngine::Lsof);
        connect(qApp, &QCoreApplication::aboutToQuit, &d, &AppDelegate::applicationWillTerminate);
        d.applicationDidFinishLaunching();
        QProcess *child = d.scanner()->task()->process();
        QTRY_COMPARE(child->state(), QProcess::Running);
        const QString proc = u"/proc/%1"_s.arg(child->processId());
        QTimer::singleShot(0, &d, [&d, byKey] {
            if (!byKey)
                return d.statusMenu()->quitItem()->trigger();
            d.statusMenu()->menu()->popup(QPoint(10, 10));
            QTest::keyClick(d.statusMenu()->menu(), Qt::Key_Q, Qt::ControlModifier);
        });
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); }); // a hang fails
        QCOMPARE(QCoreApplication::exec(), 0);
        // Stopped and reaped before the loop's caller gets control back.
        QCOMPARE(child->state(), QProcess::NotRunning);
        QVERIFY(!QFileInfo::exists(proc));
    }
};

QTEST_MAIN(TestApp)
#include "tst_app.moc"
