// Ending a listed process: at once, or the gentle way without blocking anybody.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <utility>

namespace Platform {
class ProcessHandle;
}

// What a kill or a stop did.
struct KillResult {
    enum Outcome {
        Killed,
        NotAProcessId, // nothing signalled
        Ended,         // the process is gone: nothing signalled
        Reused,        // the pid names another process now: nothing signalled
        Failed,        // the signal failed, as when the user may not signal it
    };
    Outcome outcome = Failed;
    QString why;
};

// Sends SIGKILL to the process with this pid, but only while the pid still names the process
// that started at `startTime` (Platform::processStartTime); the signal goes through a pidfd
// opened before that check, so no other process can take the pid in between.
KillResult killListedProcess(qint64 pid, qint64 startTime);

// Sends SIGTERM to a listed process and, when it still runs after the grace period, SIGKILL;
// both reach that process or none (see killListedProcess). Says how it ended once it has, or
// why not. With no grace period it sends SIGKILL at once. Works from the event loop: nothing
// waits.
class ProcessStop : public QObject {
    Q_OBJECT
public:
    ProcessStop(qint64 pid, qint64 startTime, int graceMs, QObject *parent = nullptr);
    ~ProcessStop() override;
    void start();

    qint64 pid() const { return m_pid; }
    qint64 startTime() const { return m_startTime; }

Q_SIGNALS:
    // Killed once the process has ended; otherwise why nothing (more) was done.
    void finished(const KillResult &result);

private:
    void poll();
    void finish(const KillResult &result);

    qint64 m_pid;
    qint64 m_startTime;
    int m_graceMs;
    std::unique_ptr<Platform::ProcessHandle> m_process;
    QTimer m_poll;
    int m_polls = 0;
    bool m_killed = false;
};

// Stops the processes (pid, start time) all at once, with one grace period for all, and
// returns once each has ended or failed: for the command line.
QList<KillResult> stopListedProcesses(const QList<std::pair<qint64, qint64>> &processes,
                                      int graceMs);
