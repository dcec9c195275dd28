#include "ProcessStop.h"

#include "ProcessSignals.h"

#include <QEventLoop>

#include <csignal>

namespace {
constexpr int pollMs = 50;
// How long a process may take to go once SIGKILL is sent: the kernel's time, not its own.
constexpr int killedWithinMs = 2000;

KillResult resultOf(const Platform::ProcessHandle &process)
{
    switch (process.state()) {
    case Platform::ProcessHandle::Open:
        return {KillResult::Killed, {}};
    case Platform::ProcessHandle::NotAProcessId:
        return {KillResult::NotAProcessId, process.why()};
    case Platform::ProcessHandle::Ended:
        return {KillResult::Ended, process.why()};
    case Platform::ProcessHandle::Reused:
        return {KillResult::Reused, process.why()};
    case Platform::ProcessHandle::Failed:
        break;
    }
    return {KillResult::Failed, process.why()};
}
} // namespace

KillResult killListedProcess(qint64 pid, qint64 startTime)
{
    Platform::ProcessHandle process(pid, startTime);
    process.signal(SIGKILL);
    return resultOf(process);
}

ProcessStop::ProcessStop(qint64 pid, qint64 startTime, int graceMs, QObject *parent)
    : QObject(parent), m_pid(pid), m_startTime(startTime), m_graceMs(graceMs)
{
    m_poll.setInterval(pollMs);
    connect(&m_poll, &QTimer::timeout, this, &ProcessStop::poll);
}

ProcessStop::~ProcessStop() = default;

void ProcessStop::start()
{
    m_process = std::make_unique<Platform::ProcessHandle>(m_pid, m_startTime);
    m_killed = m_graceMs <= 0;
    if (!m_process->signal(m_killed ? SIGKILL : SIGTERM))
        return finish(resultOf(*m_process));
    m_poll.start();
}

void ProcessStop::poll()
{
    if (m_process->hasEnded())
        return finish({KillResult::Killed, {}});
    ++m_polls;
    if (!m_killed && m_polls * pollMs >= m_graceMs) {
        m_killed = true;
        m_polls = 0;
        if (!m_process->signal(SIGKILL))
            finish(resultOf(*m_process));
    } else if (m_killed && m_polls * pollMs >= killedWithinMs) {
        finish({KillResult::Failed, QStringLiteral("it did not end")});
    }
}

void ProcessStop::finish(const KillResult &result)
{
    m_poll.stop();
    m_process.reset();
    Q_EMIT finished(result);
}

QList<KillResult> stopListedProcesses(const QList<std::pair<qint64, qint64>> &processes,
                                      int graceMs)
{
    QList<KillResult> results(processes.size());
    if (processes.isEmpty())
        return results;
    QEventLoop loop;
    qsizetype running = processes.size();
    for (qsizetype i = 0; i < processes.size(); ++i) {
        auto *stop = new ProcessStop(processes[i].first, processes[i].second, graceMs, &loop);
        QObject::connect(stop, &ProcessStop::finished, &loop, [&, i](const KillResult &r) {
            results[i] = r;
            if (--running == 0)
                loop.quit();
        });
        // All from the loop's first turn: one SIGTERM each, and the graces run together.
        QTimer::singleShot(0, stop, &ProcessStop::start);
    }
    loop.exec();
    return results;
}
