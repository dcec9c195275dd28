// The menu as a StatusNotifierItem host reads it over D-Bus (com.canonical.dbusmenu). CTest runs
// it on a private session bus and X server: Qt exports its tray icon on xcb, not offscreen.
#include "AppDelegate.h"
#include "Scanner.h"
#include "StatusItem.h"
#include "StatusMenu.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

// The panel's side, in a process of its own as a panel's is (Qt asks it with calls that block):
// it says a host is there and writes each item that registers to its standard output.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ yes)
public:
    bool yes() const { return true; }
public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service)
    {
        std::printf("%s\n", qPrintable(service));
        std::fflush(stdout);
    }
};

struct Row {
    QString label; // as a host shows it
    bool enabled;
    int submenu; // its id, 0 for none
    int depth;
};

// Opens the menu `id` of the item as a host does, and reads its visible rows.
static QList<Row> open(const QString &item, int id, int depth)
{
    // A connection of the reader's own, as a panel's; the item answers from this very thread.
    QDBusConnection host = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"host"_s);
    const auto call = [&](const QString &method, const QVariantList &args) {
        QDBusMessage m = QDBusMessage::createMethodCall(item, u"/MenuBar"_s,
                                                        u"com.canonical.dbusmenu"_s, method);
        m.setArguments(args);
        return host.call(m, QDBus::BlockWithGui).arguments();
    };
    call(u"AboutToShow"_s, {id});
    const auto menu = call(u"GetLayout"_s, {id, 1, QStringList()}).value(1).value<QDBusArgument>();
    QVariantMap p;
    QVariantList children;
    menu.beginStructure();
    menu >> id >> p >> children;
    menu.endStructure();
    QList<Row> rows;
    for (const QVariant &child : children) {
        const auto entry = child.value<QDBusArgument>();
        entry.beginStructure();
        entry >> id >> p;
        entry.endStructure();
        if (!p.value(u"visible"_s, true).toBool() || !p.contains(u"label"_s))
            continue;
        // dbusmenu's mnemonics: "__" is one "_", a lone "_" marks the next character.
        rows.append({p[u"label"_s].toString().replace(QRegularExpression(u"_(.)"_s), u"\\1"_s),
                     p.value(u"enabled"_s, true).toBool(),
                     p.contains(u"children-display"_s) ? id : 0, depth});
    }
    return rows;
}

