// The ambrel program itself, run as a user would run it.
#include "Helpers.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestProgram : public QObject {
    Q_OBJECT

    static QProcessEnvironment cleanEnvironment()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        // A session of its own: a developer's own Ambrel must not count as the first start.
        static QTemporaryDir runtime;
        QFile::setPermissions(runtime.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
        env.insert(u"TMPDIR"_s, runtime.path()); // its cleanup spares other tests
        return env;
    }

private Q_SLOTS:
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
                for (const char16_t *key :
                     {u"address", u"family", u"exposure", u"localUrl", u"networkUrl"})
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
            {"a sign", "--kill +80", "", 64, "ambrel: not a port: '+80'"},
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
        QProcessEnvironment env = cleanEnvironment();
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
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
        const QByteArray said =
            silent ? second.readAllStandardError() : second.readAllStandardOutput();
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
        QProcessEnvironment env = cleanEnvironment();
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        QProcess p;
        p.setProcessEnvironment(env);
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
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
