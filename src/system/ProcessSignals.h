// Signals to another process, aimed so that they reach the process that was checked or none.
#pragma once

#include <QString>

namespace Platform {

// One listed process, held by a pidfd. Once open, a signal through it reaches that process or
// nobody, even after its pid has been given to another.
class ProcessHandle {
public:
    enum State {
        Open,
        NotAProcessId, // 0 and below name process groups; nothing is signalled
        Ended,         // the process is gone: nothing signalled
        Reused,        // the pid names another process now: nothing signalled
        Failed,        // as when the user may not signal it, or the kernel has no pidfds
    };

    // Opens the process with this pid if it is the one that started at `startTime`
    // (processStartTime). The start time is read after the pidfd is opened: a pid given to
    // another in between fails the check, or leaves the pidfd on an ended process.
    ProcessHandle(qint64 pid, qint64 startTime);
    ~ProcessHandle();
    ProcessHandle(const ProcessHandle &) = delete;
    ProcessHandle &operator=(const ProcessHandle &) = delete;

    State state() const { return m_state; }
    // Why it is not open, or why the last signal was not sent.
    QString why() const { return m_why; }

    // Sends the signal; false, with the state and why, when it was not sent.
    bool signal(int signal);
    // Whether the process has ended (a zombie has); true once it is Ended or Reused.
    bool hasEnded() const;

private:
    void fail(State state, const QString &why);

    qint64 m_pid;
    int m_fd = -1;
    State m_state = Open;
    QString m_why;
};

} // namespace Platform
