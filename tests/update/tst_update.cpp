// The updater against a feed server of our own on 127.0.0.1, its state reports, the restart and
// the install.
#include "Helpers.h"
#include "Installer.h"
#include "Updater.h"

#include <QDirIterator>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QByteArray feedPath = "/update/osx/" AMBREL_VERSION;

QByteArray answer(int status, const QByteArray &body, qsizetype announced = -1)
{
    return "HTTP/1.1 " + QByteArray::number(status) +
           " X\r\nContent-Length: " + QByteArray::number(announced < 0 ? body.size() : announced) +
           "\r\nConnection: close\r\n\r\n" + body;
}

const QByteArray offer = answer(200, "{\"url\": \"/a.tar.gz\", \"name\": \"Ambrel 9\"}");

// Answers each path with the bytes given for it; a path without them gets no answer at all, and
// an answer ending in "#stall" keeps its connection open. Returns the server's origin.
QString serve(QTcpServer &server, const QHash<QByteArray, QByteArray> &answers)
{
    server.listen(QHostAddress::LocalHost);
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, answers] {
        QTcpSocket *socket = server.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, answers] {
            if (!socket->peek(socket->bytesAvailable()).contains("\r\n\r\n"))
                return;
            const QByteArray reply = answers.value(socket->readAll().split(' ').value(1));
            socket->write(reply);
            if (!reply.isEmpty() && !reply.endsWith("#stall"))
                socket->disconnectFromHost();
        });
    });
    return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
}

// Starts the checks, then observes them as the delegate does: connected after the start.
void startObserved(Updater &updater, QList<int> &states, double interval = 3600)
{
    updater.startAutomaticChecksWithInterval(interval);
    QObject::connect(&updater, &Updater::stateChanged, &updater, [&updater, &states](int state) {
        states << state;
        reportUpdaterState(QStringLiteral("state"), &updater, &updater);
    });
}

// Runs work in the application's event loop; true when something asked the loop to quit.
bool quitsEventLoop(const std::function<void()> &work, int graceMs)
{
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, QCoreApplication::instance(),
                     [] { QCoreApplication::exit(1); });
    guard.start(graceMs);
    QTimer::singleShot(0, QCoreApplication::instance(), work);
    return QCoreApplication::exec() == 0;
}

bool writeFile(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// A tree whose bin/ambrel, once started, leaves its version in share/ambrel/started.
bool makeBundle(const QString &dir, const QByteArray &version)
{
    const QString program = dir + QStringLiteral("/bin/ambrel");
    return writeFile(dir + QStringLiteral("/share/ambrel/version"), version) &&
           writeFile(program, "#!/bin/sh\necho " + version +
                                  " > \"$(dirname \"$0\")/../share/ambrel/started\"\n") &&
           QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool pack(const QString &archive, const QString &dir, const QStringList &members)
{
    return QProcess::execute(
               QStringLiteral("/bin/tar"),
               QStringList{QStringLiteral("-czPf"), archive, QStringLiteral("-C"), dir} +
                   members) == 0;
}

// Every entry under dir, hidden ones included, with the contents of the files.
QMap<QString, QByteArray> snapshot(const QString &dir)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        tree[QDir(dir).relativeFilePath(file.fileName())] =
            file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("dir");
    }
    return tree;
}

} // namespace

