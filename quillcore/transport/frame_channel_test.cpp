#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "quillcore/net/tcp_listener.h"
#include "quillcore/transport/frame_channel.h"

using namespace quill;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

Bytes header(std::uint32_t n) {
    return {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n)};
}

Bytes wire(const Bytes& payload) {
    Bytes out = header(static_cast<std::uint32_t>(payload.size()));
    append(out, payload);
    return out;
}

// The far end of a channel as a plain socket, so tests can misbehave at the byte level.
class RawPeer {
public:
    RawPeer() {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 4) != 0)
            throw std::runtime_error("listen");
        socklen_t len = sizeof addr;
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        channel = FrameChannel::connectLocal(port_);
        fd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("accept");
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~RawPeer() {
        if (fd_ >= 0) ::close(fd_);
        ::close(listenFd_);
    }

    void write(const Bytes& bytes) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            auto n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("peer write failed");
            at += static_cast<std::size_t>(n);
        }
    }
    // One write, and so one TCP segment, per byte.
    void dribble(const Bytes& bytes) {
        for (auto b : bytes) write(Bytes{b});
    }
    // Reads exactly n bytes (10 s limit).
    Bytes read(std::size_t n) {
        Bytes out(n);
        std::size_t at = 0;
        while (at < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1) throw std::runtime_error("peer read timed out");
            auto got = ::recv(fd_, out.data() + at, n - at, 0);
            if (got <= 0) throw std::runtime_error("peer read: connection ended");
            at += static_cast<std::size_t>(got);
        }
        return out;
    }
    // How the channel's side ended the connection: 0 for an orderly close, the socket error
    // (ECONNRESET when it closed with bytes of ours still unread), -1 when it did not end
    // within `limit`.
    int endOfConnection(std::chrono::milliseconds limit = 5000ms) {
        auto until = Clock::now() + limit;
        char buf[4096];
        while (Clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            auto got = ::recv(fd_, buf, sizeof buf, 0);
            if (got == 0) return 0;
            if (got < 0) return errno;
        }
        return -1;
    }
    bool seesEnd(std::chrono::milliseconds limit = 5000ms) { return endOfConnection(limit) >= 0; }
    void close() {
        ::close(fd_);
        fd_ = -1;
    }
    // Ends with a reset instead of an orderly close.
    void reset() {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }

    FrameChannelPtr channel;

private:
    int listenFd_ = -1;
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Two channels joined over loopback.
struct ChannelPair {
    FrameChannelPtr client;
    FrameChannelPtr server;

    ChannelPair() {
        auto listener = net::TcpListener::create();
        std::promise<std::uint16_t> port;
        std::promise<net::TcpConnectionPtr> accepted;
        listener->setStateHandler([&](const net::TcpListener::StateUpdate& u) {
            if (u.state == net::TcpListener::State::ready) port.set_value(*u.port);
        });
        listener->setConnectionHandler([&](net::TcpConnectionPtr c) { accepted.set_value(std::move(c)); });
        listener->start();
        client = FrameChannel::connectLocal(port.get_future().get());
        server = FrameChannel::make(accepted.get_future().get());
        listener->setConnectionHandler(nullptr);
    }
};

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 8));
    return b;
}

template <class F>
FrameChannelError errorOf(F&& f) {
    try {
        f();
    } catch (const FrameChannelError& e) {
        return e;
    }
    ADD_FAILURE() << "no FrameChannelError thrown";
    return FrameChannelError::network("none");
}

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Waits until the channel has ended (its stream finishes) without reading it.
void waitForEnd(const FrameChannelPtr& channel) {
    auto until = Clock::now() + 10s;
    while (!channel->frames->isFinished() && Clock::now() < until) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(channel->frames->isFinished());
}

}  // namespace

