#include "Scanner.h"

#include "Log.h"
#include "LsofTask.h"
#include "Paths.h"
#include "Processes.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QSettings>

std::optional<ScanEngine> chosenEngine(const QString &commandLine)
{
    const QString name = commandLine.isEmpty()
                             ? QSettings().value(QStringLiteral("scanner")).toString()
                             : commandLine;
    if (name.isEmpty() || name == QLatin1String("native"))
        return ScanEngine::Native;
    if (name == QLatin1String("lsof"))
        return ScanEngine::Lsof;
    return std::nullopt;
}

// The native engine's records as the lsof engine's would be checked: the same order and cap.
static QList<Listener> checkedRecords(const QList<NativeRecord> &records)
{
    QList<Listener> listeners;
    listeners.reserve(records.size());
    for (const NativeRecord &r : records) {
        Listener &listener = listeners.emplaceBack(); // in place, as in checkedListeners()
        for (const ListeningSocket &socket : r.sockets)
            listener.endpoints.append({socket.address, socket.port, socket.v6only});
        listener.othersPort = r.pid == 0;
        listener.pid = r.pid;
        if (!listener.othersPort)
            listener.startTime = Platform::processStartTime(r.pid).value_or(-1);
        listener.port = r.port;
        listener.command = r.command;
        listener.user = userName(r.uid);
    }
    return orderedListeners(std::move(listeners));
}

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
    // Twice a second: a new socket shows within a second at worst. A dump costs little of the
    // kernel's time when nothing changed.
    m_poll.setInterval(500);
    m_poll.setTimerType(Qt::PreciseTimer);
    connect(&m_poll, &QTimer::timeout, this, &Scanner::scanSockets);
}

void Scanner::start(ScanEngine engine)
{
    m_engine = engine;
    if (engine == ScanEngine::Native) {
        QString why;
        if (dumpListeningSockets(&why)) {
            scanSockets();
            m_poll.start();
            return;
        }
        Platform::logLine(why + QStringLiteral("; listing with lsof instead"));
        m_engine = ScanEngine::Lsof;
    }
    startLsofTask(Platform::lsofLaunchPath(), lsofArguments());
}

void Scanner::scanSockets()
{
    QString why;
    std::optional<QList<ListeningSocket>> sockets = dumpListeningSockets(&why);
    setNativeProblem(sockets ? QString() : why);
    if (!sockets)
        sockets.emplace(); // nothing is known to listen now
    // The same sockets as a second ago and no holder ended: nothing to look up in /proc. New
    // processes matter only as workers forked onto a socket already listed, so they are looked
    // at every few seconds: on a busy machine processes start all the time. Now and then every
    // process all the same, for what none of this shows: an older process handed a socket, or
    // one that closed its copy of a shared socket.
    const bool full = ++m_scansSinceFullPass >= m_fullPassEvery || !m_lastRecords;
    const bool newProcesses = ++m_scansSinceLook >= newProcessesEvery && m_owners.processStarted();
    if (!full && sockets == m_lastSockets && !newProcesses && !m_owners.holderEnded())
        return;
    m_scansSinceLook = 0;
    if (full)
        m_scansSinceFullPass = 0;
    m_lastSockets = sockets;
    QList<NativeRecord> records = listListeningProcesses(m_owners, *sockets, full);
    if (m_lastRecords == records)
        return;
    m_processes = checkedRecords(records);
    m_lastRecords = std::move(records);
    Q_EMIT processesChanged(m_processes);
}

void Scanner::setNativeProblem(const QString &problem)
{
    if (problem == m_nativeProblem)
        return;
    m_nativeProblem = problem;
    Q_EMIT problemChanged(problem);
}

void Scanner::startLsofTask(const QString &launchPath, const QStringList &arguments)
{
    m_engine = ScanEngine::Lsof;
    m_poll.stop();
    m_task->start(launchPath, arguments);
}

void Scanner::stop()
{
    m_poll.stop();
    m_task->terminate();
}

QString Scanner::problem() const
{
    return m_engine == ScanEngine::Native ? m_nativeProblem : m_task->problem();
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
    std::optional<QList<ListeningProcess>> records = parseListeningProcesses(listing);
    if (!records || records == m_records)
        return;
    m_processes = checkedListeners(*records);
    m_records = std::move(records);
    Q_EMIT processesChanged(m_processes);
}

std::optional<QList<Listener>> listSocketsOnce(QString *why)
{
    SocketOwners owners;
    const std::optional<QList<NativeRecord>> records = listListeningProcesses(owners, why);
    if (!records)
        return std::nullopt;
    return checkedRecords(*records);
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
    const std::optional<QList<ListeningProcess>> records = parseListeningProcesses(output);
    if (!records)
        return fail(QStringLiteral("lsof's output is not UTF-8"));
    return checkedListeners(*records);
}
