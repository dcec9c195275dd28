// Other processes: who they are, and children that must not outlive Ambrel.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QProcess;

namespace Platform {

// When the process with this id started, in clock ticks since boot (field 22 of
// /proc/<pid>/stat). With the pid it names one process for good: a reused pid starts later.
// Nothing when no such process exists.
std::optional<qint64> processStartTime(qint64 pid);

// Whether the process that started at `startTime` still runs under this pid: not ended, not
// a zombie waiting for its parent, the pid not given to another process.
bool processIsRunning(qint64 pid, qint64 startTime);

// How many seconds ago a process started, from its start time.
qint64 secondsSinceStart(qint64 startTime);

// The process's command line, its arguments parted by spaces; empty when it cannot be read.
QString processCommandLine(qint64 pid);
// The folder the process works in; empty when it cannot be read.
QString processWorkingFolder(qint64 pid);

// The process at the other end of a connected local socket, as the kernel names it
// (SO_PEERCRED); nothing when it cannot tell.
std::optional<qint64> peerProcess(qintptr socket);

// Makes the child end when Ambrel ends, even when Ambrel is killed and cannot stop it.
void endWithParent(QProcess &child);

// Starts the program detached, with no arguments. Returns whether it started.
bool startDetached(const QString &program);

} // namespace Platform
