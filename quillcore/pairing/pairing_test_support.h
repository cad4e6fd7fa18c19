#pragma once

// Shared by the pairing tests: identities, a store that fails on demand, channel pairs over
// real loopback TCP, and helpers to script one side of an exchange by hand.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "quillcore/crypto/crypto.h"
#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/net/tcp_listener.h"
#include "quillcore/pairing/pairing_helpers.h"
#include "quillcore/pairing/pairing_message.h"
#include "quillcore/transport/frame_channel.h"

namespace quill::pairing_test {

inline DeviceIdentity newIdentity() {
    return DeviceIdentity(StoredIdentityKeys(crypto::randomBytes(32), crypto::randomBytes(32)));
}

// A store whose save fails while `failing` is set; otherwise it keeps records in memory.
class FlakyPeerStore final : public PeerStore {
public:
    void save(const PeerRecord& record) override {
        if (failing) throw DecodingError(DecodingError::Kind::dataCorrupted, "", "disk is full");
        inner.save(record);
    }
    std::vector<PeerRecord> all() const override { return inner.all(); }
    std::optional<PeerRecord> peer(ByteView fingerprint) const override { return inner.peer(fingerprint); }
    void remove(ByteView fingerprint) override { inner.remove(fingerprint); }

    bool failing = false;
    InMemoryPeerStore inner;
};

// A listener on loopback that hands out the server side of each connection.
class Loopback {
public:
    Loopback() : state_(std::make_shared<State>()), listener_(net::TcpListener::create()) {
        auto state = state_;
        listener_->setStateHandler([state](const net::TcpListener::StateUpdate& update) {
            std::lock_guard lock(state->mutex);
            if (update.state == net::TcpListener::State::ready) state->port = update.port;
            state->cv.notify_all();
        });
        listener_->setConnectionHandler([state](net::TcpConnectionPtr connection) {
            std::lock_guard lock(state->mutex);
            state->accepted.push_back(std::move(connection));
            state->cv.notify_all();
        });
        listener_->start();
        std::unique_lock lock(state_->mutex);
        state_->cv.wait_for(lock, std::chrono::seconds(10), [&] { return state_->port.has_value(); });
    }
    ~Loopback() { listener_->cancel(); }

    std::uint16_t port() const {
        std::lock_guard lock(state_->mutex);
        return state_->port.value();
    }

    // The next accepted connection, wrapped in a channel; none after `seconds`.
    FrameChannelPtr accept(int seconds = 10, FrameChannel::Limits limits = {}) {
        std::unique_lock lock(state_->mutex);
        if (!state_->cv.wait_for(lock, std::chrono::seconds(seconds), [&] { return !state_->accepted.empty(); }))
            return nullptr;
        auto connection = state_->accepted.front();
        state_->accepted.erase(state_->accepted.begin());
        lock.unlock();
        return FrameChannel::make(connection, limits);
    }

private:
    // Shared with the handlers, which may still run on the I/O thread while the listener goes.
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        std::optional<std::uint16_t> port;
        std::vector<net::TcpConnectionPtr> accepted;
    };
    std::shared_ptr<State> state_;
    net::TcpListenerPtr listener_;
};

struct ChannelPair {
    FrameChannelPtr host;
    FrameChannelPtr controller;
};

inline ChannelPair connectPair(Loopback& loopback) {
    ChannelPair pair;
    pair.controller = FrameChannel::connectLocal(loopback.port());
    pair.host = loopback.accept();
    return pair;
}

inline void send(FrameChannel& channel, const PairingMessage& message) { channel.sendJSON(message.toJSON()); }

// The next message as it came (PairCancel included); fails the test after 10 s.
inline std::optional<PairingMessage> read(FrameChannel& channel) {
    auto frame = channel.nextFrame(10.0);
    if (!frame) ADD_FAILURE() << "no frame within 10 s";
    return frame ? std::optional(PairingMessage::decode(*frame)) : std::nullopt;
}

// The next message must be a PairCancel with `reason`.
inline void expectCancel(FrameChannel& channel, const std::string& reason) {
    auto m = read(channel);
    ASSERT_TRUE(m && m->is<PairCancel>()) << (m ? m->typeName() : "nothing");
    EXPECT_EQ(m->get<PairCancel>()->reason, reason);
}

// Runs `body` and returns the PairingError it throws (fails the test if it throws none).
template <class F>
std::optional<PairingError> pairingErrorOf(F&& body) {
    try {
        body();
    } catch (const PairingError& e) {
        return e;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected exception: " << e.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "no PairingError thrown";
    return std::nullopt;
}

// One exchange running on its own thread. If a test leaves early, or the exchange is still
// running 20 s into get(), it is rejected and its channel closed so that nothing waits for ever.
template <class Pairing>
struct ExchangeRun {
    Pairing* pairing;
    FrameChannelPtr channel;
    std::future<PeerRecord> result;

    ~ExchangeRun() {
        if (result.valid()) stop();
    }
    void stop() {
        pairing->rejectComparison();
        channel->close();
        result.wait();
    }
    PeerRecord get() {
        if (!finishedWithin(std::chrono::seconds(20))) {
            ADD_FAILURE() << "the exchange did not end";
            stop();
        }
        return result.get();
    }
    bool finishedWithin(std::chrono::milliseconds limit) { return result.wait_for(limit) == std::future_status::ready; }
};

// Starts `exchange` (called with the channel) for `pairing` on a thread of its own.
template <class Pairing, class Exchange>
std::unique_ptr<ExchangeRun<Pairing>> runExchange(Pairing& pairing, FrameChannelPtr channel, Exchange exchange) {
    return std::unique_ptr<ExchangeRun<Pairing>>(new ExchangeRun<Pairing>{
        &pairing, channel, std::async(std::launch::async, [channel, exchange] { return exchange(*channel); })});
}

// Waits until `condition` holds, up to 10 s.
inline bool eventually(const std::function<bool()>& condition) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

}  // namespace quill::pairing_test
