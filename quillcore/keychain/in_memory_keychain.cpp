#include "quillcore/keychain/in_memory_keychain.h"

namespace quill {

std::int32_t InMemoryKeychain::add(const std::string& service, const std::string& account, ByteView data) {
    std::lock_guard lock(mutex_);
    auto [it, inserted] =
        services_[service].try_emplace(keychainItemName(account), KeychainItem{account, Bytes(data.begin(), data.end())});
    return inserted ? KeychainStatus::success : KeychainStatus::duplicateItem;
}

std::int32_t InMemoryKeychain::update(const std::string& service, const std::string& account, ByteView data) {
    std::lock_guard lock(mutex_);
    auto svc = services_.find(service);
    if (svc == services_.end()) return KeychainStatus::itemNotFound;
    auto item = svc->second.find(keychainItemName(account));
    if (item == svc->second.end()) return KeychainStatus::itemNotFound;
    item->second.data.assign(data.begin(), data.end());
    return KeychainStatus::success;
}

KeychainResult<Bytes> InMemoryKeychain::copy(const std::string& service, const std::string& account) {
    std::lock_guard lock(mutex_);
    auto svc = services_.find(service);
    if (svc == services_.end()) return {KeychainStatus::itemNotFound, std::nullopt};
    auto item = svc->second.find(keychainItemName(account));
    if (item == svc->second.end()) return {KeychainStatus::itemNotFound, std::nullopt};
    return {KeychainStatus::success, item->second.data};
}

KeychainResult<std::vector<KeychainItem>> InMemoryKeychain::copyAll(const std::string& service, std::size_t limit) {
    std::lock_guard lock(mutex_);
    auto svc = services_.find(service);
    if (svc == services_.end() || svc->second.empty()) return {KeychainStatus::itemNotFound, std::nullopt};
    std::vector<KeychainItem> items;
    for (const auto& [name, item] : svc->second) {
        if (items.size() >= limit) break;
        items.push_back(item);
    }
    if (items.empty()) return {KeychainStatus::itemNotFound, std::nullopt};
    return {KeychainStatus::success, std::move(items)};
}

std::int32_t InMemoryKeychain::remove(const std::string& service, const std::optional<std::string>& account) {
    std::lock_guard lock(mutex_);
    auto svc = services_.find(service);
    if (svc == services_.end()) return KeychainStatus::itemNotFound;
    if (!account) {
        bool any = !svc->second.empty();
        services_.erase(svc);
        return any ? KeychainStatus::success : KeychainStatus::itemNotFound;
    }
    return svc->second.erase(keychainItemName(*account)) ? KeychainStatus::success : KeychainStatus::itemNotFound;
}

}  // namespace quill
