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

    void endByPort_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("signal"); // what ended the listener; 0: it lives
        QTest::newRow("--kill") << QStringLiteral("--kill") << 0 << int(SIGKILL);
        QTest::newRow("--stop") << QStringLiteral("--stop") << 0 << int(SIGTERM);
        QTest::newRow("nothing listens there") << QStringLiteral("--kill") << 1 << 0;
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
        const QByteArray said = ambrel({option, QString::number(status == 1 ? 1 : port)}, &exit,
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
