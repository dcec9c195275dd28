// The updater against a feed of our own on 127.0.0.1, with archives signed by the real minisign:
// what it installs, what it refuses, a quit during an install; the versions it takes as newer.
#include "Helpers.h"
#include "Installer.h"
#include "Updater.h"

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

using namespace Qt::StringLiterals;

namespace {

QByteArray run(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.start(program, arguments);
    p.waitForFinished(60000);
    return p.readAllStandardOutput();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
}

// Incompressible, so that an archive comes in several reads.
QByteArray noise(qsizetype size)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// A tree whose bin/ambrel, once started, leaves its version in share/ambrel/started.
void makeBundle(const QString &dir, const QByteArray &version)
{
    writeFile(dir + u"/share/ambrel/version"_s, version);
    writeFile(dir + u"/bin/ambrel"_s,
              "#!/bin/sh\necho " + version + " > \"$(dirname \"$0\")/../share/ambrel/started\"\n");
    QFile::setPermissions(dir + u"/bin/ambrel"_s, QFile::ReadOwner | QFile::ExeOwner);
}

// Every entry under dir, and the digests of its files.
QByteArray snapshot(const QString &dir)
{
    return run(u"sh"_s,
               {u"-c"_s, u"cd $0 && { find .; find . -type f -exec md5sum {} +; } | sort"_s, dir});
}

// Serves the feed, the archive at /a.tar.gz and a redirect to plain http at /moved.
QString serve(QTcpServer &server, const QJsonObject &feed, const QByteArray &archive)
{
    const auto answer = [](const QByteArray &head, const QByteArray &body) {
        return "HTTP/1.1 " + head + "\r\nContent-Length: " + QByteArray::number(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    };
    const QHash<QByteArray, QByteArray> answers{
        {"/update/osx/" AMBREL_VERSION, answer("200 OK", QJsonDocument(feed).toJson())},
        {"/moved", answer("302 Found\r\nLocation: http://192.0.2.1/a.tar.gz", {})},
        {"/a.tar.gz", answer("200 OK", archive)}};
    server.listen(QHostAddress::LocalHost);
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, answers] {
        QTcpSocket *socket = server.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, answers] {
            if (socket->peek(socket->bytesAvailable()).contains("\r\n\r\n")) {
                socket->write(answers.value(socket->readAll().split(' ').value(1)));
                socket->disconnectFromHost();
            }
        });
    });
    return u"http://127.0.0.1:%1"_s.arg(server.serverPort());
}

} // namespace

class TestUpdate : public QObject {
    Q_OBJECT
    QTemporaryDir m_keys; // the keys "one" and "two", and the archive on offer
    std::optional<PublicKey> m_key;

    // The .minisig text of the file, vouching for "ambrel <version>".
    QString sign(const QString &file, const char *version, const char *key = "one",
                 const QStringList &more = {})
    {
        run(u"minisign"_s,
            QStringList{u"-S"_s, u"-s"_s, m_keys.filePath(QLatin1String(key)), u"-m"_s, file,
                        u"-x"_s, file + u".sig"_s, u"-t"_s, u"ambrel "_s + QLatin1String(version)} +
                more);
        return QString::fromUtf8(readFile(file + u".sig"_s));
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (const QString &k : {m_keys.filePath(u"one"_s), m_keys.filePath(u"two"_s)})
            run(u"minisign"_s, {u"-G"_s, u"-W"_s, u"-p"_s, k + u".pub"_s, u"-s"_s, k});
        m_key = parsePublicKey(QString::fromUtf8(readFile(m_keys.filePath(u"one.pub"_s))));
        QVERIFY(m_key);
    }