class TestUpdate : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void feedAnswers_data()
    {
        QTest::addColumn<QByteArray>("feed");
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QList<int>>("states"); // the first ones; checks repeat every 50 ms
        QTest::addColumn<bool>("failed");
        const QList<int> checked = {1, 0}, downloaded = {1, 2, 0};
        // Only the version's path is answered: a request for any other would stall.
        QTest::newRow("no update")
            << answer(204, {}) << QByteArray() << QList<int>{1, 0, 1, 0} << false;
        QTest::newRow("server error") << answer(500, "oops") << QByteArray() << checked << true;
        QTest::newRow("feed never answers") << QByteArray() << QByteArray() << checked << true;
        QTest::newRow("malformed JSON")
            << answer(200, "{\"url\": ") << QByteArray() << checked << true;
        QTest::newRow("local file offered")
            << answer(200, "{\"url\": \"file:///etc/x\", \"name\": \"x\"}") << QByteArray()
            << checked << true;
        QTest::newRow("archive missing") << offer << answer(404, "no") << downloaded << true;
        QTest::newRow("archive stalls")
            << offer << answer(200, "#stall", 1000) << downloaded << true;
    }

    void feedAnswers()
    {
        QFETCH(QByteArray, feed);
        QFETCH(QByteArray, archive);
        QFETCH(QList<int>, states);
        QFETCH(bool, failed);
        QTcpServer server;
        QNetworkRequest request =
            updateRequest(serve(server, {{feedPath, feed}, {"/a.tar.gz", archive}}));
        request.setTransferTimeout(300);
        Updater updater(request);
        FdCapture err(STDERR_FILENO);
        QList<int> seen;
        startObserved(updater, seen, 0.05);
        QTRY_VERIFY(seen.size() >= states.size());
        QCOMPARE(seen.mid(0, states.size()), states);
        const QStringList lines = logLines(err.release());
        QCOMPARE(lines.value(0), QStringLiteral("SQRLUpdaterStateCheckingForUpdate"));
        QCOMPARE(!lines.filter(QStringLiteral("failed")).isEmpty(), failed);
    }

    void updateInstallsAndRelaunches()
    {
        QTemporaryDir tmp;
        const QString bundle = tmp.filePath(QStringLiteral("Ambrel bundle"));
        QVERIFY(makeBundle(bundle, "old"));
        QVERIFY(writeFile(bundle + QStringLiteral("/share/ambrel/gone"), "only in the old"));
        QVERIFY(makeBundle(tmp.filePath(QStringLiteral("new")), "new"));
        QVERIFY(pack(tmp.filePath(QStringLiteral("a.tar.gz")), tmp.filePath(QStringLiteral("new")),
                     {QStringLiteral(".")}));
        QTcpServer server;
        Updater updater(updateRequest(serve(
            server,
            {{feedPath, offer},
             {"/a.tar.gz", answer(200, snapshot(tmp.path()).value(QStringLiteral("a.tar.gz")))}})));
        updater.setResourceURL(QUrl::fromLocalFile(bundle + QStringLiteral("/share/ambrel/")));

        FdCapture err(STDERR_FILENO);
        QList<int> states;
        QVERIFY(quitsEventLoop([&] { startObserved(updater, states); }, 30000));
        QCOMPARE(states, QList<int>({1, 2, 3}));
        // One relaunch, its bundle text with the space still escaped.
        QCOMPARE(logLines(err.release()).filter(QStringLiteral("restart")),
                 QStringList(QStringLiteral("restart file://") + tmp.path() +
                             QStringLiteral("/Ambrel%20bundle/")));
        QTRY_COMPARE(snapshot(bundle).value(QStringLiteral("share/ambrel/started")), "new\n");
        QVERIFY(!snapshot(bundle).contains(QStringLiteral("share/ambrel/gone")));
        // Nothing is left beside the bundle, the old version included.
        QCOMPARE(QDir(tmp.path())
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                     .size(),
                 3);
    }

    void restartThatCannotHappenKeepsRunning()
    {
        QTemporaryDir tmp; // holds no bin/ambrel
        const QUrl resources = QUrl::fromLocalFile(tmp.filePath(QStringLiteral("share/ambrel/")));
        FdCapture err(STDERR_FILENO);
        QVERIFY(!quitsEventLoop(
            [&] {
                restartApplication(QUrl()); // logs nothing
                restartApplication(resources);
            },
            200));
        const QStringList lines = logLines(err.release());
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines.at(1).startsWith(QStringLiteral("restart failed")));
    }

    void badInstallLeavesTheBundle_data()
    {
        QTest::addColumn<QString>("problem");
        for (const char *problem : {"truncated", "member above", "absolute member", "no program",
                                    "other program's file in the bundle"})
            QTest::newRow(problem) << QString::fromUtf8(problem);
    }

    void badInstallLeavesTheBundle()
    {
        QFETCH(QString, problem);
        QTemporaryDir tmp;
        const QString bundle = tmp.filePath(QStringLiteral("bundle"));
        const QString fresh = tmp.filePath(QStringLiteral("new"));
        const QString archive = tmp.filePath(QStringLiteral("u.tar.gz"));
        QVERIFY(makeBundle(bundle, "old") && makeBundle(fresh, "new"));
        QStringList members = {QStringLiteral(".")};
        if (problem == QLatin1String("member above"))
            members = {QStringLiteral("../new/bin/ambrel")};
        if (problem == QLatin1String("absolute member"))
            members = {fresh + QStringLiteral("/bin/ambrel")};
        if (problem == QLatin1String("no program"))
            QVERIFY(QFile::remove(fresh + QStringLiteral("/bin/ambrel")));
        if (problem.startsWith(QLatin1String("other")))
            QVERIFY(writeFile(bundle + QStringLiteral("/share/other/data"), "not ours"));
        QVERIFY(pack(archive, fresh, members));
        if (problem == QLatin1String("truncated"))
            QVERIFY(QFile::resize(archive, QFileInfo(archive).size() / 2));

        const auto before = snapshot(tmp.path()); // also shows what is left beside the bundle
        FdCapture err(STDERR_FILENO);
        QVERIFY(!installUpdate(archive, bundle));
        const QStringList lines = logLines(err.release());
        QCOMPARE(snapshot(tmp.path()), before);
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().startsWith(QStringLiteral("update not installed: ")));
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
