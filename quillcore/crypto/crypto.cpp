#include "quillcore/crypto/crypto.h"

#include <sodium.h>

#include <cstdio>
#include <mutex>

namespace quill::crypto {

namespace {

// libsodium declares some pointers non-null even for zero lengths; an empty span may hold null.
const unsigned char* nonNull(ByteView bytes) {
    static const unsigned char empty = 0;
    return bytes.data() != nullptr ? bytes.data() : &empty;
}

}  // namespace

void initialize() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (sodium_init() < 0) {
            // Without a working random source nothing here is safe to use.
            throw CryptoError("libsodium could not be initialised");
        }
    });
}

Bytes randomBytes(std::size_t count) {
    initialize();
    Bytes out(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t draw = 0;
        randombytes_buf(&draw, sizeof draw);
        out[i] = static_cast<std::uint8_t>(draw & 0xff);
    }
    return out;
}

Bytes randomBytes16() { return randomBytes(16); }

std::string randomUUID() {
    Bytes b = randomBytes(16);
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

// --- Ed25519

namespace Ed25519 {

static_assert(crypto_sign_SECRETKEYBYTES == 64 && crypto_sign_PUBLICKEYBYTES == kKeySize &&
              crypto_sign_SEEDBYTES == kKeySize && crypto_sign_BYTES == kSignatureSize);

PrivateKey PrivateKey::generate() {
    initialize();
    PrivateKey key;
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_keypair(pk, key.secret_.data());
    return key;
}

std::optional<PrivateKey> PrivateKey::fromRaw(ByteView raw32) {
    if (raw32.size() != kKeySize) {
        return std::nullopt;
    }
    initialize();
    PrivateKey key;
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_seed_keypair(pk, key.secret_.data(), raw32.data());
    return key;
}

PrivateKey::PrivateKey(const PrivateKey& other) : secret_(other.secret_) {}

PrivateKey& PrivateKey::operator=(const PrivateKey& other) {
    secret_ = other.secret_;
    return *this;
}

PrivateKey::~PrivateKey() { sodium_memzero(secret_.data(), secret_.size()); }

Bytes PrivateKey::raw() const { return Bytes(secret_.begin(), secret_.begin() + kKeySize); }

Bytes PrivateKey::publicKey() const { return Bytes(secret_.begin() + kKeySize, secret_.end()); }

Bytes PrivateKey::sign(ByteView message) const {
    Bytes signature(kSignatureSize);
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), secret_.data());
    return signature;
}

bool verify(ByteView signature, ByteView message, ByteView publicKey) {
    if (signature.size() != kSignatureSize || publicKey.size() != kKeySize) {
        return false;
    }
    initialize();
    return crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                       publicKey.data()) == 0;
}

}  // namespace Ed25519

// --- X25519

namespace X25519 {

static_assert(crypto_scalarmult_BYTES == kKeySize && crypto_scalarmult_SCALARBYTES == kKeySize);

PrivateKey PrivateKey::generate() {
    initialize();
    PrivateKey key;
    randombytes_buf(key.secret_.data(), key.secret_.size());
    crypto_scalarmult_base(key.public_.data(), key.secret_.data());
    return key;
}

std::optional<PrivateKey> PrivateKey::fromRaw(ByteView raw32) {
    if (raw32.size() != kKeySize) {
        return std::nullopt;
    }
    initialize();
    PrivateKey key;
    std::copy(raw32.begin(), raw32.end(), key.secret_.begin());
    crypto_scalarmult_base(key.public_.data(), key.secret_.data());
    return key;
}

PrivateKey::PrivateKey(const PrivateKey& other) : secret_(other.secret_), public_(other.public_) {}

PrivateKey& PrivateKey::operator=(const PrivateKey& other) {
    secret_ = other.secret_;
    public_ = other.public_;
    return *this;
}

PrivateKey::~PrivateKey() { sodium_memzero(secret_.data(), secret_.size()); }

Bytes PrivateKey::raw() const { return Bytes(secret_.begin(), secret_.end()); }

Bytes PrivateKey::publicKey() const { return Bytes(public_.begin(), public_.end()); }

Bytes PrivateKey::sharedSecret(ByteView peerPublicKey) const {
    if (peerPublicKey.size() != kKeySize) {
        throw CryptoError("X25519 public key must be 32 bytes");
    }
    Bytes shared(kKeySize);
    // libsodium refuses a result of all zeros, which a small-order peer key forces.
    if (crypto_scalarmult(shared.data(), secret_.data(), peerPublicKey.data()) != 0) {
        sodium_memzero(shared.data(), shared.size());
        throw CryptoError("X25519 key agreement failed: the peer key is of small order");
    }
    return shared;
}

}  // namespace X25519

// --- SHA-256, HMAC, HKDF

Sha256::Sha256() {
    initialize();
    crypto_hash_sha256_init(&state_);
}

void Sha256::update(ByteView data) { crypto_hash_sha256_update(&state_, data.data(), data.size()); }

Bytes Sha256::finish() {
    Bytes digest(kDigestSize);
    crypto_hash_sha256_final(&state_, digest.data());
    crypto_hash_sha256_init(&state_);
    return digest;
}

Bytes Sha256::hash(ByteView data) {
    initialize();
    Bytes digest(kDigestSize);
    crypto_hash_sha256(digest.data(), data.data(), data.size());
    return digest;
}

Bytes hmacSha256(ByteView key, ByteView message) {
    initialize();
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, nonNull(key), key.size());
    crypto_auth_hmacsha256_update(&state, message.data(), message.size());
    Bytes mac(crypto_auth_hmacsha256_BYTES);
    crypto_auth_hmacsha256_final(&state, mac.data());
    sodium_memzero(&state, sizeof state);
    return mac;
}

Bytes hkdfExtract(ByteView salt, ByteView ikm) {
    // An absent salt is a string of HashLen zeros, which HMAC pads to the same key as empty.
    return hmacSha256(salt, ikm);
}

Bytes hkdfExpand(ByteView prk, ByteView info, std::size_t length) {
    constexpr std::size_t hashLen = crypto_auth_hmacsha256_BYTES;
    if (length > 255 * hashLen) {
        throw CryptoError("HKDF output length is too large");
    }
    Bytes out;
    out.reserve(length + hashLen);
    Bytes block;
    Bytes input;
    for (std::uint8_t counter = 1; out.size() < length; ++counter) {
        input.assign(block.begin(), block.end());
        append(input, info);
        input.push_back(counter);
        sodium_memzero(block.data(), block.size());
        block = hmacSha256(prk, input);
        append(out, block);
    }
    sodium_memzero(block.data(), block.size());
    sodium_memzero(input.data(), input.size());
    sodium_memzero(out.data() + length, out.size() - length);
    out.resize(length);
    return out;
}

Bytes hkdf(ByteView ikm, ByteView salt, ByteView info, std::size_t length) {
    Bytes prk = hkdfExtract(salt, ikm);
    Bytes out = hkdfExpand(prk, info, length);
    sodium_memzero(prk.data(), prk.size());
    return out;
}

}  // namespace quill::crypto
