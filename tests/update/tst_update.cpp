// The updater against a feed of our own on 127.0.0.1, with archives signed by the real minisign:
// what it installs, what it refuses, a quit during an install; the versions it takes as newer.
#include "Helpers.h"
#include "Installer.h"
#include "Updater.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

// The output of a shell script run in dir. In it, "bundle <dir> <version>" makes a tree whose
// bin/ambrel, once started, leaves its version in share/ambrel/started.
static QByteArray sh(const QString &dir, const QString &script)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(u"sh"_s,
            {u"-ec"_s,
             u"bundle() { mkdir -p $1/bin $1/share/ambrel; echo $2 > $1/share/ambrel/version\n"
             "printf '#!/bin/sh\\necho %s > \"${0%%/bin/ambrel}/share/ambrel/started\"' $2 "
             "> $1/bin/ambrel; chmod 700 $1/bin/ambrel; }\n"_s +
                 script});
    p.waitForFinished(60000);
    return p.readAllStandardOutput();
}

class TestUpdate : public QObject {
    Q_OBJECT
    QTemporaryDir m_keys; // the key "one", and the archive on offer
    std::optional<PublicKey> m_key;

private Q_SLOTS:
    void initTestCase()
    {
        const QString pub = QString::fromUtf8(
            sh(m_keys.path(), u"minisign -G -W -p one.pub -s one >&2; cat one.pub"_s));
        m_key = parsePublicKey(pub);
        QVERIFY(m_key);
        QVERIFY(!parsePublicKey(u"not a comment"_s + pub.sliced(pub.indexOf(u'\n'))));
    }

