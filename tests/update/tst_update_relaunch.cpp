// State reports, the restart from the installed tree, and the install of a staged archive.
#include "Bundles.h"
#include "LogCapture.h"
#include "Update.h"

#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// Stands in for states the feed cannot produce on demand.
class StateUpdater : public Updater {
public:
    StateUpdater() : Updater(QNetworkRequest()) {}
    using Updater::setState;
};

// Runs work in the application's event loop; true when it asked the loop to quit.
bool quitsEventLoop(const std::function<void()> &work, int graceMs)
{
    QTimer::singleShot(0, qApp, work);
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
    guard.start(graceMs);
    return QCoreApplication::exec() == 0;
}

QStringList texts(std::initializer_list<const char *> lines)
{
    QStringList list;
    for (const char *line : lines)
        list << QString::fromUtf8(line);
    return list;
}

QStringList entries(const QString &dir)
{
    QStringList names = QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    names.sort();
    return names;
}

} // namespace

class TestUpdateRelaunch : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void reportUpdaterState_data()
    {
        QTest::addColumn<QString>("keyPath"); // "<none>" for an absent one
        QTest::addColumn<int>("object");      // 0 none, 1 an updater, 2 another object
        QTest::addColumn<int>("state");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("other key path") << "status" << 1 << 1 << QStringList();
        QTest::newRow("key path in capitals") << "State" << 1 << 1 << QStringList();
        QTest::newRow("key path with a space") << "state " << 1 << 1 << QStringList();
        QTest::newRow("empty key path") << "" << 1 << 1 << QStringList();
        QTest::newRow("no key path") << "<none>" << 1 << 1 << QStringList();
        QTest::newRow("no object") << "state" << 0 << 1 << QStringList();
        QTest::newRow("not an updater") << "state" << 2 << 1 << QStringList();
        QTest::newRow("0") << "state" << 1 << 0 << texts({"SQRLUpdaterStateIdle"});
        QTest::newRow("1") << "state" << 1 << 1 << texts({"SQRLUpdaterStateCheckingForUpdate"});
        QTest::newRow("2") << "state" << 1 << 2 << texts({"SQRLUpdaterStateDownloadingUpdate"});
        QTest::newRow("3") << "state" << 1 << 3
                           << texts({"SQRLUpdaterStateAwaitingRelaunch",
                                     "no update is staged to install"});
        QTest::newRow("4") << "state" << 1 << 4 << texts({"unknown state"});
        QTest::newRow("-1") << "state" << 1 << -1 << texts({"unknown state"});
    }

    void reportUpdaterState()
    {
        QFETCH(QString, keyPath);
        QFETCH(int, object);
        QFETCH(int, state);
        QFETCH(QStringList, lines);
        StateUpdater observed;
        observed.setState(state);
        QObject other;
        Updater own{QNetworkRequest()};
        QObject *objects[] = {nullptr, &observed, &other};
        LogCapture log;
        ::reportUpdaterState(keyPath == QLatin1String("<none>") ? std::nullopt
                                                                : std::optional(keyPath),
                             objects[object], &own);
        QCOMPARE(log.lines(), lines);
    }

    void awaitingRelaunchAsksTheOwnUpdaterEachTime()
    {
        // Asked itself, the observed one would say its update is already installed.
        StateUpdater observed;
        observed.setState(Updater::AwaitingRelaunch);
        Updater own{QNetworkRequest()};
        LogCapture log;
        ::reportUpdaterState(QStringLiteral("state"), &observed, &own);
        ::reportUpdaterState(QStringLiteral("state"), &observed, &own);
        QCOMPARE(log.lines(),
                 texts({"SQRLUpdaterStateAwaitingRelaunch", "no update is staged to install",
                        "SQRLUpdaterStateAwaitingRelaunch", "no update is staged to install"}));
    }

    void restartWithoutResourcesDoesNothing()
    {
        LogCapture log;
        QVERIFY(!quitsEventLoop([] { QVERIFY(!restartApplication(QUrl())); }, 100));
        QVERIFY(log.lines().isEmpty());
    }

    void restartStartsTheBundleThenQuits()
    {
        QTemporaryDir tmp;
        const QString bundle = tmp.filePath(QStringLiteral("my bundle"));
        QVERIFY(makeBundle(bundle, "restarted"));
        const QUrl resources = QUrl::fromLocalFile(bundle + QStringLiteral("/share/ambrel/"));
        LogCapture log;
        QVERIFY(quitsEventLoop([&] { restartApplication(resources); }, 30000));
        QCOMPARE(log.lines().size(), 1);
        const QString line = log.lines().first();
        QVERIFY(line.startsWith(QStringLiteral("restart file:///")));
        QVERIFY(line.endsWith(QStringLiteral("/my%20bundle/")));
        QCOMPARE(QUrl(line.mid(8)).toLocalFile(), bundle + QLatin1Char('/'));
        QTRY_COMPARE(snapshot(bundle)[QStringLiteral("share/ambrel/started")], "restarted\n");
    }

    void restartThatCannotStartKeepsRunning()
    {
        QTemporaryDir tmp;
        QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("b/share/ambrel"))));
        LogCapture log;
        QVERIFY(!quitsEventLoop(
            [&] {
                QVERIFY(!restartApplication(
                    QUrl::fromLocalFile(tmp.filePath(QStringLiteral("b/share/ambrel")))));
            },
            200));
        QCOMPARE(log.lines().size(), 2);
        QVERIFY(log.lines().at(1).startsWith(QStringLiteral("restart failed")));
    }

    void installReplacesTheBundle()
    {
        QTemporaryDir tmp;
        const QString bundle = tmp.filePath(QStringLiteral("app bundle"));
        QVERIFY(makeBundle(bundle, "old"));
        QVERIFY(writeFile(bundle + QStringLiteral("/share/ambrel/gone"), "only in the old"));
        QVERIFY(makeBundle(tmp.filePath(QStringLiteral("new")), "new"));
        const QString archive = tmp.filePath(QStringLiteral("u.tar.gz"));
        QVERIFY(runTar({QStringLiteral("-czf"), archive, QStringLiteral("-C"),
                        tmp.filePath(QStringLiteral("new")), QStringLiteral(".")}));
        QVERIFY(installUpdate(archive, bundle));
        QCOMPARE(snapshot(bundle), snapshot(tmp.filePath(QStringLiteral("new"))));
        QCOMPARE(entries(tmp.path()),
                 QStringList({QStringLiteral("app bundle"), QStringLiteral("new"),
                              QStringLiteral("u.tar.gz")}));
    }

    void badInstallLeavesTheBundle_data()
    {
        QTest::addColumn<QString>("problem");
        for (const char *problem :
             {"not gzip", "truncated", "member above", "absolute member", "no program",
              "link outside", "foreign file in archive", "foreign file in bundle"})
            QTest::newRow(problem) << QString::fromUtf8(problem);
    }

    void badInstallLeavesTheBundle()
    {
        QFETCH(QString, problem);
        QTemporaryDir tmp;
        const QString bundle = tmp.filePath(QStringLiteral("bundle"));
        const QString fresh = tmp.filePath(QStringLiteral("new"));
        const QString archive = tmp.filePath(QStringLiteral("u.tar.gz"));
        QVERIFY(makeBundle(bundle, "old"));
        QVERIFY(makeBundle(fresh, "new"));
        QStringList members = {QStringLiteral(".")};
        if (problem == QLatin1String("no program"))
            QVERIFY(QFile::remove(fresh + QStringLiteral("/bin/ambrel")));
        if (problem == QLatin1String("link outside"))
            QVERIFY(
                QFile::link(QStringLiteral("/etc"), fresh + QStringLiteral("/share/ambrel/etc")));
        if (problem == QLatin1String("foreign file in archive"))
            QVERIFY(writeFile(fresh + QStringLiteral("/bin/other"), "x"));
        if (problem == QLatin1String("foreign file in bundle"))
            QVERIFY(writeFile(bundle + QStringLiteral("/share/other/data"), "x"));
        if (problem == QLatin1String("member above"))
            members = {QStringLiteral("../new/bin/ambrel")};
        if (problem == QLatin1String("absolute member"))
            members = {fresh + QStringLiteral("/bin/ambrel")};
        QVERIFY(runTar(QStringList{QStringLiteral("-czPf"), archive, QStringLiteral("-C"), fresh} +
                       members));
        if (problem == QLatin1String("not gzip"))
            QVERIFY(writeFile(archive, "#!/bin/sh\necho this is no archive\n"));
        if (problem == QLatin1String("truncated"))
            QVERIFY(QFile::resize(archive, QFileInfo(archive).size() / 2));

        const auto before = snapshot(bundle);
        const QStringList around = entries(tmp.path());
        LogCapture log;
        QVERIFY(!installUpdate(archive, bundle));
        QCOMPARE(snapshot(bundle), before);
        QCOMPARE(entries(tmp.path()), around);
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines().first().startsWith(QStringLiteral("update not installed: ")));
    }
};

QTEST_GUILESS_MAIN(TestUpdateRelaunch)
#include "tst_update_relaunch.moc"
