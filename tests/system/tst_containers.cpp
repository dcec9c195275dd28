// Containers on a Docker daemon of the test's own, as root under with-dockerd, with and without
// its userland proxy: what a user of the socket's group and root list (never the proxy, nor the
// daemon that holds the port in its place), and each way of ending a container.
#include "ContainerPorts.h"
#include "Processes.h"
#include "Scanner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

static const QString ambrel = qEnvironmentVariable("AMBREL"); // the program

// Runs a command line, its words parted by spaces; its output, trimmed.
static QString run(const QString &command)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.startCommand(command);
    p.waitForFinished(30000);
    return QString::fromUtf8(p.readAllStandardOutput().trimmed());
}

class TestContainers : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void publishedPort_data()
    {
        QTest::addColumn<QString>("end"); // the menu's Stop Container when empty
        QTest::newRow("a user of the group; Stop Container") << QString();
        QTest::newRow("root; --stop PORT") << u"--stop"_s;
        QTest::newRow("root; --kill PORT") << u"--kill"_s;
    }

    void publishedPort()
    {
        QFETCH(QString, end);
        static int port = 47612;
        const QString id = run(
            u"docker run -d -p %1:80 --name web-%1 ambrel-busybox httpd -f -p 80"_s.arg(++port));
        const QString name = u"web-%1"_s.arg(port);
        // One entry for the port, however many proxies hold it, and none of theirs.
        const QString list = u"runuser -u %1 -- %2 --list --json"_s.arg(
            end.isEmpty() ? u"ambrel-docker-user"_s : u"root"_s, ambrel);
        const QByteArray onThePort = ": " + QByteArray::number(port) + '\n'; // a port's last key
        QJsonArray onPort;
        for (const QJsonValue &e : QJsonDocument::fromJson(run(list).toUtf8()).array())
            if (QJsonDocument(e.toObject()).toJson().contains(onThePort))
                onPort.append(e);
        QCOMPARE(onPort.size(), 1);
        const QJsonObject expected{
            {"id"_L1, id}, {"name"_L1, name}, {"image"_L1, "ambrel-busybox"_L1}, {"port"_L1, 80}};
        QCOMPARE(onPort[0]["container"_L1].toObject(), expected);

        if (end.isEmpty()) {
            // The app's list, its scanner not started: only the API changes it.
            // httpd as pid 1 ignores SIGTERM, so Stop Container takes the whole grace.
            Scanner scanner;
            ContainerPorts containers(&scanner);
            containers.start();
            QTRY_COMPARE(containers.listeners().size(), 1);
            // Started since this test, on the scale of processes' start times.
            const qint64 since = containers.listeners()[0].startTime -
                                 *Platform::processStartTime(QCoreApplication::applicationPid());
            QVERIFY(since >= 0 && since < 60 * sysconf(_SC_CLK_TCK));
            bool ended = false;
            containers.endContainer(id, true, [&](bool done, const QString &why) {
                QVERIFY2((ended = done), qPrintable(why));
            });
            QTRY_VERIFY_WITH_TIMEOUT(ended, 15000);
            QTRY_VERIFY(containers.listeners().isEmpty());
        } else {
            QCOMPARE(QProcess::execute(ambrel, {end, QString::number(port)}), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestContainers)
#include "tst_containers.moc"
