// The status item's menu: the header, one entry per listening process or container, the entries
// past the first screenful, other users' ports, the fixed items.
#pragma once

#include "ListeningProcess.h"

#include <QAction>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

class QMenu;
class QStyle;

class StatusMenu : public QObject {
    Q_OBJECT
public:
    explicit StatusMenu(QObject *parent = nullptr);
    ~StatusMenu() override;

    QMenu *menu() const { return m_menu.get(); }
    QAction *openAtLoginItem() const { return m_openAtLogin; }
    QAction *aboutItem() const { return m_about; }
    QAction *quitItem() const { return m_quit; }
    QAction *emptyItem() const { return m_empty; }
    QAction *reasonItem() const { return m_reason; }

    // Entries at the top level; the rest go into "N more…". No menu holds more than
    // maxRows entries: past that a list is divided into groups ("21–60", …).
    static constexpr qsizetype maxTopLevel = 20;
    static constexpr qsizetype maxRows = 40;

    // Whether a StatusNotifierItem host draws the menu from its D-Bus export, which marks
    // mnemonics with "_" where Qt's own menus use "&".
    void setExported(bool exported);
    // Why the list cannot be read, in the scanner's words; empty while it can.
    void setProblem(const QString &problem);

    // Makes the entries those of the processes, in their order. While the menu is open nothing
    // on it changes: the newest list is held and shown when it closes.
    void showProcesses(const QList<Listener> &processes);
    bool isOpen() const { return m_open; }
    // The entries' items, in the order they show: the top level, "N more…", other users' ports.
    QList<QAction *> entries() const;

    // The process an item of an entry's submenu, or an entry, was made for.
    std::optional<Listener> processOf(const QAction *item) const;
    // Takes out the entry of the process. A killed process stays out of the menu until a list
    // no longer names it: lists made before the kill still do.
    void removeEntry(const Listener &process, bool killed);

Q_SIGNALS:
    // The chosen item of an entry's submenu.
    void openChosen(QAction *item);
    void copyChosen(QAction *item);
    void stopChosen(QAction *item);
    void killChosen(QAction *item);
    void stopContainerChosen(QAction *item);
    // Entries were made anew from a list; `count` entries of the user's own processes and
    // containers show.
    void processesShown(qsizetype count);
    // The menu closed, and whatever was held is shown.
    void closed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // An entry's submenu: a line per address it listens on, the rows that tell it apart, then
    // the actions. Other users' ports have no stop or kill; a container has its own stop.
    struct Entry {
        Listener process;
        QMenu *submenu;
        QList<QAction *> lines;
        QAction *afterLines;
        QAction *open;
        QAction *copy;
        QAction *stop;
        QAction *kill;
    };
    // Where entries go: a menu, the entries it holds in order, and the item they stand before
    // (null: at the end).
    struct Placement {
        QMenu *menu;
        QList<QAction *> entries;
        QAction *end;
    };
    void opened();
    void show(Entry &entry, const Listener &process);
    void closing();
    void apply(const QList<Listener> &processes);
    QAction *makeEntry(const Listener &process);
    void chosen(QAction *item);
    void showStatusRows();
    QMenu *makeHolder(QMenu *parent, QAction *before);
    void divide(QMenu *holder, QList<QMenu *> &groups, const QList<QAction *> &entries,
                qsizetype firstNumber, QList<Placement> &placements);
    void setLabel(QAction *item, const QString &label) const;
    void announceSubmenus(QMenu *menu);

    std::unique_ptr<QStyle> m_style; // outlives the menu that uses it
    std::unique_ptr<QMenu> m_menu;
    QAction *m_openAtLogin;
    QAction *m_about;
    QAction *m_quit;
    // "No listening processes", shown when there are none and the list could be read.
    QAction *m_empty;
    // "Cannot list processes: …", shown while the list cannot be read.
    QAction *m_reason;
    QString m_problem;
    bool m_exported = false;
    QMenu *m_more;
    QList<QMenu *> m_moreGroups;
    QMenu *m_others;
    QList<QMenu *> m_otherGroups;
    // Every entry in the menu, by its submenu.
    QHash<const QMenu *, Entry> m_entries;
    // Every entry in the menu's order.
    QList<QAction *> m_order;
    bool m_open = false;
    std::optional<QList<Listener>> m_held;
    // Hosts that never say the menu closed must not freeze the list for good.
    QTimer m_holdLimit;
    // Added to a submenu and taken out again, which tells a D-Bus host that it changed.
    QAction m_announcement;
    // Killed processes (pid to start time) that lists may still name.
    QHash<qint64, qint64> m_killed;
};
