// What Ambrel does from a terminal: list the processes, stop or kill the one on a port.
#pragma once

#include "ListeningProcess.h"

#include <QByteArray>
#include <QList>

// The processes as a JSON array: user, pid, command, startTime (UTC, ISO 8601), cwd, and
// ports, each with address, port, family ("ipv4", "ipv6" or "any"), exposure ("this machine
// only", "all networks", "all IPv6 networks" or "this address's network"), localUrl and
// networkUrl (null where none). Another user's port has only user and ports.
QByteArray listingJson(const QList<Listener> &processes);

// Ends every process that listens on the port, all together: gently (SIGTERM to each, then
// SIGKILL to those still there 3 s later) or at once, with the menu's guards. The exit status:
// 0 once they ended, 1 when nothing listens there, 2 when one could not be ended; one line on
// standard error says why.
int endProcessOnPort(const QList<Listener> &processes, qint64 port, bool gently);
