#pragma once

#include <map>
#include <mutex>

#include "quillcore/keychain/keychain.h"

namespace quill {

// Items in process memory, with the same statuses and listing order as FileKeychain.
class InMemoryKeychain final : public Keychain {
public:
    std::int32_t add(const std::string& service, const std::string& account, ByteView data) override;
    std::int32_t update(const std::string& service, const std::string& account, ByteView data) override;
    KeychainResult<Bytes> copy(const std::string& service, const std::string& account) override;
    KeychainResult<std::vector<KeychainItem>> copyAll(const std::string& service, std::size_t limit) override;
    std::int32_t remove(const std::string& service, const std::optional<std::string>& account) override;

private:
    std::mutex mutex_;
    // service -> item name -> item; keyed by name so that listings come in the file store's order.
    std::map<std::string, std::map<std::string, KeychainItem>> services_;
};

}  // namespace quill
