#include "quillcore/base/json.h"

#include <cmath>

#include "quillcore/base/base64.h"

namespace quill::json {

namespace {

DecodingError corrupted(std::string_view key, std::string text) {
    return DecodingError(DecodingError::Kind::dataCorrupted, std::string(key), std::move(text));
}

DecodingError mismatch(std::string_view key, std::string_view expected, const Json& got) {
    return DecodingError(DecodingError::Kind::typeMismatch, std::string(key),
                         "Expected " + std::string(expected) + " but found " + got.type_name() + ".");
}

template <class J>
void checkFinite(const J& value) {
    if (value.is_number_float()) {
        if (!std::isfinite(value.template get<double>()))
            throw EncodingError("Unable to encode a non-finite number.");
    } else if (value.is_structured()) {
        for (const auto& item : value) checkFinite(item);
    }
}

template <class J>
std::string dumpChecked(const J& value) {
    checkFinite(value);
    try {
        return value.dump();
    } catch (const nlohmann::json::exception& e) {
        throw EncodingError(std::string("Unable to encode JSON: ") + e.what());
    }
}

std::string escapeSlashes(const std::string& text) {
    // "/" can only occur inside strings in compact JSON, so a plain replace is exact.
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '/') out += "\\/";
        else out.push_back(c);
    }
    return out;
}

}  // namespace

Json parse(std::string_view text) {
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception&) {
        throw corrupted("", "The given data was not valid JSON.");
    }
}

Json parse(ByteView bytes) {
    return parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

const Json& requireObject(const Json& value, std::string_view what) {
    if (!value.is_object()) throw mismatch(what, "an object", value);
    return value;
}

bool hasValue(const Json& obj, std::string_view key) {
    auto it = obj.find(key);
    return it != obj.end() && !it->is_null();
}

const Json& requireKey(const Json& obj, std::string_view key) {
    requireObject(obj);
    auto it = obj.find(key);
    if (it == obj.end()) throw DecodingError(DecodingError::Kind::keyNotFound, std::string(key), "");
    if (it->is_null()) throw DecodingError(DecodingError::Kind::valueNotFound, std::string(key), "");
    return *it;
}

std::string stringValue(const Json& value, std::string_view key) {
    if (!value.is_string()) throw mismatch(key, "a string", value);
    return value.get<std::string>();
}

std::string requireString(const Json& obj, std::string_view key) { return stringValue(requireKey(obj, key), key); }

std::optional<std::string> optionalString(const Json& obj, std::string_view key) {
    if (!hasValue(requireObject(obj), key)) return std::nullopt;
    return requireString(obj, key);
}

bool requireBool(const Json& obj, std::string_view key) {
    const Json& v = requireKey(obj, key);
    if (!v.is_boolean()) throw mismatch(key, "a Boolean", v);
    return v.get<bool>();
}

std::optional<bool> optionalBool(const Json& obj, std::string_view key) {
    if (!hasValue(requireObject(obj), key)) return std::nullopt;
    return requireBool(obj, key);
}

double requireDouble(const Json& obj, std::string_view key) {
    const Json& v = requireKey(obj, key);
    if (!v.is_number()) throw mismatch(key, "a number", v);
    return v.get<double>();
}

std::int64_t integerValue(const Json& v, std::string_view key, std::int64_t min, std::int64_t max) {
    if (!v.is_number()) throw mismatch(key, "an integer", v);
    auto outOfRange = [&](const std::string& shown) {
        return corrupted(key, "Parsed JSON number <" + shown + "> does not fit.");
    };
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        // nlohmann stores every non-negative integer as unsigned, so the lower bound matters here too.
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
            static_cast<std::int64_t>(u) > max || static_cast<std::int64_t>(u) < min)
            throw outOfRange(std::to_string(u));
        return static_cast<std::int64_t>(u);
    }
    if (v.is_number_integer()) {
        auto i = v.get<std::int64_t>();
        if (i < min || i > max) throw outOfRange(std::to_string(i));
        return i;
    }
    double d = v.get<double>();
    // Integral floats such as 1e3 are accepted; 1.5, 1e300 and friends are not.
    if (!std::isfinite(d) || std::trunc(d) != d || d < -9.2233720368547758e18 || d >= 9.2233720368547758e18)
        throw outOfRange(v.dump());
    auto i = static_cast<std::int64_t>(d);
    if (i < min || i > max) throw outOfRange(v.dump());
    return i;
}

std::int64_t requireInteger(const Json& obj, std::string_view key, std::int64_t min, std::int64_t max) {
    return integerValue(requireKey(obj, key), key, min, max);
}

std::optional<std::int64_t> optionalInteger(const Json& obj, std::string_view key, std::int64_t min,
                                            std::int64_t max) {
    if (!hasValue(requireObject(obj), key)) return std::nullopt;
    return requireInteger(obj, key, min, max);
}

std::uint64_t requireUInt64(const Json& obj, std::string_view key) {
    const Json& v = requireKey(obj, key);
    if (!v.is_number()) throw mismatch(key, "an integer", v);
    if (v.is_number_unsigned()) return v.get<std::uint64_t>();
    return static_cast<std::uint64_t>(integerValue(v, key, 0, std::numeric_limits<std::int64_t>::max()));
}

Bytes requireBase64URL(const Json& obj, std::string_view key) {
    auto decoded = Base64URL::decode(requireString(obj, key));
    if (!decoded) throw corrupted(key, "Invalid base64url value");
    return *decoded;
}

Bytes requireBase64(const Json& obj, std::string_view key) {
    auto decoded = base64Decode(requireString(obj, key));
    if (!decoded) throw corrupted(key, "Encountered Data is not valid Base64.");
    return *decoded;
}

std::string dump(const Json& value) { return dumpChecked(value); }
std::string dump(const OrderedJson& value) { return dumpChecked(value); }
std::string dumpEscapingSlashes(const Json& value) { return escapeSlashes(dumpChecked(value)); }
std::string dumpEscapingSlashes(const OrderedJson& value) { return escapeSlashes(dumpChecked(value)); }

}  // namespace quill::json
