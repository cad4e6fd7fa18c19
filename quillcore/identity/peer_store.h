#pragma once

#include <algorithm>
#include <functional>
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

// Serves lookups from memory, kept current by the saves and removals made through it, so that a
// stranger naming any sender costs no read of the store behind it (its only writer, as the
// host's one store is). It lists that store once, at the first lookup; while that listing fails
// (an item that does not decode) or may be cut short (a full listing), lookups go to that store
// as before, and the next write tries again. Listings and writes go to that store. Thread-safe.
class CachingPeerStore final : public PeerStore {
public:
    explicit CachingPeerStore(std::shared_ptr<PeerStore> store);

    void save(const PeerRecord& record) override;
    std::vector<PeerRecord> all() const override;
    std::optional<PeerRecord> peer(ByteView fingerprint) const override;
    void remove(ByteView fingerprint) override;

private:
    struct Less {
        using is_transparent = void;
        bool operator()(ByteView a, ByteView b) const {
            return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
        }
    };
    // With writeMutex_ held.
    void loadLocked() const;
    // Runs `write` on the store behind, then `update` on memory if it holds the listing.
    void writeThrough(const std::function<void()>& write,
                      const std::function<void(std::map<Bytes, PeerRecord, Less>&)>& update);

    const std::shared_ptr<PeerStore> store_;
    // Orders the listing and the writes, so that neither is lost to the other.
    mutable std::mutex writeMutex_;
    mutable std::mutex mutex_;
    mutable bool tried_ = false;
    mutable bool loaded_ = false;
    mutable std::map<Bytes, PeerRecord, Less> peers_;
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
