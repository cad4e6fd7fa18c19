// Decodes an untrusted envelope and opens it as this device would. Decoding fails only with a
// DecodingError and opening only with an EnvelopeError. Whatever decodes must encode and decode
// to an equal envelope. The envelope is also opened once more signed by the paired sender, so
// that mutated keys, ciphertexts and payloads reach decryption and message decoding.
//
// The corpus envelopes were sealed by the identities below at kOpenedAt.
#include <chrono>
#include <cstdlib>
#include <memory>

#include "quillcore/envelope/envelope.h"
#include "quillcore/envelope/envelope_receiver.h"

namespace {

using namespace quill;

constexpr std::int64_t kOpenedAtMillis = 1700000000000;

struct World {
    DeviceIdentity host{StoredIdentityKeys(Bytes(32, 0x11), Bytes(32, 0x12))};
    DeviceIdentity controller{StoredIdentityKeys(Bytes(32, 0x21), Bytes(32, 0x22))};
    std::shared_ptr<PeerStore> store;
    SystemTime openedAt{std::chrono::milliseconds(kOpenedAtMillis)};

    World() {
        PeerRecord record;
        record.fingerprint = controller.fingerprint();
        record.signingPublicKey = controller.signingPublicKey();
        record.agreementPublicKey = controller.agreementPublicKey();
        record.name = "controller";
        record.permissions = PeerPermissions::defaults();
        store = std::make_shared<InMemoryPeerStore>(std::vector{record});
    }
};

void openOnce(const World& world, const Envelope& envelope) {
    EnvelopeReceiver receiver(world.host, world.store);
    try {
        const OpenedEnvelope opened = receiver.open(envelope, world.openedAt);
        if (!(opened.envelope == envelope)) std::abort();
        if (!(SignallingMessage::decode(opened.message.encode()) == opened.message)) std::abort();
    } catch (const EnvelopeError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const World world;
    Envelope envelope;
    try {
        envelope = Envelope::decode(ByteView(data, size));
    } catch (const DecodingError&) {
        return 0;
    }
    if (!(Envelope::decode(envelope.encode()) == envelope)) std::abort();

    openOnce(world, envelope);
    envelope.sig = world.controller.sign(envelope.signedBytes());
    openOnce(world, envelope);
    return 0;
}
