#include "ListeningProcess.h"

#include "Log.h"
#include "Processes.h"

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
    qsizetype left = 0;
    // Newest first: the reverse of the listing. (clang 14 cannot compile libstdc++ 12's ranges.)
    for (qsizetype i = records.size() - 1; i >= 0; --i) {
        const ListeningProcess &record = records[i];
        const std::optional<qint64> pid = positiveDecimal(record.pid());
        const std::optional<qint64> port = positiveDecimal(record.port());
        if (!pid || !port)
            continue;
        if (checked.size() == maxListeners) {
            ++left;
            continue;
        }
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
        checked.append(
            {*pid, Platform::processStartTime(*pid).value_or(-1), *port, record.cmd(), endpoints});
    }
    if (left > 0) {
        Platform::logLine(QStringLiteral("%1 listening processes; the menu shows the first %2")
                              .arg(checked.size() + left)
                              .arg(checked.size()));
    }
    return checked;
}

Exposure exposure(const Endpoint &endpoint)
{
    const QString &a = endpoint.address;
    if (a == QLatin1String("*") || a == QLatin1String("0.0.0.0") || a == QLatin1String("::"))
        return Exposure::AllNetworks;
    if (a.startsWith(QLatin1String("127.")) || a == QLatin1String("::1") ||
        a.startsWith(QLatin1String("::ffff:127.")) || a == QLatin1String("localhost"))
        return Exposure::ThisMachine;
    return Exposure::OneAddress;
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

QString endpointText(const Endpoint &endpoint)
{
    static const QString words[] = {QStringLiteral("this machine only"),
                                    QStringLiteral("all networks"),
                                    QStringLiteral("this address's network")};
    return hostAndPort(Platform::printable(endpoint.address), endpoint.port) +
           QStringLiteral(" — ") + words[int(exposure(endpoint))];
}

QString processTitle(const Listener &process)
{
    // Enough for any real command name; a longer one would take seconds to lay out each time
    // the menu opens.
    constexpr qsizetype longest = 100;
    QString command = process.command;
    command.replace(u'\t', u' ');
    command = Platform::printable(command);
    if (command.size() > longest) {
        command.truncate(command.at(longest - 1).isHighSurrogate() ? longest - 1 : longest);
        command += u'…';
    }
    return QString::number(process.port) + QStringLiteral(" · ") + command;
}
