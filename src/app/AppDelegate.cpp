#include "AppDelegate.h"

#include "Autostart.h"
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
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QSet>
#include <QTimer>

#include <utility>

#include <algorithm>

// The platform's key for Quit; some platforms (and the offscreen one) name none.
static QKeySequence quitKeys()
{
    const QKeySequence platform(QKeySequence::Quit);
    return platform.isEmpty() ? QKeySequence(Qt::CTRL | Qt::Key_Q) : platform;
}

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
        m_scanProblem = problem;
        showProblems();
    });
    connect(statusBarMenu.get(), &QMenu::aboutToShow, this, &AppDelegate::menuOpened);
    // A choice closes the menu too: some D-Bus tray hosts never say that it closed. Either
    // way, after the choice has been carried out.
    const auto closed = [this] {
        QTimer::singleShot(0, this, &AppDelegate::menuClosed);
    };
    connect(statusBarMenu.get(), &QMenu::aboutToHide, this, closed);
    connect(statusBarMenu.get(), &QMenu::triggered, this, closed);
    m_holdLimit.setInterval(15000);
    connect(&m_holdLimit, &QTimer::timeout, this, [this] {
        if (!statusBarMenu->isVisible())
            menuClosed();
    });
    // Ctrl+Q quits while the menu has the keyboard too.
    qApp->installEventFilter(this);
}

bool AppDelegate::eventFilter(QObject *watched, QEvent *event)
{
    // The open menu takes every key before the shortcut map sees it.
    if ((event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) &&
        m_menuOpen &&
        QKeySequence(static_cast<QKeyEvent *>(event)->keyCombination()) == quitKeys()) {
        QCoreApplication::quit();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::menuOpened()
{
    m_menuOpen = true;
    m_holdLimit.start();
}

void AppDelegate::menuClosed()
{
    if (statusBarMenu->isVisible())
        return; // opened again before this ran
    m_menuOpen = false;
    m_holdLimit.stop();
    if (m_heldListing) {
        const QByteArray listing = *std::exchange(m_heldListing, std::nullopt);
        applyListing(listing);
    }
    showProblems();
}

void AppDelegate::showProblems()
{
    if (m_menuOpen || !statusBarItem)
        return;
    QStringList problems;
    for (const QString *p : {&m_scanProblem, &m_killProblem}) {
        if (!p->isEmpty())
            problems.append(*p);
    }
    statusBarItem->setProblem(problems.join(QLatin1Char('\n')));
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
    quit->setShortcut(quitKeys());

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

// The process entry whose submenu holds the item.
static QAction *parentItem(const QAction *item)
{
    const auto *submenu = qobject_cast<const QMenu *>(item->parent());
    return submenu ? submenu->menuAction() : nullptr;
}

void AppDelegate::removeEntry(QAction *entry)
{
    // A rebuild may have taken the entry out already.
    if (!entry || !statusBarMenu->actions().contains(entry))
        return;
    statusBarMenu->removeAction(entry);
    entry->menu()->deleteLater();
}

void AppDelegate::killProcess(QAction *sender)
{
    const qint64 pid = MenuItem::tag(sender);
    if (!killCommandLine(pid)) {
        Platform::logLine(QStringLiteral("not killing: %1 is not a process id").arg(pid));
        return;
    }
    QAction *entry = parentItem(sender);
    ProcessIdentity process = entryProcess(entry);
    process.pid = pid;
    // The id must still name the process the entry was made for: a pid that was freed and
    // given to another process names a bystander.
    const std::optional<quint64> started = Platform::processStartTime(pid);
    if (process.startTime < 0 || !started || qint64(*started) != process.startTime) {
        Platform::logLine(QStringLiteral("not killing process %1: %2")
                              .arg(pid)
                              .arg(started && process.startTime >= 0
                                       ? QStringLiteral("the id now belongs to another process")
                                       : QStringLiteral("it has ended")));
        removeEntry(entry);
        return;
    }
    const CommandResult result = killProcessWithTag(pid);
    if (!result.succeeded) {
        m_failedKill = process;
        m_killProblem =
            QStringLiteral("Could not kill process %1: %2").arg(pid).arg(result.failure);
        Platform::logLine(m_killProblem);
        Platform::notify(QStringLiteral("Could not kill process %1").arg(pid), result.failure);
        showProblems();
        return;
    }
    if (m_failedKill == process) {
        m_killProblem.clear();
        showProblems();
    }
    m_killed.insert(process.pid, process.startTime);
    removeEntry(entry);
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
    if (m_menuOpen) {
        m_heldListing = listing.toByteArray();
        return;
    }
    if (m_lastListing && *m_lastListing == listing)
        return;
    m_lastListing = listing.toByteArray();
    std::optional<QStringList> lines = splitLsofChunk(listing);
    if (!lines || *lines == lsof)
        return;
    QList<ListeningProcess> processes = parseListeningProcesses(*lines);
    std::reverse(processes.begin(), processes.end());
    const qsizetype shown =
        updateProcessEntries(*statusBarMenu, processes, processEntries, m_killed);
    // A killed process that a listing no longer names is gone for good.
    QSet<qint64> listed;
    for (const ListeningProcess &process : std::as_const(processes))
        listed.insert(positiveDecimal(process.pid()).value_or(0));
    for (auto it = m_killed.begin(); it != m_killed.end();)
        it = listed.contains(it.key()) ? std::next(it) : m_killed.erase(it);
    if (!m_killProblem.isEmpty() && std::none_of(processEntries.cbegin(), processEntries.cend(),
                                                 [this](const QPointer<QAction> &e) {
                                                     return entryProcess(e) == m_failedKill;
                                                 })) {
        m_killProblem.clear();
        showProblems();
    }
    lsof = std::move(*lines);
    updateStatusTitle(QString::number(shown));
}

void AppDelegate::updateStatusTitle(const QString &title)
{
    if (statusBarItem)
        statusBarItem->setTitle(title);
}
