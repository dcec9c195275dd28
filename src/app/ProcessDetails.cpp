#include "ProcessDetails.h"

#include "Log.h"
#include "Processes.h"

#include <QDir>
#include <QFileInfo>
#include <QTextDocument>

QString startedText(const QDateTime &started, const QDateTime &now)
{
    const QString time = started.toString(QStringLiteral("HH:mm"));
    const qint64 days = started.date().daysTo(now.date());
    if (days == 0)
        return QStringLiteral("started ") + time;
    if (days == 1)
        return QStringLiteral("started yesterday ") + time;
    // English month names whatever the locale, like the rest of the menu.
    const QLocale english(QLocale::English);
    if (started.date().year() == now.date().year())
        return QStringLiteral("started ") + english.toString(started, QStringLiteral("d MMM ")) +
               time;
    return QStringLiteral("started ") +
           english.toString(started.date(), QStringLiteral("d MMM yyyy"));
}

QString elideMiddle(const QString &text, qsizetype length)
{
    if (text.size() <= length)
        return text;
    qsizetype head = (length - 1) / 2;
    qsizetype tail = length - 1 - head;
    // Never split a surrogate pair.
    if (text.at(head - 1).isHighSurrogate())
        --head;
    if (text.at(text.size() - tail).isLowSurrogate())
        --tail;
    return text.left(head) + u'…' + text.right(tail);
}

QString gitProject(const QString &folder)
{
    if (folder.isEmpty())
        return {};
    // Up from the folder to the first that holds .git; cdUp fails at the root.
    QDir dir(folder);
    do {
        if (QFileInfo::exists(dir.filePath(QStringLiteral(".git"))))
            return dir.dirName();
    } while (dir.cdUp());
    return {};
}

QStringList processDetails(const Listener &process)
{
    if (process.container) {
        const Listener::Container &c = *process.container;
        return {QStringLiteral("container ") + Platform::printable(c.name),
                QStringLiteral("image ") + Platform::printable(c.image),
                QStringLiteral("container port %1").arg(c.port)};
    }
    if (process.othersPort)
        return {QStringLiteral("Owned by user %1 — Ambrel cannot stop it")
                    .arg(Platform::printable(process.user))};
    QStringList rows;
    const QString commandLine = Platform::processCommandLine(process.pid);
    rows.append(elideMiddle(
        Platform::printable(commandLine.isEmpty() ? process.command : commandLine.left(1000)), 60));
    if (const QString folder = Platform::processWorkingFolder(process.pid); !folder.isEmpty()) {
        const QString home = QDir::homePath();
        QString shown = folder;
        if (folder == home || folder.startsWith(home + u'/'))
            shown = u'~' + folder.mid(home.size());
        const QString project = gitProject(folder);
        rows.append(QStringLiteral("in ") + elideMiddle(Platform::printable(shown), 60) +
                    (project.isEmpty()
                         ? QString()
                         : QStringLiteral(" (git: %1)").arg(Platform::printable(project))));
    }
    if (process.startTime >= 0) {
        const QDateTime now = QDateTime::currentDateTime();
        rows.append(startedText(now.addSecs(-Platform::secondsSinceStart(process.startTime)), now));
    }
    return rows;
}

QString detailsToolTip(const QStringList &rows)
{
    // Qt shows a tooltip that looks like markup as rich text: bold, images loaded from disk.
    return Qt::convertFromPlainText(rows.join(u'\n'), Qt::WhiteSpaceNormal);
}
