#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "quillcore/base/base64.h"
#include "quillcore/base/diagnostics.h"
#include "quillcore/net/dnssd_fake.h"
#include "quillcore/transport/frame_channel.h"
#include "quillcore/transport/host_advertiser.h"

using namespace quill;
using namespace std::chrono_literals;

namespace {

Bytes testFingerprint() {
    Bytes fp(32);
    for (std::size_t i = 0; i < fp.size(); ++i) fp[i] = static_cast<std::uint8_t>(0xF0 + i * 7);
    return fp;
}

// A listener the test drives by hand.
class ScriptedListener final : public HostAdvertiser::Listener {
public:
    void setStateHandler(net::TcpListener::StateHandler handler) override {
        std::lock_guard lock(mutex_);
        stateHandler_ = std::move(handler);
    }
    void setConnectionHandler(net::TcpListener::ConnectionHandler) override {}
    void start() override { ++starts; }
    void cancel() override {
        ++cancels;
        report({net::TcpListener::State::cancelled, std::nullopt, {}});
    }
    void report(const net::TcpListener::StateUpdate& update) {
        net::TcpListener::StateHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = stateHandler_;
        }
        if (handler) handler(update);
    }

    std::atomic<int> starts{0};
    std::atomic<int> cancels{0};

private:
    std::mutex mutex_;
    net::TcpListener::StateHandler stateHandler_;
};

struct ScriptedListeners {
    HostAdvertiser::ListenerFactory factory() {
        return [this] {
            auto listener = std::make_shared<ScriptedListener>();
            std::lock_guard lock(mutex);
            made.push_back(listener);
            return listener;
        };
    }
    std::shared_ptr<ScriptedListener> waitFor(std::size_t count) {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard lock(mutex);
                if (made.size() >= count && made[count - 1]->starts > 0) return made[count - 1];
            }
            std::this_thread::sleep_for(10ms);
        }
        return nullptr;
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return made.size();
    }
    std::mutex mutex;
    std::vector<std::shared_ptr<ScriptedListener>> made;
};

struct DiagnosticLines {
    DiagnosticLines() {
        setDiagnosticSink([this](std::string_view line) {
            std::lock_guard lock(mutex);
            lines.emplace_back(line);
        });
    }
    ~DiagnosticLines() { setDiagnosticSink({}); }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return lines;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

// The listening socket of this process bound to `port`.
int listeningSocket(std::uint16_t port) {
    for (int fd = 3; fd < 4096; ++fd) {
        int listening = 0;
        socklen_t size = sizeof listening;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening) continue;
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
        const auto bound = address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                                         : reinterpret_cast<sockaddr_in*>(&address)->sin_port;
        if (ntohs(bound) == port) return fd;
    }
    return -1;
}

template <class F>
bool eventually(F condition) {
    for (int i = 0; i < 500; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

}  // namespace

TEST(HostAdvertiser, PublishesTheServiceWithExactlyTheThreeTxtEntries) {
    auto network = dnssd::FakeNetwork::make();
    const Bytes fp = testFingerprint();
    HostAdvertiser advertiser("Studio Desktop", fp, {}, {{}, network->publisherFactory()});
    const auto port = advertiser.start();
    EXPECT_NE(port, 0);
    network->settle();

    const auto published = network->published();
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].name, "Studio Desktop");
    EXPECT_EQ(published[0].type, "_quillmate._tcp");
    EXPECT_EQ(published[0].port, port);
    const auto& txt = published[0].txt;
    EXPECT_EQ(txt.strings().size(), 3u);
    const auto encoded = txt.text("fp");
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->size(), 43u);
    EXPECT_EQ(encoded->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_EQ(Base64URL::decode(*encoded), fp);
    EXPECT_EQ(txt.text("v"), "0");
    EXPECT_EQ(txt.text("name"), "Studio Desktop");
    EXPECT_FALSE(advertiser.publicationProblem());
}

