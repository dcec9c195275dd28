#include "CommandLine.h"

#include "ContainerPorts.h"
#include "Log.h"
#include "ProcessStop.h"
#include "Processes.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

QByteArray listingJson(const QList<Listener> &processes)
{
    QJsonArray list;
    for (const Listener &process : processes) {
        QJsonArray ports;
        for (const Endpoint &endpoint : process.endpoints) {
            const std::optional<QString> network = networkUrl(endpoint);
            ports.append(QJsonObject{
                {QStringLiteral("address"), endpoint.address},
                {QStringLiteral("port"), endpoint.port},
                {QStringLiteral("family"), family(endpoint)},
                {QStringLiteral("exposure"), exposureText(exposure(endpoint))},
                {QStringLiteral("localUrl"), localUrl(process, endpoint.port)},
                {QStringLiteral("networkUrl"), network ? QJsonValue(*network) : QJsonValue()}});
        }
        QJsonObject object{{QStringLiteral("user"), process.user},
                           {QStringLiteral("ports"), ports}};
        if (process.othersPort) {
            list.append(object);
            continue;
        }
        object.insert(QStringLiteral("pid"), process.pid);
        object.insert(QStringLiteral("command"), process.command);
        object.insert(QStringLiteral("cwd"), Platform::processWorkingFolder(process.pid));
        if (process.startTime >= 0) {
            const QDateTime started = QDateTime::currentDateTimeUtc().addSecs(
                -Platform::secondsSinceStart(process.startTime));
            object.insert(QStringLiteral("startTime"), started.toString(Qt::ISODate));
        }
        if (const auto &c = process.container) {
            object.remove(QStringLiteral("pid"));
            object.insert(QStringLiteral("container"),
                          QJsonObject{{QStringLiteral("id"), c->id},
                                      {QStringLiteral("name"), c->name},
                                      {QStringLiteral("image"), c->image},
                                      {QStringLiteral("port"), c->port}});
        }
        list.append(object);
    }
    return QJsonDocument(list).toJson(QJsonDocument::Indented);
}

int endProcessOnPort(const QList<Listener> &processes, qint64 port, bool gently)
{
    const auto say = [](const QString &line) {
        std::fprintf(stderr, "ambrel: %s\n", Platform::printable(line).toUtf8().constData());
    };
    bool found = false;
    bool failed = false;
    QList<std::pair<qint64, qint64>> sharers;
    for (const Listener &process : processes) {
        if (process.port != port &&
            std::none_of(process.endpoints.cbegin(), process.endpoints.cend(),
                         [port](const Endpoint &e) { return e.port == port; }))
            continue;
        found = true;
        if (process.othersPort) {
            say(QStringLiteral("port %1 is held by a process of user %2; Ambrel cannot end it")
                    .arg(port)
                    .arg(process.user));
            failed = true;
            continue;
        }
        if (const auto &c = process.container) {
            QString why;
            if (!endContainerNow(c->id, gently, &why)) {
                say(QStringLiteral("could not end container %1 on port %2: %3")
                        .arg(c->name)
                        .arg(port)
                        .arg(why));
                failed = true;
            }
            continue;
        }
        sharers.append({process.pid, process.startTime});
    }
    if (!found) {
        say(QStringLiteral("nothing listens on port %1").arg(port));
        return 1;
    }
    const QList<KillResult> results = stopListedProcesses(sharers, gently ? 3000 : 0);
    for (qsizetype i = 0; i < results.size(); ++i) {
        // A process that ended meanwhile, and left its pid to another, is gone all the same.
        if (results[i].outcome == KillResult::Failed ||
            results[i].outcome == KillResult::NotAProcessId) {
            say(QStringLiteral("could not end process %1 on port %2: %3")
                    .arg(sharers[i].first)
                    .arg(port)
                    .arg(results[i].why));
            failed = true;
        }
    }
    return failed ? 2 : 0;
}
