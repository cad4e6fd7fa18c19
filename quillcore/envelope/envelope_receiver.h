#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "quillcore/base/bytes.h"
#include "quillcore/base/clock.h"
#include "quillcore/base/error.h"
#include "quillcore/envelope/envelope.h"
#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/peer_record.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/signalling/signalling_message.h"

namespace quill {

// Why a receiver refused an envelope.
class EnvelopeError : public Error {
public:
    enum class Kind {
        unsupportedVersion,
        unknownSender,
        wrongRecipient,
        invalidIdentifier,
        staleTimestamp,
        replayed,
        invalidSignature,
        decryptionFailed,
        invalidPayload,
    };

    explicit EnvelopeError(Kind kind, std::int64_t version = 0) : kind(kind), version(version) {}
    static EnvelopeError unsupportedVersion(std::int64_t v) { return EnvelopeError(Kind::unsupportedVersion, v); }
    static EnvelopeError unknownSender() { return EnvelopeError(Kind::unknownSender); }
    static EnvelopeError wrongRecipient() { return EnvelopeError(Kind::wrongRecipient); }
    static EnvelopeError invalidIdentifier() { return EnvelopeError(Kind::invalidIdentifier); }
    static EnvelopeError staleTimestamp() { return EnvelopeError(Kind::staleTimestamp); }
    static EnvelopeError replayed() { return EnvelopeError(Kind::replayed); }
    static EnvelopeError invalidSignature() { return EnvelopeError(Kind::invalidSignature); }
    static EnvelopeError decryptionFailed() { return EnvelopeError(Kind::decryptionFailed); }
    static EnvelopeError invalidPayload() { return EnvelopeError(Kind::invalidPayload); }

    std::string description() const override;
    bool operator==(const EnvelopeError&) const = default;

    Kind kind;
    std::int64_t version;  // the received `v`, for unsupportedVersion only
};

struct OpenedEnvelope {
    Envelope envelope;          // as received, signature included
    SignallingMessage message;  // the decrypted payload
    PeerRecord sender;          // as the peer store returned it
};

// Opens the envelopes that arrive for one device. Each receiver remembers the identifiers it
// accepted in the last two minutes; receivers share nothing. Thread-safe.
class EnvelopeReceiver {
public:
    static constexpr std::int64_t kFreshnessMillis = 60'000;
    static constexpr std::int64_t kReplayMillis = 120'000;
    static constexpr std::size_t kIdentifierSize = 16;

    EnvelopeReceiver(DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore);
    EnvelopeReceiver(const EnvelopeReceiver&) = delete;
    EnvelopeReceiver& operator=(const EnvelopeReceiver&) = delete;

    // Checks version, recipient, identifier length, sender, freshness, signature and replay, in
    // that order (an identifier already accepted is refused before the signature is checked),
    // then decrypts and decodes the message. Throws the first EnvelopeError, or the
    // peer store's own error unchanged. `openedAt` is the wall-clock time of opening.
    OpenedEnvelope open(const Envelope& envelope, SystemTime openedAt);

    // Records `id` as accepted at `openedAt`, or throws replayed when it was accepted within the
    // replay window. Times are whole milliseconds, rounded as envelope time stamps are, so the
    // replay window and the freshness window meet exactly.
    void checkReplay(ByteView id, SystemTime openedAt);

    const DeviceIdentity& identity() const { return identity_; }
    const std::shared_ptr<PeerStore>& peerStore() const { return peerStore_; }
    // How many identifiers are remembered now.
    std::size_t seenCount() const;

private:
    using Identifier = std::array<std::uint8_t, kIdentifierSize>;
    // Whether `id` was accepted within the replay window; records nothing.
    bool seen(ByteView id, SystemTime openedAt);
    // With lock_ held: forgets what left the replay window.
    void forgetLocked(std::int64_t now);
    struct IdentifierHash {
        IdentifierHash();
        std::size_t operator()(const Identifier& id) const noexcept;
        std::array<std::uint8_t, 16> key_;
    };

    const DeviceIdentity identity_;
    const std::shared_ptr<PeerStore> peerStore_;
    mutable std::mutex lock_;
    // The identifiers remembered, and the same with the time each was accepted at (ms), oldest
    // first: expiry takes from the front, so an open costs the same however many are held.
    std::unordered_map<Identifier, std::int64_t, IdentifierHash> seenIDs_;
    std::deque<std::pair<std::int64_t, Identifier>> acceptedOrder_;
};

}  // namespace quill