    // Installs, then refusals: nothing installed or left beside the bundle, nothing started, one
    // log line that says why. The row's name says what is done to the offer.
    void offers_data()
    {
        QTest::addColumn<QString>("said");
        const std::pair<const char *, const char *> rows[] = {
            {"signed, newer: installed, setuid and world-write dropped", ""},
            {"legacy signature", ""},
            {"CRLF line ends", ""},
            {"unsigned", "the archive is not signed"},
            {"another key", "signed with another key"},
            {"another file's signature", "does not match the archive"},
            {"one flipped byte", "does not match the archive"},
            {"legacy, one flipped byte", "does not match the archive"},
            {"altered trusted comment", "the trusted comment does not match the signature"},
            {"truncated signature", "the signature is malformed"},
            {"bad base64", "the signature is malformed"},
            {"the same version", "version " AMBREL_VERSION " is not newer"},
            {"an older version", "version 0.0.9 is not newer"},
            {"feed past its cap", "larger than 2048 bytes"},
            {"archive past its cap", "larger than 1048576 bytes"},
            {"redirect to plain http", "redirected to a URL that is not HTTPS"},
            {"decompression bomb", "unpacks to more than 1048576 bytes"},
            {"a FIFO", "device, FIFO or socket: ./fifo"},
            {"a device node", "device, FIFO or socket: ./mem"},
            {"a link out", "links outside the bundle: ./share/out"},
            {"not Ambrel's", "a file that is not Ambrel's: lib/x"},
            {"a URL that forges log lines",
             "not offered over HTTPS: ftp://x/\uFFFD[2J\uFFFDambrel[1]: ok"},
            {"a quit during the install", "Ambrel is quitting"}};
        for (const auto &[name, said] : rows)
            QTest::newRow(name) << QString::fromUtf8(said);
    }

    void offers()
    {
        QFETCH(QString, said);
        const QByteArray tag = QTest::currentDataTag();
        const auto is = [&tag](const char *name) {
            return tag == name;
        };
        if (is("a device node") && ::geteuid() != 0)
            QSKIP("only root makes device nodes");
        QTemporaryDir tmp;
        const QString bundle = tmp.filePath(u"bundle"_s), fresh = m_keys.filePath(u"new"_s);
        makeBundle(bundle, "old");
        makeBundle(fresh, "new");
        writeFile(fresh + u"/share/ambrel/noise"_s, noise(200'000));
        writeFile(fresh + u"/share/ambrel/mode"_s, "x");
        ::chmod(QFile::encodeName(fresh + u"/share/ambrel/mode"_s).constData(), 06777);
        if (is("archive past its cap"))
            writeFile(fresh + u"/share/ambrel/more"_s, noise(2 << 20));
        if (is("decompression bomb"))
            writeFile(fresh + u"/share/ambrel/zeros"_s, QByteArray(2 << 20, '\0'));
        if (is("a quit during the install")) // sparse, but long to unpack
            run(u"truncate"_s, {u"-s400M"_s, fresh + u"/share/ambrel/big"_s});
        if (is("a FIFO"))
            ::mkfifo(QFile::encodeName(fresh + u"/fifo"_s).constData(), 0600);
        if (is("a device node"))
            ::mknod(QFile::encodeName(fresh + u"/mem"_s).constData(), S_IFCHR | 0666,
                    makedev(1, 1));
        if (is("a link out"))
            QFile::link(u"../../../bundle"_s, fresh + u"/share/out"_s);
        if (is("not Ambrel's"))
            writeFile(fresh + u"/lib/x"_s, "x");
        const QString archive = m_keys.filePath(u"a.tar.gz"_s);
        run(u"tar"_s, {u"-czf"_s, archive, u"-C"_s, fresh, u"."_s});
        QDir(fresh).removeRecursively();

        QByteArray bytes = readFile(archive);
        QString signature = sign(archive,
                                 is("the same version")   ? AMBREL_VERSION
                                 : is("an older version") ? "0.0.9"
                                                          : "0.2.0",
                                 is("another key") ? "two" : "one",
                                 tag.startsWith("legacy") ? QStringList{u"-l"_s} : QStringList());
        if (is("another file's signature"))
            signature = sign(m_keys.filePath(u"one.pub"_s), "0.2.0");
        if (tag.endsWith("one flipped byte"))
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 1);
        if (is("CRLF line ends"))
            signature.replace(u'\n', u"\r\n"_s);
        if (is("altered trusted comment"))
            signature.replace(u"ambrel 0.2.0"_s, u"ambrel 9.2.0"_s);
        if (is("truncated signature"))
            signature.chop(20);
        if (is("bad base64"))
            signature.replace(u'=', u'*');
        QJsonObject feed{{u"url"_s, is("redirect to plain http") ? u"/moved"_s
                                    : is("a URL that forges log lines")
                                        ? u"ftp://x/\x1b[2J\nambrel[1]: ok"_s
                                        : u"/a.tar.gz"_s},
                         {u"name"_s, u"Ambrel 0.2.0"_s},
                         {u"padding"_s, QString(is("feed past its cap") ? 4096 : 0, u'x')}};
        if (!is("unsigned"))
            feed.insert(u"signature"_s, signature);

        QTcpServer server;
        Updater updater(updateRequest(serve(server, feed, bytes)), m_key);
        updater.setResourceURL(QUrl::fromLocalFile(bundle + u"/share/ambrel/"_s));
        UpdateLimits limits;
        limits.feedBytes = 2048;
        limits.archiveBytes = 1 << 20;
        if (!is("a quit during the install"))
            limits.unpacked.bytes = 1 << 20;
        updater.setLimits(limits);
        const QByteArray before = snapshot(tmp.path());
        QList<int> states;
        connect(&updater, &Updater::stateChanged, &updater, [&](int state) {
            states << state;
            reportUpdaterState(u"state"_s, &updater, &updater);
        });
        FdCapture err(STDERR_FILENO);
        updater.startAutomaticChecksWithInterval(3600);
        if (said.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(readFile(bundle + u"/share/ambrel/started"_s),
                                      QByteArray("new\n"), 20000);
            QCOMPARE(states, QList<int>({1, 2, 3}));
            QCOMPARE(logLines(err.release()).filter(u"restart"_s),
                     {u"restart "_s +
                      QString::fromUtf8(QUrl::fromLocalFile(bundle + u'/').toEncoded())});
            QCOMPARE(run(u"stat"_s, {u"-c%a"_s, bundle + u"/share/ambrel/mode"_s}), "755\n");
            QCOMPARE(
                QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                QStringList{u"bundle"_s});
            return;
        }
        if (is("a quit during the install")) {
            QTRY_VERIFY_WITH_TIMEOUT(states.contains(Updater::AwaitingRelaunch), 20000);
            QTest::qWait(100);
            QElapsedTimer clock;
            clock.start();
            updater.cancel();
            QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
            QTest::qWait(100);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(states.size() >= 2 && states.last() == Updater::Idle, 20000);
        }
        const QStringList lines =
            logLines(err.release()).filter(QRegularExpression(u"failed|not installed"_s));
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.front().contains(said), qPrintable(lines.front()));
        QCOMPARE(snapshot(tmp.path()), before);
    }