TEST(HostAdvertiser, HandsEveryConnectionToItsOwnerAndFramesFlow) {
    auto network = dnssd::FakeNetwork::make();
    std::mutex mutex;
    std::vector<FrameChannelPtr> accepted;
    std::atomic<int> connections{0};
    HostAdvertiser advertiser("Host", testFingerprint(),
                              [&](net::TcpConnectionPtr connection) {
                                  ++connections;
                                  auto channel = FrameChannel::make(std::move(connection));
                                  std::lock_guard lock(mutex);
                                  accepted.push_back(channel);
                              },
                              {{}, network->publisherFactory()});
    const auto port = advertiser.start();
    EXPECT_EQ(advertiser.start(), port);  // known: no new listener

    auto first = FrameChannel::connect(HostAdvertiser::loopbackEndpoint(port));
    auto second = FrameChannel::connectLocal(port);
    first->send(toBytes("one"));
    second->send(toBytes("two"));
    ASSERT_TRUE(eventually([&] { return connections == 2; }));
    std::vector<std::string> received;
    {
        std::lock_guard lock(mutex);
        for (auto& channel : accepted) {
            auto frame = channel->nextFrame(5.0);
            ASSERT_TRUE(frame);
            received.push_back(toString(*frame));
        }
    }
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, (std::vector<std::string>{"one", "two"}));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(connections, 2);
}

TEST(HostAdvertiser, StartAfterStopFailsAtOnceAndStopEndsAWaitingStart) {
    auto network = dnssd::FakeNetwork::make();
    ScriptedListeners listeners;
    HostAdvertiser advertiser("Host", testFingerprint(), {}, {listeners.factory(), network->publisherFactory()});
    auto waiting = std::async(std::launch::async, [&] { return advertiser.start(); });
    ASSERT_TRUE(listeners.waitFor(1));
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    advertiser.stop();
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(
        {
            try {
                waiting.get();
            } catch (const DiscoveryError& e) {
                EXPECT_EQ(e, DiscoveryError::listenerStopped());
                throw;
            }
        },
        DiscoveryError);
    EXPECT_EQ(listeners.made[0]->cancels, 1);

    // A stopped advertiser never listens again, and does not wait.
    try {
        advertiser.start();
        FAIL() << "start() after stop() returned";
    } catch (const DiscoveryError& e) {
        EXPECT_EQ(e, DiscoveryError::listenerStopped());
    }
    EXPECT_EQ(listeners.count(), 1u);
    network->settle();
    EXPECT_TRUE(network->published().empty());
}

