#include "AppDelegate.h"

#include "Autostart.h"
#include "ContainerPorts.h"
#include "Log.h"
#include "LsofTask.h"
#include "MenuItem.h"
#include "Notifications.h"
#include "Paths.h"
#include "ProcessStop.h"
#include "Scanner.h"
#include "StatusItem.h"
#include "StatusMenu.h"
#include "Updater.h"
#include "UrlActions.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>

#include <algorithm>

static QIcon imageNamed(const QString &name)
{
    return QIcon(QStringLiteral(":/images/") + name + QStringLiteral(".svg"));
}

AppDelegate::AppDelegate(QObject *parent)
    : QObject(parent), statusBar(new StatusBar(this)), statusBarMenu(new StatusMenu(this)),
      lsofTask(new Scanner(this)), m_containers(new ContainerPorts(lsofTask, this)),
      updater(makeUpdater(this))
{
    connect(m_containers, &ContainerPorts::listenersChanged, statusBarMenu,
            &StatusMenu::showProcesses);
    connect(lsofTask, &Scanner::problemChanged, this, &AppDelegate::showProblems);
    connect(lsofTask, &Scanner::problemChanged, statusBarMenu, &StatusMenu::setProblem);
    connect(statusBarMenu, &StatusMenu::processesShown, this, [this](qsizetype count) {
        // A failed kill is news only while its process is listed.
        const QList<QAction *> entries = statusBarMenu->entries();
        if (m_failedKill && std::none_of(entries.cbegin(), entries.cend(), [this](QAction *e) {
                return statusBarMenu->processOf(e)->isSameProcess(*m_failedKill);
            }))
            m_failedKill.reset();
        updateStatusTitle(QString::number(count));
        showProblems();
    });
    connect(statusBarMenu, &StatusMenu::closed, this, &AppDelegate::showProblems);
    connect(statusBarMenu, &StatusMenu::openChosen, this, &AppDelegate::openURL);
    connect(statusBarMenu, &StatusMenu::copyChosen, this, &AppDelegate::copyURL);
    connect(statusBarMenu, &StatusMenu::stopChosen, this, &AppDelegate::stopProcess);
    connect(statusBarMenu, &StatusMenu::killChosen, this, &AppDelegate::killProcess);
    connect(statusBarMenu, &StatusMenu::stopContainerChosen, this, &AppDelegate::stopContainer);
    connect(statusBarMenu->openAtLoginItem(), &QAction::triggered, this,
            [this] { openAtLogin(statusBarMenu->openAtLoginItem()); });
    connect(statusBarMenu->aboutItem(), &QAction::triggered, this,
            [this] { showAbout(statusBarMenu->aboutItem()); });
    connect(statusBarMenu->quitItem(), &QAction::triggered, qApp, &QCoreApplication::quit);
}

AppDelegate::~AppDelegate()
{
    delete m_about;
}

void AppDelegate::applicationDidFinishLaunching()
{
    statusBarItem = statusBar->makeStatusItem(this);
    statusBarItem->setImage(imageNamed(QStringLiteral("menuTemplateInverted")));
    statusBarItem->setMenu(statusBarMenu->menu());
    // A panel that draws the menu from its D-Bus export reads mnemonics its own way.
    statusBarMenu->setExported(statusBarItem->isDBusItem());
    connect(statusBarItem, &StatusItem::attached, statusBarMenu, &StatusMenu::setExported);
    lsofTask->start(m_engine);
    m_containers->start();
    statusBarMenu->openAtLoginItem()->setChecked(LaunchAtLogin::isEnabled());
    updater->startAutomaticChecksWithInterval(14400.0);
    // The updater may report from any thread; the observer handles it where it arrives.
    connect(
        updater, &Updater::stateChanged, this,
        [this] { observeValueForKeyPath(QStringLiteral("state"), updater); }, Qt::DirectConnection);
}

void AppDelegate::applicationWillTerminate()
{
    updater->cancel();
    lsofTask->stop();
    m_containers->stop();
}

void AppDelegate::observeValueForKeyPath(const std::optional<QString> &keyPath, QObject *object)
{
    reportUpdaterState(keyPath, object, updater);
}

void AppDelegate::relaunchApp()
{
    restartApplication();
}

void AppDelegate::openAtLogin(QAction *sender)
{
    LaunchAtLogin::setEnabled(!LaunchAtLogin::isEnabled());
    // Show what the setting reads back, not what was written.
    sender->setChecked(LaunchAtLogin::isEnabled());
}

