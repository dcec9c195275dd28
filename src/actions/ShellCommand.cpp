#include "ShellCommand.h"

#include "Paths.h"
#include "Processes.h"

#include <limits>
#include <sys/types.h>

Platform::CommandResult runShellCommand(const QString &commandLine)
{
    return Platform::runCommand(Platform::shellPath(), {QStringLiteral("-c"), commandLine});
}

std::optional<QString> killCommandLine(qint64 pid)
{
    // 0 and negative values name process groups (-1: every process we may signal), and the
    // shell would cut anything beyond pid_t down to such a value.
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return std::nullopt;
    return QStringLiteral("kill -9 %1").arg(pid);
}

KillResult killListedProcess(qint64 pid, qint64 startTime)
{
    const std::optional<QString> line = killCommandLine(pid);
    if (!line)
        return {KillResult::NotAProcessId, QStringLiteral("%1 is not a process id").arg(pid)};
    // Checked right before the signal: a pid that was freed and given to another process
    // names a bystander.
    const std::optional<qint64> started = Platform::processStartTime(pid);
    if (!started || startTime < 0)
        return {KillResult::Ended, QStringLiteral("it has ended")};
    if (*started != startTime)
        return {KillResult::Reused, QStringLiteral("the id now belongs to another process")};
    const Platform::CommandResult result = runShellCommand(*line);
    if (!result.succeeded)
        return {KillResult::Failed, result.failure};
    return {KillResult::Killed, {}};
}
