#include "Processes.h"

#include <QFile>
#include <QProcess>

#include <csignal>
#include <ctime>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Platform {

// The fields of /proc/<pid>/stat after the name: state first, the start time 20th.
static QList<QByteArray> statFields(qint64 pid)
{
    if (pid <= 0)
        return {};
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.read(4096);
    // "pid (comm) state ppid ...": the name may hold anything, so count after its last ')'.
    const qsizetype close = text.lastIndexOf(')');
    return close < 0 ? QList<QByteArray>() : text.mid(close + 2).split(' ');
}

std::optional<qint64> processStartTime(qint64 pid)
{
    bool ok = false;
    const qint64 ticks = statFields(pid).value(19).toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return ticks;
}

bool processIsRunning(qint64 pid, qint64 startTime)
{
    const QList<QByteArray> fields = statFields(pid);
    return fields.size() > 19 && fields[19].toLongLong() == startTime && fields[0] != "Z" &&
           fields[0] != "X";
}

qint64 secondsSinceStart(qint64 startTime)
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return qMax<qint64>(0, now.tv_sec - startTime / sysconf(_SC_CLK_TCK));
}

QString processCommandLine(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray text = file.read(qint64(64) * 1024);
    if (text.endsWith('\0'))
        text.chop(1);
    return QString::fromUtf8(text.replace('\0', ' '));
}

QString processWorkingFolder(qint64 pid)
{
    return QFile::symLinkTarget(QStringLiteral("/proc/%1/cwd").arg(pid));
}

std::optional<qint64> peerProcess(qintptr socket)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(int(socket), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0)
        return std::nullopt;
    return peer.pid;
}

void endWithParent(QProcess &child)
{
    child.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

bool startDetached(const QString &program)
{
    return QProcess::startDetached(program, {});
}

} // namespace Platform
