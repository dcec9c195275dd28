#include "Scanner.h"

#include "LsofTask.h"

#include <QDeadlineTimer>
#include <QProcess>

Scanner::Scanner(QObject *parent) : QObject(parent), m_task(new LsofTask(this))
{
    connect(m_task, &LsofTask::readyRead, this,
            [this] { handleLsofOutput(m_task->process()->readAllStandardOutput()); });
    connect(m_task, &LsofTask::ended, this, [this] {
        // A partial listing of the child that ended is never completed; the list empties once.
        m_listings.clear();
        applyListing({});
    });
    connect(m_task, &LsofTask::problemChanged, this, &Scanner::problemChanged);
}

void Scanner::startLsofTask(const QString &launchPath, const QStringList &arguments)
{
    m_task->start(launchPath, arguments);
}

void Scanner::stop()
{
    m_task->terminate();
}

QString Scanner::problem() const
{
    return m_task->problem();
}

void Scanner::handleLsofOutput(QByteArrayView bytes)
{
    const std::optional<QByteArray> listing = m_listings.append(bytes);
    if (!listing)
        return;
    m_task->listingArrived();
    applyListing(*listing);
}

void Scanner::applyListing(QByteArrayView listing)
{
    if (m_lastListing && *m_lastListing == listing)
        return;
    m_lastListing = listing.toByteArray();
    std::optional<QStringList> lines = splitLsofChunk(listing);
    if (!lines || *lines == m_lsof)
        return;
    m_processes = checkedListeners(parseListeningProcesses(*lines));
    m_lsof = std::move(*lines);
    Q_EMIT processesChanged(m_processes);
}

std::optional<QList<Listener>> listOnce(const QString &launchPath, QString *why, int deadlineMs)
{
    QStringList arguments = lsofArguments();
    arguments.removeAt(arguments.indexOf(QStringLiteral("-r")) + 1);
    arguments.removeOne(QStringLiteral("-r"));
    QProcess lsof;
    lsof.setStandardErrorFile(QProcess::nullDevice());
    lsof.setStandardInputFile(QProcess::nullDevice());
    lsof.start(launchPath, arguments, QIODevice::ReadOnly);
    const QDeadlineTimer deadline(deadlineMs);
    const auto fail = [&](const QString &reason) {
        lsof.kill();
        lsof.waitForFinished();
        *why = reason;
        return std::nullopt;
    };
    if (!lsof.waitForStarted(int(deadline.remainingTime())))
        return fail(QStringLiteral("cannot start %1: %2").arg(launchPath, lsof.errorString()));
    QByteArray output;
    for (;;) {
        output += lsof.readAllStandardOutput();
        if (output.size() > LsofListingBuffer::defaultLimit)
            return fail(QStringLiteral("lsof wrote more than %1 bytes")
                            .arg(LsofListingBuffer::defaultLimit));
        if (lsof.state() == QProcess::NotRunning && lsof.bytesAvailable() == 0)
            break;
        if (deadline.hasExpired())
            return fail(QStringLiteral("lsof did not finish within %1 s").arg(deadlineMs / 1000.0));
        const int left = int(qMax<qint64>(1, deadline.remainingTime()));
        // A closed output with the child still running must not become a busy loop.
        if (!lsof.waitForReadyRead(left) && lsof.state() != QProcess::NotRunning)
            lsof.waitForFinished(left);
    }
    // lsof's status is 1 when nothing listens; anything worse is a failure.
    if (lsof.exitStatus() != QProcess::NormalExit || lsof.exitCode() > 1)
        return fail(QStringLiteral("%1 failed").arg(launchPath));
    const std::optional<QStringList> lines = splitLsofChunk(output);
    if (!lines)
        return fail(QStringLiteral("lsof's output is not UTF-8"));
    return checkedListeners(parseListeningProcesses(*lines));
}