    void onlyAmbrelsOwnTreeUpdatesItself()
    {
        QTemporaryDir tmp;
        makeBundle(tmp.path(), "x");
        QVERIFY(isAmbrelsOwnTree(tmp.path()));
        writeFile(tmp.filePath(u"bin/other"_s), "x");
        QVERIFY(!isAmbrelsOwnTree(tmp.path()));
        QVERIFY(!isAmbrelsOwnTree(u"/usr"_s));
    }

    void versions_data()
    {
        QTest::addColumn<QString>("comment");
        QTest::addColumn<QString>("running");
        QTest::addColumn<bool>("newer");
        const std::tuple<const char *, const char *, bool> rows[] = {
            {"ambrel 0.10.0", "0.9.9", true},        {"ambrel 1.0", "0.9.9", true},
            {"ambrel 1.0", "1.0.0", false},          {"ambrel 0.2.0 ", "0.1.0", false},
            {"Ambrel 0.2.0", "0.1.0", false},        {"timestamp:1 ambrel 0.2.0", "0.1.0", false},
            {"ambrel 01.2.0", "0.1.0", false},       {"ambrel \u0663.0", "0.1.0", false},
            {"ambrel 9999999999.0", "0.1.0", false}, {"ambrel 0.2.0", "0.1.x", false}};
        for (const auto &[comment, running, newer] : rows)
            QTest::addRow("%s vs %s", comment, running)
                << QString::fromUtf8(comment) << QString::fromUtf8(running) << newer;
    }

    void versions()
    {
        QFETCH(QString, comment);
        QFETCH(QString, running);
        QFETCH(bool, newer);
        const auto version = versionInTrustedComment(comment);
        QCOMPARE(version && isNewerVersion(*version, running), newer);
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