TEST(FrameWire, HeaderIsBigEndianAndTheLimitIsInclusive) {
    EXPECT_EQ(frame::encode(toBytes("abc")), (Bytes{0, 0, 0, 3, 'a', 'b', 'c'}));
    EXPECT_EQ(frame::encode({}), (Bytes{0, 0, 0, 0}));
    const std::uint8_t atLimit[4] = {0x00, 0x10, 0x00, 0x00};
    const std::uint8_t overLimit[4] = {0x00, 0x10, 0x00, 0x01};
    const std::uint8_t huge[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    const std::uint8_t mixed[4] = {0x00, 0x01, 0x02, 0x03};
    EXPECT_EQ(frame::parseHeader(atLimit), 1'048'576u);
    EXPECT_EQ(frame::parseHeader(mixed), 0x010203u);
    EXPECT_EQ(errorOf([&] { frame::parseHeader(overLimit); }), FrameChannelError::frameTooLarge(1'048'577));
    EXPECT_EQ(errorOf([&] { frame::parseHeader(huge); }), FrameChannelError::frameTooLarge(4'294'967'295LL));
    EXPECT_EQ(FrameChannelError::frameTooLarge(4'294'967'295LL).description(),
              "The other device sent a message that was too large (4294967295 bytes).");
    EXPECT_EQ(FrameChannelError::network("x").description(), "Could not reach the other device: x");
    EXPECT_EQ(FrameChannelError::connectionClosed().description(), "The other device closed the connection.");
}

TEST(FrameReader, YieldsTheSameFramesHoweverTheStreamIsCut) {
    std::vector<Bytes> payloads = {{}, toBytes("a"), pattern(300, 1), {}, pattern(70000, 9), toBytes("end")};
    Bytes stream;
    for (auto& p : payloads) append(stream, wire(p));
    for (std::size_t step : {std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{5}, std::size_t{4096},
                             stream.size()}) {
        FrameReader reader;
        std::vector<Bytes> got;
        for (std::size_t at = 0; at < stream.size(); at += step) {
            auto n = std::min(step, stream.size() - at);
            ASSERT_FALSE(reader.feed(ByteView(stream.data() + at, n), got));
        }
        EXPECT_EQ(got, payloads) << "step " << step;
        EXPECT_FALSE(reader.midFrame());
    }
    // An oversize header stops the reader: what follows is never consumed as frames.
    FrameReader reader;
    std::vector<Bytes> got;
    Bytes hostile = wire(toBytes("ok"));
    append(hostile, header(0xFFFFFFFF));
    append(hostile, wire(toBytes("never")));
    EXPECT_EQ(reader.feed(ByteView(hostile), got), FrameChannelError::frameTooLarge(0xFFFFFFFFLL));
    EXPECT_EQ(reader.feed(ByteView(wire(toBytes("x"))), got), FrameChannelError::frameTooLarge(0xFFFFFFFFLL));
    EXPECT_EQ(got, std::vector<Bytes>{toBytes("ok")});
}

TEST(FrameChannel, CarriesFramesUpToTheLimitAndRefusesLargerOnes) {
    ChannelPair pair;
    Bytes big = pattern(FrameChannel::maxFrameSize, 5);
    pair.client->send(big);
    EXPECT_EQ(errorOf([&] { pair.client->send(Bytes(FrameChannel::maxFrameSize + 1)); }),
              FrameChannelError::frameTooLarge(1'048'577));
    pair.client->send({});
    pair.server->send(toBytes("back"));
    EXPECT_EQ(pair.server->nextFrame(10.0), big);
    // The refused payload wrote nothing: the next frame is the empty one.
    EXPECT_EQ(pair.server->nextFrame(10.0), Bytes{});
    EXPECT_EQ(pair.client->nextFrame(10.0), toBytes("back"));
}

TEST(FrameChannel, ReassemblesSegmentsAndSplitsCoalescedFrames) {
    RawPeer peer;
    Bytes two = wire(toBytes("one"));
    append(two, wire(Bytes{}));
    append(two, wire(toBytes("two")));
    peer.write(two);
    peer.dribble(wire(pattern(1000, 3)));
    // A large body in odd pieces, with pauses so that they arrive as separate reads.
    Bytes large = wire(pattern(300'000, 4));
    for (std::size_t at = 0; at < large.size(); at += 7001) {
        peer.write(Bytes(large.begin() + static_cast<std::ptrdiff_t>(at),
                         large.begin() + static_cast<std::ptrdiff_t>(std::min(large.size(), at + 7001))));
        if (at % 5 == 0) std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(peer.channel->nextFrame(10.0), toBytes("one"));
    EXPECT_EQ(peer.channel->nextFrame(10.0), Bytes{});
    EXPECT_EQ(peer.channel->nextFrame(10.0), toBytes("two"));
    EXPECT_EQ(peer.channel->nextFrame(10.0), pattern(1000, 3));
    EXPECT_EQ(peer.channel->nextFrame(10.0), pattern(300'000, 4));
}

TEST(FrameChannel, DeliversEveryFrameToTheStreamAndToTheReader) {
    RawPeer peer;
    peer.write(wire(toBytes("first")));
    // The host's pattern: the first frame from the stream, then the same frame again.
    EXPECT_EQ(peer.channel->frames->next(10.0).value, toBytes("first"));
    EXPECT_EQ(peer.channel->nextFrame(), toBytes("first"));
    // Once detached, the stream keeps nothing and the reader still gets every frame whole.
    peer.channel->frames->detach();
    for (std::uint8_t i = 0; i < 3; ++i) peer.write(wire(pattern(5000, i)));
    for (std::uint8_t i = 0; i < 3; ++i) EXPECT_EQ(peer.channel->nextFrame(10.0), pattern(5000, i));
    EXPECT_EQ(peer.channel->frames->pending(), 0u);
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

TEST(FrameChannel, OversizeHeaderEndsTheChannelWithoutReadingTheBody) {
    for (std::uint32_t announced : {0xFFFFFFFFu, 1'048'577u}) {
        RawPeer peer;
        std::atomic<bool> threw{false};
        std::thread reader([&] {
            try {
                peer.channel->nextFrame();
            } catch (const FrameChannelError& e) {
                threw = e == FrameChannelError::frameTooLarge(announced);
            }
        });
        std::this_thread::sleep_for(20ms);
        Bytes hostile = header(announced);
        append(hostile, Bytes(64 * 1024, 0xAB));
        peer.write(hostile);
        reader.join();
        EXPECT_TRUE(threw) << announced;
        // Closing with the body still unread makes the socket send a reset.
        EXPECT_EQ(peer.endOfConnection(), ECONNRESET) << announced;
        EXPECT_TRUE(peer.channel->frames->isFinished());
        EXPECT_EQ(errorOf([&] { peer.channel->nextFrame(0.0); }), FrameChannelError::frameTooLarge(announced));
    }
}

TEST(FrameChannel, HandsOutReceivedFramesBeforeTheCloseOfThePeer) {
    {  // no reader waiting when the end arrives
        RawPeer peer;
        peer.write(wire(toBytes("bye")));
        peer.close();
        waitForEnd(peer.channel);
        EXPECT_EQ(peer.channel->nextFrame(0.0), toBytes("bye"));
        EXPECT_EQ(errorOf([&] { peer.channel->nextFrame(1.0); }), FrameChannelError::connectionClosed());
        EXPECT_EQ(errorOf([&] { peer.channel->nextFrame(1.0); }), FrameChannelError::connectionClosed());
        EXPECT_EQ(errorOf([&] { peer.channel->send(toBytes("x")); }), FrameChannelError::connectionClosed());
        // close() after a failure keeps the recorded error.
        peer.channel->close();
        EXPECT_EQ(errorOf([&] { peer.channel->nextFrame(); }), FrameChannelError::connectionClosed());
    }
    {  // a reader waiting
        RawPeer peer;
        std::thread closer([&] {
            std::this_thread::sleep_for(50ms);
            peer.write(wire(toBytes("bye")));
            peer.close();
        });
        EXPECT_EQ(peer.channel->nextFrame(10.0), toBytes("bye"));
        EXPECT_EQ(errorOf([&] { peer.channel->nextFrame(10.0); }), FrameChannelError::connectionClosed());
        closer.join();
    }
}

TEST(FrameChannel, PartialFramesAreDroppedWhenThePeerGoesAway) {
    struct Case {
        Bytes bytes;
        bool reset;
    };
    Bytes midBody = header(100);
    append(midBody, Bytes(40, 1));
    for (const auto& c : {Case{{0, 0}, false}, Case{midBody, false}, Case{midBody, true}}) {
        RawPeer peer;
        peer.write(wire(toBytes("whole")));
        peer.write(c.bytes);
        std::this_thread::sleep_for(20ms);
        c.reset ? peer.reset() : peer.close();
        EXPECT_EQ(peer.channel->nextFrame(10.0), toBytes("whole"));
        auto error = errorOf([&] { peer.channel->nextFrame(10.0); });
        if (c.reset) {
            EXPECT_EQ(error.kind, FrameChannelError::Kind::network);
            EXPECT_FALSE(error.text.empty());
        } else {
            EXPECT_EQ(error, FrameChannelError::connectionClosed());
        }
        // The stream held the whole frame only.
        EXPECT_EQ(peer.channel->frames->next(1.0).value, toBytes("whole"));
        EXPECT_TRUE(peer.channel->frames->next(1.0).finished());
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
    EXPECT_TRUE(peer.seesEnd());

    RawPeer other;
    other.write(wire(toBytes("1")));
    other.write(wire(toBytes("2")));
    auto until = Clock::now() + 10s;
    while (other.channel->bufferedFrameCount() < 2 && Clock::now() < until) std::this_thread::sleep_for(2ms);
    other.channel->close();
    other.channel->close();
    EXPECT_EQ(errorOf([&] { other.channel->send(toBytes("x")); }), FrameChannelError::connectionClosed());
    EXPECT_EQ(other.channel->nextFrame(), toBytes("1"));
    EXPECT_EQ(other.channel->nextFrame(), toBytes("2"));
    EXPECT_EQ(other.channel->nextFrame(), std::nullopt);
    EXPECT_EQ(other.channel->frames->next(1.0).value, toBytes("1"));
    EXPECT_EQ(other.channel->frames->next(1.0).value, toBytes("2"));
    EXPECT_TRUE(other.channel->frames->next(1.0).finished());
}

TEST(FrameChannel, SendJSONWritesOneFrameOrNothing) {
    RawPeer peer;
    json::Json bad = {{"x", std::nan("")}};
    auto error = errorOf([&] { peer.channel->sendJSON(bad); });
    EXPECT_EQ(error.kind, FrameChannelError::Kind::network);
    EXPECT_EQ(error.text.rfind("could not encode JSON: ", 0), 0u) << error.text;
    EXPECT_EQ(error.description().rfind("Could not reach the other device: could not encode JSON: ", 0), 0u);
    json::OrderedJson good = {{"type", "PairStart"}, {"name", "a/b"}};
    peer.channel->sendJSON(good);
    auto length = peer.read(4);
    std::uint32_t n = (std::uint32_t{length[2]} << 8) | length[3];
    ASSERT_EQ(length[0] | length[1], 0);
    EXPECT_EQ(json::parse(peer.read(n)), json::parse(json::dump(good)));
}

TEST(FrameChannel, ConnectionRefusedSurfacesAsNetworkError) {
    std::uint16_t port;
    {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        ::close(fd);  // bound, never listening: nothing accepts on it
    }
    auto channel = FrameChannel::connectLocal(port);
    auto error = errorOf([&] { channel->nextFrame(10.0); });
    EXPECT_EQ(error.kind, FrameChannelError::Kind::network);
    EXPECT_FALSE(error.text.empty());
    EXPECT_EQ(errorOf([&] { channel->send(toBytes("x")); }), FrameChannelError::connectionClosed());
}

TEST(FrameChannel, DroppingTheChannelClosesItsConnection) {
    RawPeer peer;
    auto stream = peer.channel->frames;
    peer.channel.reset();
    EXPECT_TRUE(peer.seesEnd());
    EXPECT_TRUE(stream->next(1.0).finished());
}

TEST(FrameChannel, ConcurrentSendersNeverInterleaveFrames) {
    ChannelPair pair;
    constexpr int kThreads = 8, kEach = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                Bytes payload(static_cast<std::size_t>(1 + (t * 977 + i * 6007) % 90000), 0);
                payload[0] = static_cast<std::uint8_t>(t);
                for (std::size_t k = 1; k < payload.size(); ++k) payload[k] = static_cast<std::uint8_t>(i);
                pair.client->send(payload);
            }
        });
    std::vector<int> nextIndex(kThreads, 0);
    for (int k = 0; k < kThreads * kEach; ++k) {
        auto f = pair.server->nextFrame(10.0);
        ASSERT_TRUE(f);
        int t = (*f)[0];
        ASSERT_LT(t, kThreads);
        int i = nextIndex[t]++;
        ASSERT_EQ(f->size(), static_cast<std::size_t>(1 + (t * 977 + i * 6007) % 90000));
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
    auto until = Clock::now() + 60s;
    while (peer.channel->bufferedFrameCount() < kFull && Clock::now() < until) std::this_thread::sleep_for(20ms);
    ASSERT_GE(peer.channel->bufferedFrameCount(), kFull);
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(peer.channel->bufferedFrameCount(), kFull + 1);
    // Nothing was lost: a reader gets every frame, and reading resumes as it drains.
    for (std::size_t i = 0; i < kFrames; ++i) {
        auto f = peer.channel->nextFrame(10.0);
        ASSERT_TRUE(f) << i;
        ASSERT_TRUE(f->empty());
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
    constexpr std::size_t kPeers = 64;
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (std::size_t i = 0; i < kPeers; ++i) peers.push_back(std::make_unique<RawPeer>());
    auto before = residentBytes();
    for (auto& peer : peers) {
        Bytes start = header(FrameChannel::maxFrameSize);
        append(start, Bytes(100, 1));
        peer->write(start);
    }
    std::this_thread::sleep_for(500ms);
    auto grown = residentBytes() - std::min(before, residentBytes());
    // Filling every announced body up front would take 64 MiB.
    EXPECT_LT(grown, 24u * 1024 * 1024) << grown;
    for (auto& peer : peers) {
        EXPECT_EQ(peer->channel->nextFrame(0.0), std::nullopt);
        peer->close();
        EXPECT_EQ(errorOf([&] { peer->channel->nextFrame(10.0); }), FrameChannelError::connectionClosed());
    }
}

TEST(FrameChannelHostile, CloseEndsASendStuckBehindAPeerThatStoppedReading) {
    RawPeer peer;  // never reads
    std::atomic<int> sent{0};
    std::promise<FrameChannelError> ended;
    std::thread sender([&] {
        try {
            for (int i = 0; i < 200; ++i) {
                peer.channel->send(Bytes(FrameChannel::maxFrameSize, 7));
                ++sent;
            }
            ended.set_value(FrameChannelError::network("all sent"));
        } catch (const FrameChannelError& e) {
            ended.set_value(e);
        }
    });
    // Wait until the socket buffers are full and the send waits for the peer.
    auto until = Clock::now() + 30s;
    int last = -1;
    while (Clock::now() < until) {
        std::this_thread::sleep_for(300ms);
        if (sent.load() == last) break;
        last = sent.load();
    }
    ASSERT_LT(sent.load(), 200);
    peer.channel->close();
    auto result = ended.get_future();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    auto error = result.get();
    EXPECT_TRUE(error.kind == FrameChannelError::Kind::network || error == FrameChannelError::connectionClosed())
        << error.description();
    sender.join();
    EXPECT_EQ(errorOf([&] { peer.channel->send(toBytes("x")); }), FrameChannelError::connectionClosed());
}
