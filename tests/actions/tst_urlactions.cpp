#include "../FdCapture.h"
#include "MenuItem.h"
#include "NetworkAddress.h"
#include "UrlActions.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QMimeData>
#include <QNetworkInterface>
#include <QTest>

#include <cstring>
#include <deque>
#include <ifaddrs.h>
#include <netdb.h>

// An interface list as getifaddrs hands it over, from "name address, ...": a numeric address
// (IPv6 with an optional %zone), "link" for a link-layer entry or "none" for no address at all.
struct InterfaceList {
    explicit InterfaceList(const QByteArray &spec)
    {
        for (const QByteArray &item : spec.split(',')) {
            const QList<QByteArray> parts = item.trimmed().split(' ');
            Entry &entry = entries.emplace_back();
            entry.name = parts[0];
            entry.ifa.ifa_name = entry.name.data();
            entry.address.ss_family = AF_PACKET;
            addrinfo numeric{}, *found = nullptr;
            numeric.ai_flags = AI_NUMERICHOST; // parsing only, no lookup
            if (getaddrinfo(parts[1].constData(), nullptr, &numeric, &found) == 0) {
                std::memcpy(&entry.address, found->ai_addr, found->ai_addrlen);
                freeaddrinfo(found);
            }
            if (parts[1] != "none")
                entry.ifa.ifa_addr = reinterpret_cast<sockaddr *>(&entry.address);
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

class TestUrlActions : public QObject {
    Q_OBJECT
    QList<QUrl> m_opened;
    QMenu m_submenu;
    QAction *m_item = m_submenu.addAction(QStringLiteral("Copy Network URL"));

public Q_SLOTS:
    void open(const QUrl &url) { m_opened << url; }

private Q_SLOTS:
    void initTestCase()
    {
        // Every http URL ends here: nothing may start a real browser.
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open");
        MenuItem::setTag(m_item, 3000);
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); }

    // Neither action adds, removes or retitles an item.
    void cleanup()
    {
        QCOMPARE(m_submenu.actions(), QList<QAction *>{m_item});
        QCOMPARE(m_item->text(), QStringLiteral("Copy Network URL"));
    }

    void openInBrowserReportsSuccessOnly()
    {
        FdCapture out(STDOUT_FILENO);
        openInBrowser(*m_item);
        QCOMPARE(out.release(), "default browser was successfully opened\n");
        QCOMPARE(m_opened, QList<QUrl>{QUrl(QStringLiteral("http://localhost:3000"))});

        // A handler that cannot take the URL is how opening fails here.
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "missing");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("No such method")));
        FdCapture failed(STDOUT_FILENO);
        openInBrowser(*m_item);
        const QByteArray said = failed.release();
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open");
        QVERIFY(said.isEmpty());
    }

    void copyLeavesOnlyThePlainTextURL()
    {
        auto *old = new QMimeData; // The clipboard takes ownership.
        old->setHtml(QStringLiteral("<b>old</b>"));
        QGuiApplication::clipboard()->setMimeData(old);
        copyNetworkURL(*m_item);
        const QMimeData *data = QGuiApplication::clipboard()->mimeData();
        QCOMPARE(data->formats(), QStringList{QStringLiteral("text/plain")});
        const QUrl url(data->text(), QUrl::StrictMode);
        QVERIFY(url.isValid());
        QCOMPARE(url.port(), 3000);
        // Another machine's way in: one of this machine's addresses, else localhost.
        if (url.host() != QLatin1String("localhost"))
            QVERIFY(QNetworkInterface::allAddresses().contains(QHostAddress(url.host())));
    }

    void networkAddressFromList_data()
    {
        QTest::addColumn<QByteArray>("interfaces");
        QTest::addColumn<QByteArray>("address"); // empty: none
        QTest::newRow("no such interface")
            << QByteArray("lo 127.0.0.1, wlan0 10.0.0.2") << QByteArray();
        QTest::newRow("near names")
            << QByteArray("eth01 192.0.2.1, ETH0 192.0.2.2, eth 192.0.2.3") << QByteArray();
        QTest::newRow("only link layer") << QByteArray("eth0 none, eth0 link") << QByteArray();
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
            ::networkAddressFromList(&list.entries.front().ifa, QStringLiteral("eth0"));
        QCOMPARE(found.value_or(QString()).toUtf8(), address);
    }
};

QTEST_MAIN(TestUrlActions)
#include "tst_urlactions.moc"
