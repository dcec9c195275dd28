// The ambrel program itself, run as a user would run it.
#include <QProcess>
#include <QTest>

#include <csignal>

class TestProgram : public QObject {
    Q_OBJECT

    static QProcessEnvironment cleanEnvironment()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        return env;
    }

private Q_SLOTS:
    void versionAndHelpNeedNoDisplay()
    {
        QProcess p;
        p.setProcessEnvironment(cleanEnvironment());
        p.start(QStringLiteral(AMBREL_PROGRAM), {QStringLiteral("--version")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardOutput().trimmed(), QByteArray("ambrel " AMBREL_VERSION));

        p.start(QStringLiteral(AMBREL_PROGRAM), {QStringLiteral("--help")});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardOutput().contains("--version"));
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
    }

    void terminationSignalQuitsCleanly()
    {
        QProcessEnvironment env = cleanEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(AMBREL_PROGRAM), {});
        QVERIFY(p.waitForStarted());
        QTest::qWait(1500);
        QCOMPARE(p.state(), QProcess::Running);
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
