// The tray icon: an image, a title (the process count) drawn left of it, and a menu that a
// click of either button opens.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>

#include <QMenu>
class QSystemTrayIcon;
class StatusItem;

// The desktop's tray, where status items are made.
class StatusBar : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    StatusItem *makeStatusItem(QObject *owner);
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

    // Why the item shows no count (the scanner does not run), for the tooltip; empty when fine.
    void setProblem(const QString &problem);
    QString problem() const { return m_problem; }

    void setMenu(QMenu *menu);
    QMenu *menu() const { return m_menu; }

    QString toolTip() const;
    QIcon renderedIcon() const;
    QSystemTrayIcon *trayIcon() const { return m_tray; }

private:
    void refresh();

    QSystemTrayIcon *m_tray;
    QIcon m_image;
    QString m_title;
    QString m_problem;
    QPointer<QMenu> m_menu;
};
