#include "quillcore/identity/peer_store.h"

#include <algorithm>

#include "quillcore/base/unicode.h"

namespace quill {

namespace {

bool acceptable(std::int32_t status) {
    return status == KeychainStatus::success || status == KeychainStatus::itemNotFound;
}

PeerRecord decodeStored(ByteView data) {
    try {
        return PeerRecord::decode(data);
    } catch (const DecodingError&) {
        throw KeyStoreError::invalidData();
    }
}

}  // namespace

KeychainPeerStore::KeychainPeerStore(std::shared_ptr<Keychain> keychain, std::string service)
    : keychain_(std::move(keychain)), service_(std::move(service)) {}

void KeychainPeerStore::save(const PeerRecord& record) {
    const std::string text = record.encode();
    const ByteView data(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    const std::string account = hexString(record.fingerprint);
    // Replace in one step rather than delete and add: a failure in between would lose the peer.
    std::int32_t status = keychain_->update(service_, account, data);
    if (status == KeychainStatus::itemNotFound) {
        status = keychain_->add(service_, account, data);
        // Another writer added it meanwhile: ours is the later save.
        if (status == KeychainStatus::duplicateItem) status = keychain_->update(service_, account, data);
    }
    if (status != KeychainStatus::success) throw KeyStoreError::keychain(status);
}

std::vector<PeerRecord> KeychainPeerStore::all() const {
    auto result = keychain_->copyAll(service_, listingLimit);
    if (result.status == KeychainStatus::itemNotFound) return {};
    if (result.status != KeychainStatus::success) throw KeyStoreError::keychain(result.status);
    if (!result.value) return {};
    std::vector<PeerRecord> records;
    records.reserve(result.value->size());
    for (const auto& item : *result.value) records.push_back(decodeStored(item.data));
    return records;
}

std::optional<PeerRecord> KeychainPeerStore::peer(ByteView fingerprint) const {
    auto result = keychain_->copy(service_, hexString(fingerprint));
    if (result.status == KeychainStatus::itemNotFound) return std::nullopt;
    if (result.status != KeychainStatus::success) throw KeyStoreError::keychain(result.status);
    if (!result.value) throw KeyStoreError::invalidData();
    return decodeStored(*result.value);
}

void KeychainPeerStore::remove(ByteView fingerprint) {
    std::int32_t status = keychain_->remove(service_, hexString(fingerprint));
    if (!acceptable(status)) throw KeyStoreError::keychain(status);
}

void KeychainPeerStore::removeAll() {
    std::int32_t status = keychain_->remove(service_, std::nullopt);
    if (!acceptable(status)) throw KeyStoreError::keychain(status);
}

CachingPeerStore::CachingPeerStore(std::shared_ptr<PeerStore> store) : store_(std::move(store)) {}

void CachingPeerStore::loadLocked() const {
    {
        std::lock_guard lock(mutex_);
        if (tried_) return;
        tried_ = true;
    }
    std::vector<PeerRecord> records;
    try {
        records = store_->all();
    } catch (const std::exception&) {
        return;  // looked up one by one until a write tries again
    }
    // A full listing may have left some out.
    if (records.size() >= KeychainPeerStore::listingLimit) return;
    std::lock_guard lock(mutex_);
    peers_.clear();
    for (auto& r : records) {
        Bytes key = r.fingerprint;
        peers_.insert_or_assign(std::move(key), std::move(r));
    }
    loaded_ = true;
}

std::optional<PeerRecord> CachingPeerStore::peer(ByteView fingerprint) const {
    // Whether memory answers; `found` then holds the answer.
    auto fromMemory = [&](std::optional<PeerRecord>& found) {
        std::lock_guard lock(mutex_);
        if (!loaded_) return false;
        if (auto it = peers_.find(fingerprint); it != peers_.end()) found = it->second;
        return true;
    };
    std::optional<PeerRecord> found;
    if (fromMemory(found)) return found;
    {
        std::lock_guard write(writeMutex_);
        loadLocked();
    }
    if (fromMemory(found)) return found;
    return store_->peer(fingerprint);
}

void CachingPeerStore::writeThrough(const std::function<void()>& write,
                                    const std::function<void(std::map<Bytes, PeerRecord, Less>&)>& update) {
    std::lock_guard writing(writeMutex_);
    try {
        write();
    } catch (...) {
        // What is stored is unknown now: the next lookup lists the store again.
        std::lock_guard lock(mutex_);
        tried_ = loaded_ = false;
        throw;
    }
    std::lock_guard lock(mutex_);
    if (loaded_) update(peers_);
    else tried_ = false;  // the write may have mended what kept the listing from loading
}

void CachingPeerStore::save(const PeerRecord& record) {
    writeThrough([&] { store_->save(record); }, [&](auto& peers) { peers.insert_or_assign(record.fingerprint, record); });
}

std::vector<PeerRecord> CachingPeerStore::all() const { return store_->all(); }

void CachingPeerStore::remove(ByteView fingerprint) {
    writeThrough([&] { store_->remove(fingerprint); },
                 [&](auto& peers) {
                     if (auto it = peers.find(fingerprint); it != peers.end()) peers.erase(it);
                 });
}

InMemoryPeerStore::InMemoryPeerStore(const std::vector<PeerRecord>& peers) {
    for (const auto& record : peers) peers_.insert_or_assign(record.fingerprint, record);
}

void InMemoryPeerStore::save(const PeerRecord& record) {
    std::lock_guard lock(mutex_);
    peers_.insert_or_assign(record.fingerprint, record);
}

std::vector<PeerRecord> InMemoryPeerStore::all() const {
    std::vector<PeerRecord> records;
    {
        std::lock_guard lock(mutex_);
        records.reserve(peers_.size());
        for (const auto& [fingerprint, record] : peers_) records.push_back(record);
    }
    // Sorted outside the lock, on the private copy.
    std::vector<std::pair<std::string, PeerRecord>> keyed;
    keyed.reserve(records.size());
    for (auto& record : records) keyed.emplace_back(unicode::nfc(record.name), std::move(record));
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        return a.second.fingerprint < b.second.fingerprint;
    });
    records.clear();
    for (auto& [name, record] : keyed) records.push_back(std::move(record));
    return records;
}

std::optional<PeerRecord> InMemoryPeerStore::peer(ByteView fingerprint) const {
    std::lock_guard lock(mutex_);
    auto it = peers_.find(Bytes(fingerprint.begin(), fingerprint.end()));
    if (it == peers_.end()) return std::nullopt;
    return it->second;
}

void InMemoryPeerStore::remove(ByteView fingerprint) {
    std::lock_guard lock(mutex_);
    peers_.erase(Bytes(fingerprint.begin(), fingerprint.end()));
}

}  // namespace quill
