#include "host/desktop/local_addresses.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QSet>
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace quill::host {

namespace {

bool startsWithAny(const QString& name, std::initializer_list<const char*> prefixes) {
    for (const char* prefix : prefixes)
        if (name.startsWith(QLatin1StringView(prefix))) return true;
    return false;
}

// Physical Ethernet and Wi-Fi first ("en" as on other systems, and Linux's "eth" and "wl"
// names), tunnels after the others, and the bridges of containers and virtual machines last:
// their addresses cannot be reached from the local network and only lengthen the pairing code.
int rankOf(const QString& name) {
    if (startsWithAny(name, {"en", "eth", "wl"})) return 0;
    if (startsWithAny(name, {"utun", "tun", "wg"})) return 2;
    if (startsWithAny(name, {"docker", "br-", "virbr", "veth", "lxcbr", "lxdbr", "vboxnet", "vmnet", "podman", "cni"}))
        return 3;
    return 1;
}

}  // namespace

std::optional<QString> numericHost(const sockaddr* address) {
    if (!address) return std::nullopt;
    socklen_t length;
    if (address->sa_family == AF_INET)
        length = sizeof(sockaddr_in);
    else if (address->sa_family == AF_INET6)
        length = sizeof(sockaddr_in6);
    else
        return std::nullopt;
    char host[1025] = {};
    if (getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return std::nullopt;
    return QString::fromUtf8(host, static_cast<qsizetype>(strnlen(host, sizeof host)));
}

QStringList localAddressesFrom(const ifaddrs* list, quint16 port) {
    std::vector<std::pair<int, QString>> ranked;
    QStringList loopback;
    QSet<QString> seen;
    for (const ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
        if ((ifa->ifa_flags & IFF_UP) == 0 || (ifa->ifa_flags & IFF_RUNNING) == 0) continue;
        if (!ifa->ifa_addr) continue;
        int family = ifa->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        QString name = QString::fromUtf8(ifa->ifa_name ? ifa->ifa_name : "");
        if (name.startsWith("awdl") || name.startsWith("llw") || name.startsWith("bridge")) continue;
        auto host = numericHost(ifa->ifa_addr);
        if (!host) continue;
        if (seen.contains(*host)) continue;
        seen.insert(*host);
        QString text = family == AF_INET6 ? "[" + *host + "]:" + QString::number(port) : *host + ":" + QString::number(port);
        // Loopback entries are kept whatever their kind, link-local included.
        if (ifa->ifa_flags & IFF_LOOPBACK) {
            loopback.append(text);
            continue;
        }
        if (host->startsWith("169.254.") || host->toLower().startsWith("fe80:")) continue;
        ranked.emplace_back(rankOf(name), text);
    }
    std::sort(ranked.begin(), ranked.end());
    std::sort(loopback.begin(), loopback.end());
    QStringList result;
    for (auto& [rank, text] : ranked) result.append(text);
    result.append(loopback);
    return result;
}

QStringList localAddresses(quint16 port) {
    if (port == 0) return {};
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0 || !list) return {};
    QStringList result = localAddressesFrom(list, port);
    freeifaddrs(list);
    return result;
}

}  // namespace quill::host
