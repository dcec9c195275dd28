#include "AppDelegate.h"

#include "MenuItem.h"
#include "Platform.h"
#include "StatusItem.h"

#include <QAction>
#include <QCoreApplication>
#include <QHash>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>

AppDelegate::AppDelegate(QObject *parent)
    : QObject(parent), statusBar(new StatusBar(this)),
      statusBarMenu(std::make_unique<QMenu>(QStringLiteral("Ambrel"))),
      lsofTask(new QProcess(this))
{
    // Every item's action, the submenus' included, arrives here.
    connect(statusBarMenu.get(), &QMenu::triggered, this, &AppDelegate::performAction);
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

    startLsofTask(Platform::lsofLaunchPath(), {});

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
}

void AppDelegate::performAction(QAction *item)
{
    using Action = void (AppDelegate::*)(QAction *);
    static const QHash<QString, Action> actions = {
        {QStringLiteral("openAtLogin:"), &AppDelegate::openAtLogin},
        {QStringLiteral("showAbout:"), &AppDelegate::showAbout},
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
        auto *about = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("About Ambrel"),
                                      QStringLiteral("<b>Ambrel</b> %1").arg(
                                          QStringLiteral(AMBREL_VERSION)),
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

void AppDelegate::applicationWillTerminate()
{
    lsofTask->terminate();
}

void AppDelegate::startLsofTask(const QString &, const QStringList &)
{
}
