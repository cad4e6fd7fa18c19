#pragma once

// HPKE (RFC 9180), base mode, one suite: DHKEM(X25519, HKDF-SHA256), HKDF-SHA256,
// ChaCha20-Poly1305. A context seals exactly one message, with sequence number 0.

#include <cstddef>
#include <cstdint>

#include "quillcore/base/bytes.h"
#include "quillcore/base/error.h"
#include "quillcore/crypto/crypto.h"

namespace quill::crypto::Hpke {

constexpr std::uint16_t kKemId = 0x0020;
constexpr std::uint16_t kKdfId = 0x0001;
constexpr std::uint16_t kAeadId = 0x0003;
constexpr std::size_t kEncapsulatedKeySize = 32;
constexpr std::size_t kTagSize = 16;

struct Sealed {
    Bytes encapsulatedKey;  // the sender's ephemeral X25519 public key
    Bytes ciphertext;       // ciphertext followed by the 16-byte tag
};

// Throws CryptoError for a recipient key of the wrong size or a small-order one.
Sealed seal(ByteView recipientPublicKey, ByteView info, ByteView aad, ByteView plaintext);

// Throws CryptoError when any input is malformed or the ciphertext does not authenticate.
Bytes open(ByteView recipientPrivateKey, ByteView encapsulatedKey, ByteView info, ByteView aad,
           ByteView ciphertext);
// The same with a parsed key, whose public half is already known (half the work of the above).
Bytes open(const X25519::PrivateKey& recipient, ByteView encapsulatedKey, ByteView info, ByteView aad,
           ByteView ciphertext);

// --- For known-answer tests: the same operations with the ephemeral key given, and the
// derived secrets exposed.

struct KeySchedule {
    Bytes sharedSecret;
    Bytes key;
    Bytes baseNonce;
    Bytes exporterSecret;
    ~KeySchedule();
};

Sealed sealWithEphemeralKey(ByteView ephemeralPrivateKey, ByteView recipientPublicKey, ByteView info,
                            ByteView aad, ByteView plaintext);
KeySchedule senderKeySchedule(ByteView ephemeralPrivateKey, ByteView recipientPublicKey, ByteView info);
KeySchedule recipientKeySchedule(ByteView recipientPrivateKey, ByteView encapsulatedKey, ByteView info);
// A context's seal and open of the message with `sequence` (its nonce is the base nonce XOR the
// big-endian sequence number); seal() and open() above are these at sequence number 0.
Bytes sealAt(const KeySchedule& schedule, std::uint64_t sequence, ByteView aad, ByteView plaintext);
Bytes openAt(const KeySchedule& schedule, std::uint64_t sequence, ByteView aad, ByteView ciphertext);

}  // namespace quill::crypto::Hpke
