#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "quillcore/base/bytes.h"
#include "quillcore/base/error.h"
#include "quillcore/keychain/keychain.h"

namespace quill {

// The stored form of an identity: the raw private keys and nothing else. Wiped when dropped.
struct StoredIdentityKeys {
    Bytes signingPrivateKey;
    Bytes agreementPrivateKey;

    StoredIdentityKeys() = default;
    StoredIdentityKeys(Bytes signing, Bytes agreement)
        : signingPrivateKey(std::move(signing)), agreementPrivateKey(std::move(agreement)) {}
    StoredIdentityKeys(const StoredIdentityKeys&) = default;
    StoredIdentityKeys(StoredIdentityKeys&&) = default;
    StoredIdentityKeys& operator=(const StoredIdentityKeys&) = default;
    StoredIdentityKeys& operator=(StoredIdentityKeys&&) = default;
    ~StoredIdentityKeys();

    bool operator==(const StoredIdentityKeys&) const = default;

    // {"signingPrivateKey":"<base64>","agreementPrivateKey":"<base64>"}, compact, padded
    // standard base64 with "/" written "\/".
    std::string encode() const;
    // Any key order, other keys ignored; throws DecodingError when a key is missing or is not
    // base64 text. Key lengths are checked by DeviceIdentity, not here.
    static StoredIdentityKeys decode(ByteView data);
};

class KeyStoreError : public Error {
public:
    enum class Kind { keychain, invalidData };

    static KeyStoreError keychain(std::int32_t status) { return KeyStoreError(Kind::keychain, status); }
    static KeyStoreError invalidData() { return KeyStoreError(Kind::invalidData, 0); }

    std::string description() const override;
    bool operator==(const KeyStoreError&) const = default;

    Kind kind;
    std::int32_t status;  // the keychain's status for `keychain`, 0 otherwise

private:
    KeyStoreError(Kind kind, std::int32_t status) : kind(kind), status(status) {}
};

// Keeps the two long-term private keys of this device between runs. Thread-safe.
class KeyStore {
public:
    virtual ~KeyStore() = default;
    // The stored keys, or none when nothing is stored.
    virtual std::optional<StoredIdentityKeys> load() = 0;
    // Stores the keys, replacing what was stored.
    virtual void save(const StoredIdentityKeys& keys) = 0;
};

// One keychain item under (service, account) holding the keys' JSON.
class KeychainKeyStore final : public KeyStore {
public:
    static constexpr std::string_view defaultService = "au.tarnhol.quillmate.identity";

    KeychainKeyStore(std::shared_ptr<Keychain> keychain, std::string service, std::string account);

    // Throws KeyStoreError: keychain(status) for a failing keychain, invalidData for an item
    // that does not hold the keys' JSON. A damaged item is left as it is.
    std::optional<StoredIdentityKeys> load() override;
    // Updates the item in place, or adds it when there is none. Throws KeyStoreError::keychain.
    void save(const StoredIdentityKeys& keys) override;
    // Deletes the item; deleting what is not there succeeds.
    void remove();

    const std::string& service() const { return service_; }
    const std::string& account() const { return account_; }

private:
    std::shared_ptr<Keychain> keychain_;
    const std::string service_;
    const std::string account_;
};

// Keys held in memory only, for a process that keeps no identity between runs.
class InMemoryKeyStore final : public KeyStore {
public:
    explicit InMemoryKeyStore(std::optional<StoredIdentityKeys> keys = std::nullopt) : keys_(std::move(keys)) {}
    std::optional<StoredIdentityKeys> load() override;
    void save(const StoredIdentityKeys& keys) override;

private:
    std::mutex mutex_;
    std::optional<StoredIdentityKeys> keys_;
};

}  // namespace quill
