// The ports that containers publish, named after their containers rather than their proxies.
#pragma once

#include "Containers.h"
#include "ListeningProcess.h"

#include <QElapsedTimer>
#include <QObject>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>

class QThread;
class Scanner;

// The processes with one entry per container that publishes a TCP port (pid 0, its first
// published port, every published address whether or not a proxy listens on it) in place of
// the proxy processes on those ports, placed by start time.
QList<Listener> withContainers(const QList<Listener> &processes,
                               QList<Platform::RunningContainer> containers);

// For the command line: the processes with the containers the API lists now (the processes
// alone, with one log line, when it cannot be asked), and ending one container by its id.
QList<Listener> withContainersOnce(const QList<Listener> &processes);
bool endContainerNow(const QString &id, bool gently, QString *why,
                     const std::atomic<bool> *cancel = nullptr);

// Keeps the scanner's list merged with the running containers. The API is asked off this
// thread, only when the proxies' sockets change or its event stream tells of a container that
// started or ended, never on a timer.
class ContainerPorts : public QObject {
    Q_OBJECT
public:
    explicit ContainerPorts(Scanner *scanner, QObject *parent = nullptr);
    ~ContainerPorts() override;

    void start();
    // Gives up every request within a second.
    void stop();
    const QList<Listener> &listeners() const { return m_listeners; }

    // Stops (the API's stop and its grace) or kills the container with this id, off this
    // thread; `done` learns here whether it ended, and why not.
    void endContainer(const QString &id, bool gently,
                      const std::function<void(bool ended, const QString &why)> &done);

Q_SIGNALS:
    void listenersChanged(const QList<Listener> &listeners);

private:
    // Runs the work on a thread of its own, which only reaches this object through arrive().
    void spawn(std::function<void()> work);
    // Hands a result from a worker to this object's thread.
    void arrive(std::function<void()> result);
    Q_INVOKABLE void takeArrivals();
    void processesArrived(const QList<Listener> &processes);
    void query();
    void containersArrived(const std::optional<QString> &socket,
                           const std::optional<QList<Platform::RunningContainer>> &containers,
                           const QString &why);
    void watchEnded(const QString &why);
    void publish();

    QList<QThread *> m_threads;
    std::mutex m_arrivalsLock;
    QList<std::function<void()>> m_arrivals;
    std::atomic<bool> m_cancel{false};
    QList<Listener> m_processes;
    QList<Platform::RunningContainer> m_containers;
    // The addresses of what may be a container's proxy: a change is worth asking the API about.
    QList<Endpoint> m_proxySockets;
    bool m_querying = false;
    bool m_queryAgain = false;
    bool m_watching = false;
    QElapsedTimer m_watchStarted;
    std::optional<QString> m_problem;
    bool m_shown = false;
    QList<Listener> m_listeners;
};
