#include "ListeningSockets.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The NETLINK_SOCK_DIAG socket of one thread, opened on first use and kept.
class DiagSocket {
public:
    DiagSocket() = default;
    DiagSocket(const DiagSocket &) = delete;
    DiagSocket &operator=(const DiagSocket &) = delete;
    ~DiagSocket() { close(); }

    std::optional<QList<ListeningSocket>> dump(QString *error)
    {
        if (qEnvironmentVariableIntValue("AMBREL_NO_NETLINK") != 0) {
            close();
            return fail(error, QStringLiteral("cannot open a netlink socket: turned off by "
                                              "AMBREL_NO_NETLINK"));
        }
        if (m_fd < 0) {
            m_fd =
                ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG);
            if (m_fd < 0)
                return fail(error, QStringLiteral("cannot open a netlink socket: ") +
                                       qt_error_string(errno));
        }
        const QDeadlineTimer deadline(2000);
        QList<ListeningSocket> sockets;
        QString reason;
        if (!dumpBoth(deadline, sockets, &reason)) {
            // What is left of the reply must not be read as the next one's start.
            close();
            return fail(error, reason);
        }
        return sockets;
    }

private:
    static std::nullopt_t fail(QString *error, const QString &reason)
    {
        if (error)
            *error = reason;
        return std::nullopt;
    }

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // One dump of both families: the TCPDIAG_GETSOCK request walks the kernel's table of
    // listening sockets once for IPv4 and IPv6 alike, where SOCK_DIAG_BY_FAMILY walks it once per
    // family; the walk costs the same however few sockets listen.
    bool dumpBoth(const QDeadlineTimer &deadline, QList<ListeningSocket> &out, QString *reason)
    {
        struct {
            nlmsghdr header;
            inet_diag_req request;
        } message{};
        message.header.nlmsg_len = sizeof(message);
        message.header.nlmsg_type = TCPDIAG_GETSOCK;
        message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        message.header.nlmsg_seq = ++m_sequence;
        message.request.idiag_family = AF_INET;
        message.request.idiag_states = 1U << TCP_LISTEN;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(m_fd, &message, sizeof(message), 0, reinterpret_cast<sockaddr *>(&kernel),
                     sizeof(kernel)) != ssize_t(sizeof(message))) {
            *reason = QStringLiteral("cannot send the netlink request: ") + qt_error_string(errno);
            return false;
        }
        for (;;) {
            pollfd ready{m_fd, POLLIN, 0};
            const int waited = ::poll(&ready, 1, int(deadline.remainingTime()));
            if (waited < 0 && errno == EINTR)
                continue;
            if (waited == 0 || deadline.hasExpired()) {
                *reason = QStringLiteral("the netlink socket dump took over 2 seconds");
                return false;
            }
            iovec part{m_buffer.data(), m_buffer.size()};
            sockaddr_nl sender{};
            msghdr received{};
            received.msg_name = &sender;
            received.msg_namelen = sizeof(sender);
            received.msg_iov = &part;
            received.msg_iovlen = 1;
            const ssize_t size = ::recvmsg(m_fd, &received, 0);
            if (size < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (size <= 0) {
                *reason = QStringLiteral("cannot read the netlink reply: ") +
                          (size < 0 ? qt_error_string(errno) : QStringLiteral("it ended"));
                return false;
            }
            if (received.msg_flags & MSG_TRUNC) {
                *reason = QStringLiteral("a netlink reply was cut short");
                return false;
            }
            if (sender.nl_pid != 0)
                continue; // another process, not the kernel
            switch (readPart(size_t(size), out, reason)) {
            case Part::More:
                continue;
            case Part::Done:
                return true;
            case Part::Failed:
                return false;
            }
        }
    }

    enum class Part { More, Done, Failed };

    Part readPart(size_t size, QList<ListeningSocket> &out, QString *reason) const
    {
        const char *data = m_buffer.data();
        size_t offset = 0;
        while (size - offset >= sizeof(nlmsghdr)) {
            nlmsghdr header;
            std::memcpy(&header, data + offset, sizeof(header));
            if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > size - offset) {
                *reason = QStringLiteral("a netlink reply is malformed");
                return Part::Failed;
            }
            const char *payload = data + offset + NLMSG_HDRLEN;
            const size_t payloadSize = header.nlmsg_len - NLMSG_HDRLEN;
            offset += std::min<size_t>(NLMSG_ALIGN(header.nlmsg_len), size - offset);
            if (header.nlmsg_seq != m_sequence)
                continue; // left from an earlier request
            if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) {
                // Both start with the error number; a dump that fails midway ends in a DONE
                // that carries one.
                int failure = 0;
                std::memcpy(&failure, payload, std::min(payloadSize, sizeof(failure)));
                if (failure == 0)
                    return Part::Done;
                *reason = QStringLiteral("the kernel refused the socket dump: ") +
                          qt_error_string(-failure);
                return Part::Failed;
            }
            if (header.nlmsg_flags & NLM_F_DUMP_INTR) {
                *reason = QStringLiteral("the netlink socket dump was interrupted");
                return Part::Failed;
            }
            if (header.nlmsg_type != TCPDIAG_GETSOCK || payloadSize < sizeof(inet_diag_msg))
                continue;
            inet_diag_msg socket;
            std::memcpy(&socket, payload, sizeof(socket));
            if (socket.idiag_state != TCP_LISTEN || socket.idiag_inode == 0)
                continue;
            int family = socket.idiag_family;
            const void *address = socket.id.idiag_src;
            in6_addr v6{};
            std::memcpy(&v6, socket.id.idiag_src, sizeof(v6));
            if (family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&v6)) {
                family = AF_INET;
                address = &socket.id.idiag_src[3];
            }
            char text[INET6_ADDRSTRLEN] = {};
            if (!::inet_ntop(family, address, text, sizeof(text)))
                continue; // neither IPv4 nor IPv6
            out.append(ListeningSocket{socket.idiag_inode, family, QString::fromLatin1(text),
                                       ntohs(socket.id.idiag_sport), socket.idiag_uid,
                                       v6only(payload, payloadSize)});
        }
        return Part::More;
    }

    // The kernel adds INET_DIAG_SKV6ONLY to every IPv6 socket's message.
    static bool v6only(const char *payload, size_t size)
    {
        for (size_t at = NLMSG_ALIGN(sizeof(inet_diag_msg)); at + sizeof(rtattr) <= size;) {
            rtattr attribute;
            std::memcpy(&attribute, payload + at, sizeof(attribute));
            if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > size - at)
                return false;
            if (attribute.rta_type == INET_DIAG_SKV6ONLY && attribute.rta_len > RTA_LENGTH(0))
                return payload[at + RTA_LENGTH(0)] != 0;
            at += RTA_ALIGN(attribute.rta_len);
        }
        return false;
    }

    int m_fd = -1;
    quint32 m_sequence = 0;
    // The kernel fills at most 32 KiB per read of a dump; more is room to spare.
    std::vector<char> m_buffer = std::vector<char>(size_t(64) * 1024);
};

