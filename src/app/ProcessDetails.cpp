#include "ProcessDetails.h"

#include "Log.h"
#include "Processes.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <QTextDocument>

QString durationText(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min").arg(seconds / 60);
    if (seconds < qint64(2) * 86400)
        return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds / 60 % 60);
    return QStringLiteral("%1 days").arg(seconds / 86400);
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

QString processDetails(const Listener &process)
{
    QStringList lines;
    const QString commandLine = Platform::processCommandLine(process.pid);
    lines.append(
        Platform::printable(commandLine.isEmpty() ? process.command : commandLine.left(300)));
    if (const QString folder = Platform::processWorkingFolder(process.pid); !folder.isEmpty()) {
        const QString home = QDir::homePath();
        QString shown = folder;
        if (folder == home || folder.startsWith(home + u'/'))
            shown = u'~' + folder.mid(home.size());
        const QString project = gitProject(folder);
        lines.append(QStringLiteral("in ") + Platform::printable(shown) +
                     (project.isEmpty()
                          ? QString()
                          : QStringLiteral(" (git: %1)").arg(Platform::printable(project))));
    }
    if (process.startTime >= 0)
        lines.append(QStringLiteral("running for ") +
                     durationText(Platform::secondsSinceStart(process.startTime)));
    // Qt shows a tooltip that looks like markup as rich text: bold, images loaded from disk.
    return Qt::convertFromPlainText(lines.join(u'\n'), Qt::WhiteSpaceNormal);
}
