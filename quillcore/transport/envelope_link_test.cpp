#include <gtest/gtest.h>

#include <functional>
#include <typeinfo>
#include <vector>

#include "quillcore/envelope/envelope_sealer.h"
#include "quillcore/envelope/envelope_test_support.h"
#include "quillcore/transport/envelope_link.h"
#include "quillcore/transport/frame_test_support.h"

using namespace quill;
using namespace quill::testing;

namespace {

// A host and a controller that paired earlier, each with a link over one loopback connection.
struct PairedLinks {
    DeviceIdentity host = makeIdentity(1);
    DeviceIdentity controller = makeIdentity(7);
    PeerRecord hostRecord = recordOf(host, "Host");
    PeerRecord controllerRecord = recordOf(controller, "Controller");
    FrameChannelPtr controllerChannel;
    FrameChannelPtr hostChannel;
    std::unique_ptr<EnvelopeLink> hostLink;
    std::unique_ptr<EnvelopeLink> controllerLink;

    explicit PairedLinks(std::shared_ptr<WallClock> clock = WallClock::system()) {
        std::tie(controllerChannel, hostChannel) = connectedChannels();
        hostLink = std::make_unique<EnvelopeLink>(
            hostChannel, host, std::make_shared<InMemoryPeerStore>(std::vector{controllerRecord}), clock);
        controllerLink = std::make_unique<EnvelopeLink>(
            controllerChannel, controller, std::make_shared<InMemoryPeerStore>(std::vector{hostRecord}), clock);
    }
};

SignallingMessage offer(const std::string& id) {
    return Offer(id, "v=0 sdp", SessionMode::control, {"clipboard", "files"});
}
SignallingMessage candidate(int index) { return Candidate("S1", "candidate:" + std::to_string(index), "0", index); }

// The message of what next() returned; a missing one fails the test instead of crashing it.
SignallingMessage messageOf(const std::optional<OpenedEnvelope>& opened) {
    if (!opened) ADD_FAILURE() << "no message";
    return opened ? opened->message : SignallingMessage(Wake());
}

// The type and text of the error `f` throws.
std::pair<std::string, std::string> thrown(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return {typeid(e).name(), e.description()};
    } catch (const std::exception& e) {
        return {typeid(e).name(), e.what()};
    }
    return {"nothing thrown", ""};
}

}  // namespace

TEST(EnvelopeLink, PairedDevicesExchangeSealedMessagesWithTimedWaits) {
    // Both devices ten minutes behind real time: sending stamps and receiving checks by the
    // link's clock.
    auto past = std::make_shared<ManualWallClock>(std::chrono::system_clock::now() - 600s);
    PairedLinks p(past);
    auto t0 = Clock::now();
    EXPECT_FALSE(p.hostLink->next(0.3));
    EXPECT_GE(secondsSince(t0), 0.29);

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

    // A wait served early must not cut a later wait short.
    std::thread sender([&] {
        std::this_thread::sleep_for(50ms);
        p.controllerLink->send(candidate(6), p.hostRecord);
        std::this_thread::sleep_for(1500ms);
        p.controllerLink->send(candidate(7), p.hostRecord);
    });
    EXPECT_EQ(messageOf(p.hostLink->next(1.0)), candidate(6));
    EXPECT_EQ(messageOf(p.hostLink->next(5.0)), candidate(7));  // the first wait's 1 s pass while this one waits
    sender.join();
}

TEST(EnvelopeLink, EndsAtTheFirstFrameThatDoesNotOpenAfterHandingOutWhatWasQueued) {
    struct Case {
        const char* name;
        std::function<std::string(const PairedLinks&, const Envelope& earlier)> bad;
        std::function<void()> expected;  // throws what the link must end with
    };
    const Case cases[] = {
        {"not JSON", [](auto&, auto&) { return std::string("not json"); },
         [] { Envelope::decode(std::string_view("not json")); }},
        {"replayed", [](auto&, const Envelope& earlier) { return earlier.encode(); },
         [] { throw EnvelopeError::replayed(); }},
        {"unknown sender",
         [](const PairedLinks& p, auto&) {
             return EnvelopeSealer::seal(offer("S1"), makeIdentity(40), p.hostRecord).encode();
         },
         [] { throw EnvelopeError::unknownSender(); }},
        {"sender's clock two minutes behind",
         [](const PairedLinks& p, auto&) {
             return EnvelopeSealer::seal(offer("S1"), p.controller, p.hostRecord, std::chrono::system_clock::now() - 120s)
                 .encode();
         },
         [] { throw EnvelopeError::staleTimestamp(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PairedLinks p;
        Envelope earlier = EnvelopeSealer::seal(candidate(1), p.controller, p.hostRecord);
        p.controllerChannel->send(toBytes(earlier.encode()));
        p.controllerChannel->send(toBytes(EnvelopeSealer::seal(candidate(2), p.controller, p.hostRecord).encode()));
        p.controllerChannel->send(toBytes(c.bad(p, earlier)));
        try {
            p.controllerLink->send(candidate(3), p.hostRecord);  // after the bad frame: never opened
        } catch (const FrameChannelError&) {
            // the host may already have closed the connection
        }
        ASSERT_TRUE(eventually([&] { return p.hostChannel->frames->isFinished(); }));
        EXPECT_EQ(p.hostLink->queuedCount(), 2u);
        EXPECT_EQ(messageOf(p.hostLink->next(0.0)), candidate(1));
        EXPECT_EQ(messageOf(p.hostLink->next(0.0)), candidate(2));
        EXPECT_EQ(thrown([&] { p.hostLink->next(5.0); }), thrown(c.expected));
        EXPECT_EQ(thrown([&] { p.hostLink->next(); }), thrown(c.expected));
        // The controller's link sees the connection end (a reset when the host closed with
        // frames still unread).
        auto ended = channelError([&] { p.controllerLink->next(5.0); });
        EXPECT_TRUE(ended.kind == FrameChannelError::Kind::connectionClosed ||
                    ended.kind == FrameChannelError::Kind::network)
            << ended.description();
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
    EXPECT_EQ(channelError([&] { q.hostLink->send(candidate(3), q.controllerRecord); }),
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
    auto t0 = Clock::now();
    auto error = channelError([&] { p.hostLink->next(10.0); });
    EXPECT_LT(secondsSince(t0), 5.0);  // woken by the end, not by its time limit
    EXPECT_EQ(error, FrameChannelError::connectionClosed());
    EXPECT_EQ(std::string(error.what()), "The other device closed the connection.");
    EXPECT_EQ(channelError([&] { p.hostLink->next(); }), FrameChannelError::connectionClosed());
    closer.join();
}

TEST(EnvelopeLink, DroppingTheLinkClosesItsConnection) {
    PairedLinks p;
    auto t0 = Clock::now();
    p.hostLink.reset();  // no close(): the read thread is stopped and joined all the same
    EXPECT_LT(secondsSince(t0), 2.0);
    EXPECT_EQ(channelError([&] { p.hostChannel->send(toBytes("x")); }),
              FrameChannelError::connectionClosed());
    EXPECT_EQ(channelError([&] { p.controllerLink->next(5.0); }), FrameChannelError::connectionClosed());
}
