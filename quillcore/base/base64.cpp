#include "quillcore/base/base64.h"

#include <array>

namespace quill {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeTable() {
    std::array<std::int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return t;
}
constexpr auto kTable = makeTable();
}  // namespace

std::string base64Encode(ByteView bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        out.push_back(kAlphabet[v >> 18 & 63]);
        out.push_back(kAlphabet[v >> 12 & 63]);
        out.push_back(kAlphabet[v >> 6 & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        std::uint32_t v = bytes[i] << 16;
        out.push_back(kAlphabet[v >> 18 & 63]);
        out.push_back(kAlphabet[v >> 12 & 63]);
        out += "==";
    } else if (rest == 2) {
        std::uint32_t v = bytes[i] << 16 | bytes[i + 1] << 8;
        out.push_back(kAlphabet[v >> 18 & 63]);
        out.push_back(kAlphabet[v >> 12 & 63]);
        out.push_back(kAlphabet[v >> 6 & 63]);
        out.push_back('=');
    }
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t pad = 0;
    if (!text.empty() && text.back() == '=') pad = (text.size() >= 2 && text[text.size() - 2] == '=') ? 2 : 1;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        std::uint32_t v = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            int d;
            if (c == '=') {
                if (!last || j < 4 - pad) return std::nullopt;
                d = 0;
            } else {
                d = kTable[static_cast<unsigned char>(c)];
                if (d < 0) return std::nullopt;
            }
            v = v << 6 | static_cast<std::uint32_t>(d);
        }
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        if (!last || pad < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
        if (!last || pad < 1) out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

namespace Base64URL {

std::string encode(ByteView bytes) {
    std::string s = base64Encode(bytes);
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '+') out.push_back('-');
        else if (c == '/') out.push_back('_');
        else if (c != '=') out.push_back(c);
    }
    return out;
}

std::optional<Bytes> decode(std::string_view text) {
    std::string s(text);
    for (char& c : s) {
        if (c == '-') c = '+';
        else if (c == '_') c = '/';
    }
    if (s.size() % 4 != 0) s.append(4 - s.size() % 4, '=');
    return base64Decode(s);
}

}  // namespace Base64URL
}  // namespace quill
