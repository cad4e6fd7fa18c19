#pragma once

// Signing, key agreement, hashing, key derivation and random bytes on libsodium.
// Every function initialises libsodium on first use, so callers never need to.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <sodium/crypto_hash_sha256.h>

#include "quillcore/base/bytes.h"
#include "quillcore/base/error.h"

namespace quill::crypto {

// Initialises libsodium once per process; safe to call from any thread, any number of times.
void initialize();

// `count` bytes, each the low byte of its own 64-bit draw from the secure random source.
Bytes randomBytes(std::size_t count);
// Exactly 16 bytes, drawn as randomBytes(16).
Bytes randomBytes16();
// A random (version 4) UUID in upper-case text, 8-4-4-4-12.
std::string randomUUID();

namespace Ed25519 {

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kSignatureSize = 64;

class PrivateKey {
public:
    static PrivateKey generate();
    // `raw32` is the 32-byte seed (the private key of RFC 8032); none for any other size.
    static std::optional<PrivateKey> fromRaw(ByteView raw32);

    PrivateKey(const PrivateKey& other);
    PrivateKey& operator=(const PrivateKey& other);
    ~PrivateKey();

    Bytes raw() const;        // the 32-byte seed
    Bytes publicKey() const;  // 32 bytes
    Bytes sign(ByteView message) const;  // 64 bytes

private:
    PrivateKey() = default;
    // libsodium's secret key: seed followed by public key.
    std::array<std::uint8_t, 64> secret_{};
};

// False for a bad signature and for a signature or key of the wrong size; never throws.
bool verify(ByteView signature, ByteView message, ByteView publicKey);

}  // namespace Ed25519

namespace X25519 {

constexpr std::size_t kKeySize = 32;

class PrivateKey {
public:
    static PrivateKey generate();
    // Any 32 bytes are a private key (clamped when used); none for any other size.
    static std::optional<PrivateKey> fromRaw(ByteView raw32);

    PrivateKey(const PrivateKey& other);
    PrivateKey& operator=(const PrivateKey& other);
    ~PrivateKey();

    Bytes raw() const;        // 32 bytes
    Bytes publicKey() const;  // 32 bytes
    // Throws CryptoError for a peer key that is not 32 bytes or that gives an all-zero
    // result (a small-order point).
    Bytes sharedSecret(ByteView peerPublicKey) const;

private:
    PrivateKey() = default;
    std::array<std::uint8_t, kKeySize> secret_{};
    std::array<std::uint8_t, kKeySize> public_{};
};

}  // namespace X25519

// Incremental SHA-256.
class Sha256 {
public:
    static constexpr std::size_t kDigestSize = 32;

    Sha256();
    void update(ByteView data);
    // The digest of everything given so far; the object then starts over, empty.
    Bytes finish();
    static Bytes hash(ByteView data);

private:
    crypto_hash_sha256_state state_{};
};

// HMAC-SHA256 with a raw key of any length.
Bytes hmacSha256(ByteView key, ByteView message);

// HKDF-SHA256 (RFC 5869). hkdfExpand throws CryptoError for a length over 255 * 32.
Bytes hkdfExtract(ByteView salt, ByteView ikm);
Bytes hkdfExpand(ByteView prk, ByteView info, std::size_t length);
Bytes hkdf(ByteView ikm, ByteView salt, ByteView info, std::size_t length);

}  // namespace quill::crypto

#include "quillcore/crypto/hpke.h"
