#include "quillcore/pairing/pairing_link.h"

#include <charconv>
#include <cstring>

#include "quillcore/base/base64.h"
#include "quillcore/crypto/crypto.h"

namespace quill {

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) { return std::strchr("!$&'()*+,;=", c) != nullptr && c != '\0'; }

// What a query value may hold unescaped. "&", "=" and "+" are escaped too, so that a value can
// never split an item or be read as a space.
bool keepInQueryValue(char c) {
    return isUnreserved(c) || (isSubDelim(c) && c != '&' && c != '=' && c != '+') || c == ':' || c == '@' ||
           c == '/' || c == '?';
}

std::string percentEncode(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        if (keepInQueryValue(c)) {
            out.push_back(c);
        } else {
            auto b = static_cast<unsigned char>(c);
            out.push_back('%');
            out.push_back(hex[b >> 4]);
            out.push_back(hex[b & 15]);
        }
    }
    return out;
}

// Percent-escapes must be complete; the caller has checked that already.
std::string percentDecode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) << 4 | hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

bool validUTF8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t n;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size()) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = cp << 6 | (d & 0x3F);
        }
        if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

// The parts of a URI reference that the link check needs (RFC 3986, no resolution).
struct URLParts {
    std::optional<std::string> scheme;
    std::optional<std::string> host;
    std::string path;
    std::optional<std::string> query;
};

// Every character must be one a URI may hold, and every "%" must start a complete escape.
bool wellFormedCharacters(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
            i += 2;
        } else if (!(isUnreserved(c) || isSubDelim(c) || std::strchr(":/?#[]@", c) != nullptr) || c == '\0') {
            return false;
        }
    }
    return true;
}

std::optional<URLParts> splitURL(std::string_view text) {
    if (!wellFormedCharacters(text)) return std::nullopt;
    URLParts parts;
    std::string_view rest = text;

    auto hash = rest.find('#');
    if (hash != std::string_view::npos) {
        std::string_view fragment = rest.substr(hash + 1);
        if (fragment.find_first_of("#[]") != std::string_view::npos) return std::nullopt;
        rest = rest.substr(0, hash);
    }
    auto question = rest.find('?');
    if (question != std::string_view::npos) {
        std::string_view query = rest.substr(question + 1);
        if (query.find_first_of("[]") != std::string_view::npos) return std::nullopt;
        parts.query = std::string(query);
        rest = rest.substr(0, question);
    }

    // A scheme is letters, digits, "+", "-" and "." before the first ":", starting with a letter.
    auto colon = rest.find(':');
    auto slash = rest.find('/');
    if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
        std::string_view scheme = rest.substr(0, colon);
        if (scheme.empty() || !isAlpha(scheme[0])) return std::nullopt;
        for (char c : scheme)
            if (!(isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.')) return std::nullopt;
        parts.scheme = std::string(scheme);
        rest = rest.substr(colon + 1);
    }

    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        auto end = rest.find('/');
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        auto at = authority.rfind('@');
        if (at != std::string_view::npos) {
            if (authority.substr(0, at).find_first_of("[]") != std::string_view::npos) return std::nullopt;
            authority = authority.substr(at + 1);
        }
        std::string_view host = authority;
        std::string_view port;
        if (!authority.empty() && authority[0] == '[') {
            auto close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            host = authority.substr(0, close + 1);
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after[0] != ':') return std::nullopt;
                port = after.substr(1);
            }
        } else {
            if (authority.find_first_of("[]") != std::string_view::npos) return std::nullopt;
            auto portColon = authority.rfind(':');
            if (portColon != std::string_view::npos) {
                host = authority.substr(0, portColon);
                port = authority.substr(portColon + 1);
            }
        }
        for (char c : port)
            if (!isDigit(c)) return std::nullopt;
        parts.host = std::string(host);
    } else if (rest.find_first_of("[]") != std::string_view::npos) {
        return std::nullopt;
    }
    if (rest.find_first_of("[]") != std::string_view::npos) return std::nullopt;
    parts.path = std::string(rest);
    return parts;
}

struct QueryItem {
    std::string name;
    std::optional<std::string> value;
};

std::vector<QueryItem> queryItems(std::string_view query) {
    std::vector<QueryItem> items;
    std::size_t start = 0;
    while (true) {
        auto amp = query.find('&', start);
        std::string_view piece = query.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
        QueryItem item;
        auto eq = piece.find('=');
        if (eq == std::string_view::npos) {
            item.name = percentDecode(piece);
        } else {
            item.name = percentDecode(piece.substr(0, eq));
            item.value = percentDecode(piece.substr(eq + 1));
        }
        items.push_back(std::move(item));
        if (amp == std::string_view::npos) break;
        start = amp + 1;
    }
    return items;
}

const QueryItem* firstItem(const std::vector<QueryItem>& items, std::string_view name) {
    for (const auto& item : items)
        if (item.name == name) return &item;
    return nullptr;
}

