// The process actions against real processes, the desktop's URL handler and the clipboard.
#include "Helpers.h"
#include "ProcessStop.h"
#include "Processes.h"
#include "ShellCommand.h"
#include "UrlActions.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMimeData>
#include <QNetworkInterface>
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
    }

    // The pid must still name the process it was listed as; only then is it signalled.
    void killOnlyTheListedProcess_data()
    {
        QTest::addColumn<int>("change");
        QTest::addColumn<int>("outcome");
        QTest::newRow("the same process") << 0 << int(KillResult::Killed);
        QTest::newRow("ended since") << 1 << int(KillResult::Ended);
        QTest::newRow("the id is another process's now") << 2 << int(KillResult::Reused);
        QTest::newRow("gone when it was listed") << 3 << int(KillResult::Ended);
        QTest::newRow("a process group") << 4 << int(KillResult::NotAProcessId);
    }

    void killOnlyTheListedProcess()
    {
        QFETCH(int, change);
        QFETCH(int, outcome);
        const auto p = sleeper();
        qint64 pid = p->processId();
        qint64 started = Platform::processStartTime(pid).value_or(-1);
        if (change == 1) {
            p->kill();
            QVERIFY(p->waitForFinished());
        }
        started -= change == 2; // as if the listed one had started a moment earlier
        started = change == 3 ? -1 : started;
        pid = change == 4 ? 0 : pid;
        const KillResult result = killListedProcess(pid, started);
        QCOMPARE(int(result.outcome), outcome);
        if (change == 0)
            QVERIFY(killedBySigkill(*p));
        else if (change != 1)
            QVERIFY(!p->waitForFinished(300));
    }

    // SIGTERM first; SIGKILL only for the same process, and only once the grace has passed.
    void stopGently_data()
    {
        QTest::addColumn<QString>("trap");
        QTest::addColumn<int>("change");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("signal");
        QTest::newRow("ends on SIGTERM") << QString() << 0 << int(KillResult::Killed) << SIGTERM;
        QTest::newRow("ignores SIGTERM: killed after the grace")
            << QStringLiteral("trap '' TERM; ") << 0 << int(KillResult::Killed) << SIGKILL;
        QTest::newRow("the id is another process's now")
            << QString() << 1 << int(KillResult::Reused) << 0;
    }

    void stopGently()
    {
        QFETCH(QString, trap);
        QFETCH(int, change);
        QFETCH(int, outcome);
        QFETCH(int, signal);
        QProcess p;
        p.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), trap + QStringLiteral("exec sleep 1000")});
        QVERIFY(p.waitForStarted());
        QTest::qWait(100); // the trap is set
        const qint64 started = Platform::processStartTime(p.processId()).value_or(-1) - change;
        QElapsedTimer clock;
        clock.start();
        const KillResult result = stopListedProcess(p.processId(), started, 500);
        QCOMPARE(int(result.outcome), outcome);
        QCOMPARE(clock.elapsed() >= 500, signal == SIGKILL);
        if (!signal)
            QVERIFY(!p.waitForFinished(300));
        if (!signal)
            return;
        QVERIFY(endedBy(p, signal));
    }

    // As root the test acts as nobody, and its own child is then one it may not signal.
    void refusedKillSaysWhy()
    {
        const auto p = sleeper();
        const bool asNobody = ::geteuid() == 0;
        const qint64 pid = asNobody ? p->processId() : 1;
        const qint64 started = Platform::processStartTime(pid).value_or(-1);
        if (asNobody)
            QCOMPARE(::setresuid(65534, 65534, 0), 0);
        const KillResult result = killListedProcess(pid, started);
        if (asNobody)
            QCOMPARE(::setresuid(0, 0, 0), 0);
        QCOMPARE(int(result.outcome), int(KillResult::Failed));
        QVERIFY2(result.why.contains(QStringLiteral("Operation not permitted")),
                 qPrintable(result.why));
        QVERIFY(!p->waitForFinished(200));
    }

    void openInBrowserSaysOnlySuccess_data()
    {
        QTest::addColumn<qint64>("port");
        QTest::addColumn<bool>("handled");
        QTest::addColumn<QByteArray>("printed");
        QTest::newRow("taken") << qint64(3000) << true
                               << QByteArray("default browser was successfully opened\n");
        QTest::newRow("nothing takes it") << qint64(3000) << false << QByteArray();
        QTest::newRow("not a port") << qint64(65536) << true << QByteArray();
    }

    void openInBrowserSaysOnlySuccess()
    {
        QFETCH(qint64, port);
        QFETCH(bool, handled);
        QFETCH(QByteArray, printed);
        m_opened.clear();
        // Every http URL ends here: nothing may start a real browser.
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, handled ? "open" : "none");
        if (!handled)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("No such method")));
        FdCapture out(STDOUT_FILENO);
        QCOMPARE(openInBrowser(port), !printed.isEmpty());
        QCOMPARE(out.release(), printed);
        QCOMPARE(m_opened.size(), int(!printed.isEmpty()));
        if (!m_opened.isEmpty())
            QCOMPARE(m_opened.front(), QUrl(QStringLiteral("http://localhost:3000")));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    void copyLeavesOnlyThePlainTextURL()
    {
        auto *old = new QMimeData; // The clipboard takes ownership.
        old->setHtml(QStringLiteral("<b>old</b>"));
        QGuiApplication::clipboard()->setMimeData(old);
        copyNetworkURL(70000); // refused: the clipboard stays
        QCOMPARE(QGuiApplication::clipboard()->mimeData()->html(), QStringLiteral("<b>old</b>"));
        copyNetworkURL(3000);
        const QMimeData *data = QGuiApplication::clipboard()->mimeData();
        QCOMPARE(data->formats(), QStringList{QStringLiteral("text/plain")});
        const QUrl url(data->text(), QUrl::StrictMode);
        QCOMPARE(url.port(), 3000);
        // Another machine's way in: one of this machine's addresses, else localhost.
        if (url.host() != QLatin1String("localhost"))
            QVERIFY(QNetworkInterface::allAddresses().contains(QHostAddress(url.host())));
    }
};

QTEST_MAIN(TestActions)
#include "tst_actions.moc"
