#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "quillcore/keychain/in_memory_keychain.h"

namespace quill {

// A keychain for single-threaded tests that must control failures: it counts every call and
// answers chosen operations with a chosen status instead of passing them on to its items.
class FakeKeychain final : public Keychain {
public:
    enum class Operation { add, update, copy, copyAll, remove };

    explicit FakeKeychain(std::shared_ptr<Keychain> items = std::make_shared<InMemoryKeychain>())
        : items_(std::move(items)) {}

    // The next `times` calls of `operation` give `status` and change nothing; a copy given
    // success this way answers without a value.
    void failWith(Operation operation, std::int32_t status, std::size_t times = SIZE_MAX) {
        injected_[static_cast<int>(operation)] = {status, times};
    }
    void answerWithoutData(Operation operation) { failWith(operation, KeychainStatus::success); }
    void clear(Operation operation) { failWith(operation, 0, 0); }
    std::size_t count(Operation operation) const { return counts_[static_cast<int>(operation)]; }
    Keychain& items() { return *items_; }

    std::int32_t add(const std::string& s, const std::string& a, ByteView data) override {
        return injected(Operation::add) ? status_ : items_->add(s, a, data);
    }
    std::int32_t update(const std::string& s, const std::string& a, ByteView data) override {
        return injected(Operation::update) ? status_ : items_->update(s, a, data);
    }
    KeychainResult<Bytes> copy(const std::string& s, const std::string& a) override {
        return injected(Operation::copy) ? KeychainResult<Bytes>{status_, {}} : items_->copy(s, a);
    }
    KeychainResult<std::vector<KeychainItem>> copyAll(const std::string& s, std::size_t limit) override {
        return injected(Operation::copyAll) ? KeychainResult<std::vector<KeychainItem>>{status_, {}}
                                            : items_->copyAll(s, limit);
    }
    std::int32_t remove(const std::string& s, const std::optional<std::string>& a) override {
        return injected(Operation::remove) ? status_ : items_->remove(s, a);
    }

private:
    // Counts the call; true when it is to give the injected status_.
    bool injected(Operation operation) {
        auto& [status, remaining] = injected_[static_cast<int>(operation)];
        ++counts_[static_cast<int>(operation)];
        if (remaining == 0) return false;
        remaining -= remaining != SIZE_MAX;
        status_ = status;
        return true;
    }

    std::shared_ptr<Keychain> items_;
    std::array<std::size_t, 5> counts_{};
    std::array<std::pair<std::int32_t, std::size_t>, 5> injected_{};
    std::int32_t status_ = 0;
};

}  // namespace quill
