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
        env.insert(QStringLiteral("TMPDIR"), runtime.path()); // its cleanup spares other tests
        return env;
    }

    // Python that listens on 127.0.0.1 until killed, and prints its port first.
    static inline const QString listener = QStringLiteral(
        "import socket, time; s = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen(); "
        "print(s.getsockname()[1], flush=True); time.sleep(60)");
    static qint64 listen(QProcess &server, const QString &program)
    {
        server.start(program, {QStringLiteral("-c"), listener});
        while (!server.canReadLine() && server.waitForReadyRead(10000)) {
        }
        return server.readLine().trimmed().toLongLong();
    }

    static QByteArray ambrel(const QStringList &arguments, int *status = nullptr,
                             const QString &display = {})
    {
        QProcess p;
        QProcessEnvironment env = cleanEnvironment();
        if (!display.isEmpty())
            env.insert(QStringLiteral("DISPLAY"), display);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(AMBREL_PROGRAM), arguments);
        p.waitForFinished(30000);
        if (status)
            *status = p.exitCode();
        return p.readAllStandardOutput() + p.readAllStandardError();
    }

private Q_SLOTS:
    // A command whose name holds an emoji and an ampersand reads as the menu shows it, in
    // lines and in JSON.
    void listPrintsWhatTheMenuShows()
    {
        QTemporaryDir dir;
        const QString name = QStringLiteral("b🚀&c");
        QVERIFY(QFile::copy(QStringLiteral("/usr/bin/python3"), dir.filePath(name)));
        QVERIFY(QFile::setPermissions(dir.filePath(name), QFile::ReadOwner | QFile::ExeOwner));
        QProcess server;
        const qint64 port = listen(server, dir.filePath(name));
        const Listener process{server.processId(), 0, port, name, {}};
        const QStringList lines =
            QString::fromUtf8(ambrel({QStringLiteral("--list")})).split(u'\n');
        const QString entry = processTitle(process) + QStringLiteral("  (pid %1)").arg(process.pid);
        QVERIFY2(entry.contains(QStringLiteral(" · b🚀&c  (pid ")), qPrintable(entry));
        QVERIFY2(lines.contains(entry), qPrintable(lines.join(u'|')));

        const QJsonArray all =
            QJsonDocument::fromJson(ambrel({QStringLiteral("--list"), QStringLiteral("--json")}))
                .array();
        const auto it = std::find_if(all.begin(), all.end(), [&](const QJsonValue &v) {
            return v[QStringLiteral("pid")].toInteger() == process.pid;
        });
        QVERIFY(it != all.end());
        QCOMPARE(it->toObject().value(QStringLiteral("command")).toString(), name);
        QCOMPARE(it->toObject().value(QStringLiteral("ports")).toArray(),
                 QJsonArray({QJsonObject{
                     {QStringLiteral("address"), QStringLiteral("127.0.0.1")},
                     {QStringLiteral("port"), process.port},
                     {QStringLiteral("family"), QStringLiteral("ipv4")},
                     {QStringLiteral("exposure"), QStringLiteral("this machine only")}}}));
    }

    // The listener's pid goes to a bystander right after Ambrel checked it, in a pid namespace
    // of the test's own (see HandOff.cpp): nothing is signalled, and the listener is gone.
    void killWhenThePidChangesHands()
    {
        if (::geteuid() != 0)
            QSKIP("needs root, for a pid namespace");
        QProcess p;
        p.start(
            QStringLiteral("unshare"),
            QStringLiteral("--pid --fork --mount-proc bash -c").split(u' ')
                << QStringLiteral("coproc /usr/bin/python3 -c \"%1\"; l=$COPROC_PID; read port "
                                  "<&${COPROC[0]}; AMBREL_HAND_OFF=\"9 $l\" \"$0\" --kill $port "
                                  "2>&1; echo $? $(cut -d' ' -f2,3 /proc/$l/stat | sed 's/ "
                                  "[RS]$/ lives/')")
                       .arg(listener)
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
        QTest::addColumn<QString>("said"); // the start of the output
        const std::tuple<const char *, const char *, const char *, int, const char *> rows[] = {
            {"--version", "--version", "", 0, "ambrel " AMBREL_VERSION},
            {"beside Qt's options", "-platform offscreen --style=fusion -reverse --version", "", 0,
             "ambrel " AMBREL_VERSION},
            {"--help", "--help", "", 0, "Usage:"},
            {"no display", "", "", 1, "ambrel: cannot connect to a display"},
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
        int exit = -1;
        const QByteArray out = ambrel(arguments, &exit, display);
        QCOMPARE(exit, status);
        QVERIFY2(out.startsWith(said.toUtf8()), out.constData());
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
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("TMPDIR"), QStringLiteral("/nonexistent")); // Qt makes none
        if (!runtime)
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString());
        const QString socket = (runtime ? env.value(QStringLiteral("XDG_RUNTIME_DIR"))
                                        : QStringLiteral("/tmp/ambrel-%1").arg(getuid())) +
                               QStringLiteral("/ambrel.socket");
        QFile::remove(socket);
        QProcess first, second;
        first.setProcessEnvironment(env);
        second.setProcessEnvironment(env);
        const QString deaf =
            QStringLiteral("import socket, time; s = socket.socket(socket.AF_UNIX); "
                           "s.bind('%1'); s.listen(); time.sleep(60)");
        first.start(silent ? QStringLiteral("/usr/bin/python3") : QStringLiteral(AMBREL_PROGRAM),
                    silent ? QStringList{QStringLiteral("-c"), deaf.arg(socket)} : QStringList());
        QTRY_VERIFY(QFileInfo::exists(socket));
        second.start(QStringLiteral(AMBREL_PROGRAM), {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), silent ? 1 : 0);
        const QString line =
            silent ? QStringLiteral("ambrel: another Ambrel (pid %1) holds this session but does "
                                    "not answer\n")
                   : QStringLiteral("ambrel: already running (pid %1)\n");
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
        QList<qint64> children;
        QTRY_VERIFY_WITH_TIMEOUT(!(children = childrenOf(pid)).isEmpty(), 10000);
        ::kill(pid_t(pid), SIGKILL);
        QVERIFY(p.waitForFinished(10000));
        for (qint64 child : children) {
            QTRY_VERIFY_WITH_TIMEOUT(
                !Platform::processIsRunning(child, Platform::processStartTime(child).value_or(-1)),
                5000);
        }
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