// The pids in /proc, highest (newest, until pids wrap) first.
QList<qint64> processIds()
{
    QList<qint64> pids;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return pids;
    while (const dirent *entry = ::readdir(proc)) {
        qint64 pid = 0;
        const char *c = entry->d_name;
        for (; *c >= '0' && *c <= '9'; ++c)
            pid = pid * 10 + (*c - '0');
        if (*c == '\0' && c != entry->d_name)
            pids.append(pid);
    }
    ::closedir(proc);
    std::sort(pids.begin(), pids.end(), std::greater<>());
    return pids;
}

// The inode a /proc/<pid>/fd link names when it is "socket:[<inode>]", else 0.
quint64 socketInode(const char *link, size_t size)
{
    static constexpr char prefix[] = "socket:[";
    constexpr size_t prefixSize = sizeof(prefix) - 1;
    if (size < prefixSize + 2 || std::memcmp(link, prefix, prefixSize) != 0 ||
        link[size - 1] != ']')
        return 0;
    quint64 inode = 0;
    for (size_t i = prefixSize; i < size - 1; ++i) {
        if (link[i] < '0' || link[i] > '9')
            return 0;
        inode = inode * 10 + quint64(link[i] - '0');
    }
    return inode;
}

QByteArray fdFolder(qint64 pid)
{
    return "/proc/" + QByteArray::number(pid) + "/fd";
}

