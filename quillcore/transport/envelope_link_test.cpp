#include <gtest/gtest.h>

#include "quillcore/envelope/envelope_sealer.h"
#include "quillcore/envelope/envelope_test_support.h"
#include "quillcore/transport/envelope_link.h"
#include "quillcore/transport/frame_test_support.h"

using namespace quill;
using namespace quill::testing;

namespace {

// A host and a controller that paired earlier, each with a link over one loopback connection.
struct PairedLinks {
    DeviceIdentity host = makeIdentity(1), controller = makeIdentity(7);
    PeerRecord hostRecord = recordOf(host, "Host"), controllerRecord = recordOf(controller, "Controller");
    FrameChannelPtr controllerChannel, hostChannel;
    std::unique_ptr<EnvelopeLink> hostLink, controllerLink;

    explicit PairedLinks(std::shared_ptr<WallClock> clock = WallClock::system()) {
        std::tie(controllerChannel, hostChannel) = connectedChannels();
        hostLink = std::make_unique<EnvelopeLink>(
            hostChannel, host, std::make_shared<InMemoryPeerStore>(std::vector{controllerRecord}), clock);
        controllerLink = std::make_unique<EnvelopeLink>(
            controllerChannel, controller, std::make_shared<InMemoryPeerStore>(std::vector{hostRecord}), clock);
    }
};

SignallingMessage candidate(int index) { return Candidate("S1", "candidate:" + std::to_string(index), "0", index); }

// The message next() returned (a missing one throws, which fails the test).
SignallingMessage messageOf(const std::optional<OpenedEnvelope>& opened) { return opened.value().message; }

}  // namespace

TEST(EnvelopeLink, PairedDevicesExchangeSealedMessagesAndTheChannelKeepsNoCopies) {
    // Both devices ten minutes behind real time: sending stamps and receiving checks by the
    // link's clock.
    PairedLinks p(std::make_shared<ManualWallClock>(std::chrono::system_clock::now() - 600s));
    auto t0 = Clock::now();
    EXPECT_FALSE(p.hostLink->next(0.3));
    EXPECT_GE(secondsSince(t0), 0.29);
    p.controllerLink->send(candidate(0), p.hostRecord);
    p.controllerLink->send(candidate(1), p.hostRecord);
    ASSERT_TRUE(eventually([&] { return p.hostLink->queuedCount() == 2; }));
    // Queued before anyone asked: handed out at once, oldest first.
    auto got = p.hostLink->next(0.0);
    EXPECT_EQ(messageOf(got), candidate(0));
    EXPECT_EQ(got->sender, p.controllerRecord);
    EXPECT_EQ(messageOf(p.hostLink->next(0.0)), candidate(1));
    // The link reads every frame itself: the channel's own stream keeps no copies, however
    // much a peer sends.
    const SignallingMessage large = Offer("S1", std::string(200 * 1024, 'x'), SessionMode::control, {});
    for (int i = 0; i < 40; ++i) {
        p.hostLink->send(large, p.controllerRecord);
        EXPECT_EQ(messageOf(p.controllerLink->next(5.0)), large);
    }
    EXPECT_EQ(p.controllerChannel->frames->pending(), 0u);
}

TEST(EnvelopeLink, EndsAtTheFirstFrameThatDoesNotOpenAfterHandingOutWhatWasQueued) {
    PairedLinks p;
    const Envelope earlier = EnvelopeSealer::seal(candidate(1), p.controller, p.hostRecord);
    for (const Envelope& e : {earlier, EnvelopeSealer::seal(candidate(2), p.controller, p.hostRecord), earlier})
        p.controllerChannel->send(toBytes(e.encode()));  // the last one a replay
    ASSERT_TRUE(eventually([&] { return p.hostChannel->frames->isFinished(); }));
    EXPECT_EQ(p.hostLink->queuedCount(), 2u);
    EXPECT_EQ(messageOf(p.hostLink->next(0.0)), candidate(1));
    EXPECT_EQ(messageOf(p.hostLink->next(0.0)), candidate(2));
    EXPECT_THROW(p.hostLink->next(5.0), EnvelopeError);
    EXPECT_THROW(p.hostLink->next(), EnvelopeError);  // as often as it is asked
    // The controller sees the connection end (a reset when the host closed with frames unread).
    EXPECT_NE(channelError([&] { p.controllerLink->next(5.0); }).kind, FrameChannelError::Kind::frameTooLarge);
}

TEST(EnvelopeLink, CloseKeepsTheQueueAndEndsWaitsTheDropAndThePeerEndTheLink) {
    PairedLinks waiting;
    std::jthread closer([&] { std::this_thread::sleep_for(50ms); waiting.hostLink->close(); });
    EXPECT_FALSE(waiting.hostLink->next());

    PairedLinks p;
    p.controllerLink->send(candidate(1), p.hostRecord);
    p.controllerLink->send(candidate(2), p.hostRecord);
    ASSERT_TRUE(eventually([&] { return p.hostLink->queuedCount() == 2; }));
    p.hostLink->close();
    EXPECT_EQ(messageOf(p.hostLink->next(0.0)), candidate(1));
    EXPECT_EQ(messageOf(p.hostLink->next()), candidate(2));
    EXPECT_FALSE(p.hostLink->next());
    EXPECT_EQ(channelError([&] { p.hostLink->send(candidate(3), p.controllerRecord); }),
              FrameChannelError::connectionClosed());
    // The peer sees the end, not its time limit.
    EXPECT_EQ(channelError([&] { p.controllerLink->next(10.0); }), FrameChannelError::connectionClosed());

    // Dropped without close(): the read thread is stopped and joined all the same.
    PairedLinks dropped;
    dropped.hostLink.reset();
    EXPECT_EQ(channelError([&] { dropped.hostChannel->send(toBytes("x")); }), FrameChannelError::connectionClosed());
    EXPECT_EQ(channelError([&] { dropped.controllerLink->next(5.0); }), FrameChannelError::connectionClosed());
}
