#include "ContainerPorts.h"

#include "Log.h"
#include "Scanner.h"

#include <QSet>
#include <QThread>

#include <algorithm>

namespace {

// What holds a published port on the host for Docker and Podman, rootful or rootless. Without
// the userland proxy the daemon itself holds the port, and a kill meant for the container
// must never reach it.
bool isProxy(const Listener &process)
{
    static const QStringList proxies = {
        QStringLiteral("docker-proxy"), QStringLiteral("dockerd"), QStringLiteral("rootlesskit"),
        QStringLiteral("rootlessport"), QStringLiteral("conmon"),  QStringLiteral("slirp4netns")};
    return process.othersPort || proxies.contains(process.command);
}

Listener entry(const Platform::RunningContainer &c)
{
    Listener l;
    l.startTime = c.startTime;
    l.port = c.ports.first().port;
    l.command = c.name;
    for (const Platform::PublishedPort &p : c.ports) {
        const Endpoint endpoint{p.address, p.port};
        if (!l.endpoints.contains(endpoint))
            l.endpoints.append(endpoint);
    }
    l.container = Listener::Container{c.id, c.name, c.image, c.ports.first().containerPort};
    l.title = processTitle(l);
    return l;
}

} // namespace

QList<Listener> withContainers(const QList<Listener> &processes,
                               QList<Platform::RunningContainer> containers)
{
    QSet<qint64> published;
    for (const Platform::RunningContainer &c : containers) {
        for (const Platform::PublishedPort &p : c.ports)
            published.insert(p.port);
    }
    QList<Listener> merged;
    merged.reserve(processes.size() + containers.size());
    // A proxy loses the published ports to their containers, and goes when none is left: a
    // daemon that also serves its API on a port stays, but never for a container's port.
    for (Listener process : processes) {
        if (isProxy(process)) {
            const qint64 port = process.port;
            process.endpoints.removeIf(
                [&](const Endpoint &e) { return published.contains(e.port); });
            if (process.endpoints.isEmpty() && published.contains(port))
                continue;
            if (!process.endpoints.isEmpty() && published.contains(port)) {
                process.port = process.endpoints.first().port;
                if (!process.title.isEmpty())
                    process.title.replace(0, QString::number(port).size(),
                                          QString::number(process.port));
            }
        }
        merged.append(process);
    }
    // Each before the first entry that started earlier, so that the processes keep their order.
    std::stable_sort(containers.begin(), containers.end(),
                     [](const auto &a, const auto &b) { return a.startTime > b.startTime; });
    qsizetype at = 0;
    for (const Platform::RunningContainer &c : containers) {
        if (c.ports.isEmpty())
            continue;
        while (at < merged.size() && merged[at].startTime >= c.startTime)
            ++at;
        merged.insert(at++, entry(c));
    }
    return merged;
}

QList<Listener> withContainersOnce(const QList<Listener> &processes)
{
    QString why;
    const std::optional<QString> socket = Platform::containerApiSocket(&why);
    std::optional<QList<Platform::RunningContainer>> containers;
    if (socket)
        containers = Platform::runningContainers(*socket, &why);
    if (!why.isEmpty())
        Platform::logLine(why);
    return containers ? withContainers(processes, *containers) : processes;
}

bool endContainerNow(const QString &id, bool gently, QString *why, const std::atomic<bool> *cancel)
{
    const std::optional<QString> socket = Platform::containerApiSocket(why);
    if (!socket && why->isEmpty())
        *why = QStringLiteral("no container API socket is left");
    return socket && Platform::endContainer(*socket, id, gently, why, cancel);
}

ContainerPorts::ContainerPorts(Scanner *scanner, QObject *parent) : QObject(parent)
{
    m_processes = scanner->processes();
    connect(scanner, &Scanner::processesChanged, this, &ContainerPorts::processesArrived);
}

ContainerPorts::~ContainerPorts()
{
    stop();
    for (QThread *thread : std::as_const(m_threads)) {
        thread->wait();
        delete thread;
    }
    // After every worker's last arrival, also of those that ended by themselves.
    const std::lock_guard lock(m_arrivalsLock);
}

