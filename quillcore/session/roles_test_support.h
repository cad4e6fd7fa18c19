#pragma once

// Devices, loopback channels and a scripted WebRTC layer for the session role tests.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quillcore/base/diagnostics.h"
#include "quillcore/envelope/envelope_sealer.h"
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

// The accepting end of a loopback listener, kept for as many connections as a test makes.
class Listener {
public:
    Listener() : listener_(net::TcpListener::create()) {
        auto accepted = accepted_;
        std::promise<std::uint16_t> ready;
        auto readyFuture = ready.get_future();
        auto once = std::make_shared<std::once_flag>();
        auto readyPtr = std::make_shared<std::promise<std::uint16_t>>(std::move(ready));
        listener_->setStateHandler([once, readyPtr](const net::TcpListener::StateUpdate& u) {
            if (u.state == net::TcpListener::State::ready) std::call_once(*once, [&] { readyPtr->set_value(*u.port); });
        });
        listener_->setConnectionHandler([accepted](net::TcpConnectionPtr c) { accepted->push(std::move(c)); });
        listener_->start();
        port_ = readyFuture.get();
    }
    ~Listener() { listener_->cancel(); }

    std::uint16_t port() const { return port_; }
    // The next accepted connection, unstarted.
    net::TcpConnectionPtr accept(double timeout = 5) {
        auto next = accepted_->next(timeout);
        if (!next.hasItem()) throw std::runtime_error("no connection accepted");
        return *next.value;
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
    auto server = FrameChannel::make(listener->accept());
    return {client, server};
}

inline SessionConfiguration configuration(SessionMode mode = SessionMode::control, double negotiationTimeout = 5,
                                          double connectionTimeout = 5) {
    return SessionConfiguration({}, mode, 12'000'000, 30, 640, 480, 5, negotiationTimeout, connectionTimeout);
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
    } catch (const std::exception& e) {
        ADD_FAILURE() << "other error thrown: " << e.what();
        throw;
    }
    ADD_FAILURE() << "nothing thrown";
    throw std::runtime_error("nothing thrown");
}

// Runs `f` on a thread and keeps what it threw.
class Background {
public:
    explicit Background(std::function<void()> f)
        : future_(std::async(std::launch::async, [f = std::move(f)] { f(); })) {}
    ~Background() {
        if (future_.valid()) future_.wait();
    }
    bool finishedWithin(std::chrono::milliseconds limit) {
        return future_.wait_for(limit) == std::future_status::ready;
    }
    // Rethrows what `f` threw.
    void get() { future_.get(); }

private:
    std::future<void> future_;
};

template <class T>
std::optional<T> nextWithin(const AsyncStreamPtr<T>& stream, double seconds = 5) {
    auto n = stream->next(seconds);
    if (!n.hasItem()) return std::nullopt;
    return n.value;
}

// Reads a state stream until a state of `kind` comes (true) or the stream ends (false).
inline bool waitForState(const AsyncStreamPtr<SessionConnectionState>& states, SessionConnectionState::Kind kind,
                         SessionConnectionState* seen = nullptr, double seconds = 10) {
    const Deadline deadline = Deadline::after(seconds);
    for (;;) {
        auto n = states->nextUntil(deadline);
        if (!n.hasItem()) return false;
        if (n.value->is(kind)) {
            if (seen) *seen = *n.value;
            return true;
        }
    }
}

// Plays the far end of a scripted peer connection: once the session has applied the far
// end's description (the host created its answer; the controller set the host's), the data
// channels open and ICE reports connected until the core says connected.
class FakeConnector {
public:
    FakeConnector(std::shared_ptr<fake::FakePeerConnection> pc, std::shared_ptr<SessionCore> core, bool answering)
        : pc_(std::move(pc)), core_(std::move(core)), answering_(answering),
          thread_([this](std::stop_token stop) { loop(stop); }) {}
    ~FakeConnector() {
        thread_.request_stop();
        thread_.join();
    }

