#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillcore/base/bytes.h"

namespace quill {

// Status codes of the item store. Failures of the file system are reported as -errno, which
// never collides with the keychain's own codes.
struct KeychainStatus {
    static constexpr std::int32_t success = 0;
    static constexpr std::int32_t itemNotFound = -25300;
    static constexpr std::int32_t duplicateItem = -25299;
};

struct KeychainItem {
    std::string account;
    Bytes data;
    bool operator==(const KeychainItem&) const = default;
};

// A copy answers with a status and, on success, usually a value. A success without a value
// stands for an answer that holds no byte string, which callers must treat as damaged data.
template <class T>
struct KeychainResult {
    std::int32_t status = KeychainStatus::success;
    std::optional<T> value;
};

// Generic-password items, each named by a service and an account text. Thread-safe.
class Keychain {
public:
    virtual ~Keychain() = default;

    // Creates an item; duplicateItem when one exists.
    virtual std::int32_t add(const std::string& service, const std::string& account, ByteView data) = 0;
    // Replaces the data of an existing item as one step; itemNotFound when there is none.
    virtual std::int32_t update(const std::string& service, const std::string& account, ByteView data) = 0;
    // The data of one item; itemNotFound when there is none.
    virtual KeychainResult<Bytes> copy(const std::string& service, const std::string& account) = 0;
    // At most `limit` items of the service in the store's order; itemNotFound when it holds none.
    virtual KeychainResult<std::vector<KeychainItem>> copyAll(const std::string& service, std::size_t limit) = 0;
    // Deletes one item, or every item of the service when `account` is none; itemNotFound
    // when nothing matched.
    virtual std::int32_t remove(const std::string& service, const std::optional<std::string>& account) = 0;
};

// The name under which a service or account text is kept: lower-case hex of its bytes, or "_"
// for the empty text. Hex can never hold "/" or "..", and no hex text is "_". Listings come in
// the order of these names.
std::string keychainItemName(std::string_view text);
// The text behind a name, or none when it is not one (upper-case hex, odd length, "", ...).
std::optional<std::string> keychainTextForName(std::string_view name);

}  // namespace quill
