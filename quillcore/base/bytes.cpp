#include "quillcore/base/bytes.h"

namespace quill {

Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::string toString(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string hexString(ByteView bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0f]);
    }
    return out;
}

static int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<Bytes> fromHex(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = hexValue(text[i]);
        int lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return out;
}

bool constantTimeEquals(ByteView a, ByteView b) {
    if (a.size() != b.size()) return false;
    volatile std::uint8_t acc = 0;
    for (std::size_t i = 0; i < a.size(); ++i) acc = acc | static_cast<std::uint8_t>(a[i] ^ b[i]);
    return acc == 0;
}

void append(Bytes& head, ByteView tail) { head.insert(head.end(), tail.begin(), tail.end()); }

}  // namespace quill
