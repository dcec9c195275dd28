#include "CommandLine.h"

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
    for (const Listener &process : processes) {
        const bool listens = process.port == port ||
                             std::any_of(process.endpoints.cbegin(), process.endpoints.cend(),
                                         [port](const Endpoint &e) { return e.port == port; });
        if (!listens)
            continue;
        found = true;
        if (process.othersPort) {
            say(QStringLiteral("port %1 is held by a process of user %2; Ambrel cannot end it")
                    .arg(port)
                    .arg(process.user));
            failed = true;
            continue;
        }
        const KillResult result =
            stopListedProcess(process.pid, process.startTime, gently ? 3000 : 0);
        if (result.outcome != KillResult::Killed && result.outcome != KillResult::Ended) {
            say(QStringLiteral("could not end process %1 on port %2: %3")
                    .arg(process.pid)
                    .arg(port)
                    .arg(result.why));
            failed = true;
        }
    }
    if (!found)
        say(QStringLiteral("nothing listens on port %1").arg(port));
    return !found ? 1 : failed ? 2 : 0;
}
