#include "ListeningProcess.h"

#include "ListeningSockets.h"
#include "Log.h"
#include "Network.h"
#include "Processes.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>

std::optional<qint64> positiveDecimal(const QString &text)
{
    qsizetype i = 0;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    if (i == text.size())
        return std::nullopt;
    for (qsizetype j = i; j < text.size(); ++j) {
        if (text[j] < u'0' || text[j] > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (!ok || value <= 0)
        return std::nullopt;
    return value;
}

QList<Listener> checkedListeners(const QList<ListeningProcess> &records)
{
    QList<Listener> checked;
    for (const ListeningProcess &record : records) {
        const std::optional<qint64> pid = positiveDecimal(record.pid());
        const std::optional<qint64> port = positiveDecimal(record.port());
        if (!pid || !port)
            continue;
        QList<Endpoint> endpoints;
        for (const QString &name : record.names()) {
            // "host:port", an IPv6 host in brackets.
            const qsizetype colon = name.lastIndexOf(u':');
            const std::optional<qint64> number = positiveDecimal(name.mid(colon + 1));
            QString host = name.left(colon);
            if (host.startsWith(u'[') && host.endsWith(u']'))
                host = host.mid(1, host.size() - 2);
            const Endpoint endpoint{host, number.value_or(0)};
            if (colon > 0 && number && !endpoints.contains(endpoint))
                endpoints.append(endpoint);
        }
        // Made in place: GCC 12 at -O3 sees a moved-from std::optional as uninitialized.
        Listener &listener = checked.emplaceBack();
        listener.pid = *pid;
        listener.startTime = Platform::processStartTime(*pid).value_or(-1);
        listener.port = *port;
        listener.command = record.cmd();
        listener.endpoints = endpoints;
    }
    checked = orderedListeners(std::move(checked));
    for (Listener &listener : checked) {
        if (const std::optional<quint32> uid = processUid(listener.pid))
            listener.user = userName(*uid);
    }
    return checked;
}

// What the command line adds to the command's name: the script or module it runs, with the
// word after it ("manage.py runserver", "http.server", "server.js").
static QString scriptOf(const QStringList &arguments)
{
    QString script;
    qsizetype next = arguments.size();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("-m") && i + 1 < arguments.size()) {
            script = arguments[i + 1];
            next = i + 2;
            break;
        }
        if (arguments[i] == QLatin1String("-c") || arguments[i] == QLatin1String("-e"))
            break; // code, no script
        if (!arguments[i].startsWith(u'-')) {
            script = arguments[i].section(u'/', -1);
            next = i + 1;
            break;
        }
    }
    static const QRegularExpression word(QStringLiteral("^[A-Za-z][A-Za-z0-9_:-]*$"));
    if (!script.isEmpty() && next < arguments.size() && word.match(arguments[next]).hasMatch())
        script += u' ' + arguments[next];
    return script;
}

// Adds to each name that others share what tells them apart, one step at a time: the script,
// then the working folder's name, then the pid; a name no other shares stays as it is.
static void tellApart(const QList<Listener> &listeners, const QList<qsizetype> &same,
                      QStringList &names, int step)
{
    QHash<QString, QList<qsizetype>> byName;
    for (const qsizetype i : same)
        byName[names[i]].append(i);
    for (const QList<qsizetype> &group : std::as_const(byName)) {
        if (group.size() < 2 || step > 2)
            continue;
        for (const qsizetype i : group) {
            const qint64 pid = listeners[i].pid;
            const QString part = step == 0   ? scriptOf(processArguments(pid))
                                 : step == 1 ? Platform::processWorkingFolder(pid).section(
                                                   u'/', -1, -1, QString::SectionSkipEmpty)
                                             : QStringLiteral("pid %1").arg(pid);
            if (!part.isEmpty())
                names[i] += step == 0 ? u' ' + part : QStringLiteral(" (") + part + u')';
        }
        tellApart(listeners, group, names, step + 1);
    }
}

static QString titleText(qint64 port, QString name)
{
    // Enough for any real command name; a longer one would take seconds to lay out each time
    // the menu opens.
    constexpr qsizetype longest = 100;
    name.replace(u'\t', u' ');
    name = Platform::printable(name);
    if (name.size() > longest) {
        name.truncate(name.at(longest - 1).isHighSurrogate() ? longest - 1 : longest);
        name += u'…';
    }
    return QString::number(port) + QStringLiteral(" · ") + name;
}

