// Diagnostics: the system log and the terminal.
#pragma once

#include <QString>

namespace Platform {

// The program's name as shown in diagnostics and the desktop entry.
inline constexpr char programName[] = "ambrel";

// One plain line to standard error, prefixed with the program name and pid, and to the system
// log. The text is never used as a format, and control characters are replaced.
void logLine(const QString &text);
// One line to standard output, flushed at once; control characters are replaced.
void printLine(const QString &text);

// The text with every control, format and other unprintable character replaced by U+FFFD, so
// that text from a child process or the network cannot forge lines or drive a terminal.
QString printable(QStringView text);

} // namespace Platform
