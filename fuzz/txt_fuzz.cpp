// Resolved DNS-SD services as anyone on the LAN can announce them, into the host browser's
// record reader. The input is read like TXT wire data: a flag byte, then length-prefixed
// strings (the address first, then the TXT strings). Key look-ups are checked against
// Avahi's own TXT list functions; a host that comes out must be what its record says.
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "quillcore/base/base64.h"
#include "quillcore/net/dnssd.h"
#include "quillcore/transport/host_browser.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// What Avahi's list gives for `key`: the first entry with that key (case-insensitive), and
// its value when it has one.
struct AvahiLookup {
    bool found = false;
    std::optional<std::string> value;
};

AvahiLookup avahiLookup(const std::vector<std::string>& strings, const char* key) {
    AvahiStringList* list = nullptr;
    for (const auto& s : strings) {
        list = avahi_string_list_add_arbitrary(list, reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    }
    list = avahi_string_list_reverse(list);
    AvahiLookup out;
    if (AvahiStringList* item = avahi_string_list_find(list, key)) {
        out.found = true;
        char* k = nullptr;
        char* v = nullptr;
        std::size_t size = 0;
        require(avahi_string_list_get_pair(item, &k, &v, &size) == 0);
        if (v) out.value = std::string(v, size);
        avahi_free(k);
        avahi_free(v);
    }
    avahi_string_list_free(list);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::uint8_t flags = data[0];
    const auto port = static_cast<std::uint16_t>(data[1] << 8 | data[2]);
    std::vector<std::string> strings;
    for (std::size_t at = 3; at < size;) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        strings.emplace_back(reinterpret_cast<const char*>(data + at + 1), length);
        at += 1 + length;
    }

    quill::dnssd::ResolvedService service;
    service.name = "Fuzzed";
    service.type = "_quillmate._tcp";
    service.domain = "local";
    service.ipv6 = flags & 1;
    service.interfaceIndex = (flags >> 1) & 7;
    service.port = port;
    if (!strings.empty()) {
        service.address = strings.front();
        strings.erase(strings.begin());
    }
    service.txt = quill::dnssd::TxtRecord(strings);
    const auto& txt = service.txt;

    // Key look-ups agree with Avahi's (which reads a string as C text: NUL ends it).
    bool hasNul = false;
    for (const auto& s : strings) hasNul = hasNul || s.find('\0') != std::string::npos;
    const std::string ownKey = (flags & 0x80) && !strings.empty() ? strings.back().substr(0, strings.back().find('='))
                                                                    : std::string("Name");
    for (const std::string& key : {std::string("fp"), std::string("v"), std::string("name"), std::string("FP"), ownKey}) {
        const auto text = txt.text(key);
        if (text) require(quill::dnssd::isValidUtf8(*text));
        if (hasNul || key.empty() || key.find('\0') != std::string::npos) continue;
        const auto reference = avahiLookup(strings, key.c_str());
        const bool usable = reference.value && quill::dnssd::isValidUtf8(*reference.value);
        require(text.has_value() == usable);
        if (usable) require(*text == *reference.value);
    }

    // A host comes out exactly when the record has a decodable "fp" and "v" is "0".
    const auto host = quill::HostBrowser::discoveredHost(service);
    const auto fp = txt.text("fp");
    const auto decoded = fp ? quill::Base64URL::decode(*fp) : std::nullopt;
    require(host.has_value() == (decoded && txt.text("v") == "0"));
    if (host) {
        require(host->fingerprint == *decoded);
        require(quill::Base64URL::decode(quill::Base64URL::encode(host->fingerprint)) == host->fingerprint);
        require(host->name == txt.text("name").value_or("Quillmate Host"));
        require(quill::dnssd::isValidUtf8(host->name));
        require(host->endpoint.port == port);
        require(host->endpoint.host.compare(0, service.address.size(), service.address) == 0);
    }

    // Writing a record back never exceeds one TXT string and never splits a character.
    if (!strings.empty()) {
        const std::string& value = strings.back();
        quill::dnssd::TxtRecord written;
        written.add("name", value);
        const std::string& entry = written.strings().back();
        require(entry.size() <= quill::dnssd::kMaxTxtStringBytes);
        const std::string kept = entry.substr(5);
        require(value.compare(0, kept.size(), kept) == 0);
        if (quill::dnssd::isValidUtf8(value)) {
            require(quill::dnssd::isValidUtf8(kept));
            // Cut by less than one character.
            if (kept.size() < value.size()) require(kept.size() + 4 > quill::dnssd::kMaxTxtStringBytes - 5);
        }
    }
    return 0;
}
