#include "ShellCommand.h"

#include "Platform.h"

#include <QProcess>

#include <limits>
#include <sys/types.h>

void runShellCommand(const QString &commandLine)
{
    runDroppingOutput(Platform::shellPath(), {QStringLiteral("-c"), commandLine});
}

bool runDroppingOutput(const QString &program, const QStringList &arguments)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.setInputChannelMode(QProcess::ForwardedInputChannel);
    child.start(program, arguments, QIODevice::ReadOnly);
    if (!child.waitForStarted(-1)) {
        Platform::logLine(QStringLiteral("cannot run %1: %2").arg(program, child.errorString()));
        return false;
    }
    // Drained as it comes, so that a chatty command neither blocks on a full pipe nor piles
    // up in memory.
    while (child.waitForReadyRead(-1))
        child.readAllStandardOutput();
    child.readAllStandardOutput();
    child.waitForFinished(-1);
    return true;
}

std::optional<QString> killCommandLine(qint64 pid)
{
    // 0 and negative values name process groups (-1: every process we may signal), and the
    // shell would cut anything beyond pid_t down to such a value.
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return std::nullopt;
    return QStringLiteral("kill -9 %1").arg(pid);
}

bool killProcessWithTag(qint64 tag)
{
    const std::optional<QString> line = killCommandLine(tag);
    if (!line) {
        Platform::logLine(QStringLiteral("not killing: %1 is not a process id").arg(tag));
        return false;
    }
    runShellCommand(*line);
    return true;
}
