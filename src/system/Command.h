// Running a program to its end.
#pragma once

#include <QString>
#include <QStringList>

namespace Platform {

// How a command ended: whether it ran and exited 0, and otherwise what it said (its first
// line, made printable) or why it did not run.
struct CommandResult {
    bool succeeded = false;
    QString failure;
};

// Runs the program and returns once it has ended. What it writes is read as it comes and
// dropped but for the start, which says why it failed; standard input, environment and
// working directory are Ambrel's own. A program that cannot be started leaves one log line.
CommandResult runCommand(const QString &program, const QStringList &arguments);

} // namespace Platform
