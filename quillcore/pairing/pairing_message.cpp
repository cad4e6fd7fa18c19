#include "quillcore/pairing/pairing_message.h"

#include <algorithm>

#include "quillcore/base/base64.h"

namespace quill {

namespace {

using json::Json;
using json::OrderedJson;

std::string b64(ByteView bytes) { return Base64URL::encode(bytes); }

PeerPermissions readPermissions(const Json& object) {
    return PeerPermissions::fromJson(json::requireKey(object, "permissions"));
}

std::optional<Bytes> optionalBase64URL(const Json& object, std::string_view key) {
    if (!json::hasValue(object, key)) return std::nullopt;
    return json::requireBase64URL(object, key);
}

struct Writer {
    OrderedJson operator()(const PairStart& m) const {
        OrderedJson o = OrderedJson::object();
        o["type"] = m.type;
        o["controller_signing_pub"] = b64(m.controllerSigningPub);
        o["controller_agreement_pub"] = b64(m.controllerAgreementPub);
        o["controller_name"] = m.controllerName;
        return o;
    }
    OrderedJson operator()(const PairCommit& m) const {
        OrderedJson o = OrderedJson::object();
        o["type"] = m.type;
        o["commit"] = b64(m.commit);
        o["host_signing_pub"] = b64(m.hostSigningPub);
        o["host_agreement_pub"] = b64(m.hostAgreementPub);
        o["host_name"] = m.hostName;
        return o;
    }
    OrderedJson operator()(const PairNonce& m) const {
        OrderedJson o = OrderedJson::object();
        o["type"] = m.type;
        o["n_c"] = b64(m.nonce);
        return o;
    }
    OrderedJson operator()(const PairReveal& m) const {
        OrderedJson o = OrderedJson::object();
        o["type"] = m.type;
        o["n_h"] = b64(m.nonce);
        return o;
    }
    OrderedJson operator()(const PairAccept& m) const {
        OrderedJson o = OrderedJson::object();
        o["type"] = m.type;
        o["permissions"] = m.permissions.toJson();
        o["nonce_h"] = b64(m.nonce);
        o["sig"] = b64(m.signature);
        if (m.hostSigningPub) o["host_signing_pub"] = b64(*m.hostSigningPub);
        if (m.hostAgreementPub) o["host_agreement_pub"] = b64(*m.hostAgreementPub);
        return o;
    }
    OrderedJson operator()(const PairConfirm& m) const {
        OrderedJson o = OrderedJson::object();
        o["type"] = m.type;
        o["sig"] = b64(m.signature);
        return o;
    }
    OrderedJson operator()(const PairCancel& m) const {
        OrderedJson o = OrderedJson::object();
        o["type"] = m.type;
        o["reason"] = m.reason;
        return o;
    }
    OrderedJson operator()(const PairRequest& m) const {
        OrderedJson o = OrderedJson::object();
        o["type"] = m.type;
        o["mac"] = b64(m.mac);
        o["controller_signing_pub"] = b64(m.controllerSigningPub);
        o["controller_agreement_pub"] = b64(m.controllerAgreementPub);
        o["controller_name"] = m.controllerName;
        o["nonce_c"] = b64(m.nonce);
        return o;
    }
};

// Each reader takes its keys in writing order, so the first bad key is the one reported.
PairStart readPairStart(const Json& o) {
    PairStart m;
    m.type = json::requireString(o, "type");
    m.controllerSigningPub = json::requireBase64URL(o, "controller_signing_pub");
    m.controllerAgreementPub = json::requireBase64URL(o, "controller_agreement_pub");
    m.controllerName = json::requireString(o, "controller_name");
    return m;
}

PairCommit readPairCommit(const Json& o) {
    PairCommit m;
    m.type = json::requireString(o, "type");
    m.commit = json::requireBase64URL(o, "commit");
    m.hostSigningPub = json::requireBase64URL(o, "host_signing_pub");
    m.hostAgreementPub = json::requireBase64URL(o, "host_agreement_pub");
    m.hostName = json::requireString(o, "host_name");
    return m;
}

PairNonce readPairNonce(const Json& o) {
    PairNonce m;
    m.type = json::requireString(o, "type");
    m.nonce = json::requireBase64URL(o, "n_c");
    return m;
}

PairReveal readPairReveal(const Json& o) {
    PairReveal m;
    m.type = json::requireString(o, "type");
    m.nonce = json::requireBase64URL(o, "n_h");
    return m;
}

PairAccept readPairAccept(const Json& o) {
    PairAccept m;
    m.type = json::requireString(o, "type");
    m.permissions = readPermissions(o);
    m.nonce = json::requireBase64URL(o, "nonce_h");
    m.signature = json::requireBase64URL(o, "sig");
    m.hostSigningPub = optionalBase64URL(o, "host_signing_pub");
    m.hostAgreementPub = optionalBase64URL(o, "host_agreement_pub");
    return m;
}

PairConfirm readPairConfirm(const Json& o) {
    PairConfirm m;
    m.type = json::requireString(o, "type");
    m.signature = json::requireBase64URL(o, "sig");
    return m;
}

PairCancel readPairCancel(const Json& o) {
    PairCancel m;
    m.type = json::requireString(o, "type");
    m.reason = json::requireString(o, "reason");
    return m;
}

PairRequest readPairRequest(const Json& o) {
    PairRequest m;
    m.type = json::requireString(o, "type");
    m.mac = json::requireBase64URL(o, "mac");
    m.controllerSigningPub = json::requireBase64URL(o, "controller_signing_pub");
    m.controllerAgreementPub = json::requireBase64URL(o, "controller_agreement_pub");
    m.controllerName = json::requireString(o, "controller_name");
    m.nonce = json::requireBase64URL(o, "nonce_c");
    return m;
}

}  // namespace

std::string PairingMessage::typeName() const {
    static const char* const names[] = {"PairStart",   "PairCommit",  "PairNonce",  "PairReveal",
                                        "PairAccept",  "PairConfirm", "PairCancel", "PairRequest"};
    return names[value_.index()];
}

json::OrderedJson PairingMessage::toJSON() const { return std::visit(Writer{}, value_); }

std::string PairingMessage::encode() const { return json::dump(toJSON()); }

PairingMessage PairingMessage::fromJSON(const json::Json& object) {
    const std::string type = json::requireString(object, "type");
    if (type == "PairStart") return readPairStart(object);
    if (type == "PairCommit") return readPairCommit(object);
    if (type == "PairNonce") return readPairNonce(object);
    if (type == "PairReveal") return readPairReveal(object);
    if (type == "PairAccept") return readPairAccept(object);
    if (type == "PairConfirm") return readPairConfirm(object);
    if (type == "PairCancel") return readPairCancel(object);
    if (type == "PairRequest") return readPairRequest(object);
    throw DecodingError(DecodingError::Kind::dataCorrupted, "", "Unknown pairing type " + type);
}

PairingMessage PairingMessage::decode(ByteView frame) { return fromJSON(json::parse(frame)); }

std::size_t PairingMessage::maxFrameSize() {
    static const std::size_t size = [] {
        // A control character is written as \u00XX: six bytes for one, the most any byte takes.
        const std::string name(longestName, '\x01');
        const Bytes key(32, 0xFF), nonce(32, 0xFF), mac(32, 0xFF), signature(64, 0xFF);
        const PeerPermissions permissions{false, false, false, false, false};  // "false" is the longer
        const PairingMessage longest[] = {
            PairStart(key, key, name),
            PairCommit(key, key, name, mac),
            PairNonce(nonce),
            PairReveal(nonce),
            PairAccept(permissions, nonce, signature, key, key),
            PairConfirm(signature),
            PairCancel(name),
            PairRequest(key, key, name, nonce, mac),
        };
        std::size_t most = 0;
        for (const auto& message : longest) most = std::max(most, json::dumpEscapingSlashes(message.toJSON()).size());
        return 2 * most;
    }();
    return size;
}

}  // namespace quill
