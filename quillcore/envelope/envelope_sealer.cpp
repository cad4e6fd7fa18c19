#include "quillcore/envelope/envelope_sealer.h"

#include "quillcore/crypto/crypto.h"

namespace quill::EnvelopeSealer {

Envelope seal(const SignallingMessage& message, const DeviceIdentity& identity, const PeerRecord& recipient,
              std::optional<SystemTime> time, std::optional<Bytes> id) {
    const std::string plaintext = message.encode();
    const HPKESealedBox box = HPKESealedBox::seal(toBytes(plaintext), recipient.agreementPublicKey, {});
    const SystemTime sealedAt = time ? *time : WallClock::system()->now();

    Envelope envelope;
    envelope.v = 0;
    envelope.to = recipient.fingerprint;
    envelope.from = identity.fingerprint();
    envelope.ts = Envelope::timestamp(sealedAt);
    envelope.id = id ? std::move(*id) : crypto::randomBytes16();
    envelope.enc = box.encapsulatedKey;
    envelope.ct = box.ciphertext;
    envelope.sig = identity.sign(envelope.signedBytes());
    return envelope;
}

}  // namespace quill::EnvelopeSealer
