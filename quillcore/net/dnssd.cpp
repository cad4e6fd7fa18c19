#include "quillcore/net/dnssd.h"

#include <arpa/inet.h>
#include <avahi-common/error.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstring>

namespace quill::dnssd {

std::string daemonNotRunningText() { return avahi_strerror(AVAHI_ERR_NO_DAEMON); }

std::string truncateUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return std::string(text);
    std::size_t cut = maxBytes;
    // The first byte left out must start a character, or the last one kept is split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut));
}

bool isValidUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int64_t>(text.size());
    for (std::int64_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

std::string instanceName(std::string_view name) {
    std::string valid;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(name.data());
    const auto length = static_cast<std::int64_t>(name.size());
    for (std::int64_t i = 0; i < length;) {
        const auto start = i;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            valid += "\xEF\xBF\xBD";  // U+FFFD
        } else {
            valid.append(name.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
        }
    }
    return truncateUtf8(valid, kMaxInstanceNameBytes);
}

namespace {

bool keyEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

void TxtRecord::add(std::string_view key, std::string_view value) {
    std::string entry(key);
    entry += '=';
    const std::size_t room = entry.size() < kMaxTxtStringBytes ? kMaxTxtStringBytes - entry.size() : 0;
    entry += truncateUtf8(value, room);
    strings_.push_back(std::move(entry));
}

std::optional<std::string> TxtRecord::text(std::string_view key) const {
    for (const auto& entry : strings_) {
        const auto eq = entry.find('=');
        const std::string_view entryKey = std::string_view(entry).substr(0, eq);
        if (!keyEquals(entryKey, key)) continue;
        // Only the first entry with a key counts.
        if (eq == std::string::npos) return std::nullopt;
        std::string value = entry.substr(eq + 1);
        if (!isValidUtf8(value)) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

namespace {

// 0: IPv4, 1: routable IPv6, 2: link-local IPv6 (needs its interface as scope).
int addressRank(const ResolvedService& service) {
    if (!service.ipv6) return 0;
    in6_addr address{};
    if (inet_pton(AF_INET6, service.address.c_str(), &address) == 1 && address.s6_addr[0] == 0xFE &&
        (address.s6_addr[1] & 0xC0) == 0x80) {
        return 2;
    }
    return 1;
}

}  // namespace

std::optional<BrowseEvent> ResultMerger::resolved(int interfaceIndex, int protocol, ResolvedService service) {
    ServiceKey key{service.name, service.type, service.domain};
    services_[key].resolutions[{interfaceIndex, protocol}] = std::move(service);
    return settle(key);
}

std::optional<BrowseEvent> ResultMerger::removed(int interfaceIndex, int protocol, const std::string& name,
                                                 const std::string& type, const std::string& domain) {
    ServiceKey key{name, type, domain};
    auto it = services_.find(key);
    if (it == services_.end()) return std::nullopt;
    it->second.resolutions.erase({interfaceIndex, protocol});
    return settle(key);
}

void ResultMerger::forgetResolutions() {
    for (auto& [key, entry] : services_) entry.resolutions.clear();
}

std::optional<BrowseEvent> ResultMerger::settle(const ServiceKey& key) {
    auto it = services_.find(key);
    Entry& entry = it->second;
    if (entry.resolutions.empty()) {
        std::optional<BrowseEvent> event;
        if (entry.reported) event = BrowseEvent{BrowseEvent::Kind::removed, *entry.reported};
        services_.erase(it);
        return event;
    }
    const ResolvedService* best = nullptr;
    std::tuple<int, int, int> bestRank{};
    for (const auto& [where, service] : entry.resolutions) {
        std::tuple<int, int, int> rank{addressRank(service), where.first, where.second};
        if (!best || rank < bestRank) {
            best = &service;
            bestRank = rank;
        }
    }
    if (entry.reported == *best) return std::nullopt;
    const auto kind = entry.reported ? BrowseEvent::Kind::changed : BrowseEvent::Kind::added;
    entry.reported = *best;
    return BrowseEvent{kind, *best};
}

}  // namespace quill::dnssd