TEST(HostAdvertiser, CallersWaitingTogetherGetTheSameResult) {
    auto network = dnssd::FakeNetwork::make();
    ScriptedListeners listeners;
    HostAdvertiser advertiser("Host", testFingerprint(), {}, {listeners.factory(), network->publisherFactory()});
    auto a = std::async(std::launch::async, [&] { return advertiser.start(); });
    auto listener = listeners.waitFor(1);
    ASSERT_TRUE(listener);
    auto b = std::async(std::launch::async, [&] { return advertiser.start(); });
    std::this_thread::sleep_for(50ms);
    listener->report({net::TcpListener::State::ready, std::uint16_t{41000}, {}});
    ASSERT_EQ(a.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(b.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(a.get(), 41000);
    EXPECT_EQ(b.get(), 41000);
    EXPECT_EQ(advertiser.start(), 41000);  // known now: returned without a new listener
    EXPECT_EQ(listeners.count(), 1u);
    EXPECT_EQ(listener->starts, 1);

    // Failures reach every waiter as well.
    HostAdvertiser failing("Host", testFingerprint(), {}, {listeners.factory(), network->publisherFactory()});
    auto c = std::async(std::launch::async, [&] { return failing.start(); });
    auto second = listeners.waitFor(2);
    ASSERT_TRUE(second);
    auto d = std::async(std::launch::async, [&] { return failing.start(); });
    std::this_thread::sleep_for(50ms);
    second->report({net::TcpListener::State::failed, std::nullopt, "Address already in use"});
    for (auto* result : {&c, &d}) {
        ASSERT_EQ(result->wait_for(5s), std::future_status::ready);
        try {
            result->get();
            ADD_FAILURE() << "a failed listener gave a port";
        } catch (const DiscoveryError& e) {
            EXPECT_EQ(e, DiscoveryError::network("Address already in use"));
            EXPECT_EQ(e.description(), "Address already in use");
        }
    }
}

TEST(HostAdvertiser, ReadyWithoutAPortOrCancelledFailsWithListenerStoppedAndALaterStartListensAnew) {
    auto network = dnssd::FakeNetwork::make();
    ScriptedListeners listeners;
    HostAdvertiser advertiser("Host", testFingerprint(), {}, {listeners.factory(), network->publisherFactory()});
    auto first = std::async(std::launch::async, [&] { return advertiser.start(); });
    listeners.waitFor(1)->report({net::TcpListener::State::ready, std::nullopt, {}});
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(first.get(), DiscoveryError);

    auto second = std::async(std::launch::async, [&] { return advertiser.start(); });
    auto listener = listeners.waitFor(2);
    ASSERT_TRUE(listener);
    listener->report({net::TcpListener::State::cancelled, std::nullopt, {}});
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(second.get(), DiscoveryError);

    auto third = std::async(std::launch::async, [&] { return advertiser.start(); });
    listeners.waitFor(3)->report({net::TcpListener::State::ready, std::uint16_t{42000}, {}});
    ASSERT_EQ(third.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(third.get(), 42000);
}

TEST(HostAdvertiser, AListenerThatFailsAfterReadyIsReportedAndReplaced) {
    DiagnosticLines diagnostics;
    auto network = dnssd::FakeNetwork::make();
    ScriptedListeners listeners;
    HostAdvertiser advertiser("Host", testFingerprint(), {}, {listeners.factory(), network->publisherFactory()});
    auto first = std::async(std::launch::async, [&] { return advertiser.start(); });
    auto listener = listeners.waitFor(1);
    listener->report({net::TcpListener::State::ready, std::uint16_t{43000}, {}});
    ASSERT_EQ(first.get(), 43000);
    network->settle();
    ASSERT_EQ(network->published().size(), 1u);

    listener->report({net::TcpListener::State::failed, std::nullopt, "Bad file descriptor"});
    network->settle();
    // The old port is neither returned nor still advertised, and the owner can tell why.
    EXPECT_TRUE(network->published().empty());
    EXPECT_EQ(advertiser.publicationProblem(), DiscoveryError::network("Bad file descriptor"));
    const auto lines = diagnostics.snapshot();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("QuillCore: "), std::string::npos);
    EXPECT_NE(lines.back().find("Bad file descriptor"), std::string::npos);

    auto second = std::async(std::launch::async, [&] { return advertiser.start(); });
    auto replacement = listeners.waitFor(2);
    ASSERT_TRUE(replacement);
    replacement->report({net::TcpListener::State::ready, std::uint16_t{43001}, {}});
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(second.get(), 43001);
    network->settle();
    ASSERT_EQ(network->published().size(), 1u);
    EXPECT_EQ(network->published()[0].port, 43001);
    EXPECT_FALSE(advertiser.publicationProblem());

    // The first listener's late reports change nothing.
    listener->report({net::TcpListener::State::ready, std::uint16_t{43000}, {}});
    EXPECT_EQ(advertiser.start(), 43001);
}

TEST(HostAdvertiser, ARealListenerThatBreaksIsReplacedByTheNextStart) {
    auto network = dnssd::FakeNetwork::make();
    std::atomic<int> connections{0};
    std::vector<net::TcpConnectionPtr> kept;
    std::mutex mutex;
    HostAdvertiser advertiser("Host", testFingerprint(),
                              [&](net::TcpConnectionPtr connection) {
                                  std::lock_guard lock(mutex);
                                  kept.push_back(connection);
                                  ++connections;
                              },
                              {{}, network->publisherFactory()});
    const auto port = advertiser.start();
    const int fd = listeningSocket(port);
    ASSERT_GE(fd, 0);
    // Breaks the socket under the listener: its accept fails for good.
    ASSERT_EQ(::shutdown(fd, SHUT_RDWR), 0);
    ASSERT_TRUE(eventually([&] {
        network->settle();
        return network->published().empty();
    }));
    const auto newPort = advertiser.start();
    EXPECT_NE(listeningSocket(newPort), -1);
    auto channel = FrameChannel::connectLocal(newPort);
    channel->send(toBytes("hello"));
    EXPECT_TRUE(eventually([&] { return connections == 1; }));
    network->settle();
    ASSERT_EQ(network->published().size(), 1u);
    EXPECT_EQ(network->published()[0].port, newPort);
}

TEST(HostAdvertiser, ListensWithoutTheDaemonAndPublishesWhenItComes) {
    DiagnosticLines diagnostics;
    auto network = dnssd::FakeNetwork::make();
    network->setDaemonRunning(false);
    std::atomic<int> connections{0};
    std::mutex mutex;
    std::vector<net::TcpConnectionPtr> kept;
    HostAdvertiser advertiser("Host", testFingerprint(),
                              [&](net::TcpConnectionPtr connection) {
                                  std::lock_guard lock(mutex);
                                  kept.push_back(std::move(connection));
                                  ++connections;
                              },
                              {{}, network->publisherFactory()});
    const auto port = advertiser.start();
    network->settle();
    EXPECT_EQ(advertiser.publicationProblem(), DiscoveryError::network("Daemon not running"));
    auto channel = FrameChannel::connectLocal(port);
    channel->send(toBytes("still listening"));
    EXPECT_TRUE(eventually([&] { return connections == 1; }));
    auto printed = diagnostics.snapshot();
    EXPECT_EQ(std::count(printed.begin(), printed.end(),
                         "QuillCore: could not advertise this host on the local network: Daemon not running"),
              1);

    network->setDaemonRunning(true);
    network->settle();
    EXPECT_FALSE(advertiser.publicationProblem());
    ASSERT_EQ(network->published().size(), 1u);
    EXPECT_EQ(network->published()[0].port, port);

    // It comes back after the daemon restarts, once more reported.
    network->setDaemonRunning(false);
    network->settle();
    EXPECT_TRUE(advertiser.publicationProblem());
    network->setDaemonRunning(true);
    network->settle();
    EXPECT_FALSE(advertiser.publicationProblem());
    EXPECT_EQ(network->published().size(), 1u);
}

TEST(HostAdvertiser, ANameTakenOnTheNetworkIsRenamedButTheTxtNameStays) {
    auto network = dnssd::FakeNetwork::make();
    HostAdvertiser first("Desk", testFingerprint(), {}, {{}, network->publisherFactory()});
    HostAdvertiser second("Desk", Bytes(32, 1), {}, {{}, network->publisherFactory()});
    first.start();
    second.start();
    network->settle();
    auto published = network->published();
    ASSERT_EQ(published.size(), 2u);
    std::sort(published.begin(), published.end(), [](auto& a, auto& b) { return a.name < b.name; });
    EXPECT_EQ(published[0].name, "Desk");
    EXPECT_EQ(published[1].name, "Desk #2");
    EXPECT_EQ(published[1].txt.text("name"), "Desk");
}

TEST(HostAdvertiser, StopWaitsOutAConnectionBeingHandedOver) {
    auto network = dnssd::FakeNetwork::make();
    std::promise<void> entered;
    std::once_flag once;
    std::atomic<bool> handed{false};
    std::vector<net::TcpConnectionPtr> kept;
    HostAdvertiser advertiser("Host", testFingerprint(),
                              [&](net::TcpConnectionPtr connection) {
                                  std::call_once(once, [&] { entered.set_value(); });
                                  std::this_thread::sleep_for(300ms);  // a slow owner
                                  kept.push_back(std::move(connection));
                                  handed = true;
                              },
                              {{}, network->publisherFactory()});
    auto client = FrameChannel::connectLocal(advertiser.start());
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
    advertiser.stop();
    // The owner may now drop what its handler uses.
    EXPECT_TRUE(handed);
}

TEST(HostAdvertiser, TxtRecordAndLoopbackEndpoint) {
    const auto txt = HostAdvertiser::txtRecord("Zoë's Laptop", Bytes{0xFB, 0xFF, 0xBF});
    EXPECT_EQ(txt.strings(), (std::vector<std::string>{"fp=-_-_", "v=0", "name=Zoë's Laptop"}));
    std::string longName;
    for (int i = 0; i < 150; ++i) longName += "é";  // 300 bytes
    const auto cut = HostAdvertiser::txtRecord(longName, testFingerprint());
    EXPECT_LE(cut.strings()[2].size(), dnssd::kMaxTxtStringBytes);
    EXPECT_TRUE(dnssd::isValidUtf8(*cut.text("name")));

    EXPECT_EQ(HostAdvertiser::loopbackEndpoint(5000), (net::TcpEndpoint{"127.0.0.1", 5000}));
    EXPECT_NE(DiscoveryError::network("a"), DiscoveryError::network("b"));
    EXPECT_NE(DiscoveryError::listenerStopped(), DiscoveryError::invalidTXTRecord());
}
