#include "ProcessEntries.h"

#include "MenuItem.h"
#include "Platform.h"

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

static QString shownAsIs(QStringView text)
{
    // Enough for any real command name; a longer one would take seconds to lay out each time
    // the menu opens.
    constexpr qsizetype longest = 100;
    QString shown;
    shown.reserve(qMin(text.size(), longest + 1));
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (shown.size() >= longest) {
            shown += u'…';
            break;
        }
        char32_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        // "&" marks a mnemonic and a tab starts the shortcut column; control and direction
        // marks would hide or reorder what the title says.
        if (c == u'&')
            shown += QStringLiteral("&&");
        else if (c == u'\t')
            shown += u' ';
        else if (!QChar::isPrint(c))
            shown += QChar::ReplacementCharacter;
        else
            shown += QStringView(QChar::fromUcs4(c));
    }
    return shown;
}

QString processEntryTitle(const ListeningProcess &process)
{
    // The port as the tag holds it, so that no run of zeros can make the title long.
    const std::optional<qint64> port = positiveDecimal(process.port());
    return (port ? QString::number(*port) : shownAsIs(process.port())) + QStringLiteral(" · ") +
           shownAsIs(process.cmd());
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
    qsizetype left = 0;
    for (const ListeningProcess &process : processes) {
        const std::optional<qint64> port = positiveDecimal(process.port());
        const std::optional<qint64> pid = positiveDecimal(process.pid());
        if (!port || !pid)
            continue;
        if (made == maxProcessEntries) {
            ++left;
            continue;
        }
        QMenu *submenu = nullptr;
        while (!submenu && !spare.isEmpty())
            submenu = spare.takeLast();
        if (!submenu)
            submenu = makeSubmenu(statusBarMenu);
        submenu->setTitle(processEntryTitle(process));
        const QList<QAction *> items = submenu->actions();
        items[0]->setText(QStringLiteral("Open in Browser"));
        items[1]->setText(QStringLiteral("Copy Network URL"));
        items[2]->setText(QStringLiteral("Kill Process (id %1)").arg(*pid));
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
    if (left > 0) {
        Platform::logLine(QStringLiteral("%1 listening processes; the menu shows the first %2")
                              .arg(made + left)
                              .arg(made));
    }
    return made;
}
