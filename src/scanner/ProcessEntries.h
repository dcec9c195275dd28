// The process entries of the status menu: one item per listening process, directly below the
// header, each with its submenu of three actions.
#pragma once

#include "LsofParser.h"

#include <QList>
#include <QMenu>
#include <QPointer>

#include <optional>

// The text as a decimal integer ("+" or "-" sign, digits, within 64 bits) when it is positive:
// a process id or port of 0 or below must never become a tag that a kill would use.
std::optional<qint64> positiveDecimal(const QString &text);

// "3000 · node". Text from the process is escaped so that the menu shows it as it is.
QString processEntryTitle(const ListeningProcess &process);

// Takes every listed entry that the menu still holds out of it and forgets them all. Their
// submenus go to `spare` for the next insert to reuse: making menu widgets is most of what a
// rebuild costs.
void removeProcessEntries(QMenu &statusBarMenu, QList<QPointer<QAction>> &processEntries,
                          QList<QPointer<QMenu>> &spare);

// No menu shows more usefully, and each entry costs a submenu: far more would take seconds and
// hundreds of megabytes to build.
inline constexpr qsizetype maxProcessEntries = 1000;

// Inserts one entry per record at index 1 and on, in the given order, and lists them; spare
// submenus are reused first, and those left over are deleted. A record whose pid or port is
// not a positive integer makes no entry; past maxProcessEntries entries the rest are left out
// with one log line. Returns how many entries were made.
qsizetype insertProcessEntries(QMenu &statusBarMenu, const QList<ListeningProcess> &processes,
                               QList<QPointer<QAction>> &processEntries,
                               QList<QPointer<QMenu>> &spare);
