// Containers, through the Docker-compatible API on its unix socket (Docker or Podman).
#pragma once

#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <optional>

namespace Platform {

// A host address and port a container publishes, and the container's own port behind it.
struct PublishedPort {
    QString address; // as the API gives it: "0.0.0.0", "::", or one address
    quint16 port = 0;
    quint16 containerPort = 0;
    friend bool operator==(const PublishedPort &, const PublishedPort &) = default;
};

struct RunningContainer {
    QString id;   // the full id
    QString name; // without the leading "/"
    QString image;
    // When it started, in clock ticks since boot like a process's start time; -1 if unknown.
    qint64 startTime = -1;
    // Its published TCP ports, lowest host port first.
    QList<PublishedPort> ports;
    friend bool operator==(const RunningContainer &, const RunningContainer &) = default;
};

// The API's socket: DOCKER_HOST when it is a unix:// address (another scheme is logged once
// and passed over), /var/run/docker.sock, then $XDG_RUNTIME_DIR/docker.sock and
// $XDG_RUNTIME_DIR/podman/podman.sock: the first this user may connect to. Nothing, with the
// reason in `why`, when there is none.
std::optional<QString> containerApiSocket(QString *why);

// Every request below takes at most 2 s (a stop: the API's 10-s grace more) and gives up
// within a second once `cancel` is set. Text from the API reaches `why` printable.

// The running containers that publish a TCP port. Nothing, with the reason, when the API
// cannot be asked or answers nonsense.
std::optional<QList<RunningContainer>> runningContainers(const QString &socket, QString *why,
                                                         const std::atomic<bool> *cancel = nullptr);

// Stops the container (the API's stop: SIGTERM, SIGKILL after its grace) or kills it at once.
// True when it has ended or no longer exists.
bool endContainer(const QString &socket, const QString &id, bool gently, QString *why,
                  const std::atomic<bool> *cancel = nullptr);

// Follows the API's event stream and calls `changed` for each container that starts, stops or
// dies, until the stream ends or fails (returns why) or `cancel` is set (returns empty).
QString watchContainerEvents(const QString &socket, const std::function<void()> &changed,
                             const std::atomic<bool> &cancel);

} // namespace Platform