void AppDelegate::showAbout(QAction *)
{
    if (!m_about) {
        auto *about =
            new QMessageBox(QMessageBox::NoIcon, QStringLiteral("About Ambrel"),
                            QStringLiteral("<b>Ambrel</b> %1").arg(QStringLiteral(AMBREL_VERSION)),
                            QMessageBox::Ok);
        const QString summary =
            QStringLiteral("Shows which processes listen on TCP ports, and acts on them.");
        about->setInformativeText(
            summary + QStringLiteral("<br>Free software under the MIT licence: "
                                     "<a href=\"https://ambrel.dev\">https://ambrel.dev</a>"));
        // QMessageBox sizes itself by the short title line and wraps the rest to fit; give the
        // sentence the width it needs to stay on one line.
        if (auto *label =
                about->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"))) {
            label->ensurePolished();
            label->setMinimumWidth(label->fontMetrics().horizontalAdvance(summary) + 4);
        }
        about->setIconPixmap(imageNamed(QStringLiteral("menuTemplateInverted")).pixmap(64, 64));
        about->setWindowIcon(imageNamed(QStringLiteral("menuTemplateInverted")));
        about->setAttribute(Qt::WA_DeleteOnClose);
        about->setModal(false);
        m_about = about;
    }
    m_about->show();
    m_about->raise();
    m_about->activateWindow();
}

void AppDelegate::reportKill(const Listener &process, const KillResult &result)
{
    switch (result.outcome) {
    case KillResult::NotAProcessId:
        Platform::logLine(QStringLiteral("not killing: ") + result.why);
        return;
    case KillResult::Ended:
    case KillResult::Reused:
        Platform::logLine(
            QStringLiteral("not killing process %1: %2").arg(process.pid).arg(result.why));
        statusBarMenu->removeEntry(process, false);
        return;
    case KillResult::Failed:
        m_failedKill = process;
        m_killProblem =
            QStringLiteral("Could not kill process %1: %2").arg(process.pid).arg(result.why);
        Platform::logLine(m_killProblem);
        Platform::notify(QStringLiteral("Could not kill process %1").arg(process.pid), result.why);
        showProblems();
        return;
    case KillResult::Killed:
        if (m_failedKill.value_or(Listener{}).isSameProcess(process))
            m_failedKill.reset();
        statusBarMenu->removeEntry(process, true);
        showProblems();
        return;
    }
}

void AppDelegate::killProcess(QAction *sender)
{
    Listener process = statusBarMenu->processOf(sender).value_or(Listener{});
    process.pid = MenuItem::tag(sender);
    reportKill(process, killListedProcess(process.pid, process.startTime));
}

void AppDelegate::stopProcess(QAction *sender)
{
    Listener process = statusBarMenu->processOf(sender).value_or(Listener{});
    process.pid = MenuItem::tag(sender);
    auto *stop = new ProcessStop(process.pid, process.startTime, 3000, this);
    connect(stop, &ProcessStop::finished, this, [this, stop, process](const KillResult &result) {
        stop->deleteLater();
        reportKill(process, result);
    });
    stop->start();
}

void AppDelegate::stopContainer(QAction *sender)
{
    const Listener entry = statusBarMenu->processOf(sender).value_or(Listener{});
    if (!entry.container)
        return;
    m_containers->endContainer(
        entry.container->id, true, [this, entry](bool ended, const QString &why) {
            if (ended) {
                if (m_failedKill && m_failedKill->container == entry.container)
                    m_failedKill.reset();
                showProblems();
                return;
            }
            m_failedKill = entry;
            m_killProblem = QStringLiteral("Could not stop container %1: %2")
                                .arg(Platform::printable(entry.container->name), why);
            Platform::logLine(m_killProblem);
            Platform::notify(QStringLiteral("Could not stop container %1")
                                 .arg(Platform::printable(entry.container->name)),
                             why);
            showProblems();
        });
}

void AppDelegate::openURL(QAction *sender)
{
    const std::optional<Listener> process = statusBarMenu->processOf(sender);
    if (!process)
        return;
    const QString url = localUrl(*process, MenuItem::tag(sender));
    if (openInBrowser(url))
        return;
    const QString why =
        QStringLiteral("Nothing on this desktop opens %1; set a default web browser.").arg(url);
    Platform::logLine(why);
    Platform::notify(QStringLiteral("Could not open a browser"), why);
}

void AppDelegate::copyURL(QAction *sender)
{
    const std::optional<Listener> process = statusBarMenu->processOf(sender);
    const std::optional<Endpoint> reachable = process ? reachableEndpoint(*process) : std::nullopt;
    if (!reachable)
        return;
    // No address of the machine's reaches it: localhost is the best there is.
    copyNetworkURL(networkUrl(*reachable).value_or(
        urlText(QStringLiteral("localhost"), reachable->port)));
}

void AppDelegate::updateStatusTitle(const QString &title)
{
    if (statusBarItem)
        statusBarItem->setTitle(title);
}

void AppDelegate::showProblems()
{
    // The tooltip changes with the list, never under the user's eyes.
    if (statusBarMenu->isOpen() || !statusBarItem)
        return;
    statusBarItem->setProblem(lsofTask->problem());
    statusBarItem->setNotice(m_failedKill ? m_killProblem : QString());
}
