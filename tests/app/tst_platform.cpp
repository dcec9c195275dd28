#include "Platform.h"

#include <QTest>

class TestPlatform : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void defaultRouteInterface_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QString>("interface");
        const QByteArray head = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask"
                                "\t\tMTU\tWindow\tIRTT\n";
        QTest::newRow("default route")
            << head + "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                      "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
            << QStringLiteral("eth0");
        QTest::newRow("lowest metric wins")
            << head + "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                      "enp3s0\t00000000\t0101000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
            << QStringLiteral("enp3s0");
        QTest::newRow("route that is down") << head + "eth0\t00000000\t0101A8C0\t0002\t0\t0\t100"
                                                      "\t00000000\t0\t0\t0\n"
                                            << QString();
        QTest::newRow("only a subnet route")
            << head + "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
            << QString();
        QTest::newRow("empty table") << head << QString();
        QTest::newRow("garbage") << QByteArray("\n\n\t\tx y z\n") << QString();
    }

    void defaultRouteInterface()
    {
        QFETCH(QByteArray, table);
        QFETCH(QString, interface);
        QCOMPARE(Platform::defaultRouteInterface(table), interface);
    }

    void lsofLaunchPathExists()
    {
        QVERIFY(Platform::lsofLaunchPath().endsWith(QStringLiteral("/lsof")));
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
