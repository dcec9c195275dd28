#include "ProcessSignals.h"

#include "Processes.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <poll.h>
#include <unistd.h>
// glibc 2.36 declares these without C linkage.
extern "C" {
#include <sys/pidfd.h>
}

namespace Platform {

ProcessHandle::ProcessHandle(qint64 pid, qint64 startTime) : m_pid(pid)
{
    // kill() would take 0 and negative values for process groups (-1: every process we may
    // signal); beyond pid_t they would be cut down to such a value.
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
        fail(NotAProcessId, QStringLiteral("%1 is not a process id").arg(pid));
        return;
    }
    m_fd = ::pidfd_open(pid_t(pid), 0);
    const int error = errno;
    const std::optional<qint64> started = processStartTime(pid);
    if (m_fd < 0 && error == ENOSYS)
        fail(Failed, QStringLiteral("this kernel cannot aim a signal at one process "
                                    "(pidfd_open needs Linux 5.3 or later)"));
    else if (m_fd < 0 && error != ESRCH)
        fail(Failed, QString::fromLocal8Bit(std::strerror(error)));
    else if (m_fd < 0 || !started || startTime < 0)
        fail(Ended, QStringLiteral("it has ended"));
    else if (*started != startTime)
        fail(Reused, QStringLiteral("the id now belongs to another process"));
}

ProcessHandle::~ProcessHandle()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void ProcessHandle::fail(State state, const QString &why)
{
    m_state = state;
    m_why = why;
}

bool ProcessHandle::signal(int signal)
{
    if (m_state != Open)
        return false;
    if (::pidfd_send_signal(m_fd, signal, nullptr, 0) == 0)
        return true;
    if (errno != ESRCH) {
        fail(Failed, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // ESRCH: the process is gone and reaped, so whatever has its pid now is another.
    if (processStartTime(m_pid))
        fail(Reused, QStringLiteral("the id now belongs to another process"));
    else
        fail(Ended, QStringLiteral("it has ended"));
    return false;
}

bool ProcessHandle::hasEnded() const
{
    if (m_state != Open && m_state != Failed)
        return true;
    if (m_fd < 0)
        return false;
    // A pidfd reads as ready once its process has exited.
    pollfd ended{m_fd, POLLIN, 0};
    return ::poll(&ended, 1, 0) != 0;
}

} // namespace Platform
