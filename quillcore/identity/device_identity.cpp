#include "quillcore/identity/device_identity.h"

#include "quillcore/base/base64.h"

namespace quill {

std::string DeviceIdentityError::description() const {
    switch (kind) {
    case Kind::invalidFingerprint:
        return "invalid device fingerprint";
    case Kind::invalidKey:
        return "invalid device key";
    }
    return "invalid device identity";
}

namespace {

crypto::Ed25519::PrivateKey parseSigningKey(ByteView raw) {
    auto key = crypto::Ed25519::PrivateKey::fromRaw(raw);
    if (!key) throw DeviceIdentityError::invalidKey();
    return *key;
}

crypto::X25519::PrivateKey parseAgreementKey(ByteView raw) {
    auto key = crypto::X25519::PrivateKey::fromRaw(raw);
    if (!key) throw DeviceIdentityError::invalidKey();
    return *key;
}

DeviceID deviceIDFor(const Bytes& fingerprint) {
    try {
        return DeviceID::fromFingerprint(fingerprint);
    } catch (const DeviceIdentityError&) {
        throw DeviceIdentityError::invalidFingerprint();
    }
}

}  // namespace

DeviceIdentity::DeviceIdentity(crypto::Ed25519::PrivateKey signing, crypto::X25519::PrivateKey agreement)
    : signingPrivateKey_(std::move(signing)),
      agreementPrivateKey_(std::move(agreement)),
      signingPublicKey_(signingPrivateKey_.publicKey()),
      agreementPublicKey_(agreementPrivateKey_.publicKey()),
      fingerprint_(fingerprint(signingPublicKey_, agreementPublicKey_)),
      deviceID_(deviceIDFor(fingerprint_)) {}

DeviceIdentity::DeviceIdentity(const StoredIdentityKeys& stored)
    : DeviceIdentity(parseSigningKey(stored.signingPrivateKey), parseAgreementKey(stored.agreementPrivateKey)) {}

DeviceIdentity DeviceIdentity::loadOrCreate(KeyStore& keyStore) {
    if (auto stored = keyStore.load()) return DeviceIdentity(*stored);
    auto signing = crypto::Ed25519::PrivateKey::generate();
    auto agreement = crypto::X25519::PrivateKey::generate();
    DeviceIdentity identity(StoredIdentityKeys(signing.raw(), agreement.raw()));
    keyStore.save(identity.storedKeys());
    return identity;
}

StoredIdentityKeys DeviceIdentity::storedKeys() const {
    return StoredIdentityKeys(signingPrivateKey_.raw(), agreementPrivateKey_.raw());
}

Bytes DeviceIdentity::fingerprint(ByteView signingPublicKey, ByteView agreementPublicKey) {
    crypto::Sha256 sha;
    sha.update(signingPublicKey);
    sha.update(agreementPublicKey);
    return sha.finish();
}

Bytes DeviceIdentity::sign(ByteView message) const { return signingPrivateKey_.sign(message); }

bool DeviceIdentity::verify(ByteView signature, ByteView message, ByteView publicKey) {
    if (publicKey.size() != crypto::Ed25519::kKeySize) return false;
    return crypto::Ed25519::verify(signature, message, publicKey);
}

HPKESealedBox HPKESealedBox::seal(ByteView plaintext, ByteView recipientAgreementPublicKey, ByteView info) {
    if (recipientAgreementPublicKey.size() != crypto::X25519::kKeySize) throw DeviceIdentityError::invalidKey();
    auto sealed = crypto::Hpke::seal(recipientAgreementPublicKey, info, {}, plaintext);
    return HPKESealedBox{std::move(sealed.encapsulatedKey), std::move(sealed.ciphertext)};
}

Bytes HPKESealedBox::open(const DeviceIdentity& recipient, ByteView info) const {
    return crypto::Hpke::open(recipient.agreementPrivateKey(), encapsulatedKey, info, {}, ciphertext);
}

json::Json HPKESealedBox::toJson() const {
    return json::Json{{"encapsulatedKey", base64Encode(encapsulatedKey)}, {"ciphertext", base64Encode(ciphertext)}};
}

HPKESealedBox HPKESealedBox::fromJson(const json::Json& value) {
    json::requireObject(value);
    return HPKESealedBox{json::requireBase64(value, "encapsulatedKey"), json::requireBase64(value, "ciphertext")};
}

}  // namespace quill
