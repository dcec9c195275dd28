// The process entries of the status menu: one item per listening process, directly below the
// header, each with its submenu of three actions.
#pragma once

#include "LsofParser.h"

#include <QHash>
#include <QList>
#include <QMenu>
#include <QPointer>

#include <optional>

// The text as a decimal integer ("+" or "-" sign, digits, within 64 bits) when it is positive:
// a process id or port of 0 or below must never become a tag that a kill would use.
std::optional<qint64> positiveDecimal(const QString &text);

// "3000 · node". Text from the process is escaped so that the menu shows it as it is.
QString processEntryTitle(const ListeningProcess &process);

// One process for good: its id and when it started (-1 when it had already gone when its
// entry was made). A pid that the system reuses names a process with another start time.
struct ProcessIdentity {
    qint64 pid = 0;
    qint64 startTime = -1;
    friend bool operator==(const ProcessIdentity &, const ProcessIdentity &) = default;
};
size_t qHash(const ProcessIdentity &process, size_t seed = 0);

// The process an entry of the status menu was made for.
ProcessIdentity entryProcess(const QAction *entry);

// No menu shows more usefully, and each entry costs a submenu: far more would take seconds and
// hundreds of megabytes to build.
inline constexpr qsizetype maxProcessEntries = 1000;

// Makes the entries below the header at index 0 those of the records, in the given order. An
// entry stays (the same item, submenu and actions) only for the same process, so that a
// submenu never names another process than the one it was made for; the others go, and new
// ones are made. A record whose pid or port is not a positive integer makes no entry, nor one
// of a process in `killed` (pid to start time), also when its pid names no process any more; past
// maxProcessEntries entries the rest are left out with one log line. Returns how many entries the
// menu shows.
qsizetype updateProcessEntries(QMenu &statusBarMenu, const QList<ListeningProcess> &processes,
                               QList<QPointer<QAction>> &processEntries,
                               const QHash<qint64, qint64> &killed = {});
