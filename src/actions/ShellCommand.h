// The one way Ambrel runs a command line, and the kill built on it.
#pragma once

#include "Command.h"

#include <QString>

#include <optional>

// Runs the line through the shell and returns once it has ended (see Platform::runCommand).
Platform::CommandResult runShellCommand(const QString &commandLine);

// "kill -9 <pid>"; nothing for a value that is not a single process id.
std::optional<QString> killCommandLine(qint64 pid);

// What a kill did.
struct KillResult {
    enum Outcome {
        Killed,
        NotAProcessId, // nothing signalled
        Ended,         // the process is gone: nothing signalled
        Reused,        // the pid names another process now: nothing signalled
        Failed,        // the kill command failed, as when the user may not signal it
    };
    Outcome outcome;
    QString why;
};

// Sends signal 9 to the process with this pid, but only while the pid still names the process
// that started at `startTime` (Platform::processStartTime).
KillResult killListedProcess(qint64 pid, qint64 startTime);
