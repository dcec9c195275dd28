// The ambrel program itself, run as a user would run it.
#include "ListeningProcess.h"
#include "Processes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;

class TestProgram : public QObject {
    Q_OBJECT

    // The pids whose parent is `parent`, from /proc.
    // The children the process started from its main thread (as Ambrel starts lsof).
    static QList<qint64> childrenOf(qint64 parent)
    {
        QFile file(QStringLiteral("/proc/%1/task/%1/children").arg(parent));
        QList<qint64> result;
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray &pid : file.readAll().split(' '))
                result.append(pid.toLongLong());
        }
        result.removeAll(0);
        return result;
    }

    static QProcessEnvironment cleanEnvironment()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        // A session of its own: a developer's own Ambrel must not count as the first start.
        static QTemporaryDir runtime;
        QFile::setPermissions(runtime.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        return env;
    }

private Q_SLOTS:
    // A python3 that listens on 127.0.0.1 until killed; its port.
    static qint64 listen(QProcess &server, const QString &program, const QStringList &before = {})
    {
        server.start(before.isEmpty() ? program : before.front(),
                     before.mid(1) + (before.isEmpty() ? QStringList() : QStringList{program}) +
                         QStringList{QStringLiteral("-c"),
                                     QStringLiteral("import socket, time; s = socket.socket(); "
                                                    "s.bind(('127.0.0.1', 0)); s.listen(); "
                                                    "print(s.getsockname()[1], flush=True); "
                                                    "time.sleep(60)")});
        while (!server.canReadLine() && server.waitForReadyRead(10000)) {
        }
        return server.readLine().trimmed().toLongLong();
    }

    static QByteArray ambrel(const QStringList &arguments, int *status = nullptr,
                             const QStringList &before = {}, const QString &display = {})
    {
        QProcess p;
        QProcessEnvironment env = cleanEnvironment();
        if (!display.isEmpty())
            env.insert(QStringLiteral("DISPLAY"), display);
        p.setProcessEnvironment(env);
        p.start(
            before.isEmpty() ? QStringLiteral(AMBREL_PROGRAM) : before.front(),
            before.mid(1) +
                (before.isEmpty() ? QStringList() : QStringList{QStringLiteral(AMBREL_PROGRAM)}) +
                arguments);
        p.waitForFinished(30000);
        if (status)
            *status = p.exitCode();
        return p.readAllStandardOutput() + p.readAllStandardError();
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
        const QString root, nobody = QStringLiteral("setpriv --reuid=65534 --regid=65534 "
                                                    "--clear-groups");
        QTest::newRow("IPv6-only and dual-stack wildcards, newest first")
            << QStringLiteral("serve v6 9000 :: 1; serve dual 8000 :: 0") << root
            << QStringList{
                   QStringLiteral("8000 · python3 (dual) | root | :: ipv6 all networks "
                                  "http://localhost:8000 http://198.51.100.7:8000"),
                   QStringLiteral("9000 · python3 (v6) | root | :: ipv6 all IPv6 "
                                  "networks http://localhost:9000 http://[2001:db8::7]:9000")};
        QTest::newRow("a mapped bind to one other address")
            << QStringLiteral("serve m 8081 ::ffff:192.0.2.10 -") << root
            << QStringList{
                   QStringLiteral("8081 · python3 | root | 192.0.2.10 ipv4 this address's network "
                                  "http://192.0.2.10:8081 http://192.0.2.10:8081")};
        QTest::newRow("two http.servers in two folders, across a pid wrap")
            << QStringLiteral("echo 30000 >/proc/sys/kernel/ns_last_pid; serve blog 8001; "
                              "echo 300 >/proc/sys/kernel/ns_last_pid; serve shop 8002")
            << root
            << QStringList{QStringLiteral("8002 · python3 http.server (shop) | root | 127.0.0.1 "
                                          "ipv4 this machine only http://localhost:8002 null"),
                           QStringLiteral("8001 · python3 http.server (blog) | root | 127.0.0.1 "
                                          "ipv4 this machine only http://localhost:8001 null")};
        QTest::newRow("another user's socket")
            << QStringLiteral("id ambrel-other >/dev/null 2>&1 || useradd -r ambrel-other; "
                              "serve o 5432 0.0.0.0 - setpriv --reuid=ambrel-other "
                              "--regid=ambrel-other --clear-groups; last='--kill 5432'")
            << nobody
            << QStringList{QStringLiteral("5432 · ambrel-other | ambrel-other | 0.0.0.0 ipv4 all "
                                          "networks http://localhost:5432 "
                                          "http://198.51.100.7:5432"),
                           QStringLiteral("ambrel: port 5432 is held by a process of user "
                                          "ambrel-other; Ambrel cannot end it"),
                           QStringLiteral("2")};
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
        p.start(QStringLiteral("unshare"),
                {QStringLiteral("-npf"), QStringLiteral("--mount-proc"), QStringLiteral("sh"),
                 QStringLiteral("-c"), run, dir.path(), lister, QStringLiteral(AMBREL_PROGRAM)});
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
            for (const QJsonValue &port : all[i][u"ports"].toArray()) {
                for (const char16_t *key :
                     {u"address", u"family", u"exposure", u"localUrl", u"networkUrl"})
                    line += u' ' + (port[key].isNull() ? u"null"_s : port[key].toString());
            }
            lines.append(line);
        }
        lines += parts[2].split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines, listed);
    }

    void endByPort_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("signal"); // what ended the listener; 0: it lives
        QTest::newRow("--kill") << QStringLiteral("--kill") << 0 << int(SIGKILL);
        QTest::newRow("--stop") << QStringLiteral("--stop") << 0 << int(SIGTERM);
        QTest::newRow("one that may not be signalled") << QStringLiteral("--kill") << 2 << 0;
    }

    void endByPort()
    {
        QFETCH(QString, option);
        QFETCH(int, status);
        QFETCH(int, signal);
        if (status == 2 && ::geteuid() != 0)
            QSKIP("needs root to run the listener as another user");
        // Root without the right to signal others' processes, against one of nobody's.
        const QStringList nobody = {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                                    QStringLiteral("--regid=65534"),
                                    QStringLiteral("--clear-groups")};
        const QStringList withoutKill = {QStringLiteral("setpriv"),
                                         QStringLiteral("--bounding-set=-kill"),
                                         QStringLiteral("--inh-caps=-kill")};
        QProcess server;
        const qint64 port = listen(server, QStringLiteral("/usr/bin/python3"),
                                   status == 2 ? nobody : QStringList());
        QVERIFY(port > 0);
        int exit = -1;
        const QByteArray said = ambrel({option, QString::number(port)}, &exit,
                                       status == 2 ? withoutKill : QStringList());
        QCOMPARE(exit, status);
        QCOMPARE(said.count('\n'), status ? 1 : 0);
        if (signal) {
            QVERIFY(server.waitForFinished(5000));
            QCOMPARE(server.exitCode(), signal);
        } else {
            QVERIFY(!server.waitForFinished(300));
        }
    }

    // What needs no display, and what cannot do without one: one line and status 1.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("display");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // the start of the output
        const QString version = QStringLiteral("ambrel " AMBREL_VERSION);
        QTest::newRow("--version")
            << QStringList{QStringLiteral("--version")} << QString() << 0 << version;
        QTest::newRow("beside Qt's options")
            << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"),
                           QStringLiteral("--style=fusion"), QStringLiteral("-reverse"),
                           QStringLiteral("--version")}
            << QString() << 0 << version;
        QTest::newRow("--help") << QStringList{QStringLiteral("--help")} << QString() << 0
                                << QStringLiteral("Usage:");
        QTest::newRow("no display") << QStringList() << QString() << 1
                                    << QStringLiteral("ambrel: cannot connect to a display");
        QTest::newRow("a display that does not answer")
            << QStringList() << QStringLiteral(":97") << 1
            << QStringLiteral("ambrel: cannot connect to a display");
        QTest::newRow("unknown engine")
            << QStringList{QStringLiteral("--scanner=x"), QStringLiteral("--list")} << QString()
            << 1 << QStringLiteral("ambrel: unknown scanner 'x'");
        QTest::newRow("not a port")
            << QStringList{QStringLiteral("--kill"), QStringLiteral("65536")} << QString() << 1
            << QStringLiteral("ambrel: not a port: '65536'");
        QTest::newRow("the last port, where nothing listens")
            << QStringList{QStringLiteral("--kill"), QStringLiteral("65535")} << QString() << 1
            << QStringLiteral("ambrel: nothing listens on port 65535");
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, display);
        QFETCH(int, status);
        QFETCH(QString, said);
        int exit = -1;
        const QByteArray out = ambrel(arguments, &exit, {}, display);
        QCOMPARE(exit, status);
        QVERIFY2(out.startsWith(said.toUtf8()), out.constData());
        if (status) // no crash, no abort: one line
            QCOMPARE(out.count('\n'), 1);
    }

    // A second start says so and leaves; the first keeps its place.
    void oneInstancePerSession()
    {
        QProcessEnvironment env = cleanEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess first, second;
        first.setProcessEnvironment(env);
        second.setProcessEnvironment(env);
        first.start(QStringLiteral(AMBREL_PROGRAM), {});
        QByteArray said;
        QTRY_VERIFY((said += first.readAllStandardError()).contains("no system tray yet"));
        second.start(QStringLiteral(AMBREL_PROGRAM), {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.readAllStandardOutput(), QByteArray("ambrel: already running (pid ") +
                                                     QByteArray::number(first.processId()) + ")\n");
        QCOMPARE(first.state(), QProcess::Running);
        first.terminate();
        QVERIFY(first.waitForFinished(10000));
    }

    void termination_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("clean");
        QTest::newRow("SIGTERM quits the normal way") << int(SIGTERM) << true;
        QTest::newRow("SIGKILL takes lsof along") << int(SIGKILL) << false;
    }

    // Whatever ends Ambrel, no lsof of its own is left running.
    void termination()
    {
        QFETCH(int, signal);
        QFETCH(bool, clean);
        QProcessEnvironment env = cleanEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess p;
        p.setProcessEnvironment(env);
        // A style Qt warns about while it starts: a warning is no failure to start.
        p.start(QStringLiteral(AMBREL_PROGRAM),
                {QStringLiteral("--scanner=lsof"), QStringLiteral("-style=nosuch")});
        QVERIFY(p.waitForStarted());
        // Read once: after Ambrel ends it is 0, whose "children" are the system's own and
        // whose signal would reach this test's whole process group.
        const qint64 pid = p.processId();
        QVERIFY(pid > 0);
        QList<qint64> children;
        QTRY_VERIFY_WITH_TIMEOUT(!(children = childrenOf(pid)).isEmpty(), 10000);
        ::kill(pid_t(pid), signal);
        QVERIFY(p.waitForFinished(10000));
        if (clean) {
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            QCOMPARE(p.exitCode(), 0);
        }
        for (qint64 child : children) {
            QTRY_VERIFY_WITH_TIMEOUT(
                !Platform::processIsRunning(child, Platform::processStartTime(child).value_or(-1)),
                5000);
        }
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
