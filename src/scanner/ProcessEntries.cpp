#include "ProcessEntries.h"

#include "MenuItem.h"

#include <QSet>

std::optional<qint64> positiveDecimal(const QString &text)
{
    qsizetype i = 0;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    if (i == text.size())
        return std::nullopt;
    for (qsizetype j = i; j < text.size(); ++j) {
        if (text[j] < u'0' || text[j] > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (!ok || value <= 0)
        return std::nullopt;
    return value;
}

static QString shownAsIs(QString text)
{
    // "&" marks a mnemonic and a tab starts the shortcut column.
    return text.replace(QLatin1Char('&'), QStringLiteral("&&"))
        .replace(QLatin1Char('\t'), QLatin1Char(' '));
}

QString processEntryTitle(const ListeningProcess &process)
{
    return shownAsIs(process.port() + QStringLiteral(" · ") + process.cmd());
}

void removeProcessEntries(QMenu &statusBarMenu, QList<QPointer<QAction>> &processEntries,
                          QList<QPointer<QMenu>> &spare)
{
    const QList<QAction *> items = statusBarMenu.actions();
    const QSet<QAction *> inMenu(items.cbegin(), items.cend());
    for (const QPointer<QAction> &entry : std::as_const(processEntries)) {
        if (!entry || !inMenu.contains(entry))
            continue;
        statusBarMenu.removeAction(entry);
        if (QMenu *submenu = entry->menu())
            spare.append(submenu);
    }
    processEntries.clear();
}

static const QString itemActions[3] = {QStringLiteral("openURL:"), QStringLiteral("copyURL:"),
                                       QStringLiteral("killProcess:")};

static QMenu *makeSubmenu(QMenu &statusBarMenu)
{
    // Parented to the status menu, so that a choice in it reaches the status menu too.
    auto *submenu = new QMenu(&statusBarMenu);
    for (const QString &action : itemActions)
        MenuItem::setActionName(submenu->addAction(QString()), action);
    return submenu;
}

qsizetype insertProcessEntries(QMenu &statusBarMenu, const QList<ListeningProcess> &processes,
                               QList<QPointer<QAction>> &processEntries,
                               QList<QPointer<QMenu>> &spare)
{
    // Entries go between the header at index 0 and the first fixed item after it.
    QAction *before = statusBarMenu.actions().value(1);
    qsizetype made = 0;
    for (const ListeningProcess &process : processes) {
        const std::optional<qint64> port = positiveDecimal(process.port());
        const std::optional<qint64> pid = positiveDecimal(process.pid());
        if (!port || !pid)
            continue;
        QMenu *submenu = nullptr;
        while (!submenu && !spare.isEmpty())
            submenu = spare.takeLast();
        if (!submenu)
            submenu = makeSubmenu(statusBarMenu);
        submenu->setTitle(processEntryTitle(process));
        const QList<QAction *> items = submenu->actions();
        items[0]->setText(QStringLiteral("Open in Browser"));
        items[1]->setText(QStringLiteral("Copy Network URL"));
        items[2]->setText(shownAsIs(QStringLiteral("Kill Process (id %1)").arg(process.pid())));
        MenuItem::setTag(items[0], *port);
        MenuItem::setTag(items[1], *port);
        MenuItem::setTag(items[2], *pid);
        QAction *entry = submenu->menuAction();
        statusBarMenu.insertAction(before, entry);
        processEntries.append(entry);
        ++made;
    }
    for (const QPointer<QMenu> &unused : std::as_const(spare)) {
        // The menu may be showing it right now; let it go once control returns.
        if (unused)
            unused->deleteLater();
    }
    spare.clear();
    return made;
}
