#include "quillcore/identity/peer_record.h"

#include <cmath>

#include "quillcore/base/base64.h"
#include "quillcore/base/unicode.h"

namespace quill {

json::OrderedJson PeerPermissions::toJson() const {
    json::OrderedJson object;
    object["view"] = view;
    object["control"] = control;
    object["clipboard"] = clipboard;
    object["files"] = files;
    object["attendedOnly"] = attendedOnly;
    return object;
}

PeerPermissions PeerPermissions::fromJson(const json::Json& value) {
    json::requireObject(value, "permissions");
    return PeerPermissions{json::requireBool(value, "view"), json::requireBool(value, "control"),
                           json::requireBool(value, "clipboard"), json::requireBool(value, "files"),
                           json::requireBool(value, "attendedOnly")};
}

bool PeerRecord::operator==(const PeerRecord& other) const {
    return fingerprint == other.fingerprint && signingPublicKey == other.signingPublicKey &&
           agreementPublicKey == other.agreementPublicKey && unicode::canonicallyEqual(name, other.name) &&
           unicode::canonicallyEqual(os, other.os) && pairedAt == other.pairedAt && permissions == other.permissions;
}

json::OrderedJson PeerRecord::toJson() const {
    if (!std::isfinite(pairedAt)) throw EncodingError("Unable to encode a non-finite pairing date.");
    json::OrderedJson object;
    object["fingerprint"] = base64Encode(fingerprint);
    object["signingPublicKey"] = base64Encode(signingPublicKey);
    object["agreementPublicKey"] = base64Encode(agreementPublicKey);
    object["name"] = name;
    object["os"] = os;
    object["pairedAt"] = pairedAt;
    object["permissions"] = permissions.toJson();
    return object;
}

PeerRecord PeerRecord::fromJson(const json::Json& value) {
    json::requireObject(value);
    PeerRecord record;
    record.fingerprint = json::requireBase64(value, "fingerprint");
    record.signingPublicKey = json::requireBase64(value, "signingPublicKey");
    record.agreementPublicKey = json::requireBase64(value, "agreementPublicKey");
    record.name = json::requireString(value, "name");
    record.os = json::requireString(value, "os");
    record.pairedAt = json::requireDouble(value, "pairedAt");
    record.permissions = PeerPermissions::fromJson(json::requireKey(value, "permissions"));
    return record;
}

std::string PeerRecord::encode() const { return json::dumpEscapingSlashes(toJson()); }

PeerRecord PeerRecord::decode(ByteView data) { return fromJson(json::parse(data)); }

}  // namespace quill
