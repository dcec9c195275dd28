#include "AppDelegate.h"

#include "LsofTask.h"
#include "MenuItem.h"
#include "Platform.h"
#include "ProcessEntries.h"
#include "ShellCommand.h"
#include "StatusItem.h"
#include "UrlActions.h"

#include <QAction>
#include <QCoreApplication>
#include <QHash>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>

#include <algorithm>

AppDelegate::AppDelegate(QObject *parent)
    : QObject(parent), statusBar(new StatusBar(this)),
      statusBarMenu(std::make_unique<QMenu>(QStringLiteral("Ambrel"))),
      lsofTask(new LsofTask(this)), updater(makeUpdater(this))
{
    // Every item's action, the submenus' included, arrives here.
    connect(statusBarMenu.get(), &QMenu::triggered, this, &AppDelegate::performAction);
    connect(lsofTask, &LsofTask::readyRead, this,
            [this] { handleLsofOutput(*lsofTask->process()); });
    connect(lsofTask, &LsofTask::ended, this, [this] {
        // A partial listing of the child that ended is never completed; the menu empties once.
        m_listings.clear();
        applyListing({});
    });
    connect(lsofTask, &LsofTask::problemChanged, this, [this](const QString &problem) {
        if (statusBarItem)
            statusBarItem->setProblem(problem);
    });
}

AppDelegate::~AppDelegate()
{
    delete m_about;
}

static QIcon imageNamed(const QString &name)
{
    return QIcon(QStringLiteral(":/images/") + name + QStringLiteral(".svg"));
}

void AppDelegate::applicationDidFinishLaunching()
{
    statusBarItem = statusBar->makeStatusItem(this);
    statusBarItem->setImage(imageNamed(QStringLiteral("menuTemplateInverted")));
    statusBarItem->setMenu(statusBarMenu.get());

    startLsofTask(Platform::lsofLaunchPath(), lsofArguments());

    QMenu &menu = *statusBarMenu;
    auto *header = new QAction(QStringLiteral("Listening Processes"), &menu);
    header->setEnabled(false);
    menu.insertAction(menu.actions().value(0), header);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Preferences"))->setEnabled(false);
    QAction *openAtLoginItem = menu.addAction(QStringLiteral("Open at Login"));
    MenuItem::setActionName(openAtLoginItem, QStringLiteral("openAtLogin:"));
    MenuItem::setActionName(menu.addAction(QStringLiteral("About Ambrel")),
                            QStringLiteral("showAbout:"));
    openAtLoginItem->setCheckable(true);
    openAtLoginItem->setChecked(LaunchAtLogin::isEnabled());
    menu.addSeparator();
    QAction *quit = menu.addAction(QStringLiteral("Quit"));
    MenuItem::setActionName(quit, QStringLiteral("terminate:"));
    quit->setShortcut(QKeySequence::Quit);

    updater->startAutomaticChecksWithInterval(14400.0);
    // The updater may report from any thread; the observer handles it where it arrives.
    connect(
        updater, &Updater::stateChanged, this,
        [this] { observeValueForKeyPath(QStringLiteral("state"), updater); }, Qt::DirectConnection);
}

void AppDelegate::observeValueForKeyPath(const std::optional<QString> &keyPath, QObject *object)
{
    reportUpdaterState(keyPath, object, updater);
}

void AppDelegate::relaunchApp()
{
    restartApplication();
}

void AppDelegate::performAction(QAction *item)
{
    using Action = void (AppDelegate::*)(QAction *);
    static const QHash<QString, Action> actions = {
        {QStringLiteral("openAtLogin:"), &AppDelegate::openAtLogin},
        {QStringLiteral("showAbout:"), &AppDelegate::showAbout},
        {QStringLiteral("killProcess:"), &AppDelegate::killProcess},
        {QStringLiteral("openURL:"), &AppDelegate::openURL},
        {QStringLiteral("copyURL:"), &AppDelegate::copyURL},
    };
    const QString name = MenuItem::actionName(item);
    if (name == QLatin1String("terminate:"))
        QCoreApplication::quit();
    else if (const Action action = actions.value(name))
        (this->*action)(item);
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
        about->setInformativeText(
            QStringLiteral("Shows which processes listen on TCP ports, and acts on them."));
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

// The process entry whose submenu holds the item.
static QAction *parentItem(const QAction *item)
{
    const auto *submenu = qobject_cast<const QMenu *>(item->parent());
    return submenu ? submenu->menuAction() : nullptr;
}

void AppDelegate::killProcess(QAction *sender)
{
    if (!killProcessWithTag(MenuItem::tag(sender)))
        return;
    // A rebuild may have taken the entry out already.
    QAction *entry = parentItem(sender);
    if (!entry || !statusBarMenu->actions().contains(entry))
        return;
    statusBarMenu->removeAction(entry);
    entry->menu()->deleteLater();
}

void AppDelegate::openURL(QAction *sender)
{
    openInBrowser(*sender);
}

void AppDelegate::copyURL(QAction *sender)
{
    copyNetworkURL(*sender);
}

void AppDelegate::applicationWillTerminate()
{
    lsofTask->terminate();
}

void AppDelegate::startLsofTask(const QString &launchPath, const QStringList &arguments)
{
    lsofTask->start(launchPath, arguments);
}

void AppDelegate::handleLsofOutput(QIODevice &readEnd)
{
    const std::optional<QByteArray> listing = m_listings.append(readEnd.readAll());
    if (!listing)
        return;
    lsofTask->listingArrived();
    applyListing(*listing);
}

void AppDelegate::applyListing(QByteArrayView listing)
{
    if (m_lastListing && *m_lastListing == listing)
        return;
    m_lastListing = listing.toByteArray();
    std::optional<QStringList> lines = splitLsofChunk(listing);
    if (!lines || *lines == lsof)
        return;
    QList<QPointer<QMenu>> spare;
    removeProcessEntries(*statusBarMenu, processEntries, spare);
    QList<ListeningProcess> processes = parseListeningProcesses(*lines);
    std::reverse(processes.begin(), processes.end());
    const qsizetype shown = insertProcessEntries(*statusBarMenu, processes, processEntries, spare);
    lsof = std::move(*lines);
    updateStatusTitle(QString::number(shown));
}

void AppDelegate::updateStatusTitle(const QString &title)
{
    if (statusBarItem)
        statusBarItem->setTitle(title);
}
