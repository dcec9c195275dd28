// The native Linux engine's view of the operating system: the TCP sockets that listen (one
// sock_diag netlink dump), the processes that hold them (their /proc/<pid>/fd links) and their
// command names. Qt Core only; nothing here starts a process.
#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

// One TCP socket in the LISTEN state.
struct ListeningSocket {
    quint64 inode = 0;
    // AF_INET or AF_INET6; an IPv4-mapped IPv6 address ("::ffff:10.0.0.1") is AF_INET, in its
    // IPv4 form: that is the address clients connect to.
    int family = 0;
    QString address; // numeric: "127.0.0.1", "0.0.0.0", "::", "::1"
    quint16 port = 0;
    quint32 uid = 0;     // the socket's owner
    bool v6only = false; // an IPv6 socket that takes no IPv4 connections (IPV6_V6ONLY)

    friend bool operator==(const ListeningSocket &, const ListeningSocket &) = default;
};

// Every listening TCP socket of this network namespace, in the kernel's order. One
// NETLINK_SOCK_DIAG dump of both families (TCPDIAG_GETSOCK) over a non-blocking netlink socket
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
    // With `everyProcess`, reads every fd of every process. Otherwise it drops holders that
    // ended and, when the set of sockets changed, those that no longer hold their socket (one
    // link read each); it reads the newest processes until every new socket, and every socket
    // whose holders all went, has a holder, and past that only processes that appeared since
    // the last call (a worker forked off a listening parent). An older process that is handed a
    // socket is found by the next call with `everyProcess`. Inodes no longer asked for are
    // forgotten. A socket no readable process holds is asked about again only when one of its
    // holders could be new: another user's socket costs nothing between full passes.
    QHash<quint64, QList<Owner>> resolve(const QSet<quint64> &inodes, bool everyProcess = false);

    // Whether a process that held a socket ended since the last resolve(): one signal 0 to each.
    bool holderEnded() const;
    // Whether a process started since the last resolve(): one read of the newest pid.
    bool processStarted() const;

private:
    QHash<quint64, QList<Owner>> m_owners;
    QSet<qint64> m_pids; // the processes present at the last call
    qint64 m_newestPid = -1;
};

// The command name of a process: /proc/<pid>/comm without its line feed (at most 15 bytes, as
// lsof +c 0 shows it). Empty when there is no such process.
QString processCommand(qint64 pid);

// The user name of a uid, or the uid in digits when it has none.
QString userName(quint32 uid);
// The effective uid of a process (/proc/<pid>/status); nothing when it has ended.
std::optional<quint32> processUid(qint64 pid);
// The process's command line, one string per argument; empty when it cannot be read.
QStringList processArguments(qint64 pid);

// One process that listens, as the native engine reports it; or, with pid 0, one port of
// another user's sockets that no process this user may read holds.
struct NativeRecord {
    qint64 pid = 0;
    quint16 port = 0; // the port of its lowest-numbered listening fd, the one lsof names first
    QString command;
    QList<ListeningSocket> sockets; // all of its listening sockets, by fd ascending, each once
    quint32 uid = 0;                // the owner of its first socket

    friend bool operator==(const NativeRecord &, const NativeRecord &) = default;
};

// The processes that listen on a TCP port, one record per pid, by pid ascending: the records
// the lsof engine makes from lsof's listing. Then the sockets no readable process holds, one
// record per owner and port (by port, then uid), which lsof cannot see. A process that ends
// before its command name is read gets no record. Nothing, with *error saying why, when the
// dump fails.
std::optional<QList<NativeRecord>> listListeningProcesses(SocketOwners &owners, QString *error);
// The same from a dump already made; `everyProcess` as for SocketOwners::resolve.
QList<NativeRecord> listListeningProcesses(SocketOwners &owners,
                                           const QList<ListeningSocket> &sockets,
                                           bool everyProcess);
