// The native Linux engine's view of the operating system: the TCP sockets that listen (one
// sock_diag netlink dump), the processes that hold them (their /proc/<pid>/fd links) and their
// command names. Qt Core only; nothing here starts a process.
#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QtGlobal>

#include <optional>

// One TCP socket in the LISTEN state.
struct ListeningSocket {
    quint64 inode = 0;
    int family = 0;  // AF_INET or AF_INET6
    QString address; // numeric: "127.0.0.1", "0.0.0.0", "::", "::1", "::ffff:127.0.0.1"
    quint16 port = 0;
    quint32 uid = 0; // the socket's owner

    friend bool operator==(const ListeningSocket &, const ListeningSocket &) = default;
};

// Every listening TCP socket of this network namespace, the IPv4 ones then the IPv6 ones, in
// the kernel's order. One NETLINK_SOCK_DIAG dump per family over a non-blocking netlink socket
// that each thread opens once and keeps; a dump that takes over 2 seconds fails.
// Nothing, with *error (when given) saying why, when the dump cannot be made: the socket cannot
// be opened (some containers forbid it), the kernel refuses the request, or the reply is cut
// short. Setting AMBREL_NO_NETLINK=1 makes every call fail as if the socket could not be opened.
std::optional<QList<ListeningSocket>> dumpListeningSockets(QString *error);

// Which processes hold which sockets, from the /proc/<pid>/fd/* links ("socket:[12345]"). One
// object per scanner: it keeps what it found for the next call.
//
// A socket is reported for every process that holds it, as lsof lists it under each: a forked
// child that shares its parent's socket gets its own record, just as the lsof engine gives it
// one. A process whose fd folder cannot be read is left out, as lsof leaves it out.
class SocketOwners {
public:
    struct Owner {
        qint64 pid = 0;
        int fd = -1;

        friend bool operator==(const Owner &, const Owner &) = default;
    };

    // The holders of each of these socket inodes, by pid then fd ascending; an inode no
    // readable process holds maps to an empty list.
    //
    // With `everyProcess`, reads every fd of every process. Otherwise it checks that each known
    // holder still holds its socket (one link read each), reads the newest processes until every
    // new socket has a holder, and past that only processes that appeared since the last call
    // (a worker forked off a listening parent). An older process that takes a socket over from
    // another is found by the next call with `everyProcess`. Inodes no longer asked for are
    // forgotten.
    QHash<quint64, QList<Owner>> resolve(const QSet<quint64> &inodes, bool everyProcess = false);

    // How many times resolve() read every process's fds.
    int walks() const { return m_walks; }

private:
    QHash<quint64, QList<Owner>> m_owners;
    QSet<qint64> m_pids; // the processes present at the last call
    int m_walks = 0;
};

// The command name of a process: /proc/<pid>/comm without its line feed (at most 15 bytes, as
// lsof +c 0 shows it). Empty when there is no such process.
QString processCommand(qint64 pid);

// One process that listens, as the native engine reports it.
struct NativeRecord {
    qint64 pid = 0;
    quint16 port = 0; // the port of its lowest-numbered listening fd, the one lsof names first
    QString command;
    QList<ListeningSocket> sockets; // all of its listening sockets, by fd ascending, each once

    friend bool operator==(const NativeRecord &, const NativeRecord &) = default;
};

// The processes that listen on a TCP port, one record per pid, by pid ascending: the same
// records, in the same order, as the lsof engine makes from lsof's listing. A process that
// ends before its command name is read gets no record. Nothing, with *error saying why, when
// the dump fails.
std::optional<QList<NativeRecord>> listListeningProcesses(SocketOwners &owners, QString *error);
// The same from a dump already made; `everyProcess` as for SocketOwners::resolve.
QList<NativeRecord> listListeningProcesses(SocketOwners &owners,
                                           const QList<ListeningSocket> &sockets,
                                           bool everyProcess);
