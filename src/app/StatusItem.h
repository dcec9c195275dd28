// The tray icon: an image, a title (the process count) drawn left of it, and its menu.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

#include <QMenu>
class QSystemTrayIcon;
class StatusItem;

namespace Platform {
class TrayHostWatcher;
}

// The desktop's tray, where status items are made. An item shows once a tray host is there,
// and comes back when the host restarts.
class StatusBar : public QObject {
    Q_OBJECT
public:
    explicit StatusBar(QObject *parent = nullptr);
    StatusItem *makeStatusItem(QObject *owner);

private:
    Platform::TrayHostWatcher *m_hosts;
    std::optional<bool> m_dbusItems;
};

class StatusItem : public QObject {
    Q_OBJECT
public:
    explicit StatusItem(QObject *parent);

    void setImage(const QIcon &image);
    QIcon image() const { return m_image; }

    // The text shown beside the image; none until the first report.
    void setTitle(const QString &title);
    QString title() const { return m_title; }

    // Why the item shows no count (the scanner does not run): the icon shows a warning and the
    // tooltip the reason alone. Empty when fine.
    void setProblem(const QString &problem);
    QString problem() const { return m_problem; }
    // What the tooltip adds below the count, such as a kill that failed; empty for nothing.
    void setNotice(const QString &notice);

    void setMenu(QMenu *menu);
    QMenu *menu() const { return m_menu; }

    QString toolTip() const;
    QIcon renderedIcon() const;
    // Null until a tray host is there to show it.
    QSystemTrayIcon *trayIcon() const { return m_tray; }
    // Makes the tray icon anew, for a host that appeared or restarted. A D-Bus item leaves its
    // menu to the host; an XEmbed icon opens it on a left click as well.
    void attach(bool dbusItem);
    // Whether the tray icon is a StatusNotifierItem, whose host draws the menu from its export.
    bool isDBusItem() const { return m_dbusItem; }

Q_SIGNALS:
    void attached(bool dbusItem);

private:
    void refresh();

    QSystemTrayIcon *m_tray = nullptr;
    QIcon m_image;
    QString m_title;
    QString m_problem;
    QString m_notice;
    QPointer<QMenu> m_menu;
    bool m_dbusItem = false;
};
