#include "quillcore/pairing/pairing_helpers.h"

#include <sodium.h>

#include <chrono>
#include <thread>

#include "quillcore/crypto/crypto.h"
#include "quillcore/transport/frame_channel.h"

namespace quill {

namespace {
constexpr double kPollSeconds = 0.02;
}

PairingMessage decodePairingMessage(ByteView frame) {
    std::optional<PairingMessage> message;
    try {
        message.emplace(PairingMessage::decode(frame));
    } catch (const DecodingError& e) {
        throw PairingError::invalidMessage(e.description());
    }
    if (const auto* cancel = message->get<PairCancel>()) throw PairingError::remoteCancelled(cancel->reason);
    return std::move(*message);
}

void validatePeerKeys(ByteView signing, ByteView agreement) {
    if (signing.size() != crypto::Ed25519::kKeySize) throw PairingError(PairingError::Kind::invalidKeyMaterial);
    if (agreement.size() != crypto::X25519::kKeySize) throw PairingError(PairingError::Kind::invalidKeyMaterial);
    crypto::initialize();
    // Rejects encodings that are not on the curve, small-order points and non-canonical forms;
    // every key a real device generates passes.
    if (crypto_core_ed25519_is_valid_point(signing.data()) != 1)
        throw PairingError(PairingError::Kind::invalidKeyMaterial);
}

PairingMessage receiveMessage(FrameChannel& channel, std::optional<double> timeout) {
    std::optional<Bytes> frame;
    try {
        frame = channel.nextFrame(timeout);
    } catch (const PairingError&) {
        throw;
    } catch (const std::exception&) {
        throw PairingError(PairingError::Kind::connectionClosed);
    }
    if (!frame) throw PairingError(PairingError::Kind::connectionClosed);
    return decodePairingMessage(*frame);
}

void sendMessage(FrameChannel& channel, const PairingMessage& message) {
    try {
        channel.sendJSON(message.toJSON());
    } catch (const std::exception&) {
        throw PairingError(PairingError::Kind::connectionClosed);
    }
}

void postMessage(FrameChannel& channel, const PairingMessage& message) {
    try {
        channel.postJSON(message.toJSON());
    } catch (const std::exception&) {
        throw PairingError(PairingError::Kind::connectionClosed);
    }
}

void sendCancel(FrameChannel& channel, const char* reason) noexcept {
    try {
        channel.sendJSON(PairingMessage(PairCancel(reason)).toJSON());
    } catch (...) {
    }
}

void savePairedPeer(PeerStore& store, const PeerRecord& record) {
    try {
        store.save(record);
    } catch (const std::exception& e) {
        const auto* error = dynamic_cast<const Error*>(&e);
        throw PairingError::storeFailure(error ? error->description() : e.what());
    }
}

std::optional<Bytes> pollForFrame(FrameChannel& channel) {
    auto started = std::chrono::steady_clock::now();
    auto frame = channel.nextFrame(kPollSeconds);
    if (!frame) {
        auto due = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(kPollSeconds));
        std::this_thread::sleep_until(due);
    }
    return frame;
}

std::optional<PairingCode> PairingExchangeState::comparisonCode() const {
    std::lock_guard lock(mutex_);
    return comparisonCode_;
}

bool PairingExchangeState::isAwaitingConfirmation() const {
    std::lock_guard lock(mutex_);
    return isAwaitingConfirmation_;
}

ComparisonState PairingExchangeState::comparisonState() const {
    std::lock_guard lock(mutex_);
    return ComparisonState{isAwaitingConfirmation_, comparisonCode_, peerName_};
}

void PairingExchangeState::decide(bool confirm) {
    std::lock_guard lock(mutex_);
    decision_ = confirm;
}

bool PairingExchangeState::confirmAwaiting(const std::optional<PairingCode>* shownCode) {
    std::lock_guard lock(mutex_);
    if (!isAwaitingConfirmation_) return false;
    if (shownCode && *shownCode != comparisonCode_) return false;
    decision_ = true;
    return true;
}

bool PairingExchangeState::isAwaiting(const std::optional<PairingCode>& code) const {
    std::lock_guard lock(mutex_);
    return isAwaitingConfirmation_ && comparisonCode_ == code;
}

void PairingExchangeState::begin() {
    std::lock_guard lock(mutex_);
    if (busy_) throw PairingError(PairingError::Kind::alreadyInProgress);
    busy_ = true;
    decision_.reset();
    comparisonCode_.reset();
    isAwaitingConfirmation_ = false;
}

void PairingExchangeState::reset() {
    std::lock_guard lock(mutex_);
    busy_ = false;
    decision_.reset();
    comparisonCode_.reset();
    isAwaitingConfirmation_ = false;
    peerName_.clear();
}

void PairingExchangeState::claimDecision(std::optional<PairingCode> code, std::string peerName) {
    std::lock_guard lock(mutex_);
    if (busy_) throw PairingError(PairingError::Kind::alreadyInProgress);
    busy_ = true;
    decision_.reset();
    comparisonCode_ = code;
    isAwaitingConfirmation_ = true;
    peerName_ = std::move(peerName);
}

bool PairingExchangeState::isBusy() const {
    std::lock_guard lock(mutex_);
    return busy_;
}

void PairingExchangeState::awaitDecision(std::optional<PairingCode> code) {
    std::lock_guard lock(mutex_);
    comparisonCode_ = code;
    isAwaitingConfirmation_ = true;
}

std::optional<bool> PairingExchangeState::takeDecision() {
    std::lock_guard lock(mutex_);
    auto taken = decision_;
    decision_.reset();
    return taken;
}

void PairingExchangeState::confirmed() {
    std::lock_guard lock(mutex_);
    isAwaitingConfirmation_ = false;
}

}  // namespace quill
