#include "quillcore/identity/device_id.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "quillcore/base/unicode.h"
#include "quillcore/identity/device_identity.h"

namespace quill {

namespace {

// Splits UTF-8 text into characters (code points; bytes that are not UTF-8 stand alone), so
// that display pieces never cut a character in half.
std::vector<std::string_view> characters(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t j = i + 1;
        while (j < text.size() && (static_cast<unsigned char>(text[j]) & 0xC0) == 0x80 && j - i < 4) ++j;
        out.push_back(text.substr(i, j - i));
        i = j;
    }
    return out;
}

}  // namespace

DeviceID DeviceID::fromFingerprint(ByteView fingerprint) {
    if (fingerprint.size() < 8) throw DeviceIdentityError::invalidFingerprint();
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value = value << 8 | fingerprint[i];
    char nine[16];
    std::snprintf(nine, sizeof nine, "%09" PRIu64, static_cast<std::uint64_t>(value % 1'000'000'000U));
    std::string digits(nine);
    digits.push_back(static_cast<char>('0' + checkDigit(digits)));
    return DeviceID(std::move(digits));
}

int DeviceID::checkDigit(std::string_view text) {
    std::vector<int> digits = unicode::decimalDigitValues(text);
    int sum = 0;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        int value = i % 2 == 0 ? digits[i] * 2 : digits[i];
        if (value >= 10) value -= 9;
        sum += value;
    }
    return (10 - sum % 10) % 10;
}

std::optional<DeviceID> DeviceID::fromTyped(std::string_view text) {
    std::string compact;
    for (char c : text)
        if (c != ' ') compact.push_back(c);
    if (compact.size() != 10) return std::nullopt;
    for (char c : compact)
        if (c < '0' || c > '9') return std::nullopt;
    if (checkDigit(std::string_view(compact).substr(0, 9)) != compact[9] - '0') return std::nullopt;
    return DeviceID(std::move(compact));
}

std::string DeviceID::formatted() const {
    auto chars = characters(digits);
    auto piece = [&](std::size_t from, std::size_t to) {
        std::string out;
        for (std::size_t i = from; i < to && i < chars.size(); ++i) out += chars[i];
        return out;
    };
    std::string last = chars.empty() ? std::string() : std::string(chars.back());
    return piece(0, 3) + " " + piece(3, 6) + " " + piece(6, 9) + " " + last;
}

json::Json DeviceID::toJson() const { return json::Json{{"digits", digits}}; }

DeviceID DeviceID::fromJson(const json::Json& value) { return DeviceID(json::requireString(json::requireObject(value), "digits")); }

}  // namespace quill
