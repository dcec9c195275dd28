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
    void resultSaysWhy_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("succeeded");
        QTest::addColumn<QString>("failure");
        QTest::newRow("far more output than a pipe holds")
            << QStringLiteral("head -c 8000000 /dev/zero") << true << QString();
        QTest::newRow("refused") << QStringLiteral(
                                        "echo 'kill: (1) - Operation not permitted' >&2; "
                                        "echo second line >&2; exit 1")
                                 << false << QStringLiteral("kill: (1) - Operation not permitted");
        QTest::newRow("silent failure")
            << QStringLiteral("exit 4") << false << QStringLiteral("exit status 4");
        QTest::newRow("escape sequences") << QStringLiteral("printf 'a\\033[2Jb' >&2; exit 1")
                                          << false << QStringLiteral("a\uFFFD[2Jb");
        QTest::newRow("a flood on standard error")
            << QStringLiteral("head -c 8000000 /dev/zero | tr '\\0' e >&2; exit 1") << false
            << QString(300, u'e');
    }

    void resultSaysWhy()
    {
        QFETCH(QString, line);
        QFETCH(bool, succeeded);
        QFETCH(QString, failure);
        FdCapture out(STDOUT_FILENO);
        const CommandResult result = runShellCommand(line);
        QVERIFY(out.release().isEmpty());
        QCOMPARE(result.succeeded, succeeded);
        QCOMPARE(result.failure, failure);
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
        QVERIFY(!runDroppingOutput(QStringLiteral("/nonexistent/bash"), {QStringLiteral("-c")})
                     .succeeded);
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
        // Only now that the line is known to be refused is it safe to try it.
        QVERIFY(!killProcessWithTag(pid).succeeded);
    }
};

QTEST_GUILESS_MAIN(TestShellCommand)
#include "tst_shellcommand.moc"
