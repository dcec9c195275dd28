#include "../FdCapture.h"
#include "ShellCommand.h"

#include <QDir>
#include <QTest>

static int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

class TestShellCommand : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void chattyCommandRunsToItsEnd()
    {
        // Far more than a pipe holds; its standard error stays ours.
        FdCapture out(STDOUT_FILENO);
        FdCapture err(STDERR_FILENO);
        runShellCommand(QStringLiteral("head -c 8000000 /dev/zero; echo done >&2"));
        QCOMPARE(err.release(), "done\n");
        QVERIFY(out.release().isEmpty());
    }

    void leavesNoDescriptorBehind()
    {
        runShellCommand(QStringLiteral("true")); // Qt sets up its child bookkeeping once.
        const int before = openDescriptors();
        for (int i = 0; i < 200; ++i)
            runShellCommand(QStringLiteral("echo %1").arg(i));
        QCOMPARE(openDescriptors(), before);
    }

    void unstartableShellIsLogged()
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
        QTest::newRow("our own group") << qint64(0) << QString();
        QTest::newRow("every process") << qint64(-1) << QString();
        QTest::newRow("wraps to -1 in the shell") << qint64(0xffffffff) << QString();
    }

    void killCommandLine()
    {
        QFETCH(qint64, pid);
        QFETCH(QString, line);
        QCOMPARE(::killCommandLine(pid).value_or(QString()), line);
        if (!line.isEmpty())
            return;
        // Only now that the line is known to be refused is it safe to choose the item.
        FdCapture err(STDERR_FILENO);
        QVERIFY(!killProcessWithTag(pid));
        QCOMPARE(err.release().count('\n'), 1);
    }
};

QTEST_GUILESS_MAIN(TestShellCommand)
#include "tst_shellcommand.moc"
