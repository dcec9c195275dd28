// The updater against a feed server of our own on 127.0.0.1.
#include "Bundles.h"
#include "LogCapture.h"
#include "Update.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

QByteArray answer(int status, const QByteArray &body, qsizetype announced = -1)
{
    return "HTTP/1.1 " + QByteArray::number(status) +
           " X\r\nContent-Length: " + QByteArray::number(announced < 0 ? body.size() : announced) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// Answers each path with the bytes given for it; a path without an answer gets none at all.
// An answer shorter than its Content-Length leaves the connection open, stalled.
class FeedServer : public QObject {
public:
    FeedServer()
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = m_server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                m_pending[socket] += socket->readAll();
                if (!m_pending[socket].contains("\r\n\r\n"))
                    return;
                const QByteArray line = m_pending[socket].left(m_pending[socket].indexOf("\r\n"));
                requests << line;
                const QByteArray path = line.split(' ').value(1);
                if (!answers.contains(path))
                    return;
                socket->write(answers[path]);
                if (!answers[path].endsWith("#stall"))
                    socket->disconnectFromHost();
            });
        });
    }
    QString origin() const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
    }

    QHash<QByteArray, QByteArray> answers;
    QList<QByteArray> requests;

private:
    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_pending;
};

const QByteArray feedPath = "/update/osx/" AMBREL_VERSION;

// An updater of the server's feed, observed as the delegate observes its own.
struct ObservedUpdater {
    explicit ObservedUpdater(const FeedServer &server, int timeoutMs = 60000)
        : updater([&] {
              QNetworkRequest request = updateRequest(server.origin());
              request.setTransferTimeout(timeoutMs);
              return request;
          }())
    {
        QObject::connect(&updater, &Updater::stateChanged, &updater, [this](int state) {
            states << state;
            reportUpdaterState(QStringLiteral("state"), &updater, &updater);
        });
    }
    Updater updater;
    QList<int> states;
};

} // namespace

