#include "quillcore/identity/key_store.h"

#include <sodium/utils.h>

#include <cstring>

#include "quillcore/base/base64.h"
#include "quillcore/base/json.h"

namespace quill {

namespace {

void wipe(Bytes& bytes) {
    if (!bytes.empty()) sodium_memzero(bytes.data(), bytes.size());
}

void wipe(std::string& text) {
    if (!text.empty()) sodium_memzero(text.data(), text.size());
}

}  // namespace

StoredIdentityKeys::~StoredIdentityKeys() {
    wipe(signingPrivateKey);
    wipe(agreementPrivateKey);
}

std::string StoredIdentityKeys::encode() const {
    json::OrderedJson object;
    object["signingPrivateKey"] = base64Encode(signingPrivateKey);
    object["agreementPrivateKey"] = base64Encode(agreementPrivateKey);
    std::string text = json::dumpEscapingSlashes(object);
    wipe(object["signingPrivateKey"].get_ref<std::string&>());
    wipe(object["agreementPrivateKey"].get_ref<std::string&>());
    return text;
}

StoredIdentityKeys StoredIdentityKeys::decode(ByteView data) {
    json::Json object = json::parse(data);
    json::requireObject(object);
    StoredIdentityKeys keys(json::requireBase64(object, "signingPrivateKey"),
                            json::requireBase64(object, "agreementPrivateKey"));
    for (auto& [key, value] : object.items())
        if (value.is_string()) wipe(value.get_ref<std::string&>());
    return keys;
}

std::string KeyStoreError::description() const {
    switch (kind) {
    case Kind::keychain: {
        std::string text = "keychain error " + std::to_string(status);
        // File errors of the keychain are -errno: name them.
        if (status < 0 && status > -4096)
            if (const char* name = ::strerrordesc_np(-status)) text += " (" + std::string(name) + ")";
        return text;
    }
    case Kind::invalidData:
        return "the stored data is damaged";
    }
    return "keychain failure";
}

KeychainKeyStore::KeychainKeyStore(std::shared_ptr<Keychain> keychain, std::string service, std::string account)
    : keychain_(std::move(keychain)), service_(std::move(service)), account_(std::move(account)) {}

std::optional<StoredIdentityKeys> KeychainKeyStore::load() {
    auto result = keychain_->copy(service_, account_);
    if (result.status == KeychainStatus::itemNotFound) return std::nullopt;
    if (result.status != KeychainStatus::success) throw KeyStoreError::keychain(result.status);
    if (!result.value) throw KeyStoreError::invalidData();
    std::optional<StoredIdentityKeys> keys;
    try {
        keys = StoredIdentityKeys::decode(*result.value);
    } catch (const DecodingError&) {
        keys.reset();
    }
    wipe(*result.value);
    if (!keys) throw KeyStoreError::invalidData();
    return keys;
}

void KeychainKeyStore::save(const StoredIdentityKeys& keys) {
    std::string text = keys.encode();
    ByteView data(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    // The update replaces the item as one step; a failure leaves the earlier keys in place.
    std::int32_t status = keychain_->update(service_, account_, data);
    if (status == KeychainStatus::itemNotFound) status = keychain_->add(service_, account_, data);
    wipe(text);
    if (status != KeychainStatus::success) throw KeyStoreError::keychain(status);
}

void KeychainKeyStore::remove() {
    std::int32_t status = keychain_->remove(service_, account_);
    if (status != KeychainStatus::success && status != KeychainStatus::itemNotFound)
        throw KeyStoreError::keychain(status);
}

std::optional<StoredIdentityKeys> InMemoryKeyStore::load() {
    std::lock_guard lock(mutex_);
    return keys_;
}

void InMemoryKeyStore::save(const StoredIdentityKeys& keys) {
    std::optional<StoredIdentityKeys> old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(keys_, keys);
    }
    // `old` is wiped on leaving, outside the lock.
}

}  // namespace quill