// Calls found(fd, inode) for each socket among the process's fds. An fd closed meanwhile is
// passed over; a folder that cannot be read (another user's process, or one that has ended)
// gives nothing.
template <typename Found> void forEachSocket(qint64 pid, Found found)
{
    const int folder = ::open(fdFolder(pid).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    DIR *fds = ::fdopendir(folder);
    if (!fds) {
        ::close(folder);
        return;
    }
    while (const dirent *entry = ::readdir(fds)) {
        int fd = 0;
        const char *c = entry->d_name;
        for (; *c >= '0' && *c <= '9'; ++c)
            fd = fd * 10 + (*c - '0');
        if (*c != '\0' || c == entry->d_name)
            continue;
        std::array<char, 64> link;
        const ssize_t size = ::readlinkat(folder, entry->d_name, link.data(), link.size());
        if (size <= 0)
            continue;
        if (const quint64 inode = socketInode(link.data(), size_t(size)))
            found(fd, inode);
    }
    ::closedir(fds);
}

// Whether the process still holds the socket in that fd.
bool stillHolds(const SocketOwners::Owner &owner, quint64 inode)
{
    const QByteArray path = fdFolder(owner.pid) + '/' + QByteArray::number(owner.fd);
    std::array<char, 64> link;
    const ssize_t size = ::readlink(path.constData(), link.data(), link.size());
    return size > 0 && socketInode(link.data(), size_t(size)) == inode;
}

// /proc/<pid>/comm without its line feed; nothing when the process has ended.
std::optional<QString> readCommand(qint64 pid)
{
    const QByteArray path = "/proc/" + QByteArray::number(pid) + "/comm";
    const int file = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return std::nullopt;
    std::array<char, 64> text;
    ssize_t size;
    do {
        size = ::read(file, text.data(), text.size());
    } while (size < 0 && errno == EINTR);
    ::close(file);
    if (size < 0)
        return std::nullopt;
    QByteArrayView name(text.data(), size);
    if (name.endsWith('\n'))
        name.chop(1);
    return QString::fromUtf8(name);
}

// The start of a /proc file, up to `limit` bytes; empty when it cannot be read.
QByteArray readSmallFile(const QByteArray &path, qsizetype limit = 65536)
{
    const int file = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return {};
    QByteArray text(limit, Qt::Uninitialized);
    qsizetype size = 0;
    for (;;) {
        const ssize_t got = ::read(file, text.data() + size, size_t(text.size() - size));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || (size += got) == text.size())
            break;
    }
    ::close(file);
    text.truncate(size);
    return text;
}

// The pid the kernel gave last (the fifth field of /proc/loadavg): a process or thread has
// started since it was last read when it differs. -1 when it cannot be read.
qint64 newestPid()
{
    const QByteArray text = readSmallFile("/proc/loadavg", 128).trimmed();
    bool ok = false;
    const qint64 pid = text.mid(text.lastIndexOf(' ') + 1).toLongLong(&ok);
    return ok ? pid : -1;
}

} // namespace

std::optional<QList<ListeningSocket>> dumpListeningSockets(QString *error)
{
    thread_local DiagSocket socket;
    return socket.dump(error);
}

QHash<quint64, QList<SocketOwners::Owner>> SocketOwners::resolve(const QSet<quint64> &inodes,
                                                                 bool everyProcess)
{
    const bool sameSockets = QSet<quint64>(m_owners.keyBegin(), m_owners.keyEnd()) == inodes;
    m_owners.removeIf([&](const auto &entry) { return !inodes.contains(entry.key()); });
    // Read first: a process that starts during the walk counts as new at the next call.
    m_newestPid = newestPid();
    const QList<qint64> pids = processIds();
    const QSet<qint64> present(pids.begin(), pids.end());
    const auto add = [this](qint64 pid) {
        forEachSocket(pid, [&](int fd, quint64 inode) {
            if (const auto it = m_owners.find(inode);
                it != m_owners.end() && !it->contains(Owner{pid, fd}))
                it->append(Owner{pid, fd});
        });
    };
    if (everyProcess) {
        // Every holder of every listed socket, the new ones and those seen before.
        m_owners.clear();
        for (const quint64 inode : inodes)
            m_owners.insert(inode, {});
        for (const qint64 pid : pids)
            add(pid);
    } else {
        // Sockets to find a holder for among all processes: the new ones, and those whose
        // holders all went (an older worker may hold it still).
        QSet<quint64> unknown;
        for (auto it = m_owners.begin(); it != m_owners.end(); ++it) {
            const bool held = !it->isEmpty();
            it->removeIf([&](const Owner &owner) {
                return !present.contains(owner.pid) ||
                       (!sameSockets && !stillHolds(owner, it.key()));
            });
            if (held && it->isEmpty())
                unknown.insert(it.key());
        }
        for (const quint64 inode : inodes) {
            if (!m_owners.contains(inode)) {
                m_owners.insert(inode, {});
                unknown.insert(inode);
            }
        }
        // A new socket mostly belongs to a new process: the newest first.
        for (const qint64 pid : pids) {
            if (unknown.isEmpty() && m_pids.contains(pid))
                continue;
            add(pid);
            unknown.removeIf([&](quint64 inode) { return !m_owners.value(inode).isEmpty(); });
        }
    }
    m_pids = present;
    for (QList<Owner> &owners : m_owners) {
        std::sort(owners.begin(), owners.end(), [](const Owner &a, const Owner &b) {
            return std::pair(a.pid, a.fd) < std::pair(b.pid, b.fd);
        });
    }
    return m_owners;
}

