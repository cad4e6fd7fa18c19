#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "quillcore/envelope/envelope_sealer.h"
#include "quillcore/envelope/envelope_test_support.h"
#include "quillcore/net/tcp_listener.h"
#include "quillcore/transport/envelope_link.h"

using namespace quill;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

std::pair<FrameChannelPtr, FrameChannelPtr> connectedChannels() {
    auto listener = net::TcpListener::create();
    std::promise<std::uint16_t> port;
    std::promise<net::TcpConnectionPtr> accepted;
    listener->setStateHandler([&](const net::TcpListener::StateUpdate& u) {
        if (u.state == net::TcpListener::State::ready) port.set_value(*u.port);
    });
    listener->setConnectionHandler([&](net::TcpConnectionPtr c) { accepted.set_value(std::move(c)); });
    listener->start();
    auto client = FrameChannel::connectLocal(port.get_future().get());
    auto server = FrameChannel::make(accepted.get_future().get());
    listener->setConnectionHandler(nullptr);
    return {client, server};
}

// A host and a controller that paired earlier, each with a link over one loopback connection.
struct PairedLinks {
    DeviceIdentity host = quill::testing::makeIdentity(1);
    DeviceIdentity controller = quill::testing::makeIdentity(7);
    PeerRecord hostRecord = quill::testing::recordOf(host, "Host");
    PeerRecord controllerRecord = quill::testing::recordOf(controller, "Controller");
    std::shared_ptr<PeerStore> hostStore = std::make_shared<InMemoryPeerStore>(std::vector{controllerRecord});
    std::shared_ptr<PeerStore> controllerStore = std::make_shared<InMemoryPeerStore>(std::vector{hostRecord});
    FrameChannelPtr controllerChannel;
    FrameChannelPtr hostChannel;
    std::unique_ptr<EnvelopeLink> hostLink;
    std::unique_ptr<EnvelopeLink> controllerLink;

    explicit PairedLinks(std::shared_ptr<WallClock> controllerClock = WallClock::system()) {
        std::tie(controllerChannel, hostChannel) = connectedChannels();
        hostLink = std::make_unique<EnvelopeLink>(hostChannel, host, hostStore);
        controllerLink = std::make_unique<EnvelopeLink>(controllerChannel, controller, controllerStore, controllerClock);
    }

    // An envelope the controller sealed, sent as raw JSON past its link.
    Envelope sealFromController(const SignallingMessage& m) {
        return EnvelopeSealer::seal(m, controller, hostRecord);
    }
};

SignallingMessage offer(const std::string& id) {
    return Offer(id, "v=0 sdp", SessionMode::control, {"clipboard", "files"});
}
SignallingMessage candidate(int index) { return Candidate("S1", "candidate:" + std::to_string(index), "0", index); }

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

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Waits (at most 10 s) until `done` holds; the caller asserts on the result.
template <class F>
bool eventually(F&& done) {
    auto until = Clock::now() + 10s;
    while (!done()) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The message of what next() returned; a missing one fails the test instead of crashing it.
SignallingMessage messageOf(const std::optional<OpenedEnvelope>& opened) {
    if (!opened) {
        ADD_FAILURE() << "no message";
        return Wake();
    }
    return opened->message;
}

}  // namespace

TEST(EnvelopeLink, PairedDevicesExchangeSealedMessagesInOrder) {
    PairedLinks p;
    p.controllerLink->send(offer("S1"), p.hostRecord);
    p.controllerLink->send(candidate(0), p.hostRecord);
    p.controllerLink->send(candidate(1), p.hostRecord);
    ASSERT_TRUE(eventually([&] { return p.hostLink->queuedCount() == 3; }));
    // Queued before anyone asked: handed out at once, oldest first.
    for (const auto& expected : {offer("S1"), candidate(0), candidate(1)}) {
        auto got = p.hostLink->next(0.0);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->message, expected);
        EXPECT_EQ(got->sender, p.controllerRecord);
        EXPECT_EQ(got->envelope.from, p.controller.fingerprint());
        EXPECT_EQ(got->envelope.to, p.host.fingerprint());
    }
    p.hostLink->send(Answer("S1", "v=0 answer", {"clipboard"}), p.controllerRecord);
    auto answer = p.controllerLink->next(5.0);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message, SignallingMessage(Answer("S1", "v=0 answer", {"clipboard"})));
    EXPECT_EQ(answer->sender, p.hostRecord);
}

TEST(EnvelopeLink, TimedWaitsEndWithoutErrorAndNeverCutALaterWaitShort) {
    PairedLinks p;
    auto t0 = Clock::now();
    EXPECT_FALSE(p.hostLink->next(0.3));
    EXPECT_GE(secondsSince(t0), 0.29);
    p.controllerLink->send(candidate(5), p.hostRecord);
    auto late = p.hostLink->next(5.0);
    ASSERT_TRUE(late);
    EXPECT_EQ(late->message, candidate(5));

    std::thread sender([&] {
        std::this_thread::sleep_for(50ms);
        p.controllerLink->send(candidate(6), p.hostRecord);
        std::this_thread::sleep_for(1500ms);
        p.controllerLink->send(candidate(7), p.hostRecord);
    });
    EXPECT_EQ(messageOf(p.hostLink->next(1.0)), candidate(6));
    auto second = p.hostLink->next(5.0);  // the first wait's 1 s pass while this one waits
    ASSERT_TRUE(second);
    EXPECT_EQ(second->message, candidate(7));
    sender.join();
}