QList<Listener> orderedListeners(QList<Listener> listeners)
{
    std::stable_sort(listeners.begin(), listeners.end(), [](const Listener &a, const Listener &b) {
        if (a.othersPort != b.othersPort)
            return b.othersPort;
        if (a.othersPort)
            return a.port < b.port;
        return std::pair(a.startTime, a.pid) > std::pair(b.startTime, b.pid);
    });
    if (listeners.size() > maxListeners) {
        Platform::logLine(QStringLiteral("%1 listening processes; the menu shows the first %2")
                              .arg(listeners.size())
                              .arg(maxListeners));
        listeners.resize(maxListeners);
    }
    QStringList names;
    QList<qsizetype> processes;
    for (qsizetype i = 0; i < listeners.size(); ++i) {
        names.append(listeners[i].othersPort ? listeners[i].user : listeners[i].command);
        if (!listeners[i].othersPort)
            processes.append(i);
    }
    tellApart(listeners, processes, names, 0);
    for (qsizetype i = 0; i < listeners.size(); ++i)
        listeners[i].title = titleText(listeners[i].port, names[i]);
    return listeners;
}

Exposure exposure(const Endpoint &endpoint)
{
    const QString &a = endpoint.address;
    if (a == QLatin1String("::") && endpoint.v6only)
        return Exposure::AllIpv6Networks;
    if (a == QLatin1String("*") || a == QLatin1String("0.0.0.0") || a == QLatin1String("::"))
        return Exposure::AllNetworks;
    if (a.startsWith(QLatin1String("127.")) || a == QLatin1String("::1") ||
        a.startsWith(QLatin1String("::ffff:127.")) || a == QLatin1String("localhost"))
        return Exposure::ThisMachine;
    return Exposure::OneAddress;
}

QString exposureText(Exposure exposure)
{
    static const QString words[] = {
        QStringLiteral("this machine only"), QStringLiteral("all networks"),
        QStringLiteral("this address's network"), QStringLiteral("all IPv6 networks")};
    return words[int(exposure)];
}

QString family(const Endpoint &endpoint)
{
    return endpoint.address == QLatin1String("*") ? QStringLiteral("any")
           : endpoint.address.contains(u':')      ? QStringLiteral("ipv6")
                                                  : QStringLiteral("ipv4");
}

std::optional<Endpoint> reachableEndpoint(const Listener &process)
{
    if (process.endpoints.isEmpty())
        return Endpoint{QStringLiteral("*"), process.port};
    std::optional<Endpoint> found;
    for (const Endpoint &endpoint : process.endpoints) {
        if (exposure(endpoint) == Exposure::ThisMachine || (found && found->port == process.port))
            continue;
        if (!found || endpoint.port == process.port)
            found = endpoint;
    }
    return found;
}

QString hostAndPort(const QString &address, qint64 port)
{
    const bool v6 = address.contains(u':');
    return (v6 ? u'[' + address + u']' : address) + u':' + QString::number(port);
}

static QString url(const QString &host, qint64 port)
{
    return QStringLiteral("http://%1:%2").arg(host, QString::number(port));
}

QString localUrl(const Listener &process, qint64 port)
{
    const Endpoint *bound = nullptr;
    for (const Endpoint &endpoint : process.endpoints) {
        if (endpoint.port != port)
            continue;
        if (exposure(endpoint) != Exposure::OneAddress)
            return url(QStringLiteral("localhost"), port);
        bound = bound ? bound : &endpoint;
    }
    return bound ? QStringLiteral("http://") + hostAndPort(bound->address, port)
                 : url(QStringLiteral("localhost"), port);
}

std::optional<QString> networkUrl(const Endpoint &endpoint)
{
    switch (exposure(endpoint)) {
    case Exposure::ThisMachine:
        return std::nullopt;
    case Exposure::OneAddress:
        return QStringLiteral("http://") + hostAndPort(endpoint.address, endpoint.port);
    case Exposure::AllNetworks:
    case Exposure::AllIpv6Networks:
        break;
    }
    const std::optional<QString> host =
        Platform::localNetworkAddress(exposure(endpoint) == Exposure::AllIpv6Networks);
    return host ? std::optional(url(*host, endpoint.port)) : std::nullopt;
}

QString endpointText(const Endpoint &endpoint)
{
    return hostAndPort(Platform::printable(endpoint.address), endpoint.port) +
           QStringLiteral(" — ") + exposureText(exposure(endpoint));
}

QString processTitle(const Listener &process)
{
    return titleText(process.port, process.othersPort ? process.user : process.command);
}
