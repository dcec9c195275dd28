#include "AppDelegate.h"
#include "Autostart.h"
#include "LsofTask.h"
#include "MenuItem.h"
#include "Platform.h"
#include "StatusItem.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class TestAppDelegate : public QObject {
    Q_OBJECT

    QTemporaryDir config;

    static QAction *item(AppDelegate &d, const QString &title)
    {
        for (QAction *a : d.statusBarMenu->actions()) {
            if (a->text() == title)
                return a;
        }
        return nullptr;
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        QDir(config.filePath(QStringLiteral("autostart"))).removeRecursively();
        QFile::remove(config.filePath(QStringLiteral("autostart")));
    }

    void fixedMenuAfterStartUp()
    {
        AppDelegate d;
        QVERIFY(d.statusBarItem == nullptr);
        QVERIFY(d.lsof.isEmpty() && d.processEntries.isEmpty() && !d.window);
        d.applicationDidFinishLaunching();

        const QList<QAction *> items = d.statusBarMenu->actions();
        QCOMPARE(d.statusBarMenu->title(), QStringLiteral("Ambrel"));
        QCOMPARE(items.size(), 7);
        struct Expected {
            const char *title;
            const char *action;
            bool enabled;
        };
        const Expected expected[] = {
            {"Listening Processes", "", false},   {nullptr, "", true},
            {"Preferences", "", false},           {"Open at Login", "openAtLogin:", true},
            {"About Ambrel", "showAbout:", true}, {nullptr, "", true},
            {"Quit", "terminate:", true},
        };
        for (int i = 0; i < 7; ++i) {
            QAction *a = items[i];
            const Expected &e = expected[i];
            QCOMPARE(a->isSeparator(), e.title == nullptr);
            if (e.title)
                QCOMPARE(a->text(), QString::fromUtf8(e.title));
            QCOMPARE(MenuItem::actionName(a), QString::fromUtf8(e.action));
            if (!a->isSeparator())
                QCOMPARE(a->isEnabled(), e.enabled);
            QVERIFY2(!a->data().isValid(), "fixed items carry no tag");
            QCOMPARE(a->menu(), nullptr);
            QCOMPARE(a->isChecked(), false);
            QCOMPARE(a->shortcut(), i == 6 ? QKeySequence(Qt::CTRL | Qt::Key_Q) : QKeySequence());
        }
        QVERIFY(items[3]->isCheckable());
        QVERIFY(!d.statusBarItem->image().isNull());
        QVERIFY(d.statusBarItem->title().isEmpty());
        QCOMPARE(d.statusBarItem->menu(), d.statusBarMenu.get());
    }

    void disabledItemsCannotBeChosen()
    {
        AppDelegate d;
        d.applicationDidFinishLaunching();
        QSignalSpy chosen(d.statusBarMenu.get(), &QMenu::triggered);
        item(d, QStringLiteral("Listening Processes"))->trigger();
        item(d, QStringLiteral("Preferences"))->trigger();
        QCOMPARE(chosen.count(), 0);
    }

    void openAtLoginTogglesAndShowsWhatReadsBack()
    {
        QVERIFY(LaunchAtLogin::setEnabled(true));
        AppDelegate d;
        d.applicationDidFinishLaunching();
        QAction *toggle = item(d, QStringLiteral("Open at Login"));
        QVERIFY(toggle->isChecked());

        toggle->trigger();
        QVERIFY(!LaunchAtLogin::isEnabled());
        QVERIFY(!QFile::exists(LaunchAtLogin::entryPath()));
        QVERIFY(!toggle->isChecked());

        toggle->trigger();
        QVERIFY(LaunchAtLogin::isEnabled());
        QVERIFY(toggle->isChecked());
        QFile entry(LaunchAtLogin::entryPath());
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QByteArray text = entry.readAll();
        QVERIFY(text.startsWith("[Desktop Entry]\n"));
        QVERIFY(text.contains("\nExec=" + QCoreApplication::applicationFilePath().toUtf8() + '\n'));
    }

    void unwritableSettingLeavesStateAsReadBack()
    {
        // A file where the autostart folder belongs defeats even root.
        QFile blocker(config.filePath(QStringLiteral("autostart")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        AppDelegate d;
        d.applicationDidFinishLaunching();
        QAction *toggle = item(d, QStringLiteral("Open at Login"));
        QVERIFY(!toggle->isChecked());
        toggle->trigger();
        QVERIFY(!toggle->isChecked());
        QVERIFY(!LaunchAtLogin::isEnabled());
        QFile::remove(blocker.fileName());
    }

    void aboutIsShownRaisedAndReused()
    {
        AppDelegate d;
        d.applicationDidFinishLaunching();
        QAction *about = item(d, QStringLiteral("About Ambrel"));
        about->trigger();
        about->trigger();
        QList<QMessageBox *> boxes;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
                boxes.append(box);
        }
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes[0]->text().contains(QStringLiteral("Ambrel")));
        QVERIFY(boxes[0]->text().contains(QStringLiteral(AMBREL_VERSION)));
        QVERIFY(!boxes[0]->informativeText().isEmpty());
        QVERIFY(!boxes[0]->iconPixmap().isNull());
    }

    // Last: they run and end the application's event loop.
    void ctrlQQuitsWhileTheMenuIsOpen()
    {
        AppDelegate d;
        d.applicationDidFinishLaunching();
        QTimer::singleShot(0, &d, [&d] {
            d.statusBarMenu->popup(QPoint(10, 10));
            QTest::keyClick(d.statusBarMenu.get(), Qt::Key_Q, Qt::ControlModifier);
        });
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); }); // a hang fails
        QCOMPARE(QCoreApplication::exec(), 0);
    }

    void quitEndsTheLoopAndStopsTheChild()
    {
        AppDelegate d;
        connect(qApp, &QCoreApplication::aboutToQuit, &d, &AppDelegate::applicationWillTerminate);
        d.applicationDidFinishLaunching();
        QProcess *child = d.lsofTask->process();
        QTRY_COMPARE(child->state(), QProcess::Running);
        const QString proc = QStringLiteral("/proc/%1").arg(child->processId());
        QVERIFY(QFileInfo::exists(proc));
        QTimer::singleShot(0, &d, [&d] { item(d, QStringLiteral("Quit"))->trigger(); });
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); }); // a hang fails
        QCOMPARE(QCoreApplication::exec(), 0);
        // Stopped and reaped before the loop's caller gets control back.
        QCOMPARE(child->state(), QProcess::NotRunning);
        QVERIFY(!QFileInfo::exists(proc));
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
