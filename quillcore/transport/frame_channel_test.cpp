#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <vector>

#include <malloc.h>

#include "quillcore/transport/frame_channel.h"
#include "quillcore/transport/frame_test_support.h"

using namespace quill;
using namespace quill::testing;

TEST(FrameChannel, CarriesFramesUpToTheLimitHoweverTheSegmentsFall) {
    RawPeer peer;
    auto& channel = peer.channel;
    Bytes coalesced = wire(toBytes("one"));
    append(coalesced, wire(Bytes{}));
    append(coalesced, wire(toBytes("two")));
    peer.write(coalesced);
    // Every frame goes to the stream and to the reader.
    EXPECT_EQ(channel->frames->next(10.0).value, toBytes("one"));
    EXPECT_EQ(channel->nextFrame(10.0), toBytes("one"));
    EXPECT_EQ(channel->nextFrame(10.0), Bytes{});
    EXPECT_EQ(channel->nextFrame(10.0), toBytes("two"));
    // Once detached, the stream keeps nothing and the reader still gets every frame whole.
    channel->frames->detach();
    peer.dribble(wire(pattern(1000, 3)));
    // A large body in odd pieces, with pauses so that they arrive as separate reads.
    Bytes large = wire(pattern(300'000, 4));
    for (std::size_t at = 0; at < large.size(); at += 7001) {
        peer.write(Bytes(large.begin() + static_cast<std::ptrdiff_t>(at),
                         large.begin() + static_cast<std::ptrdiff_t>(std::min(large.size(), at + 7001))));
        if (at % 5 == 0) std::this_thread::sleep_for(1ms);
    }
    Bytes biggest = pattern(FrameChannel::maxFrameSize, 5);
    peer.write(wire(biggest));
    EXPECT_EQ(channel->nextFrame(10.0), pattern(1000, 3));
    EXPECT_EQ(channel->nextFrame(10.0), pattern(300'000, 4));
    EXPECT_EQ(channel->nextFrame(10.0), biggest);
    EXPECT_EQ(channel->frames->pending(), 0u);

    // Sending: the limit is inclusive, and a refused payload writes nothing.
    auto sent = std::async(std::launch::async, [&] {
        channel->send(biggest);
        EXPECT_EQ(channelError([&] { channel->send(Bytes(FrameChannel::maxFrameSize + 1)); }),
                  FrameChannelError::frameTooLarge(1'048'577));
        channel->send({});
    });
    EXPECT_EQ(peer.read(4 + biggest.size()), wire(biggest));
    EXPECT_EQ(peer.read(4), header(0));
    sent.get();
}

TEST(FrameChannel, TimedReadsReturnNoneAndLeaveTheChannelOpen) {
    RawPeer peer;
    auto t0 = Clock::now();
    EXPECT_EQ(peer.channel->nextFrame(0.2), std::nullopt);
    EXPECT_GE(secondsSince(t0), 0.19);
    for (double odd : {0.0, -1.0, std::nan("")}) EXPECT_EQ(peer.channel->nextFrame(odd), std::nullopt);
    peer.write(wire(toBytes("late")));
    EXPECT_EQ(peer.channel->nextFrame(10.0), toBytes("late"));

    // A read served early must not cut a later read short when its own time would have run out.
    std::thread sender([&] {
        std::this_thread::sleep_for(50ms);
        peer.write(wire(toBytes("a")));
        std::this_thread::sleep_for(1500ms);
        peer.write(wire(toBytes("b")));
    });
    EXPECT_EQ(peer.channel->nextFrame(1.0), toBytes("a"));
    EXPECT_EQ(peer.channel->nextFrame(5.0), toBytes("b"));  // still waiting when the first limit passes
    sender.join();
}

TEST(FrameChannel, FramesReceivedBeforeTheChannelEndedComeBeforeItsError) {
    Bytes midBody = header(100);
    append(midBody, Bytes(40, 1));
    auto oversize = [](std::uint32_t announced) {
        Bytes bytes = header(announced);
        append(bytes, Bytes(64 * 1024, 0xAB));  // never read: the channel ends at the header
        return bytes;
    };
    // A channel that takes small frames only, and no more unread than one of them and a bit.
    const FrameChannel::Limits small{1000, 2 * (1000 + FrameChannel::kFrameOverhead) - 1, true};
    Bytes moreThanHeld = wire(pattern(1000, 2));
    append(moreThanHeld, Bytes(64 * 1024, 0xAB));  // never read either
    const auto closed = FrameChannelError::connectionClosed();
    const std::string closedText = "The other device closed the connection.";
    enum class End { none, close, reset };  // what the peer does after its bytes
    struct Case {
        const char* name;
        Bytes tail;  // after one whole frame
        End end;
        bool readerWaits;  // a reader is already waiting when the end arrives
        FrameChannelError expected;
        std::string description;  // of the error; for a network error, without the system's text
        FrameChannel::Limits limits = {};
        std::size_t wholeSize = 0;  // of the whole frame; 0: "whole"
    };
    const Case cases[] = {
        {"close", {}, End::close, false, closed, closedText},
        {"close, reader waiting", {}, End::close, true, closed, closedText},
        {"partial header", {0, 0}, End::close, false, closed, closedText},
        {"close mid body", midBody, End::close, true, closed, closedText},
        {"reset mid body", midBody, End::reset, false, FrameChannelError::network(""),
         "Could not reach the other device: "},
        {"4 GiB header", oversize(0xFFFFFFFF), End::none, true, FrameChannelError::frameTooLarge(0xFFFFFFFFLL),
         "The other device sent a message that was too large (4294967295 bytes)."},
        {"header one over the limit", oversize(1'048'577), End::none, false,
         FrameChannelError::frameTooLarge(1'048'577), "The other device sent a message that was too large (1048577 bytes)."},
        {"largest frame of a limited channel, then a header one over", oversize(1001), End::none, false,
         FrameChannelError::frameTooLarge(1001), "The other device sent a message that was too large (1001 bytes).", small,
         1000},
        {"more unread than a limited channel holds", moreThanHeld, End::none, false, FrameChannelError::tooManyFrames(),
         "The other device sent more messages than were read.", small, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawPeer peer(c.limits);
        auto& channel = peer.channel;
        const Bytes whole = c.wholeSize ? pattern(c.wholeSize, 9) : toBytes("whole");
        Bytes bytes = wire(whole);
        append(bytes, c.tail);
        std::thread ender([&] {
            if (c.readerWaits) std::this_thread::sleep_for(50ms);
            peer.write(bytes);
            // Reset only once the channel holds the whole frame, so the reset lands mid-body.
            EXPECT_TRUE(c.end != End::reset || eventually([&] { return channel->bufferedFrameCount() == 1; }));
            if (c.end != End::none) c.end == End::reset ? peer.reset() : peer.close();
        });
        if (!c.readerWaits) {
            ender.join();
            ASSERT_TRUE(eventually([&] { return channel->frames->isFinished(); }));
        }
        EXPECT_EQ(channel->nextFrame(10.0), whole);
        auto t0 = Clock::now();
        auto error = channelError([&] { channel->nextFrame(10.0); });
        EXPECT_LT(secondsSince(t0), 5.0);  // a waiting reader is woken by the end, not by its time limit
        if (ender.joinable()) ender.join();
        EXPECT_EQ(error.description(), c.description + error.text);
        if (c.expected.kind == FrameChannelError::Kind::network) {
            EXPECT_EQ(error.kind, FrameChannelError::Kind::network);
            EXPECT_FALSE(error.text.empty());
        } else {
            EXPECT_EQ(error, c.expected);
        }
        // Closing with the rest of an oversize frame (or more) unread makes the socket send a reset.
        if (c.end == End::none) {
            EXPECT_EQ(peer.endOfConnection(), ECONNRESET);
        }
        EXPECT_EQ(channelError([&] { channel->nextFrame(0.0); }), error);
        EXPECT_EQ(channelError([&] { channel->send(toBytes("x")); }), closed);
        channel->close();  // keeps the recorded error
        EXPECT_EQ(channelError([&] { channel->nextFrame(); }), error);
        // The stream held the whole frame only.
        EXPECT_EQ(channel->frames->next(1.0).value, whole);
        EXPECT_TRUE(channel->frames->next(1.0).finished());
    }
}

TEST(FrameChannel, CloseWakesTheReaderAndKeepsWhatWasReceived) {
    RawPeer peer;
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        peer.channel->close();
    });
    EXPECT_EQ(peer.channel->nextFrame(), std::nullopt);
    closer.join();
    EXPECT_EQ(peer.endOfConnection(), 0);

    // Whoever watches the channel hears of its frames and of its end, from this side too, once.
    RawPeer other;
    std::atomic<int> changes{0};
    other.channel->setChangeNotifier([&] { ++changes; });
    Bytes two = wire(toBytes("1"));
    append(two, wire(toBytes("2")));
    other.write(two);
    ASSERT_TRUE(eventually([&] { return other.channel->bufferedFrameCount() == 2; }));
    const int beforeClose = changes;
    EXPECT_GE(beforeClose, 1);
    EXPECT_FALSE(other.channel->ended());
    other.channel->close();
    other.channel->close();
    EXPECT_TRUE(other.channel->ended());
    EXPECT_EQ(changes, beforeClose + 1);
    other.channel->setChangeNotifier(nullptr);
    EXPECT_EQ(channelError([&] { other.channel->send(toBytes("x")); }), FrameChannelError::connectionClosed());
    EXPECT_EQ(other.channel->nextFrame(), toBytes("1"));
    EXPECT_EQ(other.channel->nextFrame(), toBytes("2"));
    EXPECT_EQ(other.channel->nextFrame(), std::nullopt);
    EXPECT_EQ(other.channel->frames->next(1.0).value, toBytes("1"));
    EXPECT_EQ(other.channel->frames->next(1.0).value, toBytes("2"));
    EXPECT_TRUE(other.channel->frames->next(1.0).finished());
}

// Once setChangeNotifier() returns, the notifier it replaced has returned and runs no more, so
// what it captured may go at once, however fast frames arrive; called from inside the notifier,
// it waits for nobody.
TEST(FrameChannel, AReplacedNotifierRunsNoMoreOnceTheReplacementReturns) {
    RawPeer peer;
    auto& channel = peer.channel;
    channel->frames->detach();
    std::atomic<bool> running{true};
    std::thread writer([&] {
        while (running) {
            peer.write(wire(toBytes("x")));
            std::this_thread::sleep_for(20us);
        }
    });
    std::thread reader([&] {
        while (running) channel->nextFrame(0.05);
    });
    struct Watched {
        std::atomic<int> calls{0};
        std::atomic<bool> gone{false};
    };
    std::atomic<int> late{0};
    for (int round = 0; round < 100; ++round) {
        auto* watched = new Watched;
        channel->setChangeNotifier([watched, &late] {
            ++watched->calls;
            std::this_thread::sleep_for(200us);  // still running when it is replaced
            if (watched->gone) ++late;
        });
        ASSERT_TRUE(eventually([&] { return watched->calls > 0; }));
        channel->setChangeNotifier(nullptr);
        watched->gone = true;
        std::this_thread::sleep_for(1ms);
        delete watched;  // a call after this is a use after free (the sanitizer tree sees it)
    }
    EXPECT_EQ(late, 0) << "calls of a replaced notifier after the replacement returned";

    std::atomic<int> inside{0};
    channel->setChangeNotifier([&] {
        ++inside;
        channel->setChangeNotifier(nullptr);
    });
    ASSERT_TRUE(eventually([&] { return inside > 0; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(inside, 1);
    running = false;
    writer.join();
    reader.join();
}

TEST(FrameChannel, DroppingTheChannelClosesItsConnection) {
    RawPeer peer;
    auto stream = peer.channel->frames;
    peer.channel.reset();
    EXPECT_EQ(peer.endOfConnection(), 0);
    EXPECT_TRUE(stream->next(1.0).finished());
}

TEST(FrameChannel, SendAndPostJSONWriteOneFrameOrNothing) {
    RawPeer peer;
    auto error = channelError([&] { peer.channel->sendJSON(json::Json{{"x", std::nan("")}}); });
    EXPECT_EQ(channelError([&] { peer.channel->postJSON(json::OrderedJson{{"x", std::nan("")}}); }).description(),
              error.description());
    EXPECT_EQ(error.description().rfind("Could not reach the other device: could not encode JSON: ", 0), 0u)
        << error.description();
    peer.channel->sendJSON(json::OrderedJson{{"name", "a/b"}, {"n", 1}});
    EXPECT_EQ(peer.read(4 + 21), wire(toBytes(R"({"name":"a\/b","n":1})")));
    // Posted frames go out whole and in order, without waiting.
    peer.channel->postJSON(json::OrderedJson{{"n", 2}});
    peer.channel->postJSON(json::OrderedJson{{"n", 3}});
    Bytes both = wire(toBytes(R"({"n":2})"));
    append(both, wire(toBytes(R"({"n":3})")));
    EXPECT_EQ(peer.read(both.size()), both);
}

TEST(FrameChannel, ConcurrentSendersNeverInterleaveFrames) {
    auto [client, server] = connectedChannels();
    constexpr int kThreads = 8, kEach = 40;
    auto sizeOf = [](int t, int i) { return static_cast<std::size_t>(1 + (t * 977 + i * 6007) % 90000); };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t, sender = client] {
            for (int i = 0; i < kEach; ++i) {
                Bytes payload(sizeOf(t, i), static_cast<std::uint8_t>(i));
                payload[0] = static_cast<std::uint8_t>(t);
                sender->send(payload);
            }
        });
    std::vector<int> nextIndex(kThreads, 0);
    for (int k = 0; k < kThreads * kEach; ++k) {
        auto f = server->nextFrame(10.0);
        ASSERT_TRUE(f);
        int t = (*f)[0];
        ASSERT_LT(t, kThreads);
        int i = nextIndex[t]++;
        ASSERT_EQ(f->size(), sizeOf(t, i));
        for (std::size_t j = 1; j < f->size(); ++j) ASSERT_EQ((*f)[j], static_cast<std::uint8_t>(i));
    }
    for (auto& th : threads) th.join();
}

TEST(FrameChannelHostile, EmptyFramesOneBytePerSegmentKeepMemoryBounded) {
    constexpr std::size_t kFrames = 100'000;
    // Empty frames count only their overhead, so this many fill the buffer.
    constexpr std::size_t kFull = FrameChannel::kMaxBufferedBytes / FrameChannel::kFrameOverhead;
    static_assert(kFull < kFrames);
    RawPeer peer;
    peer.channel->frames->detach();
    std::thread writer([&] { peer.dribble(Bytes(4 * kFrames, 0)); });
    // Nobody reads: the channel stops reading once its buffer is full, instead of growing.
    ASSERT_TRUE(eventually([&] { return peer.channel->bufferedFrameCount() >= kFull; }, 60s));
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(peer.channel->bufferedFrameCount(), kFull + 1);
    // Nothing was lost: a reader gets every frame, and reading resumes as it drains.
    for (std::size_t i = 0; i < kFrames; ++i) {
        auto f = peer.channel->nextFrame(10.0);
        ASSERT_TRUE(f && f->empty()) << i;
    }
    writer.join();
    EXPECT_EQ(peer.channel->nextFrame(0.05), std::nullopt);
    EXPECT_EQ(peer.channel->frames->pending(), 0u);
}

TEST(FrameChannelHostile, AnnouncedBodiesCostMemoryOnlyAsTheyArrive) {
    // Strangers that announce the largest frame and then send (almost) nothing.
    auto residentBytes = [] {
        std::ifstream statm("/proc/self/statm");
        std::size_t pages = 0, resident = 0;
        statm >> pages >> resident;
        return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    };
    // Allocated, touched or not (the sanitizers' allocator is not counted here).
    auto allocatedBytes = [] {
        const auto info = ::mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    std::vector<std::unique_ptr<RawPeer>> peers(64);
    for (auto& peer : peers) peer = std::make_unique<RawPeer>();
    auto before = residentBytes();
    const auto allocatedBefore = allocatedBytes();
    Bytes start = header(FrameChannel::maxFrameSize);
    append(start, Bytes(100, 1));
    for (auto& peer : peers) peer->write(start);
    std::this_thread::sleep_for(500ms);
    auto grown = residentBytes() - std::min(before, residentBytes());
    // Filling every announced body up front would take 64 MiB.
    EXPECT_LT(grown, 24u * 1024 * 1024) << grown;
    const auto allocated = allocatedBytes() - std::min(allocatedBefore, allocatedBytes());
    EXPECT_LT(allocated, 24u * 1024 * 1024) << allocated;
    for (auto& peer : peers) {
        EXPECT_EQ(peer->channel->nextFrame(0.0), std::nullopt);
        peer->close();
        EXPECT_EQ(channelError([&] { peer->channel->nextFrame(10.0); }), FrameChannelError::connectionClosed());
    }
}

TEST(FrameChannelHostile, CloseEndsASendStuckBehindAPeerThatStoppedReading) {
    RawPeer peer;  // never reads
    std::atomic<int> sent{0};
    auto ended = std::async(std::launch::async, [&] {
        return channelError([&] {
            for (; sent < 200; ++sent) peer.channel->send(Bytes(FrameChannel::maxFrameSize, 7));
        });
    });
    // Wait until the socket buffers are full and the send waits for the peer.
    int last = -1;
    for (auto until = Clock::now() + 30s; Clock::now() < until && sent.load() != last;) {
        last = sent.load();
        std::this_thread::sleep_for(300ms);
    }
    ASSERT_LT(sent.load(), 200);
    peer.channel->close();
    if (ended.wait_for(10s) != std::future_status::ready) {
        peer.reset();  // frees the send, so the test fails instead of hanging
        FAIL() << "close left the send waiting";
    }
    auto error = ended.get();
    EXPECT_TRUE(error.kind == FrameChannelError::Kind::network || error == FrameChannelError::connectionClosed())
        << error.description();
    EXPECT_EQ(channelError([&] { peer.channel->send(toBytes("x")); }), FrameChannelError::connectionClosed());
}
