#include "Processes.h"

#include <QFile>
#include <QProcess>

#include <csignal>
#include <sys/prctl.h>

namespace Platform {

std::optional<qint64> processStartTime(qint64 pid)
{
    if (pid <= 0)
        return std::nullopt;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray text = stat.read(4096);
    // "pid (comm) state ppid ...": the name may hold anything, so count fields after its
    // last ')'. The start time is field 22, the 20th after the name.
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    bool ok = false;
    const qint64 ticks = text.mid(close + 2).split(' ').value(19).toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return ticks;
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
