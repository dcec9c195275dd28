// The updater against a feed server of our own on 127.0.0.1, with archives signed by the real
// minisign: what it installs, what it refuses, and a quit in the middle of an install.
#include "Helpers.h"
#include "Installer.h"
#include "Updater.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

QByteArray answer(int status, const QByteArray &body, const QByteArray &headers = {})
{
    return "HTTP/1.1 " + QByteArray::number(status) + " X\r\n" + headers +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

// Answers each path with the bytes given for it; a path without them gets no answer at all.
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
            if (!reply.isEmpty())
                socket->disconnectFromHost();
        });
    });
    return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
}

QByteArray run(const QString &program, const QStringList &arguments, const QString &in = {})
{
    QProcess p;
    p.setWorkingDirectory(in);
    p.start(program, arguments);
    p.waitForFinished(60000);
    return p.exitCode() == 0 ? p.readAllStandardOutput() + "ok" : QByteArray();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// A tree whose bin/ambrel, once started, leaves its version in share/ambrel/started.
void makeBundle(const QString &dir, const QByteArray &version)
{
    const QString program = dir + QStringLiteral("/bin/ambrel");
    writeFile(dir + QStringLiteral("/share/ambrel/version"), version);
    writeFile(program,
              "#!/bin/sh\necho " + version + " > \"$(dirname \"$0\")/../share/ambrel/started\"\n");
    QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Every entry under dir, hidden ones included, with the contents of the files.
QMap<QString, QByteArray> snapshot(const QString &dir)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree[QDir(dir).relativeFilePath(path)] = it.fileInfo().isFile() ? readFile(path) : "-";
    }
    return tree;
}

} // namespace

class TestUpdate : public QObject {
    Q_OBJECT
    QTemporaryDir m_keys;
    std::optional<PublicKey> m_key;

    // The .minisig text of the file, signed with "one" or "two" for the version given.
    QString sign(const QString &file, const char *key, const char *version)
    {
        run(QStringLiteral("minisign"),
            {QStringLiteral("-S"), QStringLiteral("-s"), m_keys.filePath(QLatin1String(key)),
             QStringLiteral("-m"), file, QStringLiteral("-x"), file + QStringLiteral(".sig"),
             QStringLiteral("-t"), QStringLiteral("ambrel ") + QLatin1String(version)});
        return QString::fromUtf8(readFile(file + QStringLiteral(".sig")));
    }