    // Installs, then refusals: nothing installed or left beside the bundle, nothing started, one
    // log line that says why (a row named "installed" does install, and only its restart fails).
    // `shape` changes the new tree; the row's name, the offer.
    void offers_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("said");
        const std::tuple<const char *, const char *, const char *> rows[] = {
            {"signed, newer: installed, setuid and world-write dropped", "", ""},
            {"legacy signature, CRLF line ends", "", ""},
            {"unsigned", "", "the archive is not signed"},
            {"another key (the one built in)", "", "signed with another key"},
            {"one flipped byte", "", "does not match the archive"},
            {"legacy, one flipped byte", "", "does not match the archive"},
            {"altered trusted comment", "", "the trusted comment does not match the signature"},
            {"truncated signature", "", "the signature is malformed"},
            {"a signature with a character past its end", "", "the signature is malformed"},
            {"the same version", "", "version " AMBREL_VERSION " is not newer"},
            {"feed past its cap", "", "larger than 2048 bytes"},
            {"archive past its cap", "head -c 2M /dev/urandom > more", "larger than 1048576 bytes"},
            {"redirect to plain http", "", "redirected to a URL that is not HTTPS"},
            {"sparse, past the cap",
             "truncate -s 2M share/ambrel/s; tar -rSf ../a.tar share/ambrel/s; rm "
             "share/ambrel/s",
             "unpacks to more than 1048576"},
            {"a FIFO", "mkfifo fifo", "device, FIFO or socket: ./fifo"},
            {"a link out", "ln -s ../../../bundle share/out",
             "links outside the bundle: share/out"},
            {"a file through a chain of links", "chain 'echo x > a/t/x'",
             "a/t/x: a link leads it outside"},
            {"a folder through a chain of links", "chain 'mkdir a/t/priv'",
             "a/t/priv/: a link leads it outside"},
            {"not Ambrel's", "mkdir lib; echo x > lib/x", "a file that is not Ambrel's: lib/x"},
            {"a URL that forges log lines", "",
             "not offered over HTTPS: ftp://x/\uFFFD[2J\uFFFDambrel[1]: ok"},
            {"installed, but the new one cannot start", "echo '#!/no/such/sh' > bin/ambrel",
             "restart failed: cannot start Ambrel"},
            {"a quit during the install", "truncate -s 400M big", "Ambrel is quitting"}};
        for (const auto &[name, shape, said] : rows)
            QTest::newRow(name) << QString::fromUtf8(shape) << QString::fromUtf8(said);
    }

    void offers()
    {
        QFETCH(QString, shape);
        QFETCH(QString, said);
        const QByteArray tag = QTest::currentDataTag();
        QTemporaryDir tmp;
        const QString bundle = tmp.filePath(u"bundle"_s);
        sh(tmp.path(), u"bundle bundle old; mkdir -m700 outside outside/priv"_s);
        // Random bytes make the archive come in several reads. A chain of links, each inside
        // when read as text: a/b/s -> .. is a/, so a/b/s/t -> ../../outside is a/t, and leads
        // out of the new tree beside the bundle; then the member $1 through it.
        QByteArray bytes = sh(
            m_keys.path(),
            u"chain() { mkdir -p a/b; ln -s .. a/b/s; tar -rf ../a.tar a/b/s; rm a/b/s; mkdir "
            "a/b/s; ln -s ../../outside a/b/s/t; tar -rf ../a.tar a/b/s/t; rm -r a; mkdir -p a/t; "
            "eval \"$1\"; tar -rf ../a.tar a/t/*; rm -r a; }\n"
            "rm -f a.tar; bundle new new; cd new; head -c 200000 /dev/urandom > share/ambrel/noise;"
            " echo x > share/ambrel/mode; chmod 6777 share/ambrel/mode; %1\n"
            "tar -rf ../a.tar .; cd ..; gzip -f a.tar; rm -r new; cat a.tar.gz"_s.arg(shape));
        QString signature = QString::fromUtf8(
            sh(m_keys.path(),
               u"minisign -S -s one -m a.tar.gz -x sig -t 'ambrel %1' %2 >&2; cat sig"_s.arg(
                   QLatin1String(tag == "the same version" ? AMBREL_VERSION : "0.2.0"),
                   QLatin1String(tag.startsWith("legacy") ? "-l" : ""))));
        bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ tag.endsWith("one flipped byte"));
        if (tag.endsWith("CRLF line ends"))
            signature.replace(u'\n', u"\r\n"_s);
        if (tag == "altered trusted comment")
            signature.replace(u"ambrel 0.2.0"_s, u"ambrel 9.2.0"_s);
        signature.chop(tag == "truncated signature" ? 20 : 0);
        if (tag.startsWith("a signature with"))
            signature.insert(signature.indexOf(u'\n', signature.indexOf(u'\n') + 1), u'!');
        QJsonObject feed{{u"url"_s, tag == "redirect to plain http" ? u"/moved"_s
                                    : tag == "a URL that forges log lines"
                                        ? u"ftp://x/\x1b[2J\nambrel[1]: ok"_s
                                        : u"/a.tar.gz"_s},
                         {u"name"_s, u"Ambrel 0.2.0"_s},
                         {u"padding"_s, QString(tag == "feed past its cap" ? 4096 : 0, u'x')}};
        if (tag != "unsigned")
            feed.insert(u"signature"_s, signature);

        // Serves the feed, the archive at /a.tar.gz and a redirect to plain http at /moved.
        const auto answer = [](const QByteArray &head, const QByteArray &body) {
            return "HTTP/1.1 " + head + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                   "\r\nConnection: close\r\n\r\n" + body;
        };
        const QHash<QByteArray, QByteArray> answers{
            {"/update/osx/" AMBREL_VERSION, answer("200 OK", QJsonDocument(feed).toJson())},
            {"/moved", answer("302 Found\r\nLocation: http://192.0.2.1/a.tar.gz", {})},
            {"/a.tar.gz", answer("200 OK", bytes)}};
        QTcpServer server;
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, &server, [&server, &answers] {
            QTcpSocket *socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket, &answers] {
                if (socket->peek(socket->bytesAvailable()).contains("\r\n\r\n")) {
                    socket->write(answers.value(socket->readAll().split(' ').value(1)));
                    socket->disconnectFromHost();
                }
            });
        });
        QList<int> states; // outlives the updater, which may still report
        qputenv("AMBREL_UPDATE_ORIGIN", u"http://127.0.0.1:%1"_s.arg(server.serverPort()).toUtf8());
        // makeUpdater takes the key built in, which is not the archive's.
        const std::unique_ptr<Updater> updater(
            tag.startsWith("another key")
                ? makeUpdater(nullptr)
                : new Updater(updateRequest(qEnvironmentVariable("AMBREL_UPDATE_ORIGIN")), m_key));
        updater->setResourceURL(QUrl::fromLocalFile(bundle + u"/share/ambrel/"_s));
        const bool quit = tag == "a quit during the install"; // a large tree, cancelled
        updater->setLimits({.feedBytes = 2048,
                            .archiveBytes = 1 << 20,
                            .unpacked = {.bytes = quit ? UnpackLimits().bytes : 1 << 20}});
        const QString snapshot =
            u"{ find . -printf '%p %m\\n'; find . -type f -exec md5sum {} +; } | sort"_s;
        const QByteArray before = sh(tmp.path(), snapshot);
        connect(updater.get(), &Updater::stateChanged, this, [&](int state) {
            states << state;
            reportUpdaterState(u"state"_s, updater.get(), updater.get());
        });
        FdCapture err(STDERR_FILENO);
        updater->startAutomaticChecksWithInterval(3600);
        if (said.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(sh(bundle, u"cat share/ambrel/started"_s),
                                      QByteArray("new\n"), 20000);
            QCOMPARE(states, QList<int>({1, 2, 3}));
            QCOMPARE(logLines(err.release()).filter(u"restart"_s),
                     {u"restart "_s +
                      QString::fromUtf8(QUrl::fromLocalFile(bundle + u'/').toEncoded())});
            QCOMPARE(sh(tmp.path(), u"stat -c%a bundle/share/ambrel/mode; ls -A"_s),
                     "755\nbundle\noutside\n");
            return;
        }
        if (quit) {
            QTRY_VERIFY_WITH_TIMEOUT(states.contains(Updater::AwaitingRelaunch), 20000);
            QTest::qWait(100);
            QElapsedTimer clock;
            clock.start();
            updater->cancel();
            QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
            QTest::qWait(100);
        } else
            QTRY_VERIFY_WITH_TIMEOUT(states.size() >= 2 && states.last() == Updater::Idle, 20000);
        const QStringList lines =
            logLines(err.release()).filter(QRegularExpression(u"failed|not installed"_s));
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.front().contains(said), qPrintable(lines.front()));
        QCOMPARE(sh(tmp.path(), snapshot) == before, !tag.startsWith("installed"));
    }

    void onlyAmbrelsOwnTreeUpdatesItself()
    {
        QTemporaryDir tmp;
        sh(tmp.path(), u"bundle . x"_s);
        QVERIFY(isAmbrelsOwnTree(tmp.path()));
        sh(tmp.path(), u"touch bin/other"_s);
        QVERIFY(!isAmbrelsOwnTree(tmp.path()));
        QVERIFY(!isAmbrelsOwnTree(u"/usr"_s));
    }

    // Which trusted comments offer a version newer than the running one.
    void versions()
    {
        const std::tuple<const char *, const char *, bool> rows[] = {
            {"ambrel 0.10.0", "0.9.9", true},        {"ambrel 1.0", "0.9.9", true},
            {"ambrel 1.0", "1.0.0", false},          {"timestamp:1 ambrel 0.2.0", "0.1.0", false},
            {"ambrel 01.2.0", "0.1.0", false},       {"ambrel \u0663.0", "0.1.0", false},
            {"ambrel 9999999999.0", "0.1.0", false}, {"ambrel 999999999.0", "0.1.0", true},
            {"ambrel 0.2.0", "0.1.x", false}};
        for (const auto &[comment, running, newer] : rows) {
            const auto version = versionInTrustedComment(QString::fromUtf8(comment));
            QVERIFY2((version && isNewerVersion(*version, QString::fromUtf8(running))) == newer,
                     comment);
        }
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"
