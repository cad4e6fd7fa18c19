#pragma once

#include <string>
#include <string_view>

#include "quillcore/base/bytes.h"
#include "quillcore/base/json.h"

namespace quill {

// What this device grants one paired peer.
struct PeerPermissions {
    bool view = false;
    bool control = false;
    bool clipboard = false;
    bool files = false;
    bool attendedOnly = false;

    // What a newly paired controller gets: view, control and clipboard.
    static PeerPermissions defaults() { return PeerPermissions{true, true, true, false, false}; }

    // All five keys as JSON booleans. Decoding needs all five (no defaults), ignores others
    // and throws DecodingError otherwise.
    json::OrderedJson toJson() const;
    static PeerPermissions fromJson(const json::Json& value);

    bool operator==(const PeerPermissions&) const = default;
};

// A paired device, identified by its fingerprint. Nothing is validated: the pairing that
// makes records checks the keys.
struct PeerRecord {
    Bytes fingerprint;
    Bytes signingPublicKey;
    Bytes agreementPublicKey;
    std::string name;
    std::string os;
    double pairedAt = 0;  // seconds since 2001-01-01 00:00:00 UTC
    PeerPermissions permissions;

    const Bytes& id() const { return fingerprint; }

    // Texts compare under canonical equivalence, pairedAt exactly.
    bool operator==(const PeerRecord& other) const;

    // The seven members, byte strings as padded standard base64. Throws EncodingError for a
    // pairedAt that is not finite (and for text that is not UTF-8).
    json::OrderedJson toJson() const;
    // Throws DecodingError when a member is missing, has the wrong type or is not base64.
    static PeerRecord fromJson(const json::Json& value);

    // The stored form: compact JSON with every "/" written "\/".
    std::string encode() const;
    static PeerRecord decode(ByteView data);
};

}  // namespace quill