    // The "ctl" channel on which the far end's messages arrive (host side), once open.
    std::shared_ptr<fake::FakeDataChannel> remote(const std::string& label) {
        std::lock_guard l(mutex_);
        return label == "ctl" ? ctl_ : bulk_;
    }
    // Delivers one control message as the far end would send it.
    void receiveControl(const Quillmate_V0_Envelope& envelope) {
        auto ctl = answering_ ? remote("ctl") : pc_->localChannel("ctl");
        ASSERT_TRUE(ctl);
        ctl->receive(serializedData(envelope));
    }

private:
    bool triggered() {
        std::lock_guard l(pc_->mutex);
        for (const auto& call : pc_->calls) {
            if (answering_ && call == "createAnswer") return true;
            if (!answering_ && call.rfind("setRemoteDescription", 0) == 0) return true;
        }
        return false;
    }

    void loop(std::stop_token stop) {
        bool opened = false;
        while (!stop.stop_requested()) {
            if (!opened && triggered()) {
                opened = true;
                if (answering_) {
                    auto ctl = pc_->openRemote("ctl");
                    auto bulk = pc_->openRemote("bulk");
                    std::lock_guard l(mutex_);
                    ctl_ = ctl;
                    bulk_ = bulk;
                } else {
                    for (const char* label : {"ctl", "bulk"})
                        if (auto ch = pc_->localChannel(label)) ch->moveTo(DataChannelState::open);
                }
            }
            const auto state = core_->lifecycle();
            if (opened && state.is(SessionConnectionState::Kind::connecting)) pc_->fireIce(IceConnectionState::connected);
            std::this_thread::sleep_for(5ms);
        }
    }

    std::shared_ptr<fake::FakePeerConnection> pc_;
    std::shared_ptr<SessionCore> core_;
    const bool answering_;
    std::mutex mutex_;
    std::shared_ptr<fake::FakeDataChannel> ctl_, bulk_;
    std::jthread thread_;
};

// Captures diagnostics for the life of a test.
class DiagnosticCapture {
public:
    DiagnosticCapture() {
        setDiagnosticSink([this](std::string_view line) {
            std::lock_guard l(mutex_);
            lines_.emplace_back(line);
        });
    }
    ~DiagnosticCapture() { setDiagnosticSink({}); }
    std::size_t count(std::string_view containing) {
        std::lock_guard l(mutex_);
        std::size_t n = 0;
        for (const auto& line : lines_)
            if (line.find(containing) != std::string::npos) ++n;
        return n;
    }
    std::vector<std::string> lines() {
        std::lock_guard l(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

inline Quillmate_V0_Envelope keyEvent(std::uint32_t usage) {
    Quillmate_V0_Envelope e;
    e.mutable_key()->set_usb_hid_usage(usage);
    e.mutable_key()->set_down(true);
    return e;
}
inline Quillmate_V0_Envelope pointerEvent(float x) {
    Quillmate_V0_Envelope e;
    e.mutable_pointer()->set_x(x);
    e.mutable_pointer()->set_y(1);
    return e;
}
inline Quillmate_V0_Envelope scrollEvent(float dy) {
    Quillmate_V0_Envelope e;
    e.mutable_scroll()->set_dy(dy);
    return e;
}
inline Quillmate_V0_Envelope ping(std::uint64_t t) {
    Quillmate_V0_Envelope e;
    e.mutable_ping()->set_t(t);
    return e;
}
inline Quillmate_V0_Envelope pong(std::uint64_t t) {
    Quillmate_V0_Envelope e;
    e.mutable_pong()->set_t(t);
    return e;
}
inline Quillmate_V0_Envelope hello(bool viewOnly) {
    Quillmate_V0_Envelope e;
    e.mutable_hello()->set_protocol_major(0);
    e.mutable_hello()->set_view_only(viewOnly);
    return e;
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
    for (;;) {
        auto n = stream->nextUntil(deadline);
        if (!n.hasItem()) {
            out.push_back(n.timedOut() ? "<timed out>" : "<ended>");
            return out;
        }
        out.push_back(describe(*n.value));
        if (out.back() == last) return out;
    }
}

}  // namespace quill::rolestest
