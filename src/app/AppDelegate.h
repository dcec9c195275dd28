// The application delegate: owns the tray item, its menu and the children for the life of
// the process, and receives every menu action.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <memory>

class QAction;
#include <QMenu>
class QProcess;
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
    void openAtLogin(QAction *sender);
    void showAbout(QAction *sender);
    // Connected to QCoreApplication::aboutToQuit.
    void applicationWillTerminate();

    void startLsofTask(const QString &launchPath, const QStringList &arguments);

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
    QProcess *lsofTask;

private:
    QPointer<QWidget> m_about;
};
