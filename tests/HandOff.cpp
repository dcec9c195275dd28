// Test builds only, linked in front of the C library: right before a signal goes through a
// pidfd, hands a pid to a bystander, as a pid freed and taken again between a check and a kill
// would be. AMBREL_HAND_OFF="<signal> <pid>" names the signal to act on and the pid. Needs a pid
// namespace of the test's own (unshare --pid --fork --mount-proc), where the next pid can be
// chosen, and a parent that reaps the pid's process. The bystander, sleep, is the caller's child.
// Pid 0 refuses the signal instead; pid -1 takes it and delivers nothing, as to a process stuck
// in the kernel.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" int pidfd_send_signal(int pidfd, int sig, siginfo_t *info, unsigned int flags)
{
    int on = 0, pid = 0;
    if (const char *to = std::getenv("AMBREL_HAND_OFF");
        to && std::sscanf(to, "%d %d", &on, &pid) == 2 && on == sig) {
        if (pid <= 0)
            return pid ? 0 : (errno = EPERM, -1);
        ::kill(pid, SIGKILL);
        for (int i = 0; i < 5000 && ::kill(pid, 0) == 0; ++i)
            ::usleep(1000);
        if (FILE *f = std::fopen("/proc/sys/kernel/ns_last_pid", "w"))
            std::fprintf(f, "%d", pid - 1), std::fclose(f);
        if (::fork() == 0)
            ::execlp("sleep", "sleep", "1000", nullptr), ::_exit(127);
    }
    return int(::syscall(SYS_pidfd_send_signal, pidfd, sig, info, flags));
}