// A thread each, not a pool: its start and end are the hand-overs that ThreadSanitizer sees,
// and the event stream, a query and a stop may all be under way at once.
void ContainerPorts::spawn(std::function<void()> work)
{
    QThread *thread = QThread::create(std::move(work));
    m_threads.append(thread);
    connect(thread, &QThread::finished, this, [this, thread] {
        m_threads.removeOne(thread);
        thread->deleteLater();
    });
    thread->start();
}

void ContainerPorts::arrive(std::function<void()> result)
{
    // A worker's last touch of this object, under the lock that the destructor takes last.
    const std::lock_guard lock(m_arrivalsLock);
    m_arrivals.append(std::move(result));
    QMetaObject::invokeMethod(this, "takeArrivals", Qt::QueuedConnection);
}

void ContainerPorts::takeArrivals()
{
    QList<std::function<void()>> arrived;
    {
        const std::lock_guard lock(m_arrivalsLock);
        arrived.swap(m_arrivals);
    }
    for (const std::function<void()> &result : std::as_const(arrived))
        result();
}

void ContainerPorts::start()
{
    m_cancel = false;
    publish();
    query();
}

void ContainerPorts::stop()
{
    m_cancel = true;
}

void ContainerPorts::processesArrived(const QList<Listener> &processes)
{
    m_processes = processes;
    QList<Endpoint> proxySockets;
    for (const Listener &process : processes) {
        if (isProxy(process))
            proxySockets += process.endpoints;
    }
    if (proxySockets != m_proxySockets && !m_cancel) {
        m_proxySockets = proxySockets;
        query();
    }
    publish();
}

void ContainerPorts::query()
{
    if (std::exchange(m_querying, true)) {
        m_queryAgain = true;
        return;
    }
    spawn([this] {
        QString why;
        const std::optional<QString> socket = Platform::containerApiSocket(&why);
        std::optional<QList<Platform::RunningContainer>> containers;
        if (socket)
            containers = Platform::runningContainers(*socket, &why, &m_cancel);
        arrive([this, socket, containers, why] { containersArrived(socket, containers, why); });
    });
}

void ContainerPorts::containersArrived(
    const std::optional<QString> &socket,
    const std::optional<QList<Platform::RunningContainer>> &containers, const QString &why)
{
    m_querying = false;
    m_containers = containers.value_or(QList<Platform::RunningContainer>());
    const QString problem = containers ? QString()
                            : why.isEmpty()
                                ? QStringLiteral("no container API socket; containers' ports show "
                                                 "as their proxies")
                                : why;
    // Said once, not at every change of the sockets.
    if (!problem.isEmpty() && problem != m_problem)
        Platform::logLine(problem);
    m_problem = problem;
    if (containers && !m_watching && !m_cancel) {
        m_watching = true;
        m_watchStarted.start();
        spawn([this, socket = *socket] {
            const QString ended = Platform::watchContainerEvents(
                socket, [this] { arrive([this] { query(); }); }, m_cancel);
            arrive([this, ended] { watchEnded(ended); });
        });
    }
    publish();
    if (std::exchange(m_queryAgain, false) && !m_cancel)
        query();
}

void ContainerPorts::watchEnded(const QString &why)
{
    m_watching = false;
    if (why.isEmpty())
        return;
    Platform::logLine(why);
    // The daemon stopped or restarted, and its containers with it: asking again restarts the
    // watch if it is back. A stream refused at once waits for the next change instead; the
    // listing it came with still holds.
    if (m_watchStarted.elapsed() > 5000 && !m_cancel)
        query();
}

void ContainerPorts::endContainer(const QString &id, bool gently,
                                  const std::function<void(bool, const QString &)> &done)
{
    spawn([this, id, gently, done] {
        QString why;
        const bool ended = endContainerNow(id, gently, &why, &m_cancel);
        // The event stream and the proxies' sockets tell the list that it went.
        arrive([ended, why, done] { done(ended, why); });
    });
}

void ContainerPorts::publish()
{
    QList<Listener> merged = withContainers(m_processes, m_containers);
    if (m_shown && merged == m_listeners)
        return;
    m_shown = true;
    m_listeners = std::move(merged);
    Q_EMIT listenersChanged(m_listeners);
}
