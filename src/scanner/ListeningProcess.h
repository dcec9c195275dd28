// The processes that listen on a TCP port, as a listing names them and as Ambrel shows them.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One process listening on a TCP port, as lsof reported it: text, unchecked. The port is that
// of its first name; `names` are all of its names ("127.0.0.1:3000", "[::1]:3000", "*:80").
class ListeningProcess {
public:
    ListeningProcess(QString pid, QString port, QString cmd, QStringList names = {})
        : m_pid(std::move(pid)), m_port(std::move(port)), m_cmd(std::move(cmd)),
          m_names(std::move(names))
    {}

    const QString &pid() const { return m_pid; }
    const QString &port() const { return m_port; }
    const QString &cmd() const { return m_cmd; }
    const QStringList &names() const { return m_names; }

    friend bool operator==(const ListeningProcess &, const ListeningProcess &) = default;

private:
    QString m_pid;
    QString m_port;
    QString m_cmd;
    QStringList m_names;
};

// Who can reach a listening socket: only this machine (a loopback address), every network the
// machine is on (a wildcard address), the network of the one address it is bound to, or every
// network the machine has an IPv6 address on (the IPv6 wildcard of an IPv6-only socket).
enum class Exposure { ThisMachine, AllNetworks, OneAddress, AllIpv6Networks };

// One address and port a process listens on; the address as the engine names it ("127.0.0.1",
// "::1", "0.0.0.0", "::", or "*" for lsof's wildcard of either family). An IPv4-mapped address
// is in its IPv4 form.
struct Endpoint {
    QString address;
    qint64 port = 0;
    bool v6only = false; // an IPv6 socket that takes no IPv4 connections; lsof cannot tell
    friend bool operator==(const Endpoint &, const Endpoint &) = default;
};

Exposure exposure(const Endpoint &endpoint);
// "this machine only", "all networks", ...: the words for an exposure.
QString exposureText(Exposure exposure);
// "127.0.0.1:3000 — this machine only", "[::]:8080 — all networks".
QString endpointText(const Endpoint &endpoint);
// "ipv4", "ipv6", or "any" for lsof's wildcard.
QString family(const Endpoint &endpoint);
// "127.0.0.1:3000" or "[::1]:3000", as a URL writes the host.
QString hostAndPort(const QString &address, qint64 port);

// A checked record: a real process id and port, and when the process started, which with the
// pid names that one process for good (-1: it had already ended when it was checked).
struct Listener {
    qint64 pid = 0;
    qint64 startTime = -1;
    qint64 port = 0;
    QString command;
    // Every address and port it listens on, the first one's port first.
    QList<Endpoint> endpoints;
    // The user the socket belongs to: a user name, or the uid in digits when it has none.
    QString user{};
    // A socket of another user's process, which this user can neither read nor signal: pid 0,
    // start time -1. It is shown, opened and copied, never stopped or killed.
    bool othersPort = false;
    // Set for a port a container publishes.
    struct Container {
        QString id; // the full id: a name may be given to another container later
        QString name;
        QString image;
        quint16 port = 0; // the container's own port behind the first published one
        friend bool operator==(const Container &, const Container &) = default;
    };
    std::optional<Container> container{};
    // The entry's title in its list: processTitle(), with what tells it apart from other
    // entries of the same name. Empty until the list is made.
    QString title{};

    bool isSameProcess(const Listener &other) const
    {
        return pid == other.pid && startTime == other.startTime;
    }
    friend bool operator==(const Listener &, const Listener &) = default;
};

// No menu shows more usefully, and each entry costs a submenu: far more would take seconds and
// hundreds of megabytes to build.
inline constexpr qsizetype maxListeners = 1000;

// The text as a decimal integer ("+" or "-" sign, digits, within 64 bits) when it is positive:
// a process id or port of 0 or below must never become a number that a kill would use.
std::optional<qint64> positiveDecimal(const QString &text);

// The records that name a real pid and port, checked and in the order Ambrel shows them (see
// orderedListeners), their users those of the processes.
QList<Listener> checkedListeners(const QList<ListeningProcess> &records);

// The list as Ambrel shows it: newest processes first (by start time, then the higher pid),
// other users' ports last (by port); past maxListeners the rest left out with one log line;
// each entry's title set.
QList<Listener> orderedListeners(QList<Listener> listeners);

// The address and port other machines reach the process on: its first port's where that one
// is reachable, else the first that is; nothing when it listens for this machine only. A
// process whose addresses are unknown counts as reachable on its port.
std::optional<Endpoint> reachableEndpoint(const Listener &process);

// What Open in Browser opens for a port of the process: http://localhost:<port>, unless the
// process listens on that port only on addresses of their own, none of them loopback or a
// wildcard; then the first of those, which localhost would not reach.
QString localUrl(const Listener &process, qint64 port);
// What Copy Network URL copies for an address: the address itself when bound to one, else the
// machine's network address (an IPv6 one for an IPv6-only socket). Nothing for a loopback
// address, or when the machine has no such address.
std::optional<QString> networkUrl(const Endpoint &endpoint);

// "3000 · node", the plain title of a process: the command name (another user's port: the
// user's name) with tabs as spaces, anything unprintable replaced, at most 100 characters.
// Listener::title adds what tells entries of the same name apart.
QString processTitle(const Listener &process);
