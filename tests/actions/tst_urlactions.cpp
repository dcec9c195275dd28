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

#include <arpa/inet.h>
#include <deque>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

// An interface list as getifaddrs would hand it over, built from "name family address" rows.
class InterfaceList {
public:
    InterfaceList &add(const char *name, int family, const char *address = nullptr,
                       unsigned scope = 0)
    {
        ifaddrs &entry = m_entries.emplace_back();
        sockaddr_storage &storage = m_addresses.emplace_back();
        entry.ifa_name = const_cast<char *>(name);
        entry.ifa_addr = family < 0 ? nullptr : reinterpret_cast<sockaddr *>(&storage);
        storage.ss_family = sa_family_t(family < 0 ? 0 : family);
        if (family == AF_INET)
            inet_pton(AF_INET, address, &reinterpret_cast<sockaddr_in &>(storage).sin_addr);
        if (family == AF_INET6) {
            auto &in6 = reinterpret_cast<sockaddr_in6 &>(storage);
            inet_pton(AF_INET6, address, &in6.sin6_addr);
            in6.sin6_scope_id = scope;
        }
        if (m_entries.size() > 1)
            m_entries[m_entries.size() - 2].ifa_next = &entry;
        return *this;
    }
    const ifaddrs *head() const { return m_entries.empty() ? nullptr : &m_entries.front(); }

private:
    std::deque<ifaddrs> m_entries;
    std::deque<sockaddr_storage> m_addresses;
};

class Receiver : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl &url) { opened.append(url); }
};

class TestUrlActions : public QObject {
    Q_OBJECT
    Receiver m_receiver;
    QAction m_item;

private Q_SLOTS:
    void initTestCase()
    {
        // Every http URL ends here: nothing may start a real browser.
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &m_receiver, "open");
        MenuItem::setTag(&m_item, 3000);
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); }

    void openInBrowserReportsSuccessOnly()
    {
        FdCapture out(STDOUT_FILENO);
        openInBrowser(m_item);
        QCOMPARE(out.release(), "default browser was successfully opened\n");
        QCOMPARE(m_receiver.opened, QList<QUrl>{QUrl(QStringLiteral("http://localhost:3000"))});

        // A handler that cannot take the URL is how opening fails here.
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &m_receiver, "missing");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("No such method")));
        FdCapture failed(STDOUT_FILENO);
        openInBrowser(m_item);
        const QByteArray said = failed.release();
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &m_receiver, "open");
        QVERIFY(said.isEmpty());
    }

    void copyLeavesOnlyThePlainTextURL()
    {
        auto *old = new QMimeData;
        old->setHtml(QStringLiteral("<b>old</b>"));
        old->setText(QStringLiteral("old"));
        QGuiApplication::clipboard()->setMimeData(old);
        copyNetworkURL(m_item);
        const QMimeData *data = QGuiApplication::clipboard()->mimeData();
        QCOMPARE(data->formats(), QStringList{QStringLiteral("text/plain")});
        const QString host = localNetworkAddress().value_or(QStringLiteral("localhost"));
        QCOMPARE(data->text(), QStringLiteral("http://%1:3000").arg(host));
    }

    void menuStaysAsItWas()
    {
        QMenu menu;
        menu.addAction(QStringLiteral("Listening Processes"));
        QMenu *submenu = menu.addMenu(QStringLiteral("3000 · node"));
        QAction *open = submenu->addAction(QStringLiteral("Open in Browser"));
        QAction *copy = submenu->addAction(QStringLiteral("Copy Network URL"));
        MenuItem::setTag(open, 3000);
        MenuItem::setTag(copy, 3000);
        menu.addAction(QStringLiteral("Quit"));
        auto titles = [&] {
            QStringList all;
            for (const QMenu *m : {&menu, submenu})
                for (const QAction *item : m->actions())
                    all << item->text();
            return all;
        };
        const QStringList before = titles();
        openInBrowser(*open);
        copyNetworkURL(*copy);
        QCOMPARE(titles(), before);
    }

    void badPortDoesNothing()
    {
        QAction item;
        MenuItem::setTag(&item, 70000);
        QGuiApplication::clipboard()->setText(QStringLiteral("kept"));
        m_receiver.opened.clear();
        openInBrowser(item);
        copyNetworkURL(item);
        QVERIFY(m_receiver.opened.isEmpty());
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("kept"));
    }

    void localAddressBelongsToTheInterface()
    {
        const std::optional<QString> host = localNetworkAddress();
        if (!host)
            QSKIP("no network interface with an address here");
        QString bare = host->startsWith(QLatin1Char('[')) ? host->mid(1, host->size() - 2) : *host;
        bare.replace(QStringLiteral("%25"), QStringLiteral("%"));
        const QHostAddress address(bare);
        QVERIFY(!address.isNull());
        bool found = false;
        for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
            for (const QNetworkAddressEntry &entry : interface.addressEntries())
                found = found || entry.ip().isEqual(address, QHostAddress::StrictConversion);
        }
        QVERIFY(found);
    }

    void networkAddressFromList_data()
    {
        QTest::addColumn<std::shared_ptr<InterfaceList>>("list");
        QTest::addColumn<QString>("address"); // empty: no address
        auto row = [](const char *name, const QString &address) {
            auto list = std::make_shared<InterfaceList>();
            QTest::newRow(name) << list << address;
            return list;
        };
        row("empty list", {});
        row("no such interface", {})
            ->add("lo", AF_INET, "127.0.0.1")
            .add("wlan0", AF_INET, "10.0.0.2");
        row("only link layer", {})->add("eth0", AF_PACKET);
        row("ipv4 then ipv6", QStringLiteral("192.0.2.10"))
            ->add("eth0", AF_INET, "192.0.2.10")
            .add("eth0", AF_INET6, "2001:db8::1");
        row("last ipv4 wins", QStringLiteral("192.0.2.11"))
            ->add("eth0", AF_INET6, "2001:db8::1")
            .add("eth0", AF_INET, "192.0.2.10")
            .add("eth0", AF_INET, "192.0.2.11")
            .add("eth0", AF_INET6, "2001:db8::2");
        row("ipv6 only", QStringLiteral("[2001:db8::2]"))
            ->add("eth0", AF_INET6, "2001:db8::1")
            .add("eth0", AF_INET6, "2001:db8::2");
        row("link-local zone", QStringLiteral("[fe80::1%25lo]"))
            ->add("eth0", AF_INET6, "fe80::1", if_nametoindex("lo"));
        row("near names", {})
            ->add("eth01", AF_INET, "192.0.2.1")
            .add("ETH0", AF_INET, "192.0.2.2")
            .add("eth", AF_INET, "192.0.2.3");
        row("entries without address or name", QStringLiteral("192.0.2.10"))
            ->add("eth0", -1)
            .add(nullptr, AF_INET, "192.0.2.9")
            .add("eth0", AF_INET, "192.0.2.10")
            .add("eth0", -1);
    }

    void networkAddressFromList()
    {
        QFETCH(std::shared_ptr<InterfaceList>, list);
        QFETCH(QString, address);
        QCOMPARE(::networkAddressFromList(list->head(), QStringLiteral("eth0")).value_or(QString()),
                 address);
    }
};

QTEST_MAIN(TestUrlActions)
#include "tst_urlactions.moc"
