#include "StatusMenu.h"

#include "MenuItem.h"
#include "ProcessDetails.h"

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
    menu.setToolTipsVisible(true);
    menu.addAction(QStringLiteral("Listening Processes"))->setEnabled(false);
    m_reason = menu.addAction(QString());
    m_empty = menu.addAction(QStringLiteral("No listening processes"));
    for (QAction *row : {m_reason, m_empty}) {
        row->setEnabled(false);
        row->setVisible(false);
    }
    m_more = makeHolder(&menu, nullptr);
    m_others = makeHolder(&menu, nullptr);
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
    connect(&menu, &QMenu::aboutToShow, this, [this] { announceSubmenus(m_menu.get()); });
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
    showStatusRows();
    Q_EMIT closed();
}

void StatusMenu::showProcesses(const QList<Listener> &processes)
{
    if (m_open)
        m_held = processes;
    else
        apply(processes);
}

void StatusMenu::setProblem(const QString &problem)
{
    m_problem = problem;
    if (!m_open)
        showStatusRows();
}

void StatusMenu::showStatusRows()
{
    if (!m_problem.isEmpty())
        setLabel(m_reason, QStringLiteral("Cannot list processes: ") + m_problem);
    m_reason->setVisible(!m_problem.isEmpty());
    m_empty->setVisible(m_problem.isEmpty() && m_order.isEmpty());
}

// A label taken from a process keeps its "&" and "_" where the menu is drawn: Qt's menus read
// "&" as a mnemonic; Qt's D-Bus export turns the first "&" into dbusmenu's "_" and leaves the
// rest alone, and the hosts read "_" as a mnemonic and "__" as one "_". There the first "&"
// becomes the mnemonic "_&", which shows as "&".
void StatusMenu::setLabel(QAction *item, const QString &label) const
{
    item->setProperty("label", label);
    QString text = label;
    if (!m_exported) {
        text.replace(u'&', QStringLiteral("&&"));
    } else {
        text.replace(u'_', QStringLiteral("__"));
        if (const qsizetype first = text.indexOf(u'&'); first >= 0)
            text.insert(first, u'&');
    }
    if (item->text() != text)
        item->setText(text);
}

void StatusMenu::setExported(bool exported)
{
    if (exported == m_exported)
        return;
    m_exported = exported;
    for (QAction *item : m_menu->findChildren<QAction *>()) {
        if (const QVariant label = item->property("label"); label.isValid())
            setLabel(item, label.toString());
    }
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
        Q_EMIT(it->process.container ? stopContainerChosen(item) : stopChosen(item));
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

// What names an entry for its whole life: a process by its pid and start, a container by its
// id, another user's port (no pid to be seen) by its port and owner.
static QString entryKey(const Listener &p)
{
    if (p.container)
        return u'c' + p.container->id;
    if (p.othersPort)
        return QStringLiteral("o%1 %2").arg(p.port).arg(p.user);
    return QStringLiteral("p%1 %2").arg(p.pid).arg(p.startTime);
}

static void takeOut(QAction *entry)
{
    for (QObject *holder : entry->associatedObjects()) {
        if (auto *menu = qobject_cast<QMenu *>(holder))
            menu->removeAction(entry);
    }
    // The menu may be showing it right now; let it go once control returns.
    entry->menu()->deleteLater();
}

void StatusMenu::removeEntry(const Listener &process, bool killed)
{
    if (killed)
        m_killed.insert(process.pid, process.startTime);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (entryKey(it->process) != entryKey(process))
            continue;
        QAction *entry = it->submenu->menuAction();
        m_entries.erase(it);
        m_order.removeOne(entry);
        takeOut(entry);
        showStatusRows();
        return;
    }
}

