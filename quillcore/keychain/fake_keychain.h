#pragma once

#include <memory>
#include <cstdint>
#include <mutex>

#include "quillcore/keychain/keychain.h"

namespace quill {

// A keychain for tests that must control failures: it records every call and answers chosen
// operations with a chosen status (or a success without data) instead of passing them on to
// the items it wraps.
class FakeKeychain final : public Keychain {
public:
    enum class Operation { add, update, copy, copyAll, remove };
    struct Call {
        Operation operation;
        std::string service;
        std::optional<std::string> account;
        bool operator==(const Call&) const = default;
    };

    explicit FakeKeychain(std::shared_ptr<Keychain> items = nullptr);

    // The next `times` calls of `operation` (all of them by default, until cleared) give
    // `status` and change nothing.
    void failWith(Operation operation, std::int32_t status, std::size_t times = SIZE_MAX);
    // Later calls succeed without doing anything; copies answer without a value.
    void answerWithoutData(Operation operation);
    void clear(Operation operation);

    std::vector<Call> calls() const;
    std::size_t count(Operation operation) const;
    Keychain& items() { return *items_; }

    std::int32_t add(const std::string& service, const std::string& account, ByteView data) override;
    std::int32_t update(const std::string& service, const std::string& account, ByteView data) override;
    KeychainResult<Bytes> copy(const std::string& service, const std::string& account) override;
    KeychainResult<std::vector<KeychainItem>> copyAll(const std::string& service, std::size_t limit) override;
    std::int32_t remove(const std::string& service, const std::optional<std::string>& account) override;

private:
    // Records the call; gives the injected status for it, if any.
    std::optional<std::int32_t> enter(Operation operation, const std::string& service,
                                   const std::optional<std::string>& account);

    std::shared_ptr<Keychain> items_;
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    struct Injection {
        std::int32_t status;
        std::size_t remaining;
    };
    std::optional<Injection> injections_[5];
};

}  // namespace quill
