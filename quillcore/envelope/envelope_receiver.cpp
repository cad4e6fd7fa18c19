#include "quillcore/envelope/envelope_receiver.h"

#include <algorithm>
#include <cstring>

#include <sodium.h>

#include "quillcore/crypto/crypto.h"

namespace quill {

std::string EnvelopeError::description() const {
    switch (kind) {
        case Kind::unsupportedVersion:
            return "The envelope has unsupported version " + std::to_string(version) + ".";
        case Kind::unknownSender:
            return "The envelope comes from a device that is not paired.";
        case Kind::wrongRecipient:
            return "The envelope is addressed to another device.";
        case Kind::invalidIdentifier:
            return "The envelope identifier is not 16 bytes long.";
        case Kind::staleTimestamp:
            return "The envelope time stamp is too far from the current time.";
        case Kind::replayed:
            return "The envelope was already received.";
        case Kind::invalidSignature:
            return "The envelope signature is not valid.";
        case Kind::decryptionFailed:
            return "The envelope could not be decrypted.";
        case Kind::invalidPayload:
            return "The envelope does not hold a valid signalling message.";
    }
    return "The envelope was refused.";
}

EnvelopeReceiver::EnvelopeReceiver(DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore)
    : identity_(std::move(identity)), peerStore_(std::move(peerStore)) {}

OpenedEnvelope EnvelopeReceiver::open(const Envelope& envelope, SystemTime openedAt) {
    if (envelope.v != 0) {
        throw EnvelopeError::unsupportedVersion(envelope.v);
    }
    if (envelope.to != identity_.fingerprint()) {
        throw EnvelopeError::wrongRecipient();
    }
    if (envelope.id.size() != kIdentifierSize) {
        throw EnvelopeError::invalidIdentifier();
    }
    std::optional<PeerRecord> sender = peerStore_->peer(envelope.from);  // its errors pass through
    if (!sender) {
        throw EnvelopeError::unknownSender();
    }
    const std::int64_t now = Envelope::timestamp(openedAt);
    if (envelope.ts < now - kFreshnessMillis || envelope.ts > now + kFreshnessMillis) {
        throw EnvelopeError::staleTimestamp();
    }
    // An identifier already spent is refused before the signature costs anything: a replay
    // flood of a paired controller's own envelope is cheap to turn away.
    if (seen(envelope.id, openedAt)) {
        throw EnvelopeError::replayed();
    }
    if (!DeviceIdentity::verify(envelope.sig, envelope.signedBytes(), sender->signingPublicKey)) {
        throw EnvelopeError::invalidSignature();
    }
    // The identifier is spent from here on, even when decryption or decoding fails below.
    checkReplay(envelope.id, openedAt);

    Bytes plaintext;
    try {
        plaintext = HPKESealedBox{envelope.enc, envelope.ct}.open(identity_, {});
    } catch (const std::exception&) {
        throw EnvelopeError::decryptionFailed();
    }
    std::optional<SignallingMessage> message;
    try {
        message.emplace(SignallingMessage::decode(plaintext));
    } catch (const std::exception&) {
        throw EnvelopeError::invalidPayload();
    }
    return OpenedEnvelope{envelope, std::move(*message), std::move(*sender)};
}

void EnvelopeReceiver::forgetLocked(std::int64_t now) {
    const std::int64_t cutoff = now - kReplayMillis;
    while (!acceptedOrder_.empty() && acceptedOrder_.front().first < cutoff) {
        seenIDs_.erase(acceptedOrder_.front().second);
        acceptedOrder_.pop_front();
    }
}

bool EnvelopeReceiver::seen(ByteView id, SystemTime openedAt) {
    if (id.size() != kIdentifierSize) return false;
    Identifier key;
    std::copy(id.begin(), id.end(), key.begin());
    // Only looks: what left the window goes when an identifier is recorded, as it always did.
    std::lock_guard guard(lock_);
    const auto found = seenIDs_.find(key);
    return found != seenIDs_.end() && found->second >= Envelope::timestamp(openedAt) - kReplayMillis;
}

void EnvelopeReceiver::checkReplay(ByteView id, SystemTime openedAt) {
    // open() has checked the length; a direct caller with another length cannot have a match.
    if (id.size() != kIdentifierSize) {
        throw EnvelopeError::invalidIdentifier();
    }
    Identifier key;
    std::copy(id.begin(), id.end(), key.begin());
    const std::int64_t now = Envelope::timestamp(openedAt);

    std::lock_guard guard(lock_);
    forgetLocked(now);
    if (seenIDs_.contains(key)) {
        throw EnvelopeError::replayed();
    }
    // After the clock went back, an identifier waits behind older ones: it is only remembered
    // longer, never shorter.
    seenIDs_.emplace(key, now);
    acceptedOrder_.emplace_back(now, key);
}

std::size_t EnvelopeReceiver::seenCount() const {
    std::lock_guard guard(lock_);
    return seenIDs_.size();
}

EnvelopeReceiver::IdentifierHash::IdentifierHash() {
    const Bytes key = crypto::randomBytes(key_.size());
    std::copy(key.begin(), key.end(), key_.begin());
}

std::size_t EnvelopeReceiver::IdentifierHash::operator()(const Identifier& id) const noexcept {
    // Keyed, so a peer that picks its identifiers cannot make them collide.
    unsigned char digest[crypto_shorthash_siphash24_BYTES];
    crypto_shorthash_siphash24(digest, id.data(), id.size(), key_.data());
    std::uint64_t value = 0;
    std::memcpy(&value, digest, sizeof value);
    return static_cast<std::size_t>(value);
}

}  // namespace quill
