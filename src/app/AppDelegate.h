// The application delegate: owns the tray item, its menu and the children for the life of
// the process, and receives every menu action.
#pragma once

#include "LsofParser.h"
#include "ProcessEntries.h"
#include "Update.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>

class QAction;
#include <QMenu>
class QIODevice;
class LsofTask;
class QWidget;
class StatusBar;
class StatusItem;

class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QObject *parent = nullptr);
    ~AppDelegate() override;

    // Called once, before the event loop runs.
    void applicationDidFinishLaunching();
    // Every change of the updater's state arrives here, with key path "state".
    void observeValueForKeyPath(const std::optional<QString> &keyPath, QObject *object);
    // Restarts Ambrel from its installed tree; nothing in the menu sends it.
    Q_INVOKABLE void relaunchApp();
    void openAtLogin(QAction *sender);
    void showAbout(QAction *sender);
    void killProcess(QAction *sender);
    void openURL(QAction *sender);
    void copyURL(QAction *sender);
    // Connected to QCoreApplication::aboutToQuit.
    void applicationWillTerminate();

    void startLsofTask(const QString &launchPath, const QStringList &arguments);
    // Reads what lsof wrote once, and applies the last listing it completes.
    void handleLsofOutput(QIODevice &readEnd);
    void updateStatusTitle(const QString &title);

    // The one routing point of the menu: hands the chosen item to the operation its action
    // name names ("openAtLogin:", ...), or quits for "terminate:".
    void performAction(QAction *item);

    // Fields, in the order the design lists them. Public so that tests can look inside.
    QPointer<QWidget> window; // Ambrel opens no window; stays empty.
    StatusItem *statusBarItem = nullptr;
    QStringList lsof; // The lines of the last report applied to the menu.
    StatusBar *statusBar;
    std::unique_ptr<QMenu> statusBarMenu;
    QList<QPointer<QAction>> processEntries;
    LsofTask *lsofTask;
    Updater *const updater;

    // Whether the status menu is open: listings are then held, not applied, so that nothing
    // a user may be looking at changes.
    bool isMenuOpen() const { return m_menuOpen; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyListing(QByteArrayView listing);
    void menuOpened();
    void menuClosed();
    void showProblems();
    void removeEntry(QAction *entry);

    LsofListingBuffer m_listings;
    // The last listing's bytes, applied or refused: the same bytes again need no decoding,
    // splitting or comparing, nor a second diagnostic.
    std::optional<QByteArray> m_lastListing;
    QPointer<QWidget> m_about;
    bool m_menuOpen = false;
    std::optional<QByteArray> m_heldListing;
    // Hosts that never say the menu closed must not freeze the list for good.
    QTimer m_holdLimit;
    // Processes killed (pid to start time) while listings still name them: a listing made
    // before the kill must not bring them back.
    QHash<qint64, qint64> m_killed;
    QString m_scanProblem;
    ProcessIdentity m_failedKill;
    QString m_killProblem;
};
