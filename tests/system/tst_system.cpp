// The operating-system layer against real files, processes and interface lists.
#include "Command.h"
#include "Helpers.h"
#include "Network.h"
#include "Processes.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <deque>
#include <ifaddrs.h>
#include <netdb.h>

// An interface list as getifaddrs hands it over, from "name address, ...": a numeric address
// (IPv6 with an optional %zone), or "none" for an entry without one.
struct InterfaceList {
    explicit InterfaceList(const QByteArray &text)
    {
        for (const QByteArray &item : text.split(',')) {
            const QList<QByteArray> parts = item.trimmed().split(' ');
            Entry &entry = entries.emplace_back();
            entry.name = parts[0];
            entry.ifa.ifa_name = entry.name.data();
            addrinfo numeric{}, *found = nullptr;
            numeric.ai_flags = AI_NUMERICHOST; // parsing only, no lookup
            if (getaddrinfo(parts[1].constData(), nullptr, &numeric, &found) == 0) {
                std::memcpy(&entry.address, found->ai_addr, found->ai_addrlen);
                entry.ifa.ifa_addr = reinterpret_cast<sockaddr *>(&entry.address);
                freeaddrinfo(found);
            }
            if (entries.size() > 1)
                entries[entries.size() - 2].ifa.ifa_next = &entry.ifa;
        }
    }
    struct Entry {
        ifaddrs ifa{};
        sockaddr_storage address{};
        QByteArray name;
    };
    std::deque<Entry> entries;
};

class TestSystem : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void defaultRouteInterface_data()
    {
        QTest::addColumn<QByteArray>("rows");
        QTest::addColumn<QString>("interface");
        // Iface Destination Gateway Flags RefCnt Use Metric Mask
        QTest::newRow("default route beside a subnet route")
            << QByteArray("eth0 0001A8C0 0 0001 0 0 100 00FFFFFF\neth0 00000000 0101A8C0 0003 0 0 "
                          "100 00000000\n")
            << QStringLiteral("eth0");
        QTest::newRow("lowest metric wins")
            << QByteArray("wlan0 00000000 1 0003 0 0 600 00000000\n"
                          "enp3s0 00000000 1 0003 0 0 100 00000000\n"
                          "eth9 00000000 1 0003 0 0 700 00000000\n")
            << QStringLiteral("enp3s0");
        QTest::newRow("route that is down")
            << QByteArray("eth0 00000000 1 0002 0 0 100 00000000\n") << QString();
        QTest::newRow("garbage") << QByteArray("\t\tx y z\n") << QString();
    }

    void defaultRouteInterface()
    {
        QFETCH(QByteArray, rows);
        QFETCH(QString, interface);
        QCOMPARE(Platform::defaultRouteInterface("Iface Destination Gateway ...\n" + rows),
                 interface);
    }

    void networkAddressFromList_data()
    {
        QTest::addColumn<QByteArray>("interfaces");
        QTest::addColumn<QByteArray>("address"); // empty: none
        QTest::newRow("near names, none exact")
            << QByteArray("eth01 192.0.2.1, ETH0 192.0.2.2, lo 127.0.0.1") << QByteArray();
        QTest::newRow("no address") << QByteArray("eth0 none") << QByteArray();
        QTest::newRow("last ipv4, even before ipv6")
            << QByteArray("eth0 2001:db8::1, eth0 192.0.2.10, eth0 192.0.2.11, eth0 2001:db8::2")
            << QByteArray("192.0.2.11");
        QTest::newRow("ipv6 only: the last, bracketed, its zone escaped")
            << QByteArray("eth0 2001:db8::1, eth0 fe80::1%lo") << QByteArray("[fe80::1%25lo]");
    }

    void networkAddressFromList()
    {
        QFETCH(QByteArray, interfaces);
        QFETCH(QByteArray, address);
        const InterfaceList list(interfaces);
        const auto found =
            Platform::networkAddressFromList(&list.entries.front().ifa, QStringLiteral("eth0"));
        QCOMPARE(found.value_or(QString()).toUtf8(), address);
    }

    // A name with parentheses and spaces must not shift the fields after it.
    void startTimeNamesOneProcess()
    {
        QTemporaryDir dir;
        const QString odd = dir.filePath(QStringLiteral("x) (y z"));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), odd));
        QVERIFY(QFile::setPermissions(odd, QFile::ReadOwner | QFile::ExeOwner));
        QProcess first;
        first.start(odd, {QStringLiteral("1000")});
        QVERIFY(first.waitForStarted());
        QTest::qWait(30); // a tick or more apart
        const auto second = sleeper();
        const auto a = Platform::processStartTime(first.processId());
        const auto b = Platform::processStartTime(second->processId());
        QVERIFY(a && b && *a > 0 && *a < *b);
        QCOMPARE(Platform::processStartTime(first.processId()), a);
        const qint64 pid = first.processId();
        first.kill();
        QVERIFY(first.waitForFinished());
        QCOMPARE(Platform::processStartTime(pid), std::nullopt);
        QCOMPARE(Platform::processStartTime(0), std::nullopt);
    }

    void commandResultSaysWhy_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("succeeded");
        QTest::addColumn<QString>("failure");
        QTest::newRow("far more output than a pipe holds")
            << QStringLiteral("head -c 8000000 /dev/zero") << true << QString();
        QTest::newRow("refused") << QStringLiteral("echo 'kill: (1) - Operation not permitted' >&2;"
                                                   " echo second line >&2; exit 1")
                                 << false << QStringLiteral("kill: (1) - Operation not permitted");
        QTest::newRow("silent") << QStringLiteral("exit 4") << false
                                << QStringLiteral("exit status 4");
        QTest::newRow("killed") << QStringLiteral("kill -9 $$") << false
                                << QStringLiteral("ended by a signal");
        QTest::newRow("escape sequences") << QStringLiteral("printf 'a\\033[2Jb' >&2; exit 1")
                                          << false << QStringLiteral("a\uFFFD[2Jb");
        QTest::newRow("a flood on standard error")
            << QStringLiteral("head -c 8000000 /dev/zero | tr '\\0' e >&2; exit 1") << false
            << QString(300, u'e');
    }

    void commandResultSaysWhy()
    {
        QFETCH(QString, line);
        QFETCH(bool, succeeded);
        QFETCH(QString, failure);
        FdCapture out(STDOUT_FILENO);
        const Platform::CommandResult result =
            Platform::runCommand(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), line});
        QVERIFY(out.release().isEmpty());
        QCOMPARE(result.succeeded, succeeded);
        QCOMPARE(result.failure, failure);
    }

    void unstartableProgramIsLoggedOnce()
    {
        FdCapture err(STDERR_FILENO);
        QVERIFY(!Platform::runCommand(QStringLiteral("/nonexistent/bash"), {}).succeeded);
        QCOMPARE(logLines(err.release()).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSystem)
#include "tst_system.moc"
