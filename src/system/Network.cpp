#include "Network.h"

#include <QFile>
#include <QList>

#include <array>
#include <memory>

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace Platform {

QString defaultRouteInterface(const QByteArray &procNetRoute)
{
    // Columns: Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the default route
    // has destination and mask 0. Of several, the lowest metric wins, as in the kernel.
    QString best;
    qlonglong bestMetric = -1;
    const QList<QByteArray> rows = procNetRoute.split('\n');
    for (qsizetype i = 1; i < rows.size(); ++i) {
        const QList<QByteArray> cols = rows[i].simplified().split(' ');
        if (cols.size() < 8 || cols[1] != "00000000" || cols[7] != "00000000")
            continue;
        bool ok = false;
        const qlonglong flags = cols[3].toLongLong(&ok, 16);
        if (!ok || !(flags & 0x1)) // RTF_UP
            continue;
        const qlonglong metric = cols[6].toLongLong(&ok);
        if (!ok)
            continue;
        if (bestMetric < 0 || metric < bestMetric) {
            best = QString::fromUtf8(cols[0]);
            bestMetric = metric;
        }
    }
    return best;
}

QString networkInterfaceName()
{
    QFile route(QStringLiteral("/proc/net/route"));
    if (!route.open(QIODevice::ReadOnly))
        return QStringLiteral("en0");
    return defaultRouteInterface(route.readAll());
}

std::optional<QString> networkAddressFromList(const ifaddrs *list, const QString &interface,
                                              bool onlyIpv6)
{
    const QByteArray name = interface.toUtf8();
    std::optional<QString> ipv4;
    std::optional<QString> ipv6;
    std::optional<QString> global; // the first IPv6 address that is not link-local
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !entry->ifa_name || name != entry->ifa_name)
            continue;
        const int family = entry->ifa_addr->sa_family;
        socklen_t length = 0;
        if (family == AF_INET)
            length = sizeof(sockaddr_in);
        else if (family == AF_INET6)
            length = sizeof(sockaddr_in6);
        else
            continue;
        std::array<char, NI_MAXHOST> host{};
        if (getnameinfo(entry->ifa_addr, length, host.data(), host.size(), nullptr, 0,
                        NI_NUMERICHOST) != 0)
            continue;
        (family == AF_INET ? ipv4 : ipv6) = QString::fromUtf8(host.data());
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(entry->ifa_addr);
        if (family == AF_INET6 && !global && !IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr) &&
            !IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr))
            global = ipv6;
    }
    // Another machine can rarely use an IPv6 address, least of all the link-local one Linux
    // lists last, so any IPv4 address is preferred where the socket takes IPv4.
    if (onlyIpv6 && global)
        ipv6 = global;
    else if (ipv4 && !onlyIpv6)
        return ipv4;
    if (!ipv6)
        return std::nullopt;
    // A zone ("fe80::1%eth0") needs its percent sign escaped inside a URL (RFC 6874).
    const qsizetype zone = ipv6->indexOf(QLatin1Char('%'));
    if (zone >= 0)
        ipv6->replace(zone, 1, QStringLiteral("%25"));
    return QLatin1Char('[') + *ipv6 + QLatin1Char(']');
}

std::optional<QString> localNetworkAddress(bool ipv6)
{
    const QString interface = networkInterfaceName();
    if (interface.isEmpty())
        return std::nullopt;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::nullopt;
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs *)> owner(list, freeifaddrs);
    return networkAddressFromList(list, interface, ipv6);
}

} // namespace Platform