// Plasma learns a submenu's items only when it is about to show it, and so places it by the size
// of an empty menu: off the screen's edge the first time. Told that each submenu of a menu being
// opened changed, it reads their items at once, before any of them is shown.
void StatusMenu::announceSubmenus(QMenu *menu)
{
    if (!m_exported)
        return;
    for (QAction *item : menu->actions()) {
        if (item->menu() && item->isVisible()) {
            item->menu()->addAction(&m_announcement);
            item->menu()->removeAction(&m_announcement);
        }
    }
}

QMenu *StatusMenu::makeHolder(QMenu *parent, QAction *before)
{
    // Parented to the status menu, so that a choice in it reaches the status menu too.
    auto *holder = new QMenu(m_menu.get());
    connect(holder, &QMenu::aboutToShow, this, [this, holder] { announceSubmenus(holder); });
    parent->insertAction(before, holder->menuAction());
    holder->menuAction()->setVisible(false);
    return holder;
}

QAction *StatusMenu::makeEntry(const Listener &process)
{
    auto *submenu = new QMenu(m_menu.get());
    // The rows that tell it apart are made once: they change only with the listing.
    const QStringList details = processDetails(process);
    for (const QString &detail : details) {
        auto *row = submenu->addAction(QString());
        setLabel(row, detail);
        row->setEnabled(false);
    }
    // A tooltip, for the trays that show one, says what the rows say.
    submenu->menuAction()->setToolTip(detailsToolTip(details));
    submenu->addSeparator();
    Entry entry{process,
                submenu,
                {},
                submenu->actions().constFirst(), // the first row that is no address
                submenu->addAction(QStringLiteral("Open in Browser")),
                submenu->addAction(QStringLiteral("Copy Network URL")),
                nullptr,
                nullptr};
    if (process.container) {
        entry.stop = submenu->addAction(QStringLiteral("Stop Container"));
    } else if (!process.othersPort) {
        entry.stop = submenu->addAction(QStringLiteral("Stop Process (id %1)").arg(process.pid));
        entry.kill = submenu->addAction(QStringLiteral("Kill Process (id %1)").arg(process.pid));
        MenuItem::setTag(entry.stop, process.pid);
        MenuItem::setTag(entry.kill, process.pid);
    }
    m_entries.insert(submenu, entry);
    return submenu->menuAction();
}

void StatusMenu::show(Entry &entry, const Listener &process)
{
    QMenu *submenu = entry.submenu;
    // One line per address: the lines there are take the new texts, the rest are made or go.
    while (entry.lines.size() > process.endpoints.size())
        delete entry.lines.takeLast();
    for (qsizetype i = 0; i < process.endpoints.size(); ++i) {
        if (i == entry.lines.size()) {
            auto *line = new QAction(submenu);
            line->setEnabled(false);
            submenu->insertAction(entry.afterLines, line);
            entry.lines.append(line);
        }
        setLabel(entry.lines[i], endpointText(process.endpoints[i]));
    }
    setLabel(submenu->menuAction(),
             process.title.isEmpty() ? processTitle(process) : process.title);
    MenuItem::setTag(entry.open, process.port);
    // A URL other machines cannot open is no use to copy.
    const std::optional<Endpoint> reachable = reachableEndpoint(process);
    entry.copy->setEnabled(reachable.has_value());
    entry.copy->setText(reachable ? QStringLiteral("Copy Network URL")
                                  : QStringLiteral("Copy Network URL (this machine only)"));
    MenuItem::setTag(entry.copy, reachable ? reachable->port : process.port);
    entry.process = process;
}

// Makes `entries` the entries `menu` holds, in that order, before `end`. Those in their place
// stay, new ones go in where they belong, and only those out of order move: a new process at
// the top costs one insertion, not a move of every entry after it. Entries that belong
// elsewhere must be out already.
static void place(QMenu *menu, const QList<QAction *> &entries, QAction *end,
                  const QSet<QAction *> &allEntries)
{
    QList<QAction *> now = menu->actions();
    now.removeIf([&](QAction *a) { return !allEntries.contains(a); });
    const QSet<QAction *> shownBefore(now.cbegin(), now.cend());
    QSet<QAction *> moved;
    qsizetype k = 0;
    for (QAction *entry : entries) {
        while (k < now.size() && moved.contains(now[k]))
            ++k;
        if (k < now.size() && now[k] == entry) {
            ++k;
            continue;
        }
        if (shownBefore.contains(entry))
            moved.insert(entry);
        menu->insertAction(k < now.size() ? now[k] : end, entry);
    }
}

