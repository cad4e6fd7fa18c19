#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "quillcore/base/bytes.h"
#include "quillcore/base/json.h"

namespace quill {

// What people read and type for a device: nine digits derived from its fingerprint and a
// check digit.
class DeviceID {
public:
    explicit DeviceID(std::string digits) : digits(std::move(digits)) {}

    // The first 8 bytes read big-endian modulo 10^9, nine digits with leading zeros, then the
    // check digit. Throws DeviceIdentityError::invalidFingerprint for fewer than 8 bytes.
    static DeviceID fromFingerprint(ByteView fingerprint);
    // Typed text: spaces (U+0020 only) are dropped; then exactly ten ASCII digits with the
    // right check digit, or none.
    static std::optional<DeviceID> fromTyped(std::string_view text);
    // Luhn digit over the decimal digits of `text` (of any script; others skipped), doubling
    // from the left at positions 0, 2, 4, ...
    static int checkDigit(std::string_view text);

    // "952 306 183 7": three groups of three and the last character.
    std::string formatted() const;
    const std::string& description() const { return digits; }

    json::Json toJson() const;
    // Takes any text under "digits", unchecked.
    static DeviceID fromJson(const json::Json& value);

    bool operator==(const DeviceID&) const = default;

    std::string digits;
};

}  // namespace quill

template <>
struct std::hash<quill::DeviceID> {
    std::size_t operator()(const quill::DeviceID& id) const noexcept { return std::hash<std::string>()(id.digits); }
};
