#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "quillcore/base/bytes.h"
#include "quillcore/base/error.h"

namespace quill {

// The failure of any pairing step, on either side.
class PairingError : public Error {
public:
    enum class Kind {
        unexpectedMessage,
        remoteCancelled,
        invalidMessage,
        storeFailure,
        invalidLink,
        expiredSecret,
        burnedSecret,
        noActiveSecret,
        alreadyInProgress,
        peerIdentityMismatch,
        invalidKeyMaterial,
        invalidMAC,
        commitMismatch,
        invalidSignature,
        cancelled,
        connectionClosed,
    };

    // For the cases without payload.
    explicit PairingError(Kind kind) : kind(kind) {}

    static PairingError unexpectedMessage(std::string expected, std::string received);
    static PairingError remoteCancelled(std::string reason);
    static PairingError invalidMessage(std::string text);
    static PairingError storeFailure(std::string text);
    // Cancelled because the host user left the request undecided for `limit` seconds: the same
    // case as a refusal for the host's callers and the controller, told apart for the host user.
    static PairingError decisionLapsed(double limit);

    std::string description() const override;
    bool operator==(const PairingError&) const = default;

    Kind kind;
    // unexpectedMessage: the expected type name; remoteCancelled: the reason;
    // invalidMessage, storeFailure: the fault's description; cancelled: why, when nobody
    // cancelled it (empty when someone did). Empty otherwise.
    std::string text;
    // unexpectedMessage only: what arrived instead.
    std::string received;
};

// The six-digit comparison code both users compare.
struct PairingCode {
    explicit PairingCode(std::uint32_t value) : value(value % 1000000u) {}

    // "%06u" with a space after the third digit: "000 042".
    std::string groupedText() const;
    std::string description() const { return groupedText(); }
    bool operator==(const PairingCode&) const = default;

    std::uint32_t value;
};

// The byte strings that bind an exchange to both identities and its nonces. Arguments are
// appended whole with nothing between them; both sides pass the controller's fingerprint,
// then the host's, then the nonces.
Bytes commitDigest(ByteView controllerFingerprint, ByteView hostFingerprint, ByteView hostNonce);
std::uint32_t comparisonCodeValue(ByteView controllerFingerprint, ByteView hostFingerprint, ByteView controllerNonce,
                                  ByteView hostNonce);
Bytes pairAcceptTranscript(ByteView controllerFingerprint, ByteView hostFingerprint, ByteView controllerNonce,
                           ByteView hostNonce);
Bytes pairRequestTranscript(ByteView controllerFingerprint, ByteView hostFingerprint, ByteView controllerNonce);

// The first four digest bytes, big-endian, modulo 1,000,000.
std::uint32_t codeValueFromDigest(ByteView digest);

}  // namespace quill

template <>
struct std::hash<quill::PairingCode> {
    std::size_t operator()(const quill::PairingCode& code) const noexcept { return std::hash<std::uint32_t>()(code.value); }
};
