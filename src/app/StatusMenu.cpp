#include "StatusMenu.h"

#include "MenuItem.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QProxyStyle>
#include <QSet>

// The platform's key for Quit; some platforms (the offscreen one among them) name none.
// A long list scrolls in one column: columns grow the menu wider than the screen, and in some
// hosts' menus Quit is then reached only by scrolling sideways.
class ScrollingMenuStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_Menu_Scrollable)
            return 1;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

static QKeySequence quitKeys()
{
    const QKeySequence platform(QKeySequence::Quit);
    return platform.isEmpty() ? QKeySequence(Qt::CTRL | Qt::Key_Q) : platform;
}

StatusMenu::StatusMenu(QObject *parent)
    : QObject(parent), m_menu(std::make_unique<QMenu>(QStringLiteral("Ambrel")))
{
    QMenu &menu = *m_menu;
    m_style = std::make_unique<ScrollingMenuStyle>();
    menu.setStyle(m_style.get());
    menu.addAction(QStringLiteral("Listening Processes"))->setEnabled(false);
    m_empty = menu.addAction(QStringLiteral("No listening processes"));
    m_empty->setEnabled(false);
    m_empty->setVisible(false);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Preferences"))->setEnabled(false);
    m_openAtLogin = menu.addAction(QStringLiteral("Open at Login"));
    m_openAtLogin->setCheckable(true);
    m_about = menu.addAction(QStringLiteral("About Ambrel"));
    menu.addSeparator();
    m_quit = menu.addAction(QStringLiteral("Quit"));
    m_quit->setShortcut(quitKeys());

    // Every choice in a submenu arrives here too: they are the status menu's children.
    connect(&menu, &QMenu::triggered, this, &StatusMenu::chosen);
    connect(&menu, &QMenu::aboutToShow, this, &StatusMenu::opened);
    // A choice closes the menu too: some D-Bus tray hosts never say that it closed. Either way,
    // after the choice has been carried out.
    const auto closed = [this] {
        QTimer::singleShot(0, this, &StatusMenu::closing);
    };
    connect(&menu, &QMenu::aboutToHide, this, closed);
    connect(&menu, &QMenu::triggered, this, closed);
    m_holdLimit.setInterval(15000);
    connect(&m_holdLimit, &QTimer::timeout, this, &StatusMenu::closing);
    // The open menu takes every key before the shortcut map sees it.
    QCoreApplication::instance()->installEventFilter(this);
}

StatusMenu::~StatusMenu() = default;

