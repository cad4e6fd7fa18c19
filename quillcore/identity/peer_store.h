#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillcore/identity/key_store.h"
#include "quillcore/identity/peer_record.h"
#include "quillcore/keychain/keychain.h"

namespace quill {

// The records of paired peers, at most one per fingerprint. Thread-safe.
class PeerStore {
public:
    virtual ~PeerStore() = default;
    // Stores the record under its fingerprint, replacing the one stored there.
    virtual void save(const PeerRecord& record) = 0;
    virtual std::vector<PeerRecord> all() const = 0;
    virtual std::optional<PeerRecord> peer(ByteView fingerprint) const = 0;
    // Removing a fingerprint that is not stored succeeds.
    virtual void remove(ByteView fingerprint) = 0;
};

// One keychain item per peer: the store's service, hexString(fingerprint) as account, the
// record's stored JSON as data. No cache: every call goes to the keychain.
class KeychainPeerStore final : public PeerStore {
public:
    static constexpr std::string_view defaultService = "au.tarnhol.quillmate.peers";
    static constexpr std::size_t listingLimit = 1000;

    KeychainPeerStore(std::shared_ptr<Keychain> keychain, std::string service);

    // Throws the record's EncodingError (keychain untouched) or KeyStoreError::keychain. The
    // item is replaced as one step, so a failed save keeps the earlier record.
    void save(const PeerRecord& record) override;
    // In the keychain's order, at most listingLimit; KeyStoreError::invalidData when any one
    // item does not decode.
    std::vector<PeerRecord> all() const override;
    std::optional<PeerRecord> peer(ByteView fingerprint) const override;
    void remove(ByteView fingerprint) override;
    // Every record of this service.
    void removeAll();

    const std::string& service() const { return service_; }

private:
    std::shared_ptr<Keychain> keychain_;
    const std::string service_;
};

// Records in process memory. Never fails. Lists by name (NFC scalar order), then fingerprint.
class InMemoryPeerStore final : public PeerStore {
public:
    // A fingerprint given twice keeps the later record.
    explicit InMemoryPeerStore(const std::vector<PeerRecord>& peers = {});

    void save(const PeerRecord& record) override;
    std::vector<PeerRecord> all() const override;
    std::optional<PeerRecord> peer(ByteView fingerprint) const override;
    void remove(ByteView fingerprint) override;

private:
    mutable std::mutex mutex_;
    std::map<Bytes, PeerRecord> peers_;
};

}  // namespace quill
