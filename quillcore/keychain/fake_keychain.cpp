#include "quillcore/keychain/fake_keychain.h"

#include <algorithm>

#include "quillcore/keychain/in_memory_keychain.h"

namespace quill {

FakeKeychain::FakeKeychain(std::shared_ptr<Keychain> items)
    : items_(items ? std::move(items) : std::make_shared<InMemoryKeychain>()) {}

void FakeKeychain::failWith(Operation operation, std::int32_t status, std::size_t times) {
    std::lock_guard lock(mutex_);
    auto& injection = injections_[static_cast<int>(operation)];
    if (times == 0) injection.reset();
    else injection = Injection{status, times};
}

void FakeKeychain::answerWithoutData(Operation operation) {
    std::lock_guard lock(mutex_);
    injections_[static_cast<int>(operation)] = Injection{KeychainStatus::success, SIZE_MAX};
}

void FakeKeychain::clear(Operation operation) {
    std::lock_guard lock(mutex_);
    injections_[static_cast<int>(operation)].reset();
}

std::vector<FakeKeychain::Call> FakeKeychain::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::size_t FakeKeychain::count(Operation operation) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) { return c.operation == operation; }));
}

std::optional<std::int32_t> FakeKeychain::enter(Operation operation, const std::string& service,
                                                           const std::optional<std::string>& account) {
    std::lock_guard lock(mutex_);
    calls_.push_back({operation, service, account});
    auto& injection = injections_[static_cast<int>(operation)];
    if (!injection) return std::nullopt;
    std::int32_t status = injection->status;
    if (injection->remaining != SIZE_MAX && --injection->remaining == 0) injection.reset();
    return status;
}

std::int32_t FakeKeychain::add(const std::string& service, const std::string& account, ByteView data) {
    if (auto injected = enter(Operation::add, service, account)) return *injected;
    return items_->add(service, account, data);
}

std::int32_t FakeKeychain::update(const std::string& service, const std::string& account, ByteView data) {
    if (auto injected = enter(Operation::update, service, account)) return *injected;
    return items_->update(service, account, data);
}

KeychainResult<Bytes> FakeKeychain::copy(const std::string& service, const std::string& account) {
    if (auto injected = enter(Operation::copy, service, account)) return {*injected, std::nullopt};
    return items_->copy(service, account);
}

KeychainResult<std::vector<KeychainItem>> FakeKeychain::copyAll(const std::string& service, std::size_t limit) {
    if (auto injected = enter(Operation::copyAll, service, std::nullopt)) return {*injected, std::nullopt};
    return items_->copyAll(service, limit);
}

std::int32_t FakeKeychain::remove(const std::string& service, const std::optional<std::string>& account) {
    if (auto injected = enter(Operation::remove, service, account)) return *injected;
    return items_->remove(service, account);
}

}  // namespace quill
