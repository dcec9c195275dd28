#include "ProcessStop.h"

#include "Processes.h"

#include <QEventLoop>

namespace {
constexpr int pollMs = 50;
// How long a process may take to go once SIGKILL is sent: the kernel's time, not its own.
constexpr int killedWithinMs = 2000;
} // namespace

ProcessStop::ProcessStop(qint64 pid, qint64 startTime, int graceMs, QObject *parent)
    : QObject(parent), m_pid(pid), m_startTime(startTime), m_graceMs(graceMs)
{
    m_poll.setInterval(pollMs);
    connect(&m_poll, &QTimer::timeout, this, &ProcessStop::poll);
}

void ProcessStop::start()
{
    if (m_graceMs <= 0) {
        m_killed = true;
        const KillResult result = killListedProcess(m_pid, m_startTime);
        if (result.outcome != KillResult::Killed)
            return finish(result);
    } else {
        const std::optional<QString> line = killCommandLine(m_pid);
        if (!line)
            return finish(
                {KillResult::NotAProcessId, QStringLiteral("%1 is not a process id").arg(m_pid)});
        if (!Platform::processIsRunning(m_pid, m_startTime)) {
            const bool reused =
                Platform::processStartTime(m_pid).value_or(m_startTime) != m_startTime;
            return finish(reused
                              ? KillResult{KillResult::Reused,
                                           QStringLiteral("the id now belongs to another process")}
                              : KillResult{KillResult::Ended, QStringLiteral("it has ended")});
        }
        const Platform::CommandResult term =
            runShellCommand(QStringLiteral("kill -TERM %1").arg(m_pid));
        if (!term.succeeded)
            return finish({KillResult::Failed, term.failure});
    }
    m_poll.start();
}

void ProcessStop::poll()
{
    if (!Platform::processIsRunning(m_pid, m_startTime))
        return finish({KillResult::Killed, {}});
    ++m_polls;
    if (!m_killed && m_polls * pollMs >= m_graceMs) {
        m_killed = true;
        m_polls = 0;
        const KillResult result = killListedProcess(m_pid, m_startTime);
        if (result.outcome != KillResult::Killed)
            finish(result);
    } else if (m_killed && m_polls * pollMs >= killedWithinMs) {
        finish({KillResult::Failed, QStringLiteral("it did not end")});
    }
}

void ProcessStop::finish(const KillResult &result)
{
    m_poll.stop();
    Q_EMIT finished(result);
}

KillResult stopListedProcess(qint64 pid, qint64 startTime, int graceMs)
{
    ProcessStop stop(pid, startTime, graceMs);
    KillResult result{KillResult::Failed, {}};
    QEventLoop loop;
    QObject::connect(&stop, &ProcessStop::finished, &loop, [&](const KillResult &r) {
        result = r;
        loop.quit();
    });
    QTimer::singleShot(0, &stop, &ProcessStop::start);
    loop.exec();
    return result;
}
