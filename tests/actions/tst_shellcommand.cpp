#include "../FdCapture.h"
#include "ShellCommand.h"

#include <QDir>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <fcntl.h>

static int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

// Children of ours that exited and were never reaped.
static int zombieChildren()
{
    const QByteArray parent = QByteArray::number(qint64(getpid()));
    int count = 0;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (comm) state ppid ...": comm may hold spaces, so read after its closing paren.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> rest = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (rest.size() > 1 && rest[0] == "Z" && rest[1] == parent)
            ++count;
    }
    return count;
}

static void startSleeper(QProcess &child)
{
    child.start(QStringLiteral("/bin/sleep"), {QStringLiteral("1000")});
    QVERIFY(child.waitForStarted());
}

class TestShellCommand : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void outputIsDrainedAndDropped()
    {
        FdCapture out(STDOUT_FILENO);
        runShellCommand(QStringLiteral("head -c 8000000 /dev/zero; echo done"));
        QVERIFY(out.release().isEmpty());
    }

    void childSharesInputErrorAndEnvironment()
    {
        qputenv("AMBREL_TEST_MARK", "marked");
        QTemporaryFile input;
        QVERIFY(input.open());
        input.write("from stdin\n");
        input.flush();
        const int savedIn = dup(STDIN_FILENO);
        const int inputFd = open(QFile::encodeName(input.fileName()).constData(), O_RDONLY);
        dup2(inputFd, STDIN_FILENO);
        close(inputFd);
        FdCapture err(STDERR_FILENO);
        runShellCommand(QStringLiteral("cat >&2; echo \"$AMBREL_TEST_MARK $PWD\" >&2"));
        const QByteArray said = err.release();
        dup2(savedIn, STDIN_FILENO);
        close(savedIn);
        QCOMPARE(said, "from stdin\nmarked " + QDir::currentPath().toUtf8() + '\n');
    }

    void leavesNoDescriptorOrZombie()
    {
        runShellCommand(QStringLiteral("true")); // Qt sets up its child bookkeeping once.
        const int before = openDescriptors();
        for (int i = 0; i < 200; ++i)
            runShellCommand(QStringLiteral("echo %1").arg(i));
        QCOMPARE(openDescriptors(), before);
        QCOMPARE(zombieChildren(), 0);
    }

    void unstartableProgramIsLogged()
    {
        FdCapture err(STDERR_FILENO);
        QVERIFY(!runDroppingOutput(QStringLiteral("/nonexistent/bash"), {QStringLiteral("-c")}));
        QCOMPARE(err.release().count('\n'), 1);
    }

    void killCommandLine_data()
    {
        QTest::addColumn<qint64>("pid");
        QTest::addColumn<QString>("line");
        QTest::newRow("pid") << qint64(987) << QStringLiteral("kill -9 987");
        QTest::newRow("group of our own") << qint64(0) << QString();
        QTest::newRow("every process") << qint64(-1) << QString();
        QTest::newRow("a group") << qint64(-987) << QString();
        QTest::newRow("wraps to -1") << qint64(0xffffffff) << QString();
        QTest::newRow("wraps to 0") << qint64(0x100000000) << QString();
    }

    void killCommandLine()
    {
        QFETCH(qint64, pid);
        QFETCH(QString, line);
        QCOMPARE(::killCommandLine(pid).value_or(QString()), line);
    }

    void killEndsTheProcessWithSignal9()
    {
        QProcess child;
        startSleeper(child);
        QVERIFY(killProcessWithTag(child.processId()));
        QVERIFY(child.waitForFinished());
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QCOMPARE(child.exitCode(), SIGKILL);
    }

    void refusedTagsSignalNothing()
    {
        QProcess child;
        startSleeper(child);
        // Were either run, this test process would die with the child.
        for (const qint64 tag : {qint64(0), qint64(-1)}) {
            FdCapture err(STDERR_FILENO);
            QVERIFY(!killProcessWithTag(tag));
            QCOMPARE(err.release().count('\n'), 1);
        }
        QVERIFY(!child.waitForFinished(100));
        child.kill();
        child.waitForFinished();
    }

    void exitedProcessStillReturns()
    {
        QProcess child;
        child.start(QStringLiteral("/bin/true"));
        QVERIFY(child.waitForStarted());
        const qint64 pid = child.processId();
        QVERIFY(child.waitForFinished());
        FdCapture err(STDERR_FILENO); // The shell complains there.
        QVERIFY(killProcessWithTag(pid));
        QVERIFY(!err.release().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestShellCommand)
#include "tst_shellcommand.moc"
