#pragma once

// Devices, loopback connections, a scripted WebRTC layer and control messages for the tests of
// the session roles.

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quillcore/envelope/envelope_test_support.h"
#include "quillcore/net/tcp_listener.h"
#include "quillcore/session/controller_session.h"
#include "quillcore/session/host_session.h"
#include "quillcore/session/session_core_test_fakes.h"
#include "quillcore/transport/envelope_link.h"

namespace quill::rolestest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

template <class T>
std::optional<T> nextWithin(const AsyncStreamPtr<T>& stream, double seconds = 5) {
    return stream->next(seconds).value;
}

// The accepting end of a loopback listener, kept for as many connections as a test makes.
class Listener {
public:
    Listener() : listener_(net::TcpListener::create()) {
        auto ports = AsyncStream<std::uint16_t>::make();
        listener_->setStateHandler([ports](const net::TcpListener::StateUpdate& u) {
            if (u.state == net::TcpListener::State::ready) ports->push(*u.port);
        });
        listener_->setConnectionHandler([accepted = accepted_](net::TcpConnectionPtr c) { accepted->push(c); });
        listener_->start();
        port_ = nextWithin(ports, 10).value_or(0);
    }
    ~Listener() { listener_->cancel(); }

    std::uint16_t port() const { return port_; }
    // The next accepted connection, unstarted.
    net::TcpConnectionPtr accept(double timeout = 5) {
        if (auto next = nextWithin(accepted_, timeout)) return *next;
        throw std::runtime_error("no connection accepted");
    }

private:
    net::TcpListenerPtr listener_;
    AsyncStreamPtr<net::TcpConnectionPtr> accepted_ = AsyncStream<net::TcpConnectionPtr>::make();
    std::uint16_t port_ = 0;
};

// Client and server ends of one loopback connection.
inline std::pair<FrameChannelPtr, FrameChannelPtr> connectedChannels() {
    // Kept for the whole process: a listener torn down during exit could outlive the I/O thread.
    static Listener* listener = new Listener;
    auto client = FrameChannel::connectLocal(listener->port());
    return {client, FrameChannel::make(listener->accept())};
}

// A host, a controller that paired with it, and a third device that both know.
struct Devices {
    DeviceIdentity host = quill::testing::makeIdentity(1);
    DeviceIdentity controller = quill::testing::makeIdentity(3);
    DeviceIdentity stranger = quill::testing::makeIdentity(5);
    PeerRecord hostRecord = quill::testing::recordOf(host, "Host");
    PeerRecord controllerRecord = quill::testing::recordOf(controller, "Controller");
    PeerRecord strangerRecord = quill::testing::recordOf(stranger, "Stranger");
    std::shared_ptr<InMemoryPeerStore> hostStore;
    std::shared_ptr<InMemoryPeerStore> controllerStore;

    explicit Devices(PeerPermissions controllerPermissions = PeerPermissions::defaults()) {
        controllerRecord.permissions = controllerPermissions;
        hostStore = std::make_shared<InMemoryPeerStore>(std::vector{controllerRecord, strangerRecord});
        controllerStore = std::make_shared<InMemoryPeerStore>(std::vector{hostRecord, strangerRecord});
    }
};

template <class E, class F>
E errorOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    throw std::runtime_error("nothing thrown");
}

// Runs `f` on a thread and keeps what it threw.
class Background {
public:
    explicit Background(std::function<void()> f) : future_(std::async(std::launch::async, std::move(f))) {}
    ~Background() {
        if (future_.valid()) future_.wait();
    }
    // Rethrows what `f` threw.
    void get() { future_.get(); }

private:
    std::future<void> future_;
};

// Reads a state stream until a state of `kind` comes (true) or the stream ends (false).
inline bool waitForState(const AsyncStreamPtr<SessionConnectionState>& states, SessionConnectionState::Kind kind,
                         SessionConnectionState* seen = nullptr, double seconds = 10) {
    const Deadline deadline = Deadline::after(seconds);
    while (auto state = states->nextUntil(deadline).value) {
        if (!state->is(kind)) continue;
        if (seen) *seen = *state;
        return true;
    }
    return false;
}

// Plays the far end of a scripted peer connection: once the session has applied the far
// end's description (the host created its answer; the controller set the host's), the data
// channels open and ICE reports connected while the core is connecting.
class FakeConnector {
public:
    FakeConnector(std::shared_ptr<fake::FakePeerConnection> pc, std::shared_ptr<SessionCore> core, bool answering)
        : pc_(std::move(pc)), core_(std::move(core)), answering_(answering),
          thread_([this](std::stop_token stop) { loop(stop); }) {}

