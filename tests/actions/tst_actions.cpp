// The process actions against real processes, the desktop's URL handler and the clipboard.
#include "Helpers.h"
#include "ProcessStop.h"
#include "Processes.h"
#include "UrlActions.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMimeData>
#include <QTest>
#include <QUrl>

#include <csignal>
#include <unistd.h>

class TestActions : public QObject {
    Q_OBJECT
    QList<QUrl> m_opened;

public Q_SLOTS:
    void open(const QUrl &url) { m_opened << url; }

private Q_SLOTS:
    void killCommandLine()
    {
        QCOMPARE(::killCommandLine(987), QStringLiteral("kill -9 987"));
        QCOMPARE(::killCommandLine(0xffffffff), std::nullopt); // -1 to the shell: every process
    }

    // Only the process that was listed is signalled: the pid must still name it. Kill sends
    // SIGKILL; Stop sends SIGTERM and SIGKILL only after the grace, to the same process.
    void endOnlyTheListedProcess_data()
    {
        QTest::addColumn<int>("graceMs"); // -1: Kill
        QTest::addColumn<QString>("trap");
        QTest::addColumn<int>("change");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("signal"); // what ended it; 0: it lives
        const QString none;
        QTest::newRow("kill") << -1 << none << 0 << int(KillResult::Killed) << SIGKILL;
        QTest::newRow("kill: ended since") << -1 << none << 1 << int(KillResult::Ended) << 0;
        QTest::newRow("kill: the id is another's now")
            << -1 << none << 2 << int(KillResult::Reused) << 0;
        QTest::newRow("kill: gone when listed") << -1 << none << 3 << int(KillResult::Ended) << 0;
        QTest::newRow("kill: a process group")
            << -1 << none << 4 << int(KillResult::NotAProcessId) << 0;
        QTest::newRow("kill: refused") << -1 << none << 5 << int(KillResult::Failed) << 0;
        QTest::newRow("stop") << 500 << none << 0 << int(KillResult::Killed) << SIGTERM;
        QTest::newRow("stop: SIGTERM ignored")
            << 500 << QStringLiteral("trap '' TERM; ") << 0 << int(KillResult::Killed) << SIGKILL;
        QTest::newRow("stop: the id is another's now")
            << 500 << none << 2 << int(KillResult::Reused) << 0;
    }

    void endOnlyTheListedProcess()
    {
        QFETCH(int, graceMs);
        QFETCH(QString, trap);
        QFETCH(int, change);
        QFETCH(int, outcome);
        QFETCH(int, signal);
        // As root the test acts as nobody for a refusal: its own child it may not signal then.
        if (change == 5 && ::geteuid() != 0)
            QSKIP("needs root, to act as another user");
        QProcess p;
        p.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), trap + QStringLiteral("exec sleep 1000")});
        QVERIFY(p.waitForStarted());
        QTest::qWait(100); // the trap is set
        const qint64 pid = change == 4 ? 0 : p.processId();
        qint64 started = Platform::processStartTime(pid).value_or(-1) - (change == 2);
        if (change == 1) {
            p.kill();
            QVERIFY(p.waitForFinished());
        }
        started = change == 3 ? -1 : started;
        if (change == 5)
            QCOMPARE(::setresuid(65534, 65534, 0), 0);
        QElapsedTimer clock;
        clock.start();
        const KillResult result = graceMs < 0 ? killListedProcess(pid, started)
                                              : stopListedProcess(pid, started, graceMs);
        if (change == 5)
            QCOMPARE(::setresuid(0, 0, 0), 0);
        QCOMPARE(int(result.outcome), outcome);
        if (change == 5)
            QVERIFY2(result.why.contains(QStringLiteral("Operation not permitted")),
                     qPrintable(result.why));
        if (graceMs > 0)
            QCOMPARE(clock.elapsed() >= graceMs, signal == SIGKILL);
        if (signal)
            QVERIFY(endedBy(p, signal));
        else if (change != 1)
            QVERIFY(!p.waitForFinished(300));
    }

    void openInBrowserSaysOnlySuccess_data()
    {
        QTest::addColumn<qint64>("port");
        QTest::addColumn<bool>("handled");
        QTest::newRow("taken") << qint64(3000) << true;
        QTest::newRow("nothing takes it") << qint64(3000) << false;
        QTest::newRow("not a port") << qint64(65536) << true;
    }

    void openInBrowserSaysOnlySuccess()
    {
        QFETCH(qint64, port);
        QFETCH(bool, handled);
        m_opened.clear();
        // Every http URL ends here: nothing may start a real browser.
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, handled ? "open" : "none");
        if (!handled)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("No such method")));
        FdCapture out(STDOUT_FILENO);
        const bool opened = openInBrowser(port);
        QCOMPARE(out.release(),
                 opened ? QByteArray("default browser was successfully opened\n") : QByteArray());
        QCOMPARE(opened, handled && port == 3000);
        QCOMPARE(m_opened, opened ? QList<QUrl>{QUrl(QStringLiteral("http://localhost:3000"))}
                                  : QList<QUrl>{});
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    void copyLeavesOnlyThePlainTextURL()
    {
        auto *old = new QMimeData; // The clipboard takes ownership.
        old->setHtml(QStringLiteral("<b>old</b>"));
        QGuiApplication::clipboard()->setMimeData(old);
        copyNetworkURL(70000); // refused: the clipboard stays
        QCOMPARE(QGuiApplication::clipboard()->mimeData()->html(), QStringLiteral("<b>old</b>"));
        copyNetworkURL(3000, QStringLiteral("fe80::1"));
        const QMimeData *data = QGuiApplication::clipboard()->mimeData();
        QCOMPARE(data->formats(), QStringList{QStringLiteral("text/plain")});
        QCOMPARE(data->text(), QStringLiteral("http://[fe80::1]:3000"));
    }
};

QTEST_MAIN(TestActions)
#include "tst_actions.moc"
