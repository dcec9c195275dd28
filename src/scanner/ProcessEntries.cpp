#include "ProcessEntries.h"

#include "MenuItem.h"
#include "Platform.h"

#include <QHash>
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

size_t qHash(const ProcessIdentity &process, size_t seed)
{
    return qHashMulti(seed, process.pid, process.startTime);
}

static constexpr char startTimeProperty[] = "ambrelStartTime";

ProcessIdentity entryProcess(const QAction *entry)
{
    const QMenu *submenu = entry ? entry->menu() : nullptr;
    if (!submenu || submenu->actions().size() < 3)
        return {};
    return {MenuItem::tag(submenu->actions().at(2)),
            entry->property(startTimeProperty).value<qint64>()};
}

static const QString itemActions[3] = {QStringLiteral("openURL:"), QStringLiteral("copyURL:"),
                                       QStringLiteral("killProcess:")};

static QAction *makeEntry(QMenu &statusBarMenu, const ProcessIdentity &process)
{
    // Parented to the status menu, so that a choice in it reaches the status menu too.
    auto *submenu = new QMenu(&statusBarMenu);
    for (const QString &action : itemActions)
        MenuItem::setActionName(submenu->addAction(QString()), action);
    const QList<QAction *> items = submenu->actions();
    items[0]->setText(QStringLiteral("Open in Browser"));
    items[1]->setText(QStringLiteral("Copy Network URL"));
    items[2]->setText(QStringLiteral("Kill Process (id %1)").arg(process.pid));
    MenuItem::setTag(items[2], process.pid);
    QAction *entry = submenu->menuAction();
    entry->setProperty(startTimeProperty, process.startTime);
    return entry;
}

static void showRecord(QAction *entry, const ListeningProcess &record, qint64 port)
{
    const QString title = processEntryTitle(record);
    if (entry->text() != title)
        entry->menu()->setTitle(title);
    // The same process may have moved to another first port; its identity stays.
    const QList<QAction *> items = entry->menu()->actions();
    MenuItem::setTag(items[0], port);
    MenuItem::setTag(items[1], port);
}

qsizetype updateProcessEntries(QMenu &statusBarMenu, const QList<ListeningProcess> &processes,
                               QList<QPointer<QAction>> &processEntries,
                               const QHash<qint64, qint64> &killed)
{
    const QList<QAction *> items = statusBarMenu.actions();
    const QSet<QAction *> inMenu(items.cbegin(), items.cend());
    QHash<ProcessIdentity, QAction *> shown;
    for (const QPointer<QAction> &entry : std::as_const(processEntries)) {
        if (entry && inMenu.contains(entry))
            shown.insert(entryProcess(entry), entry);
    }

    QList<QAction *> wanted;
    qsizetype reused = 0;
    qsizetype left = 0;
    for (const ListeningProcess &record : processes) {
        const std::optional<qint64> port = positiveDecimal(record.port());
        const std::optional<qint64> pid = positiveDecimal(record.pid());
        if (!port || !pid)
            continue;
        if (wanted.size() == maxProcessEntries) {
            ++left;
            continue;
        }
        const ProcessIdentity process{
            *pid, qint64(Platform::processStartTime(*pid).value_or(quint64(-1)))};
        if (const auto k = killed.constFind(*pid);
            k != killed.cend() && (*k == process.startTime || process.startTime < 0))
            continue;
        QAction *entry = shown.take(process);
        if (entry)
            ++reused;
        else
            entry = makeEntry(statusBarMenu, process);
        showRecord(entry, record, *port);
        wanted.append(entry);
    }
    for (QAction *gone : std::as_const(shown)) {
        statusBarMenu.removeAction(gone);
        // The menu may be showing it right now; let it go once control returns.
        gone->menu()->deleteLater();
    }

    // Only the entries that are not already in their place move, each to the end of the list:
    // the first fixed item after it is the anchor.
    const QList<QAction *> now = statusBarMenu.actions();
    QAction *const anchor = now.value(1 + reused);
    for (qsizetype i = 0; i < wanted.size(); ++i) {
        if (now.value(1 + i) == wanted[i])
            continue;
        for (qsizetype j = i; j < wanted.size(); ++j)
            statusBarMenu.insertAction(anchor, wanted[j]);
        break;
    }
    processEntries = QList<QPointer<QAction>>(wanted.cbegin(), wanted.cend());
    if (left > 0) {
        Platform::logLine(QStringLiteral("%1 listening processes; the menu shows the first %2")
                              .arg(wanted.size() + left)
                              .arg(wanted.size()));
    }
    return wanted.size();
}
