// The one way Ambrel runs a command line, and the kill built on it.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Runs the line through the shell and returns once its standard output has ended. That output
// is read and dropped; standard input, standard error, environment and working directory are
// the program's own. A shell that cannot be started leaves one log line.
void runShellCommand(const QString &commandLine);

// The runner's work for any program. Returns whether the program started.
bool runDroppingOutput(const QString &program, const QStringList &arguments);

// "kill -9 <pid>"; nothing for a value that is not a single process id.
std::optional<QString> killCommandLine(qint64 pid);

// Sends signal 9 to the process id a kill item carries. A tag that is not a process id is
// refused with one log line and false; otherwise the kill runs, and true says so whether or
// not the signal reached anything.
bool killProcessWithTag(qint64 tag);
