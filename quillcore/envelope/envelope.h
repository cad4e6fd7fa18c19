#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "quillcore/base/bytes.h"
#include "quillcore/base/clock.h"
#include "quillcore/base/json.h"

namespace quill {

// One signalling message sealed for one peer: addressed by fingerprints, time-stamped,
// encrypted with HPKE to the recipient's agreement key and signed by the sender.
struct Envelope {
    std::int64_t v = 0;  // format version; only 0 exists
    Bytes to;            // recipient fingerprint
    Bytes from;          // sender fingerprint
    std::int64_t ts = 0;  // sealing time, whole milliseconds since 1970
    Bytes id;            // 16 random bytes, new for every envelope
    Bytes enc;           // HPKE encapsulated key
    Bytes ct;            // HPKE ciphertext of the message's JSON text
    Bytes sig;           // Ed25519 signature over signedBytes()

    bool operator==(const Envelope&) const = default;

    // "v|to|from|ts|id|enc|ct" in decimal and base64url, rebuilt from the member values (never
    // from received text), so padding or key order in a sender's JSON cannot change it.
    Bytes signedBytes() const;

    // The JSON object: eight members, integers for "v" and "ts", base64url text for the rest.
    json::OrderedJson toJSON() const;
    // Compact JSON text, one envelope per frame.
    std::string encode() const;

    // Reads v, to, from, ts, id, enc, ct, sig in that order; the first failure is thrown as a
    // DecodingError. Unknown members are ignored.
    static Envelope fromJSON(const json::Json& value);
    static Envelope decode(std::string_view text);
    static Envelope decode(ByteView bytes);

    // One byte-string member of an envelope object: base64url, with or without padding, the
    // standard alphabet accepted too; otherwise dataCorrupted "Invalid base64url value".
    static Bytes decodeBase64URL(const json::Json& object, std::string_view key);

    // The `ts` of an envelope sealed at `time`: milliseconds since 1970, halves away from zero.
    static std::int64_t timestamp(SystemTime time);
};

}  // namespace quill