// An optional sign, then one or more ASCII digits, within the signed 64-bit range.
std::optional<std::int64_t> parseDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (!isDigit(c)) return std::nullopt;
    // Parse with the sign attached so that the most negative value still fits.
    std::string signedText = (negative ? "-" : "") + std::string(text);
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(signedText.data(), signedText.data() + signedText.size(), value);
    if (ec != std::errc() || end != signedText.data() + signedText.size()) return std::nullopt;
    return value;
}

std::optional<Bytes> decodeField(const std::vector<QueryItem>& items, std::string_view name, std::size_t size) {
    const QueryItem* item = firstItem(items, name);
    if (!item || !item->value) return std::nullopt;
    auto bytes = Base64URL::decode(*item->value);
    if (!bytes || bytes->size() != size) return std::nullopt;
    return bytes;
}

std::optional<PairingLink> refuse(std::string* problem, const char* why) {
    if (problem) *problem = why;
    return std::nullopt;
}

}  // namespace

PairingLink::PairingLink(const DeviceIdentity& identity, Bytes secret, std::vector<std::string> endpoints,
                         SystemTime issuedAt)
    : version(0),
      deviceID(identity.deviceID()),
      fingerprint(identity.fingerprint()),
      secret(std::move(secret)),
      endpoints(std::move(endpoints)),
      issuedAt(issuedAt) {}

PairingLink::PairingLink(std::int64_t version, DeviceID deviceID, Bytes fingerprint, Bytes secret,
                         std::vector<std::string> endpoints, std::optional<SystemTime> issuedAt)
    : version(version),
      deviceID(std::move(deviceID)),
      fingerprint(std::move(fingerprint)),
      secret(std::move(secret)),
      endpoints(std::move(endpoints)),
      issuedAt(issuedAt) {}

Bytes PairingLink::makeSecret() { return crypto::randomBytes16(); }

bool PairingLink::isExpired(SystemTime now, double lifetime) const {
    if (!issuedAt) return false;
    double age = std::chrono::duration<double>(now - *issuedAt).count();
    return age >= lifetime;
}

std::string PairingLink::url() const {
    std::string text = "quillmate://pair?v=" + std::to_string(version);
    text += "&id=" + percentEncode(deviceID.digits);
    text += "&fp=" + percentEncode(Base64URL::encode(fingerprint));
    text += "&s=" + percentEncode(Base64URL::encode(secret));
    if (!endpoints.empty()) {
        std::string joined;
        for (std::size_t i = 0; i < endpoints.size(); ++i) {
            if (i) joined += ",";
            joined += endpoints[i];
        }
        text += "&ep=" + percentEncode(joined);
    }
    return text;
}

std::optional<PairingLink> PairingLink::fromURL(std::string_view url, std::string* problem) {
    auto parts = splitURL(url);
    if (!parts) return refuse(problem, "the text is not a well-formed URL");
    if (parts->scheme != "quillmate") return refuse(problem, "the scheme is not \"quillmate\"");
    if (parts->host != "pair") return refuse(problem, "the host is not \"pair\"");
    if (!(parts->path.empty() || parts->path == "/")) return refuse(problem, "the URL has a path");
    if (!parts->query) return refuse(problem, "the URL has no query");

    auto items = queryItems(*parts->query);
    const QueryItem* v = firstItem(items, "v");
    if (!v || !v->value) return refuse(problem, "the version is missing");
    auto parsedVersion = parseDecimal(*v->value);
    if (!parsedVersion || *parsedVersion != 0) return refuse(problem, "the version is not 0");

    const QueryItem* id = firstItem(items, "id");
    if (!id || !id->value) return refuse(problem, "the device ID is missing");
    auto deviceID = DeviceID::fromTyped(*id->value);
    if (!deviceID) return refuse(problem, "the device ID is not valid");

    auto fingerprint = decodeField(items, "fp", 32);
    if (!fingerprint) return refuse(problem, "the fingerprint is missing or not 32 bytes");
    auto secret = decodeField(items, "s", 16);
    if (!secret) return refuse(problem, "the secret is missing or not 16 bytes");

    std::vector<std::string> endpoints;
    if (const QueryItem* ep = firstItem(items, "ep"); ep && ep->value) {
        if (!validUTF8(*ep->value)) return refuse(problem, "the endpoints are not valid text");
        std::string_view all = *ep->value;
        std::size_t start = 0;
        while (start <= all.size()) {
            auto comma = all.find(',', start);
            auto piece = all.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
            if (!piece.empty()) endpoints.emplace_back(piece);
            if (comma == std::string_view::npos) break;
            start = comma + 1;
        }
    }
    return PairingLink(0, std::move(*deviceID), std::move(*fingerprint), std::move(*secret), std::move(endpoints),
                       std::nullopt);
}

}  // namespace quill
