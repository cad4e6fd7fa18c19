#include "quillcore/pairing/controller_pairing.h"

#include "quillcore/crypto/crypto.h"
#include "quillcore/pairing/pairing_helpers.h"
#include "quillcore/transport/frame_channel.h"

namespace quill {

namespace {

[[noreturn]] void fail(PairingError::Kind kind) { throw PairingError(kind); }

}  // namespace

ControllerPairing::ControllerPairing(DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore,
                                     std::string controllerName, double readLimit, std::shared_ptr<WallClock> clock)
    : identity_(std::move(identity)),
      peerStore_(std::move(peerStore)),
      controllerName_(std::move(controllerName)),
      readLimit_(readLimit),
      clock_(std::move(clock)) {}

std::optional<PairingCode> ControllerPairing::comparisonCode() const { return exchange_.comparisonCode(); }

bool ControllerPairing::isAwaitingConfirmation() const { return exchange_.isAwaitingConfirmation(); }

void ControllerPairing::confirmComparison() { exchange_.decide(true); }

void ControllerPairing::rejectComparison() { exchange_.decide(false); }

PeerRecord ControllerPairing::startComparison(FrameChannel& channel) {
    return exchange_.run(channel, "pairing failed", [&] { return pairWithComparison(channel); });
}

PeerRecord ControllerPairing::startLink(const PairingLink& link, const std::string& hostName, FrameChannel& channel) {
    return exchange_.run(channel, "QR pairing failed", [&] { return pairWithLink(link, hostName, channel); });
}

PeerRecord ControllerPairing::saveHost(const Bytes& fingerprint, const Bytes& signingKey, const Bytes& agreementKey,
                                       const std::string& name, const PeerPermissions& permissions) {
    PeerRecord record{fingerprint, signingKey, agreementKey, name, "", secondsSince2001(clock_->now()), permissions};
    savePairedPeer(*peerStore_, record);
    return record;
}

PeerRecord ControllerPairing::pairWithComparison(FrameChannel& channel) {
    sendMessage(channel, PairStart(identity_.signingPublicKey(), identity_.agreementPublicKey(), controllerName_));

    auto first = receiveMessage(channel, readLimit_);
    const auto* commitPtr = first.get<PairCommit>();
    if (!commitPtr) throw PairingError::unexpectedMessage("PairCommit", "other");
    const PairCommit commit = *commitPtr;
    validatePeerKeys(commit.hostSigningPub, commit.hostAgreementPub);
    if (commit.commit.size() != crypto::Sha256::kDigestSize) fail(PairingError::Kind::invalidKeyMaterial);
    const Bytes hostFingerprint = DeviceIdentity::fingerprint(commit.hostSigningPub, commit.hostAgreementPub);

    const Bytes controllerNonce = crypto::randomBytes(kPairingNonceSize);
    sendMessage(channel, PairNonce(controllerNonce));

    auto second = receiveMessage(channel, readLimit_);
    const auto* reveal = second.get<PairReveal>();
    if (!reveal) throw PairingError::unexpectedMessage("PairReveal", "other");
    if (reveal->nonce.size() != kPairingNonceSize) fail(PairingError::Kind::invalidKeyMaterial);
    const Bytes hostNonce = reveal->nonce;
    if (!constantTimeEquals(commitDigest(identity_.fingerprint(), hostFingerprint, hostNonce), commit.commit))
        fail(PairingError::Kind::commitMismatch);

    exchange_.awaitDecision(
        PairingCode(comparisonCodeValue(identity_.fingerprint(), hostFingerprint, controllerNonce, hostNonce)));

    // The host may accept before our user answers: hold its PairAccept until then.
    std::optional<PairAccept> held;
    std::optional<bool> decided;
    while (!(decided = exchange_.takeDecision())) {
        auto frame = pollForFrame(channel);
        if (!frame) continue;
        std::optional<PairingMessage> message;
        try {
            message.emplace(PairingMessage::decode(*frame));
        } catch (const DecodingError& e) {
            throw PairingError::invalidMessage(e.description());
        }
        if (const auto* accept = message->get<PairAccept>()) {
            held = *accept;
        } else if (const auto* cancel = message->get<PairCancel>()) {
            throw PairingError::remoteCancelled(cancel->reason);
        } else {
            throw PairingError::unexpectedMessage("PairAccept or PairCancel", "other");
        }
    }
    if (!*decided) fail(PairingError::Kind::cancelled);
    exchange_.confirmed();

    if (!held) {
        auto reply = receiveMessage(channel, std::nullopt);
        const auto* accept = reply.get<PairAccept>();
        if (!accept) throw PairingError::unexpectedMessage("PairAccept", "other");
        held = *accept;
    }
    if (!constantTimeEquals(held->nonce, hostNonce)) fail(PairingError::Kind::commitMismatch);
    const Bytes transcript = pairAcceptTranscript(identity_.fingerprint(), hostFingerprint, controllerNonce, hostNonce);
    // Against the key the host committed with; keys repeated in the PairAccept are ignored.
    if (!DeviceIdentity::verify(held->signature, transcript, commit.hostSigningPub))
        fail(PairingError::Kind::invalidSignature);

    sendMessage(channel, PairConfirm(identity_.sign(transcript)));
    return saveHost(hostFingerprint, commit.hostSigningPub, commit.hostAgreementPub, commit.hostName,
                    held->permissions);
}

PeerRecord ControllerPairing::pairWithLink(const PairingLink& link, const std::string& hostName,
                                           FrameChannel& channel) {
    if (link.version != 0) fail(PairingError::Kind::invalidLink);
    try {
        if (!(DeviceID::fromFingerprint(link.fingerprint) == link.deviceID)) fail(PairingError::Kind::invalidLink);
    } catch (const PairingError&) {
        throw;
    } catch (const std::exception&) {
        fail(PairingError::Kind::invalidLink);
    }
    if (link.fingerprint.size() != 32) fail(PairingError::Kind::invalidLink);
    if (link.secret.size() != 16) fail(PairingError::Kind::invalidLink);

    const Bytes controllerNonce = crypto::randomBytes(kPairingNonceSize);
    const Bytes mac =
        crypto::hmacSha256(link.secret, pairRequestTranscript(identity_.fingerprint(), link.fingerprint, controllerNonce));
    sendMessage(channel, PairRequest(identity_.signingPublicKey(), identity_.agreementPublicKey(), controllerName_,
                                     controllerNonce, mac));

    auto reply = receiveMessage(channel, std::nullopt);
    const auto* acceptPtr = reply.get<PairAccept>();
    if (!acceptPtr) throw PairingError::unexpectedMessage("PairAccept", "other");
    const PairAccept accept = *acceptPtr;
    if (accept.nonce.size() != kPairingNonceSize || !accept.hostSigningPub || !accept.hostAgreementPub)
        fail(PairingError::Kind::invalidKeyMaterial);
    validatePeerKeys(*accept.hostSigningPub, *accept.hostAgreementPub);
    const Bytes hostFingerprint = DeviceIdentity::fingerprint(*accept.hostSigningPub, *accept.hostAgreementPub);
    // Identity before signature: a well-signed answer from other keys is still the wrong host.
    if (!constantTimeEquals(hostFingerprint, link.fingerprint)) fail(PairingError::Kind::peerIdentityMismatch);

    const Bytes transcript = pairAcceptTranscript(identity_.fingerprint(), hostFingerprint, controllerNonce, accept.nonce);
    if (!DeviceIdentity::verify(accept.signature, transcript, *accept.hostSigningPub))
        fail(PairingError::Kind::invalidSignature);

    sendMessage(channel, PairConfirm(identity_.sign(transcript)));
    return saveHost(hostFingerprint, *accept.hostSigningPub, *accept.hostAgreementPub, hostName, accept.permissions);
}

}  // namespace quill
