#include "NetworkAddress.h"

#include "Platform.h"

#include <array>
#include <memory>

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

std::optional<QString> networkAddressFromList(const ifaddrs *list, const QString &interface)
{
    const QByteArray name = interface.toUtf8();
    std::optional<QString> ipv4;
    std::optional<QString> ipv6;
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
    }
    // Another machine can rarely use an IPv6 address, least of all the link-local one Linux
    // lists last, so any IPv4 address is preferred.
    if (ipv4)
        return ipv4;
    if (!ipv6)
        return std::nullopt;
    // A zone ("fe80::1%eth0") needs its percent sign escaped inside a URL (RFC 6874).
    const qsizetype zone = ipv6->indexOf(QLatin1Char('%'));
    if (zone >= 0)
        ipv6->replace(zone, 1, QStringLiteral("%25"));
    return QLatin1Char('[') + *ipv6 + QLatin1Char(']');
}

std::optional<QString> localNetworkAddress()
{
    const QString interface = Platform::networkInterfaceName();
    if (interface.isEmpty())
        return std::nullopt;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::nullopt;
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs *)> owner(list, freeifaddrs);
    return networkAddressFromList(list, interface);
}
