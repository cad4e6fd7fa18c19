#include "quillcore/crypto/hpke.h"

#include <sodium.h>

#include <string_view>

#include "quillcore/crypto/crypto.h"

namespace quill::crypto::Hpke {

namespace {

constexpr std::size_t kSecretSize = 32;  // Nsecret, Nk and Nh of this suite
constexpr std::size_t kNonceSize = crypto_aead_chacha20poly1305_IETF_NPUBBYTES;
static_assert(kNonceSize == 12 && crypto_aead_chacha20poly1305_IETF_ABYTES == kTagSize &&
              crypto_aead_chacha20poly1305_IETF_KEYBYTES == kSecretSize);

// Holds a derived secret and wipes it when it goes out of scope.
struct Secret {
    Bytes bytes;
    ~Secret() { sodium_memzero(bytes.data(), bytes.size()); }
};

void appendText(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

void appendU16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xff));
}

Bytes kemSuiteId() {
    Bytes id;
    appendText(id, "KEM");
    appendU16(id, kKemId);
    return id;
}

Bytes hpkeSuiteId() {
    Bytes id;
    appendText(id, "HPKE");
    appendU16(id, kKemId);
    appendU16(id, kKdfId);
    appendU16(id, kAeadId);
    return id;
}

Bytes labeledExtract(ByteView suiteId, ByteView salt, std::string_view label, ByteView ikm) {
    Secret labeled;
    appendText(labeled.bytes, "HPKE-v1");
    append(labeled.bytes, suiteId);
    appendText(labeled.bytes, label);
    append(labeled.bytes, ikm);
    return hkdfExtract(salt, labeled.bytes);
}

Bytes labeledExpand(ByteView suiteId, ByteView prk, std::string_view label, ByteView info,
                    std::size_t length) {
    Bytes labeled;
    appendU16(labeled, static_cast<std::uint16_t>(length));
    appendText(labeled, "HPKE-v1");
    append(labeled, suiteId);
    appendText(labeled, label);
    append(labeled, info);
    return hkdfExpand(prk, labeled, length);
}

// DHKEM ExtractAndExpand with kem_context = enc || pkR.
Bytes kemSharedSecret(ByteView dh, ByteView enc, ByteView recipientPublicKey) {
    const Bytes suite = kemSuiteId();
    Secret eaePrk{labeledExtract(suite, {}, "eae_prk", dh)};
    Bytes context(enc.begin(), enc.end());
    append(context, recipientPublicKey);
    return labeledExpand(suite, eaePrk.bytes, "shared_secret", context, kSecretSize);
}

KeySchedule keySchedule(Bytes sharedSecret, ByteView info) {
    const Bytes suite = hpkeSuiteId();
    // Base mode: no PSK, so psk and psk_id are empty.
    Bytes context{0x00};
    append(context, labeledExtract(suite, {}, "psk_id_hash", {}));
    append(context, labeledExtract(suite, {}, "info_hash", info));
    Secret secret{labeledExtract(suite, sharedSecret, "secret", {})};
    KeySchedule schedule;
    schedule.key = labeledExpand(suite, secret.bytes, "key", context, kSecretSize);
    schedule.baseNonce = labeledExpand(suite, secret.bytes, "base_nonce", context, kNonceSize);
    schedule.exporterSecret = labeledExpand(suite, secret.bytes, "exp", context, kSecretSize);
    schedule.sharedSecret = std::move(sharedSecret);
    return schedule;
}

// The base nonce XOR the sequence number, big-endian in the nonce's last eight bytes.
Bytes sequenceNonce(const KeySchedule& schedule, std::uint64_t sequence) {
    Bytes nonce = schedule.baseNonce;
    for (std::size_t i = 0; i < sizeof sequence; ++i)
        nonce[nonce.size() - 1 - i] ^= static_cast<std::uint8_t>(sequence >> (8 * i));
    return nonce;
}

}  // namespace

KeySchedule::~KeySchedule() {
    sodium_memzero(sharedSecret.data(), sharedSecret.size());
    sodium_memzero(key.data(), key.size());
    sodium_memzero(baseNonce.data(), baseNonce.size());
    sodium_memzero(exporterSecret.data(), exporterSecret.size());
}