class TestExportedMenu : public QObject {
    Q_OBJECT
    QProcess watcher;
    QTemporaryDir config;
    QSet<int> m_changed; // the menus whose layout the item said had changed

public Q_SLOTS:
    void changed(uint, int menu) { m_changed.insert(menu); }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        watcher.start(QCoreApplication::applicationFilePath(), {u"--watcher"_s});
        QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(
            u"org.kde.StatusNotifierWatcher"_s));
    }

    void cleanupTestCase()
    {
        watcher.kill();
        watcher.waitForFinished();
    }

    void rowsAsHostsReadThem_data()
    {
        QTest::addColumn<QByteArray>("listing"); // "folder": a child started in a work tree
        QTest::addColumn<int>("entries");
        QTest::addColumn<QString>("shown"); // matches the rows, one a line, top menu first
        QByteArray many;
        for (int i = 1; i <= 120; ++i)
            many += u"p%1\ncp%1\nn*:%2\n"_s.arg(i).arg(2000 + i).toUtf8();
        QTest::newRow("120 processes") << many + "m\n" << 120 << u"^101–120$"_s;
        QTest::newRow("a process started in a known folder")
            << QByteArray("folder") << 1 << u"^in /.*/shop/src \\(git: shop\\)$"_s;
        QTest::newRow("a name with an underscore and ampersands")
            << QByteArray("p1\ncmy_app&&co&\nn*:3000\nm\n") << 1 << u"^3000 · my_app&&co&$"_s;
        // The icon counts the container, not the other user's port, which has no Stop or Kill.
        QTest::newRow("a container and another user's port")
            << QByteArray("others") << 2
            << u"^18080 · web-1\nOther users' ports \\(1\\)$.*^container web-1$.*^Stop "
               "Container$.*^Owned by user postgres — Ambrel cannot stop "
               "it\nOpen in Browser\nCopy Network URL[^\n]*$(?!.)"_s;
    }

    void rowsAsHostsReadThem()
    {
        QFETCH(QByteArray, listing);
        QFETCH(int, entries);
        QFETCH(QString, shown);
        QTemporaryDir tree;
        QProcess child;
        AppDelegate d;
        d.applicationDidFinishLaunching();
        d.scanner()->stop();
        if (listing == "folder") {
            QVERIFY(QDir(tree.path()).mkpath(u"shop/.git"_s) &&
                    QDir(tree.path()).mkpath(u"shop/src"_s));
            child.setWorkingDirectory(tree.filePath(u"shop/src"_s));
            child.start(u"sleep"_s, {u"100"_s});
            QVERIFY(child.waitForStarted());
            listing = u"p%1\ncsleep\nn*:3000\nm\n"_s.arg(child.processId()).toUtf8();
        } else if (listing == "others") {
            Listener web{7, 1, 18080, u"docker-proxy"_s, {{u"::"_s, 18080}}};
            web.container = {u"c0ffee"_s, u"web-1"_s, u"busybox"_s, 80};
            web.title = u"18080 · web-1"_s;
            Listener postgres{0,   -1, 5432, u"postgres"_s, {{u"127.0.0.1"_s, 5432}}, u"postgres"_s,
                              true};
            d.statusMenu()->showProcesses({postgres, web});
            QCOMPARE(d.statusItem()->title(), u"1"_s);
            listing.clear();
        }
        if (!listing.isEmpty())
            d.scanner()->handleLsofOutput(listing);
        QTRY_VERIFY(watcher.canReadLine());
        const QString item = QString::fromUtf8(watcher.readAll().trimmed().split('\n').last());
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"host"_s)
            .connect(item, u"/MenuBar"_s, u"com.canonical.dbusmenu"_s, u"LayoutUpdated"_s, this,
                     SLOT(changed(uint, int)));
        QTest::qWait(300);
        m_changed.clear();

        // Every row a host reaches: no menu longer than a screen, a process no deeper than three
        // levels, the fixed items near the top and their headers not to be chosen.
        QList<Row> rows = open(item, 0, 1);
        // Plasma places a submenu by the items it knew when the menu opened: each is announced.
        for (const Row &r : std::as_const(rows))
            QTRY_VERIFY(!r.submenu || m_changed.contains(r.submenu));
        QVERIFY(std::ranges::find(rows, u"Quit"_s, &Row::label) - rows.begin() < 30);
        for (const Row &r : std::as_const(rows))
            QCOMPARE(r.enabled,
                     !QRegularExpression(u"Processes$|^Preferences$"_s).match(r.label).hasMatch());
        QVERIFY(rows.size() <= 40);
        for (qsizetype i = 0; i < rows.size(); ++i)
            if (const Row r = rows[i]; r.submenu && r.depth < 4) {
                const QList<Row> submenu = open(item, r.submenu, r.depth + 1);
                QVERIFY(submenu.size() <= 40);
                rows += submenu;
            }
        const QRegularExpression title(u"^\\d+ · "_s);
        QStringList labels(rows.size());
        std::ranges::transform(rows, labels.begin(), &Row::label);
        QCOMPARE(labels.filter(title).size(), entries);
        QVERIFY(std::ranges::none_of(
            rows, [&](const Row &r) { return r.depth > 3 && title.match(r.label).hasMatch(); }));
        const auto options =
            QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption;
        QVERIFY2(QRegularExpression(shown, options).match(labels.join(u'\n')).hasMatch(),
                 qPrintable(labels.join(u'|')));
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--watcher") == 0) {
        QCoreApplication app(argc, argv);
        Watcher watcher;
        QDBusConnection::sessionBus().registerObject(u"/StatusNotifierWatcher"_s, &watcher,
                                                     QDBusConnection::ExportAllContents);
        QDBusConnection::sessionBus().registerService(u"org.kde.StatusNotifierWatcher"_s);
        return app.exec();
    }
    QApplication app(argc, argv);
    TestExportedMenu test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_exported_menu.moc"
