#include "quillcore/envelope/envelope.h"

#include <limits>

#include "quillcore/base/base64.h"

namespace quill {

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

}  // namespace

Bytes Envelope::signedBytes() const {
    const std::string parts[] = {std::to_string(v),     Base64URL::encode(to),  Base64URL::encode(from),
                                 std::to_string(ts),    Base64URL::encode(id),  Base64URL::encode(enc),
                                 Base64URL::encode(ct)};  // sig is left out
    std::string text;
    for (const std::string& part : parts) {
        if (&part != parts) text += '|';
        text += part;
    }
    return toBytes(text);
}

json::OrderedJson Envelope::toJSON() const {
    json::OrderedJson object = json::OrderedJson::object();
    object["v"] = v;
    object["to"] = Base64URL::encode(to);
    object["from"] = Base64URL::encode(from);
    object["ts"] = ts;
    object["id"] = Base64URL::encode(id);
    object["enc"] = Base64URL::encode(enc);
    object["ct"] = Base64URL::encode(ct);
    object["sig"] = Base64URL::encode(sig);
    return object;
}

std::string Envelope::encode() const { return json::dump(toJSON()); }

Envelope Envelope::fromJSON(const json::Json& value) {
    const json::Json& object = json::requireObject(value);
    Envelope envelope;
    envelope.v = json::requireInteger(object, "v", kMin, kMax);
    envelope.to = decodeBase64URL(object, "to");
    envelope.from = decodeBase64URL(object, "from");
    envelope.ts = json::requireInteger(object, "ts", kMin, kMax);
    envelope.id = decodeBase64URL(object, "id");
    envelope.enc = decodeBase64URL(object, "enc");
    envelope.ct = decodeBase64URL(object, "ct");
    envelope.sig = decodeBase64URL(object, "sig");
    return envelope;
}

Envelope Envelope::decode(std::string_view text) { return fromJSON(json::parse(text)); }

Envelope Envelope::decode(ByteView bytes) { return fromJSON(json::parse(bytes)); }

Bytes Envelope::decodeBase64URL(const json::Json& object, std::string_view key) {
    return json::requireBase64URL(object, key);
}

std::int64_t Envelope::timestamp(SystemTime time) { return unixMillisRounded(time); }

}  // namespace quill