namespace {

X25519::PrivateKey parsePrivateKey(ByteView raw) {
    auto key = X25519::PrivateKey::fromRaw(raw);
    if (!key) {
        throw CryptoError("HPKE: X25519 private key must be 32 bytes");
    }
    return *key;
}

KeySchedule senderSchedule(const X25519::PrivateKey& ephemeral, ByteView recipientPublicKey, ByteView info) {
    Secret dh{ephemeral.sharedSecret(recipientPublicKey)};  // refuses bad sizes and small-order keys
    return keySchedule(kemSharedSecret(dh.bytes, ephemeral.publicKey(), recipientPublicKey), info);
}

Sealed sealWith(const X25519::PrivateKey& ephemeral, ByteView recipientPublicKey, ByteView info, ByteView aad,
                ByteView plaintext) {
    const KeySchedule schedule = senderSchedule(ephemeral, recipientPublicKey, info);
    return Sealed{ephemeral.publicKey(), sealAt(schedule, 0, aad, plaintext)};
}

}  // namespace

KeySchedule senderKeySchedule(ByteView ephemeralPrivateKey, ByteView recipientPublicKey, ByteView info) {
    return senderSchedule(parsePrivateKey(ephemeralPrivateKey), recipientPublicKey, info);
}

namespace {

KeySchedule recipientSchedule(const X25519::PrivateKey& recipient, ByteView encapsulatedKey, ByteView info) {
    Secret dh{recipient.sharedSecret(encapsulatedKey)};
    return keySchedule(kemSharedSecret(dh.bytes, encapsulatedKey, recipient.publicKey()), info);
}

}  // namespace

KeySchedule recipientKeySchedule(ByteView recipientPrivateKey, ByteView encapsulatedKey, ByteView info) {
    return recipientSchedule(parsePrivateKey(recipientPrivateKey), encapsulatedKey, info);
}

Sealed sealWithEphemeralKey(ByteView ephemeralPrivateKey, ByteView recipientPublicKey, ByteView info,
                            ByteView aad, ByteView plaintext) {
    return sealWith(parsePrivateKey(ephemeralPrivateKey), recipientPublicKey, info, aad, plaintext);
}

Sealed seal(ByteView recipientPublicKey, ByteView info, ByteView aad, ByteView plaintext) {
    return sealWith(X25519::PrivateKey::generate(), recipientPublicKey, info, aad, plaintext);
}

Bytes open(ByteView recipientPrivateKey, ByteView encapsulatedKey, ByteView info, ByteView aad,
           ByteView ciphertext) {
    return open(parsePrivateKey(recipientPrivateKey), encapsulatedKey, info, aad, ciphertext);
}

Bytes open(const X25519::PrivateKey& recipient, ByteView encapsulatedKey, ByteView info, ByteView aad,
           ByteView ciphertext) {
    if (encapsulatedKey.size() != kEncapsulatedKeySize) {
        throw CryptoError("HPKE: encapsulated key must be 32 bytes");
    }
    if (ciphertext.size() < kTagSize) {
        throw CryptoError("HPKE: ciphertext is shorter than its tag");
    }
    return openAt(recipientSchedule(recipient, encapsulatedKey, info), 0, aad, ciphertext);
}

Bytes sealAt(const KeySchedule& schedule, std::uint64_t sequence, ByteView aad, ByteView plaintext) {
    const Secret nonce{sequenceNonce(schedule, sequence)};
    Bytes ciphertext(plaintext.size() + kTagSize);
    unsigned long long written = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(ciphertext.data(), &written, plaintext.data(), plaintext.size(),
                                              aad.data(), aad.size(), nullptr, nonce.bytes.data(), schedule.key.data());
    ciphertext.resize(static_cast<std::size_t>(written));
    return ciphertext;
}

Bytes openAt(const KeySchedule& schedule, std::uint64_t sequence, ByteView aad, ByteView ciphertext) {
    if (ciphertext.size() < kTagSize) {
        throw CryptoError("HPKE: ciphertext is shorter than its tag");
    }
    const Secret nonce{sequenceNonce(schedule, sequence)};
    Bytes plaintext(ciphertext.size() - kTagSize);
    unsigned long long written = 0;
    if (crypto_aead_chacha20poly1305_ietf_decrypt(plaintext.data(), &written, nullptr, ciphertext.data(),
                                                  ciphertext.size(), aad.data(), aad.size(), nonce.bytes.data(),
                                                  schedule.key.data()) != 0) {
        throw CryptoError("HPKE: the ciphertext could not be authenticated");
    }
    plaintext.resize(static_cast<std::size_t>(written));
    return plaintext;
}

}  // namespace quill::crypto::Hpke
