// The application as a user meets it: the real status menu, its submenus and real processes;
// and the ambrel program itself, run as a user would run it.
#include "AppDelegate.h"
#include "Autostart.h"
#include "CommandLine.h"
#include "CountIcon.h"
#include "Helpers.h"
#include "LsofTask.h"
#include "ProcessDetails.h"
#include "Scanner.h"
#include "StatusItem.h"
#include "StatusMenu.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QUrl>

using namespace Qt::StringLiterals;

using Listing = QList<std::pair<qint64, qint64>>;

// Started, with its own lsof stopped so that only what the test feeds is listed.
struct Fed : AppDelegate {
    Fed()
    {
        applicationDidFinishLaunching();
        scanner()->stop();
    }
    explicit Fed(const Listing &processes) : Fed() { feed(listing(processes)); }
    void feed(const QByteArray &bytes) { scanner()->handleLsofOutput(bytes); }
    QMenu &menu() const { return *statusMenu()->menu(); }
    static QStringList texts(const QList<QAction *> &actions)
    {
        QStringList result(actions.size());
        std::ranges::transform(actions, result.begin(), &QAction::text);
        return result;
    }
    // The first of the actions whose text starts so.
    static QAction *find(const QList<QAction *> &all, const QString &s)
    {
        const auto it =
            std::ranges::find_if(all, [&](QAction *a) { return a->text().startsWith(s); });
        return it == all.cend() ? nullptr : *it;
    }
    QAction *entry(int port) const { return find(statusMenu()->entries(), u"%1 · "_s.arg(port)); }
    QAction *item(int p, const QString &s) const { return find(entry(p)->menu()->actions(), s); }
    QAction *kill(int port) const { return item(port, u"Kill"_s); }
    QStringList titles() const { return texts(menu().actions()); }
};

class TestApp : public QObject {
    Q_OBJECT

