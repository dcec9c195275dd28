// The ambrel program itself, run as a user would run it.
#include "ListeningProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

class TestProgram : public QObject {
    Q_OBJECT

    // The pids whose parent is `parent`, from /proc.
    static QList<qint64> childrenOf(qint64 parent)
    {
        QList<qint64> result;
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString &entry : entries) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            const QByteArray text = stat.readAll();
            // "pid (comm) state ppid ...": comm may hold anything, so read after its last ')'.
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 1 && fields[1].toLongLong() == parent)
                result.append(entry.toLongLong());
        }
        return result;
    }

    static bool isZombie(const QString &proc)
    {
        QFile stat(proc + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            return true;
        const QByteArray text = stat.readAll();
        return text.mid(text.lastIndexOf(')') + 2, 1) == "Z";
    }

    static QProcessEnvironment cleanEnvironment()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        return env;
    }

private Q_SLOTS:
    void versionAndHelpNeedNoDisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("alone") << QStringList{QStringLiteral("--version")};
        QTest::newRow("beside Qt's options")
            << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"),
                           QStringLiteral("--style=fusion"), QStringLiteral("-reverse"),
                           QStringLiteral("--version")};
    }

    void versionAndHelpNeedNoDisplay()
    {
        QFETCH(QStringList, arguments);
        QProcess p;
        p.setProcessEnvironment(cleanEnvironment());
        p.start(QStringLiteral(AMBREL_PROGRAM), arguments);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardOutput().trimmed(), QByteArray("ambrel " AMBREL_VERSION));

        p.start(QStringLiteral(AMBREL_PROGRAM), {QStringLiteral("--help")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardOutput().contains("--version"));
    }

    // A command whose name holds an emoji and an ampersand reads as the menu shows it.
    void listPrintsWhatTheMenuShows()
    {
        QTemporaryDir dir;
        const QString name = QStringLiteral("b🚀&c");
        QVERIFY(QFile::copy(QStringLiteral("/usr/bin/python3"), dir.filePath(name)));
        QVERIFY(QFile::setPermissions(dir.filePath(name), QFile::ReadOwner | QFile::ExeOwner));
        QProcess server;
        server.start(dir.filePath(name),
                     {QStringLiteral("-c"),
                      QStringLiteral("import socket, time; s = socket.socket(); "
                                     "s.bind(('127.0.0.1', 0)); s.listen(); "
                                     "print(s.getsockname()[1], flush=True); time.sleep(60)")});
        QVERIFY(server.waitForReadyRead(10000));
        const Listener process{server.processId(), 0, server.readLine().trimmed().toLongLong(),
                               name};
        QProcess p;
        p.setProcessEnvironment(cleanEnvironment());
        p.start(QStringLiteral(AMBREL_PROGRAM), {QStringLiteral("--list")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split(u'\n');
        const QString entry = processTitle(process) + QStringLiteral("  (pid %1)").arg(process.pid);
        QVERIFY2(entry.contains(QStringLiteral(" · b🚀&c  (pid ")), qPrintable(entry));
        QVERIFY2(lines.contains(entry), qPrintable(lines.join(u'|')));
        server.kill();
        server.waitForFinished();
    }

    void noDisplayGivesOneLineAndFailure_data()
    {
        QTest::addColumn<QString>("display");
        QTest::newRow("unset") << QString();
        QTest::newRow("unreachable") << QStringLiteral(":97");
    }

    void noDisplayGivesOneLineAndFailure()
    {
        QFETCH(QString, display);
        QProcessEnvironment env = cleanEnvironment();
        if (!display.isEmpty())
            env.insert(QStringLiteral("DISPLAY"), display);
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(AMBREL_PROGRAM), {});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit); // no crash, no abort
        QCOMPARE(p.exitCode(), 1);
        const QByteArray err = p.readAllStandardError();
        QCOMPARE(err.count('\n'), 1);
        QVERIFY2(err.startsWith("ambrel: cannot connect to a display"), err.constData());
        QVERIFY(err.contains("ambrel --list"));
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
        p.start(QStringLiteral(AMBREL_PROGRAM), {QStringLiteral("--scanner=lsof")});
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
            const QString proc = QStringLiteral("/proc/%1").arg(child);
            QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(proc) || isZombie(proc), 5000);
        }
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
