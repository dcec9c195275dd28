// The ambrel program itself, run as a user would run it.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
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

    void listPrintsWhatTheMenuShows()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QFile comm(QStringLiteral("/proc/self/comm"));
        QVERIFY(comm.open(QIODevice::ReadOnly));
        const QString entry = QStringLiteral("%1 · %2  (pid %3)")
                                  .arg(server.serverPort())
                                  .arg(QString::fromUtf8(comm.readAll().trimmed()))
                                  .arg(QCoreApplication::applicationPid());
        QProcess p;
        p.setProcessEnvironment(cleanEnvironment());
        p.start(QStringLiteral(AMBREL_PROGRAM), {QStringLiteral("--list")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
        const QStringList lines =
            QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'));
        QVERIFY2(lines.contains(entry), qPrintable(lines.join(QLatin1Char('|'))));
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
        p.start(QStringLiteral(AMBREL_PROGRAM), {});
        QVERIFY(p.waitForStarted());
        QList<qint64> children;
        QTRY_VERIFY_WITH_TIMEOUT(!(children = childrenOf(p.processId())).isEmpty(), 10000);
        ::kill(pid_t(p.processId()), signal);
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
