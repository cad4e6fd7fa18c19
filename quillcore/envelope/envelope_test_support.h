#pragma once

// Identities, peer records and hand-made envelopes for the envelope tests.

#include <chrono>
#include <string>

#include "quillcore/crypto/crypto.h"
#include "quillcore/envelope/envelope.h"
#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/peer_record.h"

namespace quill::testing {

// A deterministic identity: both private keys are `seed` repeated.
inline DeviceIdentity makeIdentity(std::uint8_t seed) {
    return DeviceIdentity(StoredIdentityKeys(Bytes(32, seed), Bytes(32, static_cast<std::uint8_t>(seed + 1))));
}

inline PeerRecord recordOf(const DeviceIdentity& identity, std::string name = "peer") {
    return {identity.fingerprint(), identity.signingPublicKey(), identity.agreementPublicKey(), std::move(name), "",
            700000000.25, PeerPermissions::defaults()};
}

inline SystemTime atNanos(std::int64_t nanos) {
    return SystemTime(std::chrono::duration_cast<SystemTime::duration>(std::chrono::nanoseconds(nanos)));
}
inline SystemTime atMillis(std::int64_t millis) { return atNanos(millis * 1'000'000); }

// Signs the envelope again after a test changed it, as a sender holding `signer` would.
inline Envelope resigned(Envelope envelope, const DeviceIdentity& signer) {
    envelope.sig = signer.sign(envelope.signedBytes());
    return envelope;
}

// An envelope carrying arbitrary plaintext, sealed to `agreementKey` and signed by `sender`.
inline Envelope sealRaw(ByteView plaintext, const DeviceIdentity& sender, const Bytes& to, ByteView agreementKey,
                        std::int64_t ts, Bytes id) {
    const HPKESealedBox box = HPKESealedBox::seal(plaintext, agreementKey, {});
    return resigned(Envelope{0, to, sender.fingerprint(), ts, std::move(id), box.encapsulatedKey, box.ciphertext, {}},
                    sender);
}

}  // namespace quill::testing
