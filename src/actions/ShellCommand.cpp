#include "ShellCommand.h"

#include "Platform.h"

#include <QProcess>

#include <limits>
#include <sys/types.h>

CommandResult runShellCommand(const QString &commandLine)
{
    return runDroppingOutput(Platform::shellPath(), {QStringLiteral("-c"), commandLine});
}

// The first line of what a command wrote, safe to show and log.
static QString firstLine(const QByteArray &said)
{
    QString line = QString::fromUtf8(said.trimmed()).section(QLatin1Char('\n'), 0, 0).left(300);
    for (QChar &c : line) {
        if (!c.isPrint())
            c = QChar::ReplacementCharacter;
    }
    return line;
}

CommandResult runDroppingOutput(const QString &program, const QStringList &arguments)
{
    QProcess child;
    child.setInputChannelMode(QProcess::ForwardedInputChannel);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(program, arguments, QIODevice::ReadOnly);
    if (!child.waitForStarted(-1)) {
        const QString why = QStringLiteral("cannot run %1: %2").arg(program, child.errorString());
        Platform::logLine(why);
        return {false, why};
    }
    // Drained as it comes, so that a chatty command neither blocks on a full pipe nor piles
    // up in memory; only the start is kept, to say why it failed.
    QByteArray said;
    do {
        const QByteArray more = child.readAll();
        said += more.left(qMax<qsizetype>(0, 4096 - said.size()));
    } while (child.waitForReadyRead(-1));
    said += child.readAll().left(qMax<qsizetype>(0, 4096 - said.size()));
    child.waitForFinished(-1);
    if (child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0)
        return {true, {}};
    QString why = firstLine(said);
    if (why.isEmpty()) {
        why = child.exitStatus() == QProcess::NormalExit
                  ? QStringLiteral("exit status %1").arg(child.exitCode())
                  : QStringLiteral("ended by a signal");
    }
    return {false, why};
}

std::optional<QString> killCommandLine(qint64 pid)
{
    // 0 and negative values name process groups (-1: every process we may signal), and the
    // shell would cut anything beyond pid_t down to such a value.
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return std::nullopt;
    return QStringLiteral("kill -9 %1").arg(pid);
}

CommandResult killProcessWithTag(qint64 tag)
{
    const std::optional<QString> line = killCommandLine(tag);
    if (!line)
        return {false, QStringLiteral("%1 is not a process id").arg(tag)};
    return runShellCommand(*line);
}