TEST(EnvelopeLink, EndsAtTheFirstBadFrameAfterHandingOutWhatWasQueued) {
    PairedLinks p;
    p.controllerLink->send(candidate(1), p.hostRecord);
    p.controllerLink->send(candidate(2), p.hostRecord);
    p.controllerChannel->send(toBytes("not json"));
    try {
        p.controllerLink->send(candidate(3), p.hostRecord);  // after the bad frame: never opened
    } catch (const FrameChannelError&) {
        // the host may already have closed the connection
    }
    // The link has failed (it closed its channel) before anything is taken from it.
    ASSERT_TRUE(eventually([&] { return p.hostChannel->frames->isFinished(); }));
    EXPECT_EQ(p.hostLink->queuedCount(), 2u);
    EXPECT_EQ(messageOf(p.hostLink->next(0.0)), candidate(1));
    EXPECT_EQ(messageOf(p.hostLink->next(0.0)), candidate(2));
    auto first = errorOf<DecodingError>([&] { p.hostLink->next(5.0); });
    auto again = errorOf<DecodingError>([&] { p.hostLink->next(); });
    EXPECT_EQ(first, again);
    // The host closed its channel: the controller's link sees the connection end (a reset
    // when the last frame was still unread on the host's side).
    auto ended = errorOf<FrameChannelError>([&] { p.controllerLink->next(5.0); });
    EXPECT_TRUE(ended.kind == FrameChannelError::Kind::connectionClosed ||
                ended.kind == FrameChannelError::Kind::network)
        << ended.description();
}

TEST(EnvelopeLink, EnvelopesThatDoNotOpenEndTheLinkWithTheReceiversError) {
    {  // the same envelope twice: the waiting call gets the replay error
        PairedLinks p;
        auto json = p.sealFromController(offer("S1")).toJSON();
        p.controllerChannel->sendJSON(json);
        EXPECT_EQ(messageOf(p.hostLink->next(5.0)), offer("S1"));
        std::thread again([&] {
            std::this_thread::sleep_for(50ms);
            p.controllerChannel->sendJSON(json);
        });
        EXPECT_EQ(errorOf<EnvelopeError>([&] { p.hostLink->next(); }), EnvelopeError::replayed());
        again.join();
        EXPECT_EQ(errorOf<EnvelopeError>([&] { p.hostLink->next(0.0); }), EnvelopeError::replayed());
    }
    {  // sealed by a device the host never paired with
        PairedLinks p;
        auto stranger = quill::testing::makeIdentity(40);
        p.controllerChannel->sendJSON(EnvelopeSealer::seal(offer("S1"), stranger, p.hostRecord).toJSON());
        EXPECT_EQ(errorOf<EnvelopeError>([&] { p.hostLink->next(5.0); }), EnvelopeError::unknownSender());
    }
    {  // a sender whose clock is two minutes behind
        auto behind = std::make_shared<ManualWallClock>(std::chrono::system_clock::now() - 120s);
        PairedLinks p(behind);
        p.controllerLink->send(offer("S1"), p.hostRecord);
        EXPECT_EQ(errorOf<EnvelopeError>([&] { p.hostLink->next(5.0); }), EnvelopeError::staleTimestamp());
    }
}

TEST(EnvelopeLink, CloseWakesTheWaiterAndKeepsTheQueue) {
    PairedLinks p;
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        p.hostLink->close();
    });
    EXPECT_FALSE(p.hostLink->next());
    closer.join();

    PairedLinks q;
    q.controllerLink->send(candidate(1), q.hostRecord);
    q.controllerLink->send(candidate(2), q.hostRecord);
    EXPECT_EQ(messageOf(q.hostLink->next(5.0)), candidate(1));
    ASSERT_TRUE(eventually([&] { return q.hostLink->queuedCount() == 1; }));
    q.hostLink->close();
    q.hostLink->close();
    EXPECT_EQ(messageOf(q.hostLink->next(0.0)), candidate(2));
    EXPECT_FALSE(q.hostLink->next(0.0));
    EXPECT_FALSE(q.hostLink->next());
    EXPECT_EQ(errorOf<FrameChannelError>([&] { q.hostLink->send(candidate(3), q.controllerRecord); }),
              FrameChannelError::connectionClosed());
}

TEST(EnvelopeLink, ThePeerClosingFailsTheLinkWithConnectionClosed) {
    PairedLinks p;
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        p.controllerLink->send(candidate(9), p.hostRecord);
        p.controllerLink->close();
    });
    EXPECT_EQ(messageOf(p.hostLink->next(5.0)), candidate(9));
    auto error = errorOf<FrameChannelError>([&] { p.hostLink->next(5.0); });
    EXPECT_EQ(error, FrameChannelError::connectionClosed());
    EXPECT_EQ(std::string(error.what()), "The other device closed the connection.");
    EXPECT_EQ(errorOf<FrameChannelError>([&] { p.hostLink->next(); }), FrameChannelError::connectionClosed());
    closer.join();
}

TEST(EnvelopeLink, DroppingTheLinkClosesItsConnection) {
    PairedLinks p;
    auto t0 = Clock::now();
    p.hostLink.reset();  // no close(): the read thread is stopped and joined all the same
    EXPECT_LT(secondsSince(t0), 2.0);
    EXPECT_EQ(errorOf<FrameChannelError>([&] { p.hostChannel->send(toBytes("x")); }),
              FrameChannelError::connectionClosed());
    EXPECT_EQ(errorOf<FrameChannelError>([&] { p.controllerLink->next(5.0); }), FrameChannelError::connectionClosed());
}
