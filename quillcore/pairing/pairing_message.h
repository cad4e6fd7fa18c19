#pragma once

#include <optional>
#include <string>
#include <variant>

#include "quillcore/base/bytes.h"
#include "quillcore/base/json.h"
#include "quillcore/identity/peer_record.h"

// The eight pairing messages: one JSON object per frame. Byte fields travel as unpadded
// base64url text. Readers look keys up by name, ignore unknown keys and keep "type" as read.
namespace quill {

struct PairStart {
    PairStart() = default;
    PairStart(Bytes controllerSigningPub, Bytes controllerAgreementPub, std::string controllerName)
        : controllerSigningPub(std::move(controllerSigningPub)),
          controllerAgreementPub(std::move(controllerAgreementPub)),
          controllerName(std::move(controllerName)) {}
    bool operator==(const PairStart&) const = default;

    std::string type = "PairStart";
    Bytes controllerSigningPub;
    Bytes controllerAgreementPub;
    std::string controllerName;
};

struct PairCommit {
    PairCommit() = default;
    PairCommit(Bytes hostSigningPub, Bytes hostAgreementPub, std::string hostName, Bytes commit)
        : hostSigningPub(std::move(hostSigningPub)),
          hostAgreementPub(std::move(hostAgreementPub)),
          hostName(std::move(hostName)),
          commit(std::move(commit)) {}
    bool operator==(const PairCommit&) const = default;

    std::string type = "PairCommit";
    Bytes hostSigningPub;
    Bytes hostAgreementPub;
    std::string hostName;
    Bytes commit;
};

struct PairNonce {
    PairNonce() = default;
    explicit PairNonce(Bytes nonce) : nonce(std::move(nonce)) {}
    bool operator==(const PairNonce&) const = default;

    std::string type = "PairNonce";
    Bytes nonce;  // "n_c"
};

struct PairReveal {
    PairReveal() = default;
    explicit PairReveal(Bytes nonce) : nonce(std::move(nonce)) {}
    bool operator==(const PairReveal&) const = default;

    std::string type = "PairReveal";
    Bytes nonce;  // "n_h"
};

struct PairAccept {
    PairAccept() = default;
    PairAccept(PeerPermissions permissions, Bytes nonce, Bytes signature, std::optional<Bytes> hostSigningPub,
               std::optional<Bytes> hostAgreementPub)
        : permissions(permissions),
          nonce(std::move(nonce)),
          signature(std::move(signature)),
          hostSigningPub(std::move(hostSigningPub)),
          hostAgreementPub(std::move(hostAgreementPub)) {}
    bool operator==(const PairAccept&) const = default;

    std::string type = "PairAccept";
    PeerPermissions permissions;
    Bytes nonce;      // "nonce_h"
    Bytes signature;  // "sig"
    std::optional<Bytes> hostSigningPub;
    std::optional<Bytes> hostAgreementPub;
};

struct PairConfirm {
    PairConfirm() = default;
    explicit PairConfirm(Bytes signature) : signature(std::move(signature)) {}
    bool operator==(const PairConfirm&) const = default;

    std::string type = "PairConfirm";
    Bytes signature;  // "sig"
};

struct PairCancel {
    PairCancel() = default;
    explicit PairCancel(std::string reason) : reason(std::move(reason)) {}
    bool operator==(const PairCancel&) const = default;

    std::string type = "PairCancel";
    std::string reason;
};

struct PairRequest {
    PairRequest() = default;
    PairRequest(Bytes controllerSigningPub, Bytes controllerAgreementPub, std::string controllerName, Bytes nonce,
                Bytes mac)
        : controllerSigningPub(std::move(controllerSigningPub)),
          controllerAgreementPub(std::move(controllerAgreementPub)),
          controllerName(std::move(controllerName)),
          nonce(std::move(nonce)),
          mac(std::move(mac)) {}
    bool operator==(const PairRequest&) const = default;

    std::string type = "PairRequest";
    Bytes controllerSigningPub;
    Bytes controllerAgreementPub;
    std::string controllerName;
    Bytes nonce;  // "nonce_c"
    Bytes mac;
};

// Any one pairing message. The alternatives are in case order, which is also the order in
// which decoding tries the "type" names.
class PairingMessage {
public:
    using Value = std::variant<PairStart, PairCommit, PairNonce, PairReveal, PairAccept, PairConfirm, PairCancel,
                               PairRequest>;

    template <class T>
        requires std::is_constructible_v<Value, T&&>
    PairingMessage(T&& message) : value_(std::forward<T>(message)) {}

    // The "type" value of this case (not the payload's stored "type").
    std::string typeName() const;

    template <class T>
    bool is() const { return std::holds_alternative<T>(value_); }
    template <class T>
    const T* get() const { return std::get_if<T>(&value_); }
    const Value& value() const { return value_; }

    // The payload as the whole top-level object, keys in the fixed writing order.
    json::OrderedJson toJSON() const;
    // Compact JSON text, as it travels in one frame.
    std::string encode() const;

    // Throws DecodingError; "Unknown pairing type <type>" for a type that is none of the eight.
    static PairingMessage fromJSON(const json::Json& object);
    // Parses and decodes one frame's bytes; throws DecodingError.
    static PairingMessage decode(ByteView frame);

    // The longest name (or cancel reason) a message is sized for, in UTF-8 bytes: longer than
    // any device name a system lets its user set.
    static constexpr std::size_t longestName = 255;
    // The largest frame a valid message takes, with room to spare: the longest of the eight
    // with keys, nonces and signatures of their real sizes and a name of `longestName` bytes
    // written in its longest escaped form, twice over. A few KiB.
    static std::size_t maxFrameSize();

    bool operator==(const PairingMessage&) const = default;

private:
    Value value_;
};

}  // namespace quill
