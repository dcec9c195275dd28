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
#include <QTimer>
#include <QUrl>

using namespace Qt::StringLiterals;

class TestActions : public QObject {
    Q_OBJECT
    QList<QUrl> m_opened;

public Q_SLOTS:
    void open(const QUrl &url) { m_opened << url; }

private Q_SLOTS:
    // Only the process that was listed is signalled: the pid must still name it, also when it
    // changes hands right after the check (in a pid namespace: tst_actions_pid_namespace). Kill
    // sends SIGKILL; Stop sends SIGTERM and SIGKILL only after the grace, to the same process.
    void endOnlyTheListedProcess_data()
    {
        QTest::addColumn<int>("graceMs"); // -1: Kill
        QTest::addColumn<QString>("trap");
        QTest::addColumn<int>("change");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("signal"); // what ended it, 0: it lives; or where the pid goes
        const char *deaf = "trap '' TERM; ";
        const std::tuple<const char *, int, const char *, int, KillResult::Outcome, int> rows[] = {
            {"kill", -1, "", 0, KillResult::Killed, SIGKILL},
            {"kill: ended since", -1, "", 1, KillResult::Ended, 0},
            {"kill: the id is another's now", -1, "", 2, KillResult::Reused, 0},
            {"kill: gone when listed", -1, "", 3, KillResult::Ended, 0},
            {"kill: a process group", -1, "", 4, KillResult::NotAProcessId, 0},
            {"kill: refused", -1, "", 5, KillResult::Failed, 0},
            {"kill: the pid changes hands after the check", -1, "", 6, KillResult::Reused, SIGKILL},
            {"stop", 500, "", 0, KillResult::Killed, SIGTERM},
            {"stop: SIGTERM ignored", 500, deaf, 0, KillResult::Killed, SIGKILL},
            {"stop: the pid changes hands at SIGTERM", 500, "", 6, KillResult::Reused, SIGTERM},
            {"stop: the pid changes hands at SIGKILL", 500, deaf, 6, KillResult::Reused, SIGKILL},
            {"stop: stuck, SIGKILL cannot end it", 500, deaf, 7, KillResult::Failed, 0}};
        for (const auto &[name, graceMs, trap, change, outcome, signal] : rows)
            QTest::newRow(name) << graceMs << QString::fromUtf8(trap) << change << int(outcome)
                                << signal;
    }

    void endOnlyTheListedProcess()
    {
        QFETCH(int, graceMs);
        QFETCH(QString, trap);
        QFETCH(int, change);
        QFETCH(int, outcome);
        QFETCH(int, signal);
        // As root the test acts as nobody for a refusal: its own child it may not signal then.
        if ((change == 5 && ::geteuid() != 0) || (change == 6 && ::getpid() != 1))
            QSKIP("needs root, to act as another user, or a pid namespace of its own");
        // The listed process is a shell's child, which the shell reaps, and which ends with it.
        QProcess p;
        p.start(u"/bin/sh"_s,
                {u"-c"_s, trap + u"setpriv --pdeathsig KILL sleep 1000 & echo $!; wait $!"_s});
        QVERIFY(p.waitForReadyRead());
        const qint64 pid = change == 4 ? 0 : p.readLine().trimmed().toLongLong();
        const qint64 started =
            change == 3 ? -1 : Platform::processStartTime(pid).value_or(-1) - (change == 2);
        if (change == 1)
            QVERIFY(::kill(pid_t(pid), SIGKILL) == 0 && p.waitForFinished());
        if (change == 5)
            QCOMPARE(::setresuid(65534, 65534, 0), 0);
        qputenv("AMBREL_HAND_OFF",
                change == 7 ? "9 -1" : u"%1 %2"_s.arg(change == 6 ? signal : 0).arg(pid).toUtf8());
        QTimer never; // a stop that never ends fails here, not at CTest's time limit
        never.callOnTimeout([] { qFatal("the stop never ended"); });
        never.start(15000);
        QElapsedTimer clock;
        clock.start();
        const KillResult result = graceMs < 0
                                      ? killListedProcess(pid, started)
                                      : stopListedProcesses({{pid, started}}, graceMs).value(0);
        if (change == 5) // back to root first, whatever the outcome
            QVERIFY2(::setresuid(0, 0, 0) == 0 && result.why.contains(u"Operation not permitted"_s),
                     qPrintable(result.why));
        QCOMPARE(int(result.outcome), outcome);
        if (graceMs > 0 && change < 6)
            QCOMPARE(clock.elapsed() >= graceMs, signal == SIGKILL);
        p.waitForFinished(signal ? 30000 : 300);
        if (change == 6) // the listed process is gone, and a bystander lives with its pid
            QVERIFY(p.state() == QProcess::NotRunning &&
                    Platform::processIsRunning(pid, Platform::processStartTime(pid).value_or(0)));
        else if (change != 1)
            QCOMPARE(p.exitCode(), signal ? 128 + signal : 0);
    }

    // The line that says the browser opened comes only when one did.
    void openInBrowserSaysOnlySuccess()
    {
        // port, whether something takes http URLs
        for (const auto &[port, handled] : {std::pair{3000, true}, {3000, false}, {65536, true}}) {
            m_opened.clear();
            // Every http URL ends here: nothing may start a real browser.
            QDesktopServices::setUrlHandler(u"http"_s, this, handled ? "open" : "none");
            if (!handled)
                QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"No such method"_s));
            FdCapture out(STDOUT_FILENO);
            const bool opened = openInBrowser(port);
            QCOMPARE(out.release(), opened ? QByteArray("default browser was successfully opened\n")
                                           : QByteArray());
            QCOMPARE(opened, handled && port == 3000);
            QCOMPARE(m_opened,
                     opened ? QList<QUrl>{QUrl(u"http://localhost:3000"_s)} : QList<QUrl>{});
        }
        QDesktopServices::unsetUrlHandler(u"http"_s);
    }

    void copyLeavesOnlyThePlainTextURL()
    {
        auto *old = new QMimeData; // The clipboard takes ownership.
        old->setHtml(u"<b>old</b>"_s);
        QGuiApplication::clipboard()->setMimeData(old);
        copyNetworkURL(70000); // refused: the clipboard stays
        QCOMPARE(QGuiApplication::clipboard()->mimeData()->html(), u"<b>old</b>"_s);
        copyNetworkURL(3000, u"fe80::1"_s);
        const QMimeData *data = QGuiApplication::clipboard()->mimeData();
        QCOMPARE(data->formats(), QStringList{u"text/plain"_s});
        QCOMPARE(data->text(), u"http://[fe80::1]:3000"_s);
    }
};

QTEST_MAIN(TestActions)
#include "tst_actions.moc"
