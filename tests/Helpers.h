// What several tests share: capturing our own output, lsof listings, real child processes.
#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>
#include <QTemporaryFile>

#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <utility>

// Catches what the code under test writes to one of our own file descriptors.
class FdCapture {
public:
    explicit FdCapture(int fd) : m_fd(fd), m_saved((m_file.open(), std::fflush(nullptr), dup(fd)))
    {
        dup2(m_file.handle(), fd);
    }
    ~FdCapture() { release(); }
    // Restores the descriptor and returns everything written to it.
    QByteArray release()
    {
        if (m_saved >= 0) {
            std::fflush(nullptr);
            dup2(m_saved, m_fd);
            close(std::exchange(m_saved, -1));
        }
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    QTemporaryFile m_file;
    int m_fd, m_saved;
};

// A file's bytes, none if it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A listing of (pid, port) pairs as lsof writes it, each command named after its port.
inline QByteArray listing(const QList<std::pair<qint64, qint64>> &processes)
{
    QByteArray bytes;
    for (const auto &[pid, port] : processes)
        bytes += QStringLiteral("p%1\ncp%2\nn*:%2\n").arg(pid).arg(port).toUtf8();
    return bytes + "m\n";
}

// A child that sleeps until it is killed or the test ends.
inline std::unique_ptr<QProcess> sleeper()
{
    auto p = std::make_unique<QProcess>();
    p->start(QStringLiteral("sleep"), {QStringLiteral("1000")});
    p->waitForStarted();
    return p;
}

// Whether the child ended by this signal (the event loop may have seen it end already).
inline bool endedBy(QProcess &p, int signal)
{
    return (p.state() == QProcess::NotRunning || p.waitForFinished(5000)) &&
           p.exitStatus() == QProcess::CrashExit && p.exitCode() == signal;
}

// The texts of Ambrel's log lines among what reached standard error.
inline QStringList logLines(const QByteArray &stderrText)
{
    const QString prefix = QStringLiteral("ambrel[%1]: ").arg(QCoreApplication::applicationPid());
    return QString::fromUtf8(stderrText).split(u'\n').filter(prefix).replaceInStrings(prefix, u"");
}
