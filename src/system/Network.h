// The address another machine on the network reaches us on.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

struct ifaddrs;

namespace Platform {

// The interface that carries the IPv4 default route, or "en0" when there is no route table.
QString networkInterfaceName();
// The same choice, made from the text of /proc/net/route; empty when it names no default route.
QString defaultRouteInterface(const QByteArray &procNetRoute);

// The numeric address of networkInterfaceName(), ready to stand as a URL's host: its last IPv4
// address, else its last IPv6 address in brackets. With `ipv6`, for a socket that takes only
// IPv6: its first IPv6 address that is not link-local, else its last. Nothing when it has none.
std::optional<QString> localNetworkAddress(bool ipv6 = false);
// The same choice made over a given interface list; the name must match exactly.
std::optional<QString> networkAddressFromList(const ifaddrs *list, const QString &interface,
                                              bool ipv6 = false);

} // namespace Platform
