#pragma once

#include <QString>
#include <QStringList>
#include <optional>

struct ifaddrs;
struct sockaddr;

namespace quill::host {

// Where a controller on the local network can reach the listener on `port`, best first:
// "host:port" or "[v6-host]:port". Empty for port 0 or when the interfaces cannot be listed.
QStringList localAddresses(quint16 port);

// The same over a given interface list (what getifaddrs returned).
QStringList localAddressesFrom(const ifaddrs* list, quint16 port);

// The numeric host text of an IPv4 or IPv6 socket address, or nothing.
std::optional<QString> numericHost(const sockaddr* address);

}  // namespace quill::host
