// The menu as a StatusNotifierItem host reads it over D-Bus (com.canonical.dbusmenu), from a
// private session bus with a watcher of our own standing in for the panel.
#include "AppDelegate.h"
#include "Scanner.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// The panel's side, in a process of its own as a panel is: it says a host is there and writes
// each item that registers to its standard output.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ yes)
    Q_PROPERTY(int ProtocolVersion READ zero)
public:
    bool yes() const { return true; }
    int zero() const { return 0; }
public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service)
    {
        std::printf("%s\n", qPrintable(service));
        std::fflush(stdout);
    }
};

class TestExportedMenu : public QObject {
    Q_OBJECT
    QProcess watcher;
    QTemporaryDir config;

    QDBusMessage call(const QString &service, const QString &method, const QVariantList &args)
    {
        QDBusMessage m = QDBusMessage::createMethodCall(
            service, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu"), method);
        m.setArguments(args);
        // The item answers from this very thread: wait with its events running, on a
        // connection of the reader's own, as a panel's would be.
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("host"))
            .call(m, QDBus::BlockWithGui);
    }

    // Opens the menu `id` as a host does and reads its rows: (label as shown, enabled, id of a
    // submenu or 0), the invisible left out.
    struct Row {
        QString label;
        bool enabled;
        int submenu;
    };
    QList<Row> open(const QString &service, int id)
    {
        call(service, QStringLiteral("AboutToShow"), {id});
        const QDBusMessage reply =
            call(service, QStringLiteral("GetLayout"), {id, 1, QStringList()});
        const QDBusArgument layout = reply.arguments().value(1).value<QDBusArgument>();
        int parent = 0;
        QVariantMap properties;
        QVariantList children;
        layout.beginStructure();
        layout >> parent >> properties >> children;
        layout.endStructure();
        QList<Row> rows;
        for (const QVariant &child : children) {
            const auto item = child.value<QDBusArgument>();
            int itemId = 0;
            QVariantMap p;
            item.beginStructure();
            item >> itemId >> p;
            item.endStructure();
            if (!p.value(QStringLiteral("visible"), true).toBool() ||
                p.value(QStringLiteral("type")) == QStringLiteral("separator"))
                continue;
            // dbusmenu's mnemonics: "__" is one "_", a lone "_" marks the next character.
            const QString label =
                p.value(QStringLiteral("label"))
                    .toString()
                    .replace(QRegularExpression(QStringLiteral("_(.)")), QStringLiteral("\\1"));
            rows.append({label, p.value(QStringLiteral("enabled"), true).toBool(),
                         p.contains(QStringLiteral("children-display")) ? itemId : 0});
        }
        return rows;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        watcher.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--watcher")});
        QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(
            QStringLiteral("org.kde.StatusNotifierWatcher")));
    }

    void cleanupTestCase()
    {
        watcher.kill();
        watcher.waitForFinished();
    }

    void rowsAsHostsReadThem_data()
    {
        QTest::addColumn<QByteArray>("listing");
        QTest::addColumn<int>("entries");
        QTest::addColumn<QStringList>("shown"); // each matches a row somewhere in the menu
        QByteArray many;
        for (int i = 1; i <= 120; ++i)
            many += QStringLiteral("p%1\ncp%1\nn*:%2\n").arg(i).arg(2000 + i).toUtf8();
        QTest::newRow("120 processes") << many + "m\n"
                                       << 120 << QStringList{QStringLiteral("^101–120$")};
        QTest::newRow("a process started in a known folder")
            << QByteArray("folder") << 1 << QStringList{QStringLiteral("^in /.*/shop$")};
        QTest::newRow("a name with an underscore and ampersands")
            << QByteArray("p1\ncmy_app&&co&\nn*:3000\nm\n") << 1
            << QStringList{QStringLiteral("^3000 · my_app&&co&$")};
        QTest::newRow("a scanner that fails")
            << QByteArray() << 0
            << QStringList{
                   QStringLiteral("^Cannot list processes: lsof ended with exit status 1$")};
    }

    void rowsAsHostsReadThem()
    {
        QFETCH(QByteArray, listing);
        QFETCH(int, entries);
        QFETCH(QStringList, shown);
        QTemporaryDir home;
        QProcess child;
        AppDelegate d;
        d.applicationDidFinishLaunching();
        d.scanner()->stop();
        if (listing == "folder") {
            QVERIFY(QDir(home.path()).mkpath(QStringLiteral("shop")));
            child.setWorkingDirectory(home.filePath(QStringLiteral("shop")));
            child.start(QStringLiteral("sleep"), {QStringLiteral("100")});
            QVERIFY(child.waitForStarted());
            listing = QStringLiteral("p%1\ncsleep\nn*:3000\nm\n").arg(child.processId()).toUtf8();
        }
        if (listing.isEmpty())
            d.scanner()->startLsofTask(QStringLiteral("/bin/false"), {});
        d.scanner()->handleLsofOutput(listing);
        QTRY_VERIFY(watcher.canReadLine());
        const QString item = QString::fromUtf8(watcher.readLine().trimmed());
        QTRY_VERIFY(listing.size() || !d.scanner()->problem().isEmpty());

        // Every row a host can reach: a process no deeper than three levels, no menu longer
        // than a screen, the fixed items near the top, their headers not to be chosen.
        const QList<Row> top = open(item, 0);
        QVERIFY(top.size() <= 40);
        QList<std::pair<Row, int>> walk;
        for (const Row &row : top)
            walk.append({row, 1});
        QStringList labels;
        int found = 0;
        for (qsizetype i = 0; i < walk.size(); ++i) {
            const auto [row, depth] = walk[i];
            labels.append(row.label);
            if (QRegularExpression(QStringLiteral("^\\d+ · ")).match(row.label).hasMatch()) {
                ++found;
                QVERIFY2(depth <= 3, qPrintable(row.label));
            }
            if (!row.submenu)
                continue;
            const QList<Row> rows = open(item, row.submenu);
            QVERIFY(rows.size() <= 40);
            for (const Row &r : rows)
                walk.append({r, depth + 1});
        }
        QCOMPARE(found, entries);
        for (const QString &pattern : shown)
            QVERIFY2(!labels.filter(QRegularExpression(pattern)).isEmpty(), qPrintable(pattern));
        QCOMPARE(labels.contains(QStringLiteral("No listening processes")), false);
        const auto quit = std::find_if(
            top.begin(), top.end(), [](const Row &r) { return r.label == QStringLiteral("Quit"); });
        QVERIFY(quit - top.begin() < 30);
        for (const Row &r : top)
            QCOMPARE(r.enabled, !r.label.endsWith(QStringLiteral("Processes")) &&
                                    r.label != QStringLiteral("Preferences") &&
                                    !r.label.startsWith(QStringLiteral("Cannot")));
    }
};

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--watcher") == 0) {
        QCoreApplication app(argc, argv);
        Watcher watcher;
        QDBusConnection::sessionBus().registerObject(
            QStringLiteral("/StatusNotifierWatcher"), &watcher,
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
        QDBusConnection::sessionBus().registerService(
            QStringLiteral("org.kde.StatusNotifierWatcher"));
        return app.exec();
    }
    // A session bus and an X server of our own, before Qt connects to any: Qt makes its tray
    // icon a StatusNotifierItem only on a platform of the desktop's, such as xcb.
    QProcess bus;
    QProcess x;
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"),
               QStringLiteral("--print-address")});
    x.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                     QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!bus.waitForReadyRead(10000) || !x.waitForReadyRead(10000))
        return 1;
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.readLine().trimmed());
    qputenv("DISPLAY", ':' + x.readLine().trimmed());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    TestExportedMenu test;
    const int status = QTest::qExec(&test, argc, argv);
    for (QProcess *daemon : {&bus, &x}) {
        daemon->kill();
        daemon->waitForFinished();
    }
    return status;
}

#include "tst_exported_menu.moc"
