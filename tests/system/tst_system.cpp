// The operating-system layer against real files, processes and interface lists.
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

using namespace Qt::StringLiterals;

class TestSystem : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void defaultRouteInterface_data()
    {
        // Iface Destination Gateway Flags RefCnt Use Metric Mask
        QTest::addColumn<QByteArray>("rows");
        QTest::addColumn<QString>("interface");
        QTest::newRow("default route beside a subnet route")
            << QByteArray("eth0 0001A8C0 0 0001 0 0 100 00FFFFFF\n"
                          "eth0 00000000 0101A8C0 0003 0 0 100 00000000\n")
            << u"eth0"_s;
        QTest::newRow("lowest metric wins") << QByteArray("wlan0 00000000 1 0003 0 0 600 00000000\n"
                                                          "enp3s0 00000000 1 0003 0 0 0 00000000\n"
                                                          "eth9 00000000 1 0003 0 0 700 00000000\n")
                                            << u"enp3s0"_s;
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
        QTest::addColumn<QByteArray>("interfaces"); // "name address, ...", "none" for no address
        QTest::addColumn<QByteArray>("address");    // empty: none
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
        struct Entry {
            ifaddrs ifa{};
            sockaddr_storage address{};
            QByteArray name;
        };
        std::deque<Entry> list; // as getifaddrs hands it over
        for (const QByteArray &item : interfaces.split(',')) {
            const QList<QByteArray> parts = item.trimmed().split(' ');
            Entry &entry = list.emplace_back();
            entry.name = parts[0];
            entry.ifa.ifa_name = entry.name.data();
            addrinfo numeric{}, *found = nullptr;
            numeric.ai_flags = AI_NUMERICHOST; // parsing, no lookup
            if (getaddrinfo(parts[1].constData(), nullptr, &numeric, &found) == 0) {
                std::memcpy(&entry.address, found->ai_addr, found->ai_addrlen);
                entry.ifa.ifa_addr = reinterpret_cast<sockaddr *>(&entry.address);
                freeaddrinfo(found);
            }
            if (list.size() > 1)
                list[list.size() - 2].ifa.ifa_next = &entry.ifa;
        }
        const auto found = Platform::networkAddressFromList(&list.front().ifa, u"eth0"_s);
        QCOMPARE(found.value_or(QString()).toUtf8(), address);
    }

    // Copy Network URL's address is one that `ip` lists on the default route's interface.
    void localNetworkAddressIsOnTheDefaultRoute()
    {
        QProcess ip;
        ip.start(u"ip"_s,
                 {u"-o"_s, u"addr"_s, u"show"_s, u"dev"_s, Platform::networkInterfaceName()});
        if (!ip.waitForFinished() || ip.exitCode() != 0)
            QSKIP("no default route here");
        const QString address = Platform::localNetworkAddress().value_or(u"none"_s);
        const QString bare = QString(address).remove(u'[').remove(u']').section(u'%', 0, 0);
        QVERIFY2(ip.readAll().contains(' ' + bare.toUtf8() + '/'), qPrintable(address));
    }

    // A name with parentheses and spaces must not shift the fields after it.
    void startTimeNamesOneProcess()
    {
        QTemporaryDir dir;
        const QString odd = dir.filePath(u"x) (y z"_s);
        QVERIFY(QFile::copy(u"/bin/sleep"_s, odd));
        QProcess first;
        first.start(odd, {u"1000"_s});
        QVERIFY(first.waitForStarted());
        QTest::qWait(30); // a tick or more apart
        const auto second = sleeper();
        const auto a = Platform::processStartTime(first.processId());
        const auto b = Platform::processStartTime(second->processId());
        QVERIFY(a && b && *a > 0 && *a < *b && *b - *a < 500); // ticks, 5 s at most
        QCOMPARE(Platform::processStartTime(first.processId()), a);
        const qint64 pid = first.processId();
        first.kill();
        QVERIFY(first.waitForFinished());
        QCOMPARE(Platform::processStartTime(pid), std::nullopt);
        QCOMPARE(Platform::processStartTime(0), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TestSystem)
#include "tst_system.moc"