class TestUpdateFeed : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void productionRequest()
    {
        QObject owner;
        const QByteArray testOrigin = qgetenv("AMBREL_UPDATE_ORIGIN");
        qunsetenv("AMBREL_UPDATE_ORIGIN"); // made, never started: nothing is sent
        const QNetworkRequest request = makeUpdater(&owner)->updateRequest();
        qputenv("AMBREL_UPDATE_ORIGIN", testOrigin);
        QCOMPARE(request.url().toString(),
                 QStringLiteral("https://" AMBREL_UPDATE_HOST "/update/osx/" AMBREL_VERSION));
        QCOMPARE(request.transferTimeout(), 60000);
        QCOMPARE(request.attribute(QNetworkRequest::CacheLoadControlAttribute).toInt(),
                 int(QNetworkRequest::PreferNetwork));
        QVERIFY(request.rawHeaderList().isEmpty());
    }

    void noUpdateThenCheckedAgain()
    {
        FeedServer server;
        server.answers[feedPath] = answer(204, {});
        LogCapture log;
        Updater updater(updateRequest(server.origin()));
        updater.startAutomaticChecksWithInterval(0.05);
        // Observed only after the start, as the delegate does it.
        QList<int> states;
        connect(&updater, &Updater::stateChanged, &updater, [&](int state) {
            states << state;
            reportUpdaterState(QStringLiteral("state"), &updater, &updater);
        });
        QTRY_VERIFY(states.size() >= 4);
        QCOMPARE(states.mid(0, 4), QList<int>({1, 0, 1, 0}));
        QCOMPARE(server.requests.first(), "GET " + feedPath + " HTTP/1.1");
        QCOMPARE(log.lines().mid(0, 2),
                 QStringList({QStringLiteral("SQRLUpdaterStateCheckingForUpdate"),
                              QStringLiteral("SQRLUpdaterStateIdle")}));
    }

    void failedChecks_data()
    {
        QTest::addColumn<QByteArray>("feed");
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QList<int>>("states");
        const QByteArray offer = answer(200, "{\"url\": \"/a.tar.gz\", \"name\": \"Ambrel 9\"}");
        const QList<int> checked = {1, 0}, downloaded = {1, 2, 0};
        QTest::newRow("server error") << answer(500, "oops") << QByteArray() << checked;
        QTest::newRow("feed never answers") << QByteArray() << QByteArray() << checked;
        QTest::newRow("other success") << answer(202, {}) << QByteArray() << checked;
        QTest::newRow("malformed JSON") << answer(200, "{\"url\": ") << QByteArray() << checked;
        QTest::newRow("no url") << answer(200, "{\"name\": \"Ambrel 9\"}") << QByteArray()
                                << checked;
        QTest::newRow("no name") << answer(200, "{\"url\": \"/a.tar.gz\"}") << QByteArray()
                                 << checked;
        QTest::newRow("array") << answer(200, "[{\"url\": \"/a.tar.gz\"}]") << QByteArray()
                               << checked;
        QTest::newRow("local file offered")
            << answer(200, "{\"url\": \"file:///etc/hostname\", \"name\": \"x\"}") << QByteArray()
            << checked;
        QTest::newRow("archive missing") << offer << answer(404, "no") << downloaded;
        QTest::newRow("archive empty") << offer << answer(200, {}) << downloaded;
        QTest::newRow("archive stalls") << offer << answer(200, "#stall", 1000) << downloaded;
    }

    void failedChecks()
    {
        QFETCH(QByteArray, feed);
        QFETCH(QByteArray, archive);
        QFETCH(QList<int>, states);
        FeedServer server;
        if (!feed.isEmpty())
            server.answers[feedPath] = feed;
        if (!archive.isEmpty())
            server.answers["/a.tar.gz"] = archive;
        LogCapture log;
        ObservedUpdater observed(server, 300);
        observed.updater.startAutomaticChecksWithInterval(3600);
        QTRY_COMPARE(observed.states, states);
        QCOMPARE(observed.updater.state(), int(Updater::Idle));
        QVERIFY(!log.lines().filter(QStringLiteral("failed")).isEmpty());
    }

    void updateInstallsAndRelaunches()
    {
        QTemporaryDir tmp;
        const QString bundle = tmp.filePath(QStringLiteral("Ambrel bundle"));
        QVERIFY(makeBundle(bundle, "old"));
        QVERIFY(makeBundle(tmp.filePath(QStringLiteral("new")), "new"));
        QVERIFY(runTar({QStringLiteral("-czf"), tmp.filePath(QStringLiteral("a.tar.gz")),
                        QStringLiteral("-C"), tmp.filePath(QStringLiteral("new")),
                        QStringLiteral(".")}));
        QFile archive(tmp.filePath(QStringLiteral("a.tar.gz")));
        QVERIFY(archive.open(QIODevice::ReadOnly));

        FeedServer server;
        server.answers[feedPath] = answer(200, "{\"url\": \"/a.tar.gz\", \"name\": \"Ambrel 9\"}");
        server.answers["/a.tar.gz"] = answer(200, archive.readAll());
        LogCapture log;
        ObservedUpdater observed(server);
        observed.updater.setResourceURL(
            QUrl::fromLocalFile(bundle + QStringLiteral("/share/ambrel/")));

        QTimer::singleShot(0, &observed.updater,
                           [&] { observed.updater.startAutomaticChecksWithInterval(3600); });
        QTimer guard;
        connect(&guard, &QTimer::timeout, this, [] { QCoreApplication::exit(1); });
        guard.start(30000);
        QCOMPARE(QCoreApplication::exec(), 0); // Ambrel asked to quit.

        QCOMPARE(observed.states, QList<int>({1, 2, 3}));
        QCOMPARE(server.requests.size(), 2);
        const QStringList restarts = log.lines().filter(QStringLiteral("restart "));
        QCOMPARE(restarts, QStringList(QStringLiteral("restart file://") +
                                       QUrl::fromLocalFile(bundle).path(QUrl::FullyEncoded) +
                                       QLatin1Char('/')));
        QCOMPARE(snapshot(bundle)[QStringLiteral("share/ambrel/version")], "new");
        QTRY_COMPARE(snapshot(bundle)[QStringLiteral("share/ambrel/started")], "new\n");
        QStringList left =
            QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        left.sort();
        QCOMPARE(left, QStringList({QStringLiteral("Ambrel bundle"), QStringLiteral("a.tar.gz"),
                                    QStringLiteral("new")}));
    }
};

QTEST_GUILESS_MAIN(TestUpdateFeed)
#include "tst_update_feed.moc"
