#pragma once

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "quillcore/base/bytes.h"
#include "quillcore/base/error.h"

// Strict JSON reading and writing. Readers throw quill::DecodingError with the kind a
// strict decoder reports: a missing member is keyNotFound, null where a value is required
// is valueNotFound, a wrong JSON type is typeMismatch, a value of the right type that does
// not fit (non-integral, out of range, bad base64) is dataCorrupted. Integers are never
// truncated or wrapped.
namespace quill::json {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// Parses a whole document; invalid JSON or UTF-8 is dataCorrupted.
Json parse(std::string_view text);
Json parse(ByteView bytes);

// The document must be an object (typeMismatch otherwise).
const Json& requireObject(const Json& value, std::string_view what = "");

// Member access on an object. `obj` must be an object.
const Json& requireKey(const Json& obj, std::string_view key);  // present and not null
bool hasValue(const Json& obj, std::string_view key);           // present and not null

std::string requireString(const Json& obj, std::string_view key);
std::optional<std::string> optionalString(const Json& obj, std::string_view key);
bool requireBool(const Json& obj, std::string_view key);
std::optional<bool> optionalBool(const Json& obj, std::string_view key);
double requireDouble(const Json& obj, std::string_view key);

// A JSON number that is integral and within [min, max].
std::int64_t requireInteger(const Json& obj, std::string_view key, std::int64_t min, std::int64_t max);
std::uint64_t requireUInt64(const Json& obj, std::string_view key);
std::optional<std::int64_t> optionalInteger(const Json& obj, std::string_view key, std::int64_t min,
                                            std::int64_t max);

template <class T>
T requireInt(const Json& obj, std::string_view key) {
    static_assert(std::is_integral_v<T> && std::is_signed_v<T>);
    return static_cast<T>(requireInteger(obj, key, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
}

// Integer reading of a bare value (an array element, say); `key` names it in errors.
std::int64_t integerValue(const Json& value, std::string_view key, std::int64_t min, std::int64_t max);
std::string stringValue(const Json& value, std::string_view key);

// Byte strings: URL-safe unpadded (lenient decode, "Invalid base64url value") and standard
// padded base64 (strict).
Bytes requireBase64URL(const Json& obj, std::string_view key);
Bytes requireBase64(const Json& obj, std::string_view key);

// Compact text. Doubles must be finite (EncodingError otherwise); strings must be UTF-8.
std::string dump(const Json& value);
std::string dump(const OrderedJson& value);

// As dump(), with every "/" written as "\/", the form of records stored by the original
// encoder that peers and stored files rely on.
std::string dumpEscapingSlashes(const Json& value);
std::string dumpEscapingSlashes(const OrderedJson& value);

}  // namespace quill::json
