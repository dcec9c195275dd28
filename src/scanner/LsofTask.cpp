#include "LsofTask.h"

#include "Log.h"
#include "Processes.h"

#include <algorithm>
#include <utility>

QStringList lsofArguments()
{
    return {QStringLiteral("-iTCP"), QStringLiteral("-sTCP:LISTEN"),
            QStringLiteral("-P"),    QStringLiteral("-n"),
            QStringLiteral("-r"),    QStringLiteral("3"),
            QStringLiteral("+c"),    QStringLiteral("0"),
            QStringLiteral("-F"),    QStringLiteral("c"),
            QStringLiteral("-F"),    QStringLiteral("n"),
            QStringLiteral("-F"),    QStringLiteral("p"),
            QStringLiteral("-nPM")};
}

LsofTask::LsofTask(QObject *parent) : QObject(parent), m_process(new QProcess(this))
{
    m_restart.setSingleShot(true);
    connect(&m_restart, &QTimer::timeout, this, &LsofTask::launch);
    // Two repeat intervals and a margin for lsof's own run.
    m_watchdog.setSingleShot(true);
    m_watchdog.setInterval(10000);
    connect(&m_watchdog, &QTimer::timeout, this, [this] {
        if (m_process->state() == QProcess::NotRunning)
            return;
        m_stalled = true;
        m_process->kill();
    });
    connect(m_process, &QProcess::started, &m_watchdog, qOverload<>(&QTimer::start));
    connect(m_process, &QProcess::readyReadStandardOutput, this, &LsofTask::readyRead);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            failed(
                QStringLiteral("cannot start %1: %2").arg(m_launchPath, m_process->errorString()));
    });
    connect(m_process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        if (m_stopped)
            return;
        // Whatever it wrote last still counts.
        if (m_process->bytesAvailable() > 0)
            Q_EMIT readyRead();
        if (std::exchange(m_stalled, false)) {
            failed(QStringLiteral("the list is out of date: lsof sent no listing for %1 s")
                       .arg(m_watchdog.interval() / 1000.0));
        } else {
            failed(status == QProcess::CrashExit
                       ? QStringLiteral("lsof ended by a signal")
                       : QStringLiteral("lsof ended with exit status %1").arg(code));
        }
    });
}

LsofTask::~LsofTask()
{
    terminate();
}

void LsofTask::start(const QString &launchPath, const QStringList &arguments)
{
    m_launchPath = launchPath;
    m_arguments = arguments;
    m_stopped = false;
    m_delayMs = m_firstDelayMs;
    launch();
}

void LsofTask::launch()
{
    if (m_stopped || m_process->state() != QProcess::NotRunning)
        return;
    m_stalled = false;
    m_process->setProgram(m_launchPath);
    m_process->setArguments(m_arguments);
    // Nobody reads its complaints, and a full pipe would stall it.
    m_process->setStandardErrorFile(QProcess::nullDevice());
    m_process->setStandardInputFile(QProcess::nullDevice());
    Platform::endWithParent(*m_process);
    m_process->start(QIODevice::ReadOnly);
}

void LsofTask::failed(const QString &why)
{
    m_watchdog.stop();
    Q_EMIT ended();
    if (m_stopped)
        return;
    const int delay = m_delayMs;
    m_delayMs = qMin(m_delayMs * 2, m_maxDelayMs);
    Platform::logLine(why + QStringLiteral("; starting it again in %1 s").arg(delay / 1000.0));
    setProblem(why);
    m_restart.start(delay);
}

void LsofTask::listingArrived()
{
    if (m_watchdog.isActive())
        m_watchdog.start();
    m_delayMs = m_firstDelayMs;
    setProblem({});
}

void LsofTask::setRestartDelays(int firstMs, int maxMs)
{
    m_firstDelayMs = firstMs;
    m_maxDelayMs = maxMs;
    m_delayMs = firstMs;
}

void LsofTask::terminate()
{
    m_stopped = true;
    m_restart.stop();
    m_watchdog.stop();
    if (m_process->state() == QProcess::NotRunning)
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(2000)) {
        m_process->kill();
        m_process->waitForFinished(2000);
    }
}

void LsofTask::setProblem(const QString &problem)
{
    if (problem == m_problem)
        return;
    m_problem = problem;
    Q_EMIT problemChanged(problem);
}
