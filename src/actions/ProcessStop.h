// Ending a process the gentle way, without blocking anybody.
#pragma once

#include "ShellCommand.h"

#include <QObject>
#include <QTimer>

// Sends SIGTERM to a listed process and, when the same process (pid and start time) still runs
// after the grace period, SIGKILL; says how it ended once it has, or why not. With no grace
// period it sends SIGKILL at once. Works from the event loop: nothing waits.
class ProcessStop : public QObject {
    Q_OBJECT
public:
    ProcessStop(qint64 pid, qint64 startTime, int graceMs, QObject *parent = nullptr);
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
    QTimer m_poll;
    int m_polls = 0;
    bool m_killed = false;
};

// The same, waited for: for the command line.
KillResult stopListedProcess(qint64 pid, qint64 startTime, int graceMs);