    static QProcessEnvironment cleanEnvironment(bool offscreen = false)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        if (offscreen)
            env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        // A session of its own: a developer's own Ambrel must not count as the first start.
        static QTemporaryDir runtime; // mode 0700, as a runtime folder must be
        env.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
        env.insert(u"TMPDIR"_s, runtime.path()); // its cleanup spares other tests
        return env;
    }

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

        const Listing newest[] = {
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
        Listing expected = newest[change];
        expected.removeIf([&](const auto &p) { return p.first == killed; });
        QCOMPARE(d.titles(), Fed(expected).titles());
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
        QTest::addColumn<bool>("asNobody"); // refused, and so kept; else ended
        QTest::addColumn<QString>("logged");
        QTest::newRow("ended") << false << u"it has ended"_s;
        QTest::newRow("refused") << true << u"Operation not permitted"_s;
    }

    void killThatDoesNotHappen()
    {
        QFETCH(bool, asNobody);
        QFETCH(QString, logged);
        if (asNobody && ::geteuid() != 0)
            QSKIP("needs root, to act as another user");
        const auto p = sleeper();
        Fed d;
        d.feed(listing({{p->processId(), 1001}, {2, 1002}}));
        if (!asNobody) {
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
        QCOMPARE(d.entry(1001) != nullptr, asNobody);
        QVERIFY(d.entry(1002));
        QCOMPARE(d.statusItem()->toolTip().contains(logged), asNobody);
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
            return Fed::texts(d.entry(3001)->menu()->actions()).filter(u" — "_s).join(u',');
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
        QList<QMessageBox *> boxes;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
                boxes.append(box);
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes[0]->text().contains(QStringLiteral(AMBREL_VERSION)) && !boxes[0]->isModal());

        // Entries that stay keep their place, new ones go where they belong.
        for (const Listing &order :
             {Listing{{1, 1}, {2, 2}, {3, 3}}, Listing{{3, 3}, {1, 1}, {2, 2}, {4, 4}},
              Listing{{2, 2}, {5, 5}, {4, 4}}, Listing{{4, 4}, {2, 2}}}) {
            d.feed(listing(order));
            QCOMPARE(d.titles(), Fed(order).titles());
        }
        for (const auto &[n, tip] : {std::pair{0, "0 listening processes"},
                                     {108, "108 listening processes"},
                                     {1, "1 listening process"},
                                     {60, "60 listening processes"}}) {
            Listing many;
            for (int i = 1; i <= n; ++i)
                many.append({i, 1000 + i});
            d.feed(listing(many));
            QCOMPARE(d.statusMenu()->emptyItem()->isVisible(), n == 0);
            QCOMPARE(d.statusItem()->toolTip(), QString::fromUtf8(tip));
        }
        // 60: the 40 past the first 20 fit in their submenu without groups.
        QMenu *more = d.menu().actions().at(d.titles().indexOf(u"40 more…"_s))->menu();
        const auto filled = [](QAction *a) {
            return a->isVisible() && !a->menu()->isEmpty();
        };
        QCOMPARE(std::ranges::count_if(more->actions(), filled), 40);
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

    // Servers in namespaces of their own (network, pid, mount), listed by root or by nobody:
    // the titles in order, then each port's owner, address, exposure and URLs, then any line a
    // row's last command printed. The network has an address of its own on lo and a default
    // route on e0, where Copy Network URL finds 198.51.100.7 and 2001:db8::7.
    void listingInNamespaces_data()
    {
        QTest::addColumn<QString>("servers"); // serve FOLDER PORT [ADDRESS V6ONLY [AS...]]
        QTest::addColumn<QString>("lister");
        QTest::addColumn<QStringList>("listed");
        const std::tuple<const char *, const char *, const char *, const char *> rows[] = {
            {"IPv6-only and dual-stack wildcards, newest first", "",
             "serve v6 9000 :: 1; serve dual 8000 :: 0",
             "8000 · python3 (dual) | root | :: ipv6 all networks http://localhost:8000 "
             "http://198.51.100.7:8000\n9000 · python3 (v6) | root | :: ipv6 all IPv6 networks "
             "http://localhost:9000 http://[2001:db8::7]:9000"},
            {"a mapped bind to one other address", "", "serve m 8081 ::ffff:192.0.2.10 -",
             "8081 · python3 | root | 192.0.2.10 ipv4 this address's network "
             "http://192.0.2.10:8081 http://192.0.2.10:8081"},
            {"two http.servers in two folders, across a pid wrap", "",
             "echo 30000 >/proc/sys/kernel/ns_last_pid; serve blog 8001; echo 300 "
             ">/proc/sys/kernel/ns_last_pid; serve shop 8002",
             "8002 · python3 http.server (shop) | root | 127.0.0.1 ipv4 this machine only "
             "http://localhost:8002 null\n8001 · python3 http.server (blog) | root | 127.0.0.1 "
             "ipv4 this machine only http://localhost:8001 null"},
            {"another user's socket", "setpriv --reuid=65534 --regid=65534 --clear-groups",
             "id ambrel-other >/dev/null 2>&1 || useradd -r ambrel-other; serve o 5432 0.0.0.0 - "
             "setpriv --reuid=ambrel-other --regid=ambrel-other --clear-groups; last='--kill 5432'",
             "5432 · ambrel-other | ambrel-other | 0.0.0.0 ipv4 all networks http://localhost:5432 "
             "http://198.51.100.7:5432\nambrel: port 5432 is held by a process of user "
             "ambrel-other; Ambrel cannot end it\n2"}};
        for (const auto &[name, lister, servers, listed] : rows)
            QTest::newRow(name) << QString::fromUtf8(servers) << QString::fromUtf8(lister)
                                << QString::fromUtf8(listed).split(u'\n');
    }

    void listingInNamespaces()
    {
        QFETCH(QString, servers);
        QFETCH(QString, lister);
        QFETCH(QStringList, listed);
        if (!qEnvironmentVariableIsSet("AMBREL_SLOW") || ::geteuid() != 0)
            QSKIP("needs root and the label slow (tst_program_namespaces)");
        QTemporaryDir dir;
        const QString run = QStringLiteral(R"(set -e; cd "$0"; ip link set lo up
ip addr add 192.0.2.10/32 dev lo; ip link add e0 type veth peer name e1; ip link set e1 up
ip link set e0 up; ip addr add 198.51.100.7/24 dev e0; ip addr add 2001:db8::7/64 dev e0 nodad
ip route add default via 198.51.100.1
py='import socket as s, sys, time; a = s.socket(s.AF_INET6 if ":" in sys.argv[1] else s.AF_INET)
if sys.argv[3] != "-": a.setsockopt(s.IPPROTO_IPV6, s.IPV6_V6ONLY, int(sys.argv[3]))
a.bind((sys.argv[1], int(sys.argv[2]))); a.listen(); time.sleep(60)'
serve() { # FOLDER PORT [ADDRESS V6ONLY [AS...]]: a listening python there, else an http.server
    mkdir -p $1; cd $1; p=$2
    if [ $# = 2 ]; then /usr/bin/python3 -m http.server -b 127.0.0.1 $p >/dev/null 2>&1 &
    else a=$3 v=$4; shift 4; "$@" /usr/bin/python3 -c "$py" $a $p $v & fi
    cd ..; while ! ss -Hltn "sport = :$p" | grep -q .; do sleep 0.02; done; }
)") + servers + QStringLiteral(R"(
$1 "$2" --list; echo --; $1 "$2" --list --json; echo --; [ -z "$last" ] || $1 "$2" $last 2>&1 ||
echo $?)");
        QProcess p;
        p.start(u"unshare"_s, {u"-npf"_s, u"--mount-proc"_s, u"sh"_s, u"-c"_s, run, dir.path(),
                               lister, QStringLiteral(AMBREL_PROGRAM)});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.readAllStandardError(), QByteArray());
        const QStringList parts = QString::fromUtf8(p.readAllStandardOutput()).split(u"\n--\n"_s);
        QCOMPARE(parts.size(), 3);
        const QStringList titles = parts[0].split(u'\n');
        const QJsonArray all = QJsonDocument::fromJson(parts[1].toUtf8()).array();
        QStringList lines;
        for (qsizetype i = 0; i < all.size(); ++i) {
            QString line = titles.value(i).section(u"  ("_s, 0, 0) + u" | "_s +
                           all[i][u"user"].toString() + u" |"_s;
            for (const auto &port : all[i][u"ports"].toArray())
                for (auto key : {u"address", u"family", u"exposure", u"localUrl", u"networkUrl"})
                    line += u' ' + (port[key].isNull() ? u"null"_s : port[key].toString());
            lines.append(line);
        }
        lines += parts[2].split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines, listed);
    }

    // The listener's pid goes to a bystander right after Ambrel checked it, in a pid namespace
    // of the test's own (see HandOff.cpp): nothing is signalled, and the listener is gone.
    void killWhenThePidChangesHands()
    {
        if (::geteuid() != 0)
            QSKIP("needs root, for a pid namespace");
        QProcess p;
        p.start(u"unshare"_s,
                u"--pid --fork --mount-proc bash -c"_s.split(u' ')
                    << u"coproc /usr/bin/python3 -c \"import socket, time; s = socket.socket(); "
                       "s.bind(('127.0.0.1', 0)); s.listen(); print(s.getsockname()[1], "
                       "flush=True); time.sleep(60)\"; l=$COPROC_PID; read port <&${COPROC[0]}; "
                       "AMBREL_HAND_OFF=\"9 $l\" \"$0\" --kill $port 2>&1; echo $? $(cut -d' ' "
                       "-f2,3 /proc/$l/stat | sed 's/ [RS]$/ lives/')"_s
                    << QStringLiteral(AMBREL_HANDOFF_PROGRAM));
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.readAll(), QByteArray("0 (sleep) lives\n"));
    }

    // What needs no display, and what cannot do without one: one line and status 1; usage
    // errors: one line and status 64.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("display");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // in the output
        const std::tuple<const char *, const char *, const char *, int, const char *> rows[] = {
            {"--version", "--version", "", 0, "ambrel " AMBREL_VERSION},
            {"beside Qt's options", "-platform offscreen --style=fusion -reverse --version", "", 0,
             "ambrel " AMBREL_VERSION},
            {"--help", "--help", "", 0, "Usage:"},
            {"no display", "", "", 1, "ambrel: cannot connect to a display"},
            {"no display, an option", "--scanner=lsof", "", 1, "(neither DISPLAY nor WAYLAND"},
            {"a display that does not answer", "", ":97", 1, "ambrel: cannot connect to a display"},
            {"the last port, where nothing listens", "--kill 65535", "", 1,
             "ambrel: nothing listens on port 65535"},
            {"unknown engine", "--scanner=x --list", "", 64, "ambrel: unknown scanner 'x'"},
            {"past the last port", "--kill 65536", "", 64, "ambrel: not a port: '65536'"},
            {"port 0", "--stop 0", "", 64, "ambrel: not a port: '0'"},
            {"a leading zero", "--stop 080", "", 64, "ambrel: not a port: '080'"},
            {"--kill and --stop", "--kill 1 --stop 2", "", 64, "ambrel: --stop and --kill cannot"},
            {"--kill twice", "--kill 1 --kill 2", "", 64, "ambrel: --kill takes one port"}};
        for (const auto &[name, arguments, display, status, said] : rows)
            QTest::newRow(name) << QString::fromUtf8(arguments).split(u' ', Qt::SkipEmptyParts)
                                << QString::fromUtf8(display) << status << QString::fromUtf8(said);
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, display);
        QFETCH(int, status);
        QFETCH(QString, said);
        QProcess p;
        QProcessEnvironment env = cleanEnvironment();
        if (!display.isEmpty())
            env.insert(u"DISPLAY"_s, display);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(AMBREL_PROGRAM), arguments);
        p.waitForFinished(30000);
        const QByteArray out = p.readAllStandardOutput() + p.readAllStandardError();
        QCOMPARE(p.exitCode(), status);
        QVERIFY2(out.contains(said.toUtf8()), out.constData());
        if (status) // no crash, no abort: one line
            QCOMPARE(out.count('\n'), 1);
    }

    // A second start says so and leaves, the first keeps its place; also with no runtime folder
    // (then /tmp/ambrel-UID, never /). A holder of the socket that does not answer: one line
    // that names it, status 1.
    void oneInstancePerSession_data()
    {
        QTest::addColumn<bool>("runtime");
        QTest::addColumn<bool>("silent");
        QTest::newRow("a second start") << true << false;
        QTest::newRow("no runtime folder") << false << false;
        QTest::newRow("a silent instance") << true << true;
    }

    void oneInstancePerSession()
    {
        QFETCH(bool, runtime);
        QFETCH(bool, silent);
        QProcessEnvironment env = cleanEnvironment(true);
        env.insert(u"TMPDIR"_s, u"/nonexistent"_s); // Qt makes none
        if (!runtime)
            env.insert(u"XDG_RUNTIME_DIR"_s, QString());
        const QString socket = u"%1/ambrel.socket"_s.arg(
            runtime ? env.value(u"XDG_RUNTIME_DIR"_s) : u"/tmp/ambrel-%1"_s.arg(getuid()));
        QFile::remove(socket);
        QProcess first, second;
        first.setProcessEnvironment(env);
        second.setProcessEnvironment(env);
        if (silent) // holds the socket, never answers
            first.start(u"/usr/bin/python3"_s,
                        {u"-c"_s, u"import socket, time; s = socket.socket(socket.AF_UNIX); "
                                  "s.bind('%1'); s.listen(); time.sleep(60)"_s.arg(socket)});
        else
            first.start(QStringLiteral(AMBREL_PROGRAM), {});
        QTRY_VERIFY(QFileInfo::exists(socket));
        second.start(QStringLiteral(AMBREL_PROGRAM), {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), silent ? 1 : 0);
        const QString line = silent
                                 ? u"ambrel: another Ambrel (pid %1) holds this session but does "
                                   "not answer\n"_s
                                 : u"ambrel: already running (pid %1)\n"_s;
        const auto said = silent ? second.readAllStandardError() : second.readAllStandardOutput();
        QVERIFY2(said.endsWith(line.arg(first.processId()).toUtf8()), said.constData());
        QCOMPARE(first.state(), QProcess::Running);
        first.terminate(); // SIGTERM: Ambrel quits the normal way
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(first.exitStatus() == QProcess::NormalExit && first.exitCode() == 0, !silent);
    }

    // SIGKILL leaves Ambrel no say, yet no lsof of its own is left running. (SIGTERM quits the
    // normal way: oneInstancePerSession.)
    void sigkillTakesLsofAlong()
    {
        QProcess p;
        p.setProcessEnvironment(cleanEnvironment(true));
        // A style Qt warns about while it starts: a warning is no failure to start.
        p.start(QStringLiteral(AMBREL_PROGRAM), {u"--scanner=lsof"_s, u"-style=nosuch"_s});
        QVERIFY(p.waitForStarted());
        // Read once: after Ambrel ends it is 0, whose "children" are the system's own and
        // whose signal would reach this test's whole process group.
        const qint64 pid = p.processId();
        const QString children = u"/proc/%1/task/%1/children"_s.arg(pid); // lsof's among them
        QByteArray pids;
        QTRY_VERIFY_WITH_TIMEOUT(!(pids = readFile(children).trimmed()).isEmpty(), 10000);
        ::kill(pid_t(pid), SIGKILL);
        QVERIFY(p.waitForFinished(10000));
        for (const QByteArray &child : pids.split(' '))
            QTRY_VERIFY(!QFileInfo::exists(u"/proc/"_s + QString::fromLatin1(child)));
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
