// The address another machine on the network reaches us on.
#pragma once

#include <QString>

#include <optional>

struct ifaddrs;

// The numeric address of Platform::networkInterfaceName(), ready to stand as a URL's host:
// its last IPv4 address, else its last IPv6 address in brackets. Nothing when it has neither.
std::optional<QString> localNetworkAddress();

// The same choice made over a given interface list; the name must match exactly.
std::optional<QString> networkAddressFromList(const ifaddrs *list, const QString &interface);