    // The far end's "ctl" channel (host side), once open.
    std::shared_ptr<fake::FakeDataChannel> remote(const std::string& label) {
        std::lock_guard l(mutex_);
        return label == "ctl" ? ctl_ : nullptr;
    }
    // Delivers one control message as the far end would send it.
    void receiveControl(const Quillmate_V0_Envelope& envelope) {
        auto ctl = answering_ ? remote("ctl") : pc_->localChannel("ctl");
        ASSERT_TRUE(ctl);
        ctl->receive(serializedData(envelope));
    }

private:
    bool triggered() {
        const std::string cue = answering_ ? "createAnswer" : "setRemoteDescription";
        std::lock_guard l(pc_->mutex);
        return std::any_of(pc_->calls.begin(), pc_->calls.end(), [&](const auto& c) { return c.rfind(cue, 0) == 0; });
    }

    void loop(std::stop_token stop) {
        for (bool opened = false; !stop.stop_requested(); std::this_thread::sleep_for(5ms)) {
            if (!opened && triggered()) {
                opened = true;
                if (answering_) {
                    auto ctl = pc_->openRemote("ctl");
                    pc_->openRemote("bulk");
                    std::lock_guard l(mutex_);
                    ctl_ = ctl;
                } else {
                    for (const char* label : {"ctl", "bulk"})
                        if (auto channel = pc_->localChannel(label)) channel->moveTo(DataChannelState::open);
                }
            }
            if (opened && core_->lifecycle().is(SessionConnectionState::Kind::connecting))
                pc_->fireIce(IceConnectionState::connected);
        }
    }

    std::shared_ptr<fake::FakePeerConnection> pc_;
    std::shared_ptr<SessionCore> core_;
    const bool answering_;
    std::mutex mutex_;
    std::shared_ptr<fake::FakeDataChannel> ctl_;
    std::jthread thread_;
};

// A control message from its text form.
inline Quillmate_V0_Envelope envelopeOf(const std::string& text) {
    Quillmate_V0_Envelope e;
    if (!google::protobuf::TextFormat::ParseFromString(text, &e)) throw std::invalid_argument(text);
    return e;
}
inline Quillmate_V0_Envelope keyEvent(std::uint32_t usage) {
    return envelopeOf("key { usb_hid_usage: " + std::to_string(usage) + " down: true }");
}
inline Quillmate_V0_Envelope pointerEvent(float x) {
    return envelopeOf("pointer { x: " + std::to_string(x) + " y: 1 }");
}
inline Quillmate_V0_Envelope scrollEvent(float dy) { return envelopeOf("scroll { dy: " + std::to_string(dy) + " }"); }
inline Quillmate_V0_Envelope ping(std::uint64_t t) { return envelopeOf("ping { t: " + std::to_string(t) + " }"); }
inline Quillmate_V0_Envelope pong(std::uint64_t t) { return envelopeOf("pong { t: " + std::to_string(t) + " }"); }
inline Quillmate_V0_Envelope hello(bool viewOnly) {
    return envelopeOf(std::string("hello { protocol_major: 0 view_only: ") + (viewOnly ? "true" : "false") + " }");
}

// A short name for a control message, for comparing sequences.
inline std::string describe(const Quillmate_V0_Envelope& e) {
    switch (e.msg_case()) {
        case Quillmate_V0_Envelope::kKey: return "key " + std::to_string(e.key().usb_hid_usage());
        case Quillmate_V0_Envelope::kPointer: return "pointer " + std::to_string(static_cast<int>(e.pointer().x()));
        case Quillmate_V0_Envelope::kScroll: return "scroll " + std::to_string(static_cast<int>(e.scroll().dy()));
        case Quillmate_V0_Envelope::kPing: return "ping " + std::to_string(e.ping().t());
        case Quillmate_V0_Envelope::kPong: return "pong " + std::to_string(e.pong().t());
        case Quillmate_V0_Envelope::kHello: return e.hello().view_only() ? "hello view" : "hello control";
        case Quillmate_V0_Envelope::MSG_NOT_SET: return "empty";
        default: return "other " + std::to_string(static_cast<int>(e.msg_case()));
    }
}

// Reads a message stream up to and including the message described as `last` (messages
// keep their order, so everything sent before it has been handled by then).
inline std::vector<std::string> readThrough(const AsyncStreamPtr<Quillmate_V0_Envelope>& stream,
                                            const std::string& last, double seconds = 5) {
    std::vector<std::string> out;
    const Deadline deadline = Deadline::after(seconds);
    while (out.empty() || out.back() != last) {
        auto n = stream->nextUntil(deadline);
        if (!n.hasItem()) {
            out.push_back(n.timedOut() ? "<timed out>" : "<ended>");
            break;
        }
        out.push_back(describe(*n.value));
    }
    return out;
}

}  // namespace quill::rolestest