    // A bundle "bundle" and an archive "a.tar.gz" of a new one beside it in tmp; `shape`
    // changes the new tree before it is packed.
    QString prepare(const QTemporaryDir &tmp, const std::function<void(const QString &)> &shape)
    {
        makeBundle(tmp.filePath(QStringLiteral("bundle")), "old");
        const QString fresh = tmp.filePath(QStringLiteral("new"));
        makeBundle(fresh, "new");
        shape(fresh);
        const QString archive = tmp.filePath(QStringLiteral("a.tar.gz"));
        run(QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QStringLiteral("tar -c . | gzip -1 > ") + archive}, fresh);
        QDir(fresh).removeRecursively();
        return archive;
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *key : {"one", "two"}) {
            const QString k = m_keys.filePath(QLatin1String(key));
            QVERIFY(!run(QStringLiteral("minisign"),
                         {QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"),
                          k + QStringLiteral(".pub"), QStringLiteral("-s"), k})
                         .isEmpty());
        }
        m_key =
            parsePublicKey(QString::fromUtf8(readFile(m_keys.filePath(QStringLiteral("one.pub")))));
        QVERIFY(m_key);
    }

    // Rows that install, then refusals: nothing installed, nothing left beside the bundle, back
    // to idle, one log line that says why.
    void offers_data()
    {
        QTest::addColumn<int>("offer");
        QTest::addColumn<QString>("said");
        QTest::newRow("signed, newer: installed, setuid and world-write dropped") << 0 << QString();
        QTest::newRow("unsigned") << 1 << QStringLiteral("the archive is not signed");
        QTest::newRow("another key") << 2 << QStringLiteral("signed with another key");
        QTest::newRow("another file's signature")
            << 3 << QStringLiteral("does not match the archive");
        QTest::newRow("one flipped byte") << 4 << QStringLiteral("does not match the archive");
        QTest::newRow("the same version") << 5 << QStringLiteral("version 0.1.0 is not newer");
        QTest::newRow("an older version") << 6 << QStringLiteral("version 0.0.9 is not newer");
        QTest::newRow("feed past its cap") << 7 << QStringLiteral("larger than 2048 bytes");
        QTest::newRow("archive past its cap") << 8 << QStringLiteral("larger than 65536 bytes");
        QTest::newRow("redirect to plain http")
            << 9 << QStringLiteral("redirected to a URL that is not HTTPS");
        QTest::newRow("decompression bomb")
            << 10 << QStringLiteral("unpacks to more than 1048576 bytes");
        QTest::newRow("a FIFO") << 11 << QStringLiteral("device, FIFO or socket: ./fifo");
        QTest::newRow("a device node") << 12 << QStringLiteral("device, FIFO or socket: ./mem");
        QTest::newRow("a link out")
            << 13 << QStringLiteral("links outside the bundle: ./share/out");
        QTest::newRow("not Ambrel's") << 14 << QStringLiteral("a file that is not Ambrel's: lib/x");
        QTest::newRow("a URL that forges log lines")
            << 15 << QStringLiteral("not offered over HTTPS: ftp://x/\uFFFD[2J\uFFFDambrel[1]: ok");
    }

    void offers()
    {
        QFETCH(int, offer);
        QFETCH(QString, said);
        if (offer == 12 && ::geteuid() != 0)
            QSKIP("only root makes device nodes");
        QTemporaryDir tmp;
        const QString archive = prepare(tmp, [offer](const QString &fresh) {
            const QString mode = QStringLiteral("%1/share/ambrel/mode").arg(fresh);
            writeFile(mode, "x");
            ::chmod(QFile::encodeName(mode).constData(), offer == 0 ? 06777 : 0644);
            if (offer == 8) { // incompressible, past the archive cap
                QByteArray noise(100000, '\0');
                QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(noise.data()),
                                                      noise.size() / 4);
                writeFile(fresh + QStringLiteral("/share/ambrel/noise"), noise);
            }
            if (offer == 10)
                writeFile(fresh + QStringLiteral("/share/ambrel/zeros"), QByteArray(2 << 20, '\0'));
            if (offer == 11)
                ::mkfifo(QFile::encodeName(fresh + QStringLiteral("/fifo")).constData(), 0600);
            if (offer == 12)
                ::mknod(QFile::encodeName(fresh + QStringLiteral("/mem")).constData(),
                        S_IFCHR | 0666, makedev(1, 1));
            if (offer == 13)
                QFile::link(QStringLiteral("../../../bundle"),
                            fresh + QStringLiteral("/share/out"));
            if (offer == 14)
                writeFile(fresh + QStringLiteral("/lib/x"), "x");
        });
        QByteArray bytes = readFile(archive);
        QString signature = sign(archive, offer == 2 ? "two" : "one",
                                 offer == 5   ? AMBREL_VERSION
                                 : offer == 6 ? "0.0.9"
                                              : "0.2.0");
        if (offer == 3)
            signature = sign(m_keys.filePath(QStringLiteral("one.pub")), "one", "0.2.0");
        if (offer == 4)
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 1);
        QJsonObject feed{{QStringLiteral("url"), QStringLiteral("/a.tar.gz")},
                         {QStringLiteral("name"), QStringLiteral("Ambrel 0.2.0")}};
        if (offer != 1)
            feed.insert(QStringLiteral("signature"), signature);
        if (offer == 7)
            feed.insert(QStringLiteral("padding"), QString(4096, u'x'));
        if (offer == 9)
            feed.insert(QStringLiteral("url"), QStringLiteral("/moved"));
        if (offer == 15)
            feed.insert(QStringLiteral("url"), QStringLiteral("ftp://x/\x1b[2J\nambrel[1]: ok"));
        QTcpServer server;
        const QString origin = serve(
            server, {{"/update/osx/" AMBREL_VERSION, answer(200, QJsonDocument(feed).toJson())},
                     {"/moved", answer(302, {}, "Location: http://192.0.2.1/a.tar.gz\r\n")},
                     {"/a.tar.gz", answer(200, bytes)}});

        Updater updater(updateRequest(origin), m_key);
        UpdateLimits limits;
        limits.feedBytes = 2048;
        limits.archiveBytes = 65536;
        limits.unpacked.bytes = 1 << 20;
        updater.setLimits(limits);
        const QString bundle = tmp.filePath(QStringLiteral("bundle"));
        updater.setResourceURL(QUrl::fromLocalFile(bundle + QStringLiteral("/share/ambrel/")));
        QFile::remove(archive);
        QFile::remove(archive + QStringLiteral(".sig"));
        const auto before = snapshot(tmp.path());
        QList<int> states;
        connect(&updater, &Updater::stateChanged, &updater, [&](int state) {
            states << state;
            reportUpdaterState(QStringLiteral("state"), &updater, &updater);
        });
        FdCapture err(STDERR_FILENO);
        updater.startAutomaticChecksWithInterval(3600);
        if (said.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(
                readFile(bundle + QStringLiteral("/share/ambrel/started")) == "new\n", 20000);
            QCOMPARE(states, QList<int>({1, 2, 3}));
            const QStringList lines = logLines(err.release());
            QCOMPARE(lines.filter(QStringLiteral("restart")),
                     {QStringLiteral("restart ") +
                      QString::fromUtf8(QUrl::fromLocalFile(bundle + u'/').toEncoded())});
            struct stat mode {};
            QCOMPARE(
                ::stat(QFile::encodeName(bundle + QStringLiteral("/share/ambrel/mode")), &mode), 0);
            QCOMPARE(mode.st_mode & 07777, 0755u);
            QCOMPARE(
                QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                QStringList{QStringLiteral("bundle")});
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(states.size() >= 2 && states.last() == Updater::Idle, 20000);
        const QStringList lines =
            logLines(err.release())
                .filter(QRegularExpression(QStringLiteral("failed|not installed")));
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.front().contains(said), qPrintable(lines.front()));
        QCOMPARE(snapshot(tmp.path()), before);
    }

    // A quit in the middle of an install cancels it at once and starts nothing.
    void quitDuringAnInstall()
    {
        QTemporaryDir tmp;
        const QString archive = prepare(tmp, [](const QString &fresh) {
            QFile big(fresh + QStringLiteral("/share/ambrel/big"));
            QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(400) << 20));
        });
        QTcpServer server;
        const QString origin = serve(
            server,
            {{"/update/osx/" AMBREL_VERSION,
              answer(200,
                     QJsonDocument(
                         QJsonObject{{QStringLiteral("url"), QStringLiteral("/a.tar.gz")},
                                     {QStringLiteral("name"), QStringLiteral("x")},
                                     {QStringLiteral("signature"), sign(archive, "one", "0.2.0")}})
                         .toJson())},
             {"/a.tar.gz", answer(200, readFile(archive))}});
        QFile::remove(archive);
        QFile::remove(archive + QStringLiteral(".sig"));
        Updater updater(updateRequest(origin), m_key);
        const QString bundle = tmp.filePath(QStringLiteral("bundle"));
        updater.setResourceURL(QUrl::fromLocalFile(bundle + QStringLiteral("/share/ambrel/")));
        const auto before = snapshot(tmp.path());
        connect(&updater, &Updater::stateChanged, &updater, [&](int state) {
            if (state == Updater::AwaitingRelaunch)
                updater.relaunchToInstallUpdate();
        });
        updater.startAutomaticChecksWithInterval(3600);
        QTRY_COMPARE_WITH_TIMEOUT(updater.state(), int(Updater::AwaitingRelaunch), 20000);
        QTest::qWait(100);
        QElapsedTimer clock;
        clock.start();
        updater.cancel();
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(100);
        QCOMPARE(snapshot(tmp.path()), before);
    }

    void onlyAmbrelsOwnTreeUpdatesItself()
    {
        QTemporaryDir tmp;
        makeBundle(tmp.path(), "x");
        QVERIFY(isAmbrelsOwnTree(tmp.path()));
        writeFile(tmp.filePath(QStringLiteral("bin/other")), "x");
        QVERIFY(!isAmbrelsOwnTree(tmp.path()));
        QVERIFY(!isAmbrelsOwnTree(QStringLiteral("/usr")));
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
