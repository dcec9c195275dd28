// The status item's menu: the header, one entry per listening process, the fixed items.
#pragma once

#include "ListeningProcess.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

class QAction;
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

    // Makes the entries those of the processes, in their order. While the menu is open nothing
    // on it changes: the newest list is held and shown when it closes.
    void showProcesses(const QList<Listener> &processes);
    bool isOpen() const { return m_open; }
    // The entries' items in the menu, top first.
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
    // Entries were made anew from a list; `count` entries show.
    void processesShown(qsizetype count);
    // The menu closed, and whatever was held is shown.
    void closed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // An entry's submenu: a line per address it listens on, then the actions.
    struct Entry {
        Listener process;
        QMenu *submenu;
        QList<QAction *> lines;
        QAction *open;
        QAction *copy;
        QAction *stop;
        QAction *kill;
    };
    void opened();
    void show(Entry &entry, const Listener &process);
    void closing();
    void apply(const QList<Listener> &processes);
    QAction *makeEntry(const Listener &process);
    void chosen(QAction *item);

    std::unique_ptr<QStyle> m_style; // outlives the menu that uses it
    std::unique_ptr<QMenu> m_menu;
    QAction *m_openAtLogin;
    QAction *m_about;
    QAction *m_quit;
    // "No listening processes", shown when there are none.
    QAction *m_empty;
    // Every entry in the menu, by its submenu.
    QHash<const QMenu *, Entry> m_entries;
    QList<QAction *> m_order;
    bool m_open = false;
    std::optional<QList<Listener>> m_held;
    // Hosts that never say the menu closed must not freeze the list for good.
    QTimer m_holdLimit;
    // Killed processes (pid to start time) that lists may still name.
    QHash<qint64, qint64> m_killed;
};
