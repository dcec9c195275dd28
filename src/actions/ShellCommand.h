// The one way Ambrel runs a command line, and the kill built on it.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// How a command ended: whether it ran and exited 0, and otherwise what it said on standard
// error (its first line, control characters replaced) or why it did not run.
struct CommandResult {
    bool succeeded = false;
    QString failure;
};

// Runs the line through the shell and returns once it has ended. Its standard output is read
// and dropped; standard input, environment and working directory are the program's own.
CommandResult runShellCommand(const QString &commandLine);

// The runner's work for any program.
CommandResult runDroppingOutput(const QString &program, const QStringList &arguments);

// "kill -9 <pid>"; nothing for a value that is not a single process id.
std::optional<QString> killCommandLine(qint64 pid);

// Sends signal 9 to the process id. A value that is not a process id is refused; otherwise
// the result is the kill command's.
CommandResult killProcessWithTag(qint64 tag);
