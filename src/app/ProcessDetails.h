// What tells one process from another beside its port and name.
#pragma once

#include "ListeningProcess.h"

#include <QString>

// How long ago, in the largest units that say it: "40 s", "12 min", "3 h 12 min", "2 days".
QString durationText(qint64 seconds);

// The top folder's name of the git work tree that holds the folder; empty outside one.
QString gitProject(const QString &folder);

// For the entry's tooltip: the full command line, the working folder (home as ~) with its git
// project, and how long the process has run. Text from the process is made printable, and the
// whole is rich text that shows it as written, whatever markup it holds.
QString processDetails(const Listener &process);
