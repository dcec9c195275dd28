// The application delegate: wires the scanner, the status item and its menu, the process
// actions and the updater, and owns them for the life of the process.
#pragma once

#include "ListeningProcess.h"
#include "ProcessStop.h"
#include "Scanner.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

class QAction;
class QWidget;
class ContainerPorts;
class StatusBar;
class StatusItem;
class StatusMenu;
class Updater;

class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QObject *parent = nullptr);
    ~AppDelegate() override;

    // Which engine lists the processes; the native one unless set before launching.
    void useEngine(ScanEngine engine) { m_engine = engine; }
    // Called once, before the event loop runs.
    void applicationDidFinishLaunching();
    // Connected to QCoreApplication::aboutToQuit.
    void applicationWillTerminate();
    // Every change of the updater's state arrives here, with key path "state".
    void observeValueForKeyPath(const std::optional<QString> &keyPath, QObject *object);
    // Restarts Ambrel from its installed tree; nothing in the menu sends it.
    void relaunchApp();

    // The menu's operations, each with the chosen item as sender.
    void openAtLogin(QAction *sender);
    void showAbout(QAction *sender);
    void stopProcess(QAction *sender);
    void killProcess(QAction *sender);
    // Stop Container: the API's stop for the entry's container, by its id, off this thread.
    void stopContainer(QAction *sender);
    void openURL(QAction *sender);
    void copyURL(QAction *sender);

    StatusItem *statusItem() const { return statusBarItem; }
    StatusMenu *statusMenu() const { return statusBarMenu; }
    Scanner *scanner() const { return lsofTask; }
    ContainerPorts *containers() const { return m_containers; }

private:
    void updateStatusTitle(const QString &title);
    void showProblems();
    // What a kill or a stop did, for the entry and the user.
    void reportKill(const Listener &process, const KillResult &result);

    StatusItem *statusBarItem = nullptr;
    StatusBar *statusBar;
    StatusMenu *statusBarMenu;
    Scanner *lsofTask;
    // The scanner's list with containers in place of their proxies: what the menu shows.
    ContainerPorts *m_containers;
    Updater *const updater;
    ScanEngine m_engine = ScanEngine::Native;
    QPointer<QWidget> m_about;
    // Why the last kill failed, and for which process; shown until it is gone or killed.
    std::optional<Listener> m_failedKill;
    QString m_killProblem;
};