bool SocketOwners::processStarted() const
{
    return newestPid() != m_newestPid;
}

bool SocketOwners::holderEnded() const
{
    QSet<qint64> checked;
    for (const QList<Owner> &owners : m_owners) {
        for (const Owner &owner : owners) {
            if (!checked.contains(owner.pid) && ::kill(pid_t(owner.pid), 0) != 0 && errno == ESRCH)
                return true;
            checked.insert(owner.pid);
        }
    }
    return false;
}

QString userName(quint32 uid)
{
    passwd entry{};
    passwd *found = nullptr;
    std::array<char, 4096> buffer;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name)
        return QString::fromUtf8(found->pw_name);
    return QString::number(uid);
}

std::optional<quint32> processUid(qint64 pid)
{
    const QByteArray status = readSmallFile("/proc/" + QByteArray::number(pid) + "/status", 4096);
    const qsizetype at = status.indexOf("\nUid:");
    if (at < 0)
        return std::nullopt;
    // Real, effective, saved and filesystem uid.
    const QList<QByteArray> uids = status.mid(at + 5, 64).simplified().split(' ');
    bool ok = false;
    const quint32 uid = uids.value(1).toUInt(&ok);
    return ok ? std::optional(uid) : std::nullopt;
}

QStringList processArguments(qint64 pid)
{
    QByteArray line = readSmallFile("/proc/" + QByteArray::number(pid) + "/cmdline");
    if (line.endsWith('\0'))
        line.chop(1);
    QStringList arguments;
    if (!line.isEmpty()) {
        for (const QByteArray &argument : line.split('\0'))
            arguments.append(QString::fromUtf8(argument));
    }
    return arguments;
}

QString processCommand(qint64 pid)
{
    return readCommand(pid).value_or(QString());
}

std::optional<QList<NativeRecord>> listListeningProcesses(SocketOwners &owners, QString *error)
{
    const std::optional<QList<ListeningSocket>> sockets = dumpListeningSockets(error);
    if (!sockets)
        return std::nullopt;
    return listListeningProcesses(owners, *sockets, true);
}

QList<NativeRecord> listListeningProcesses(SocketOwners &owners,
                                           const QList<ListeningSocket> &sockets, bool everyProcess)
{
    QHash<quint64, const ListeningSocket *> byInode;
    for (const ListeningSocket &socket : sockets)
        byInode.insert(socket.inode, &socket);
    const QSet<quint64> inodes(byInode.keyBegin(), byInode.keyEnd());

    // Each process's listening sockets as (fd, inode), by pid.
    std::map<qint64, std::vector<std::pair<int, quint64>>> held;
    const QHash<quint64, QList<SocketOwners::Owner>> holders = owners.resolve(inodes, everyProcess);
    for (auto it = holders.begin(); it != holders.end(); ++it) {
        for (const SocketOwners::Owner &owner : it.value())
            held[owner.pid].emplace_back(owner.fd, it.key());
    }

    QList<NativeRecord> records;
    for (auto &[pid, fds] : held) {
        // A process that ended since its fds were read gets no record.
        std::optional<QString> command = readCommand(pid);
        if (!command)
            continue;
        std::sort(fds.begin(), fds.end());
        const ListeningSocket *first = byInode.value(fds.front().second);
        NativeRecord record{pid, first->port, std::move(*command), {}, first->uid};
        QSet<quint64> listed;
        for (const auto &[fd, inode] : fds) {
            if (!listed.contains(inode)) {
                listed.insert(inode);
                record.sockets.append(*byInode.value(inode));
            }
        }
        records.append(std::move(record));
    }
    // No process this user may read holds these: another user's, by owner and port.
    std::map<std::pair<quint16, quint32>, NativeRecord> others;
    for (const ListeningSocket &socket : sockets) {
        if (!holders.value(socket.inode).isEmpty())
            continue;
        NativeRecord &record = others[{socket.port, socket.uid}];
        record.port = socket.port;
        record.uid = socket.uid;
        if (!record.sockets.contains(socket))
            record.sockets.append(socket);
    }
    for (auto &[key, record] : others)
        records.append(std::move(record));
    return records;
}
