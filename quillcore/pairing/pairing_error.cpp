#include "quillcore/pairing/pairing_error.h"

#include <cmath>
#include <cstdio>
#include <string_view>

#include "quillcore/crypto/crypto.h"

namespace quill {

PairingError PairingError::unexpectedMessage(std::string expected, std::string received) {
    PairingError e(Kind::unexpectedMessage);
    e.text = std::move(expected);
    e.received = std::move(received);
    return e;
}

PairingError PairingError::remoteCancelled(std::string reason) {
    PairingError e(Kind::remoteCancelled);
    e.text = std::move(reason);
    return e;
}

PairingError PairingError::invalidMessage(std::string text) {
    PairingError e(Kind::invalidMessage);
    e.text = std::move(text);
    return e;
}

PairingError PairingError::storeFailure(std::string text) {
    PairingError e(Kind::storeFailure);
    e.text = std::move(text);
    return e;
}

PairingError PairingError::decisionLapsed(double limit) {
    // Whole minutes as minutes; any other limit (a test's) in seconds.
    const bool minutes = limit >= 60 && std::fmod(limit, 60) == 0;
    const double count = minutes ? limit / 60 : limit;
    char number[32];
    std::snprintf(number, sizeof number, "%g", count);
    PairingError e(Kind::cancelled);
    e.text = std::string("no decision within ") + number + (minutes ? " minute" : " second") + (count == 1 ? "" : "s");
    return e;
}

std::string PairingError::description() const {
    switch (kind) {
        case Kind::unexpectedMessage: return "unexpected message (expected " + text + ", received " + received + ")";
        case Kind::remoteCancelled: return "the other device cancelled: " + text;
        case Kind::invalidMessage: return "invalid pairing message: " + text;
        case Kind::storeFailure: return "could not save the paired device: " + text;
        case Kind::invalidLink: return "the pairing link is not valid";
        case Kind::expiredSecret: return "the pairing code has expired";
        case Kind::burnedSecret: return "the pairing code has already been used";
        case Kind::noActiveSecret: return "no pairing code is active";
        case Kind::alreadyInProgress: return "another pairing is in progress";
        case Kind::peerIdentityMismatch: return "the other device is not the one in the pairing code";
        case Kind::invalidKeyMaterial: return "the other device sent invalid key material";
        case Kind::invalidMAC: return "the request does not match the pairing code";
        case Kind::commitMismatch: return "the other device's commitment does not match";
        case Kind::invalidSignature: return "the other device's signature is not valid";
        case Kind::cancelled: return text.empty() ? "pairing was cancelled" : text;
        case Kind::connectionClosed: return "the connection closed";
    }
    return "pairing failed";
}

std::string PairingCode::groupedText() const {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>(value));
    std::string text(digits);
    return text.substr(0, 3) + " " + text.substr(3);
}

namespace {

Bytes labelled(std::string_view label, std::initializer_list<ByteView> parts) {
    Bytes out(label.begin(), label.end());
    for (ByteView part : parts) append(out, part);
    return out;
}

}  // namespace

Bytes commitDigest(ByteView controllerFingerprint, ByteView hostFingerprint, ByteView hostNonce) {
    return crypto::Sha256::hash(labelled("qm-commit-v0", {controllerFingerprint, hostFingerprint, hostNonce}));
}

std::uint32_t codeValueFromDigest(ByteView digest) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4 && i < digest.size(); ++i) v = v << 8 | digest[i];
    return v % 1000000u;
}

std::uint32_t comparisonCodeValue(ByteView controllerFingerprint, ByteView hostFingerprint, ByteView controllerNonce,
                                  ByteView hostNonce) {
    return codeValueFromDigest(crypto::Sha256::hash(
        labelled("qm-sas-v0", {controllerFingerprint, hostFingerprint, controllerNonce, hostNonce})));
}

Bytes pairAcceptTranscript(ByteView controllerFingerprint, ByteView hostFingerprint, ByteView controllerNonce,
                           ByteView hostNonce) {
    return labelled("qm-pair-ok-v0", {controllerFingerprint, hostFingerprint, controllerNonce, hostNonce});
}

Bytes pairRequestTranscript(ByteView controllerFingerprint, ByteView hostFingerprint, ByteView controllerNonce) {
    return labelled("qm-pair-v0", {controllerFingerprint, hostFingerprint, controllerNonce});
}

}  // namespace quill
