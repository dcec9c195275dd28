// The processes that listen on a TCP port, as a listing names them and as Ambrel shows them.
#pragma once

#include <QList>
#include <QString>

// One process listening on a TCP port, as lsof reported it: text, unchecked.
class ListeningProcess {
public:
    ListeningProcess(QString pid, QString port, QString cmd)
        : m_pid(std::move(pid)), m_port(std::move(port)), m_cmd(std::move(cmd))
    {}

    const QString &pid() const { return m_pid; }
    const QString &port() const { return m_port; }
    const QString &cmd() const { return m_cmd; }

    friend bool operator==(const ListeningProcess &, const ListeningProcess &) = default;

private:
    QString m_pid;
    QString m_port;
    QString m_cmd;
};

// A checked record: a real process id and port, and when the process started, which with the
// pid names that one process for good (-1: it had already ended when it was checked).
struct Listener {
    qint64 pid = 0;
    qint64 startTime = -1;
    qint64 port = 0;
    QString command;

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

// The records that name a real pid and port, checked and in the order Ambrel shows them: the
// reverse of the listing's, newest processes first. Past maxListeners the rest are left out
// with one log line.
QList<Listener> checkedListeners(const QList<ListeningProcess> &records);

// "3000 · node", the one title of a process wherever it is shown: the command name with tabs
// as spaces, anything unprintable replaced, at most 100 characters.
QString processTitle(const Listener &process);