// Puts the entries in the holder itself when they fit, else in groups of maxRows named by
// their numbers in the whole list ("21–60").
void StatusMenu::divide(QMenu *holder, QList<QMenu *> &groups, const QList<QAction *> &entries,
                        qsizetype firstNumber, QList<Placement> &placements)
{
    const bool grouped = entries.size() > maxRows;
    const qsizetype count = grouped ? (entries.size() + maxRows - 1) / maxRows : 0;
    while (groups.size() < count)
        groups.append(makeHolder(holder, nullptr));
    placements.append({holder, grouped ? QList<QAction *>() : entries, nullptr});
    for (qsizetype i = 0; i < groups.size(); ++i) {
        const QList<QAction *> part =
            i < count ? entries.mid(i * maxRows, maxRows) : QList<QAction *>();
        const qsizetype first = firstNumber + i * maxRows;
        groups[i]->setTitle(QStringLiteral("%1–%2").arg(first).arg(first + part.size() - 1));
        groups[i]->menuAction()->setVisible(!part.isEmpty());
        placements.append({groups[i], part, nullptr});
    }
    holder->menuAction()->setVisible(!entries.isEmpty());
}

void StatusMenu::apply(const QList<Listener> &processes)
{
    QSet<qint64> listed;
    for (const Listener &process : processes)
        listed.insert(process.pid);
    m_killed.removeIf([&](const auto &killed) { return !listed.contains(killed.key()); });

    QHash<QString, QAction *> shown;
    for (QAction *entry : std::as_const(m_order))
        shown.insert(entryKey(m_entries[entry->menu()].process), entry);
    QList<QAction *> own;
    QList<QAction *> others;
    for (const Listener &process : processes) {
        if (const auto k = m_killed.constFind(process.pid);
            !process.othersPort && !process.container && k != m_killed.cend() &&
            (*k == process.startTime || process.startTime < 0))
            continue;
        // An entry stays only for the same process: a submenu never names another one.
        QAction *entry = shown.take(entryKey(process));
        if (!entry)
            entry = makeEntry(process);
        show(m_entries[entry->menu()], process);
        (process.othersPort ? others : own).append(entry);
    }
    for (QAction *gone : std::as_const(shown)) {
        m_entries.remove(gone->menu());
        takeOut(gone);
    }

    QList<Placement> placements{{m_menu.get(), own.mid(0, maxTopLevel), m_more->menuAction()}};
    const QList<QAction *> rest = own.mid(maxTopLevel);
    divide(m_more, m_moreGroups, rest, maxTopLevel + 1, placements);
    m_more->setTitle(QStringLiteral("%1 more…").arg(rest.size()));
    divide(m_others, m_otherGroups, others, 1, placements);
    m_others->setTitle(QStringLiteral("Other users' ports (%1)").arg(others.size()));

    // Out of every menu where they no longer belong first: an entry is never in two at once.
    QSet<QAction *> all(own.cbegin(), own.cend());
    all.unite(QSet<QAction *>(others.cbegin(), others.cend()));
    for (const Placement &p : std::as_const(placements)) {
        const QSet<QAction *> wanted(p.entries.cbegin(), p.entries.cend());
        for (QAction *a : p.menu->actions()) {
            if (all.contains(a) && !wanted.contains(a))
                p.menu->removeAction(a);
        }
    }
    for (const Placement &p : std::as_const(placements))
        place(p.menu, p.entries, p.end, all);
    m_order = own + others;
    showStatusRows();
    Q_EMIT processesShown(own.size());
}
