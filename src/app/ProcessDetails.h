// What tells one process from another beside its port and name.
#pragma once

#include "ListeningProcess.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// When a process started, as a fixed text that does not age: "started 09:12", "started
// yesterday 18:03", "started 5 Dec 18:03", "started 5 Dec 2025".
QString startedText(const QDateTime &started, const QDateTime &now);

// The text shortened in its middle to at most `length` characters, "…" where it was cut.
QString elideMiddle(const QString &text, qsizetype length);

// The top folder's name of the git work tree that holds the folder; empty outside one.
QString gitProject(const QString &folder);

// The rows of an entry's submenu that tell it apart, printable: for a process its command line,
// working folder (home as ~) with its git project, and when it started; for a container its
// name, image and own port; for another user's port its owner.
QStringList processDetails(const Listener &process);

// The rows as a tooltip that Qt shows as written, whatever markup they hold.
QString detailsToolTip(const QStringList &rows);
