#pragma once

#include <optional>
#include <string>

#include "quillcore/base/bytes.h"
#include "quillcore/base/error.h"
#include "quillcore/crypto/crypto.h"
#include "quillcore/identity/device_id.h"
#include "quillcore/identity/key_store.h"

namespace quill {

class DeviceIdentityError : public Error {
public:
    enum class Kind { invalidFingerprint, invalidKey };

    explicit DeviceIdentityError(Kind kind) : kind(kind) {}
    static DeviceIdentityError invalidFingerprint() { return DeviceIdentityError(Kind::invalidFingerprint); }
    static DeviceIdentityError invalidKey() { return DeviceIdentityError(Kind::invalidKey); }

    std::string description() const override;
    bool operator==(const DeviceIdentityError&) const = default;

    Kind kind;
};

// This device's long-term keys with everything derived from them. Immutable.
class DeviceIdentity {
public:
    // Loads the stored keys, or on a first run creates, stores and returns new ones. A key
    // store failure (a damaged item included) is thrown unchanged and nothing is written, so a
    // stored identity is never replaced by a new one. Stored keys that do not parse throw
    // DeviceIdentityError::invalidKey.
    static DeviceIdentity loadOrCreate(KeyStore& keyStore);

    // Throws DeviceIdentityError::invalidKey for a raw key that is not 32 bytes.
    explicit DeviceIdentity(const StoredIdentityKeys& stored);

    StoredIdentityKeys storedKeys() const;

    // SHA-256 of the signing public key followed by the agreement public key.
    static Bytes fingerprint(ByteView signingPublicKey, ByteView agreementPublicKey);

    // Ed25519 over the message as given.
    Bytes sign(ByteView message) const;
    // False for a bad signature and for a public key that does not parse.
    static bool verify(ByteView signature, ByteView message, ByteView publicKey);

    const crypto::Ed25519::PrivateKey& signingPrivateKey() const { return signingPrivateKey_; }
    const crypto::X25519::PrivateKey& agreementPrivateKey() const { return agreementPrivateKey_; }
    const Bytes& signingPublicKey() const { return signingPublicKey_; }
    const Bytes& agreementPublicKey() const { return agreementPublicKey_; }
    const Bytes& fingerprint() const { return fingerprint_; }
    const DeviceID& deviceID() const { return deviceID_; }

private:
    DeviceIdentity(crypto::Ed25519::PrivateKey signing, crypto::X25519::PrivateKey agreement);

    crypto::Ed25519::PrivateKey signingPrivateKey_;
    crypto::X25519::PrivateKey agreementPrivateKey_;
    Bytes signingPublicKey_;
    Bytes agreementPublicKey_;
    Bytes fingerprint_;
    DeviceID deviceID_;
};

// A message sealed to one device's agreement key with HPKE (base mode, X25519, HKDF-SHA256,
// ChaCha20-Poly1305), empty associated data, one message per sender.
struct HPKESealedBox {
    Bytes encapsulatedKey;  // 32 bytes
    Bytes ciphertext;       // plaintext length + 16-byte tag

    // Throws DeviceIdentityError::invalidKey for a recipient key that is not 32 bytes, and
    // crypto's CryptoError when encryption fails.
    static HPKESealedBox seal(ByteView plaintext, ByteView recipientAgreementPublicKey, ByteView info);
    // Throws CryptoError when the box does not open for this identity and info.
    Bytes open(const DeviceIdentity& recipient, ByteView info) const;

    // {"encapsulatedKey": base64, "ciphertext": base64}, padded standard base64.
    json::Json toJson() const;
    static HPKESealedBox fromJson(const json::Json& value);

    bool operator==(const HPKESealedBox&) const = default;
};

}  // namespace quill