bool StatusMenu::eventFilter(QObject *watched, QEvent *event)
{
    if ((event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) &&
        m_open && QKeySequence(static_cast<QKeyEvent *>(event)->keyCombination()) == quitKeys()) {
        m_quit->trigger();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void StatusMenu::opened()
{
    m_open = true;
    m_holdLimit.start();
}

void StatusMenu::closing()
{
    if (m_menu->isVisible())
        return; // opened again meanwhile, or a user still looking at it
    m_open = false;
    m_holdLimit.stop();
    if (m_held)
        apply(*std::exchange(m_held, std::nullopt));
    Q_EMIT closed();
}

void StatusMenu::showProcesses(const QList<Listener> &processes)
{
    if (m_open)
        m_held = processes;
    else
        apply(processes);
}

QList<QAction *> StatusMenu::entries() const
{
    return m_order;
}

void StatusMenu::chosen(QAction *item)
{
    const auto it = m_entries.constFind(qobject_cast<const QMenu *>(item->parent()));
    if (it == m_entries.cend())
        return;
    if (item == it->open)
        Q_EMIT openChosen(item);
    else if (item == it->copy)
        Q_EMIT copyChosen(item);
    else if (item == it->stop)
        Q_EMIT stopChosen(item);
    else if (item == it->kill)
        Q_EMIT killChosen(item);
}

std::optional<Listener> StatusMenu::processOf(const QAction *item) const
{
    const QMenu *submenu =
        item->menu() ? item->menu() : qobject_cast<const QMenu *>(item->parent());
    const auto it = m_entries.constFind(submenu);
    if (it == m_entries.cend())
        return std::nullopt;
    return it->process;
}

void StatusMenu::removeEntry(const Listener &process, bool killed)
{
    if (killed)
        m_killed.insert(process.pid, process.startTime);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (!it->process.isSameProcess(process))
            continue;
        QMenu *submenu = it->submenu;
        m_entries.erase(it);
        m_order.removeOne(submenu->menuAction());
        m_menu->removeAction(submenu->menuAction());
        m_empty->setVisible(m_order.isEmpty());
        // The menu may be showing it right now; let it go once control returns.
        submenu->deleteLater();
        return;
    }
}

// "&" would mark a mnemonic.
static QString menuText(QString text)
{
    return text.replace(u'&', QStringLiteral("&&"));
}

QAction *StatusMenu::makeEntry(const Listener &process)
{
    // Parented to the status menu, so that a choice in it reaches the status menu too.
    auto *submenu = new QMenu(m_menu.get());
    submenu->addSeparator();
    Entry entry{process,
                submenu,
                {},
                submenu->addAction(QStringLiteral("Open in Browser")),
                submenu->addAction(QStringLiteral("Copy Network URL")),
                submenu->addAction(QStringLiteral("Stop Process (id %1)").arg(process.pid)),
                submenu->addAction(QStringLiteral("Kill Process (id %1)").arg(process.pid))};
    MenuItem::setTag(entry.stop, process.pid);
    MenuItem::setTag(entry.kill, process.pid);
    m_entries.insert(submenu, entry);
    return submenu->menuAction();
}

void StatusMenu::show(Entry &entry, const Listener &process)
{
    QMenu *submenu = entry.submenu;
    // One line per address: the lines there are take the new texts, the rest are made or go.
    while (entry.lines.size() > process.endpoints.size())
        delete entry.lines.takeLast();
    QAction *separator = submenu->actions().value(entry.lines.size());
    for (qsizetype i = 0; i < process.endpoints.size(); ++i) {
        const QString text = menuText(endpointText(process.endpoints[i]));
        if (i < entry.lines.size()) {
            if (entry.lines[i]->text() != text)
                entry.lines[i]->setText(text);
            continue;
        }
        auto *line = new QAction(text, submenu);
        line->setEnabled(false);
        submenu->insertAction(separator, line);
        entry.lines.append(line);
    }
    const QString title = menuText(processTitle(process));
    if (submenu->title() != title)
        submenu->setTitle(title);
    MenuItem::setTag(entry.open, process.port);
    // A URL other machines cannot open is no use to copy.
    const std::optional<Endpoint> reachable = reachableEndpoint(process);
    entry.copy->setEnabled(reachable.has_value());
    entry.copy->setText(reachable ? QStringLiteral("Copy Network URL")
                                  : QStringLiteral("Copy Network URL (this machine only)"));
    MenuItem::setTag(entry.copy, reachable ? reachable->port : process.port);
    entry.process = process;
}

void StatusMenu::apply(const QList<Listener> &processes)
{
    QSet<qint64> listed;
    for (const Listener &process : processes)
        listed.insert(process.pid);
    m_killed.removeIf([&](const auto &killed) { return !listed.contains(killed.key()); });

    using Key = std::pair<qint64, qint64>;
    QHash<Key, QAction *> shown;
    for (QAction *entry : std::as_const(m_order)) {
        const Listener &process = m_entries[entry->menu()].process;
        shown.insert({process.pid, process.startTime}, entry);
    }
    QList<QAction *> wanted;
    qsizetype reused = 0;
    for (const Listener &process : processes) {
        if (const auto k = m_killed.constFind(process.pid);
            k != m_killed.cend() && (*k == process.startTime || process.startTime < 0))
            continue;
        // An entry stays only for the same process: a submenu never names another one.
        QAction *entry = shown.take({process.pid, process.startTime});
        if (entry)
            ++reused;
        else
            entry = makeEntry(process);
        show(m_entries[entry->menu()], process);
        wanted.append(entry);
    }
    for (QAction *gone : std::as_const(shown)) {
        m_entries.remove(gone->menu());
        m_menu->removeAction(gone);
        gone->menu()->deleteLater();
    }
    // Walk the menu and the wanted order together: entries in their place stay, new ones go in
    // where they belong, and only those out of order move. A new process at the top costs one
    // insertion, not a move of every entry after it.
    const QList<QAction *> now = m_menu->actions();
    const QSet<QAction *> shownBefore(now.cbegin() + 1, now.cbegin() + 1 + reused);
    QSet<QAction *> moved;
    qsizetype k = 1;
    for (QAction *entry : std::as_const(wanted)) {
        while (k < 1 + reused && moved.contains(now[k]))
            ++k;
        if (k < 1 + reused && now[k] == entry) {
            ++k;
            continue;
        }
        if (shownBefore.contains(entry))
            moved.insert(entry);
        m_menu->insertAction(now.value(k), entry);
    }
    m_order = std::move(wanted);
    m_empty->setVisible(m_order.isEmpty());
    Q_EMIT processesShown(m_order.size());
}
