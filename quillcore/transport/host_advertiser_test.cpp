#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "quillcore/base/base64.h"
#include "quillcore/base/diagnostics.h"
#include "quillcore/net/dnssd_fake.h"
#include "quillcore/transport/frame_channel.h"
#include "quillcore/transport/host_advertiser.h"

using namespace quill;
using namespace std::chrono_literals;

namespace {

const Bytes kFingerprint = [] {
    Bytes fp(32);
    for (std::size_t i = 0; i < fp.size(); ++i) fp[i] = static_cast<std::uint8_t>(0xF0 + i * 7);
    return fp;
}();

template <class F>
bool eventually(F condition) {
    for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(10ms);
    return condition();
}

// A listener the test drives by hand; cancel() reports at once, as a listener may.
class ScriptedListener final : public HostAdvertiser::Listener {
public:
    void setStateHandler(net::TcpListener::StateHandler handler) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    void setConnectionHandler(net::TcpListener::ConnectionHandler) override {}
    void start() override { ++starts; }
    void cancel() override {
        ++cancels;
        report({net::TcpListener::State::cancelled, std::nullopt, {}});
    }
    void report(const net::TcpListener::StateUpdate& update) {
        std::unique_lock lock(mutex_);
        auto handler = handler_;
        lock.unlock();
        if (handler) handler(update);
    }
    std::atomic<int> starts{0}, cancels{0};

private:
    std::mutex mutex_;
    net::TcpListener::StateHandler handler_;
};

struct Scripted {
    Scripted() {
        dependencies.listener = [this] {
            auto listener = std::make_shared<ScriptedListener>();
            std::lock_guard lock(mutex);
            made.push_back(listener);
            return listener;
        };
        dependencies.publisher = network->publisherFactory();
    }
    std::shared_ptr<ScriptedListener> started(std::size_t count) {
        std::shared_ptr<ScriptedListener> listener;
        eventually([&] {
            std::lock_guard lock(mutex);
            if (made.size() >= count && made[count - 1]->starts > 0) listener = made[count - 1];
            return listener != nullptr;
        });
        return listener;
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return made.size();
    }
    std::shared_ptr<dnssd::FakeNetwork> network = dnssd::FakeNetwork::make();
    HostAdvertiser::Dependencies dependencies;
    std::mutex mutex;
    std::vector<std::shared_ptr<ScriptedListener>> made;
};

// The outcome of a start(): the port, or the error.
std::variant<std::uint16_t, DiscoveryError> outcome(std::future<std::uint16_t>& call) {
    if (call.wait_for(5s) != std::future_status::ready) return DiscoveryError::invalidTXTRecord();  // stuck
    try {
        return call.get();
    } catch (const DiscoveryError& e) {
        return e;
    }
}

// Keeps the connections it is handed.
struct Owner {
    HostAdvertiser::ConnectionHandler handler() {
        return [this](net::TcpConnectionPtr connection) {
            std::lock_guard lock(mutex);
            channels.push_back(FrameChannel::make(std::move(connection)));
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return channels.size();
    }
    std::mutex mutex;
    std::vector<FrameChannelPtr> channels;
};

}  // namespace

TEST(HostAdvertiser, ListensWithoutTheDaemonAndPublishesItsRecordWhenItComes) {
    auto network = dnssd::FakeNetwork::make();
    network->setDaemonRunning(false);
    Owner owner;
    HostAdvertiser advertiser("Studio Desktop", kFingerprint, owner.handler(), {{}, network->publisherFactory()});
    const auto port = advertiser.start();
    EXPECT_EQ(advertiser.start(), port);  // known: returned at once
    // Every connection is handed over, whatever DNS-SD does.
    auto first = FrameChannel::connect(HostAdvertiser::loopbackEndpoint(port));
    auto second = FrameChannel::connectLocal(port);
    first->send(toBytes("one"));
    second->send(toBytes("two"));
    ASSERT_TRUE(eventually([&] { return owner.count() == 2; }));
    std::vector<std::string> received;
    for (auto& channel : owner.channels) received.push_back(toString(channel->nextFrame(5.0).value_or(Bytes{})));
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, (std::vector<std::string>{"one", "two"}));

    for (int restart = 0; restart < 2; ++restart) {
        network->settle();
        EXPECT_EQ(advertiser.publicationProblem(), DiscoveryError::network("Daemon not running"));
        EXPECT_TRUE(network->published().empty());
        network->setDaemonRunning(true);
        network->settle();
        EXPECT_FALSE(advertiser.publicationProblem());
        const auto published = network->published();
        ASSERT_EQ(published.size(), 1u);
        EXPECT_EQ(published[0].name, "Studio Desktop");
        EXPECT_EQ(published[0].type, "_quillmate._tcp");
        EXPECT_EQ(published[0].port, port);
        EXPECT_EQ(published[0].txt.strings().size(), 3u);
        const auto fp = published[0].txt.text("fp").value_or("");
        EXPECT_EQ(fp.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos);
        EXPECT_EQ(Base64URL::decode(fp), kFingerprint);
        EXPECT_EQ(published[0].txt.text("v"), "0");
        EXPECT_EQ(published[0].txt.text("name"), "Studio Desktop");
        network->setDaemonRunning(false);
    }
}

// What the listener reports decides what every start() waiting on it gets; after a failure
// the next start() listens anew. After stop(), nothing listens again.
TEST(HostAdvertiser, CallersWaitingTogetherGetWhatTheListenerReports) {
    using State = net::TcpListener::State;
    const struct {
        net::TcpListener::StateUpdate report;  // none: the advertiser is stopped instead
        std::variant<std::uint16_t, DiscoveryError> expected;
    } cases[] = {
        {{State::ready, std::nullopt, {}}, DiscoveryError::listenerStopped()},
        {{State::failed, std::nullopt, "Address already in use"}, DiscoveryError::network("Address already in use")},
        {{State::cancelled, std::nullopt, {}}, DiscoveryError::listenerStopped()},
        {{State::ready, std::uint16_t{41000}, {}}, std::uint16_t{41000}},
    };
    Scripted scripted;
    HostAdvertiser advertiser("Host", kFingerprint, {}, scripted.dependencies);
    std::size_t listeners = 0;
    for (const auto& c : cases) {
        auto a = std::async(std::launch::async, [&] { return advertiser.start(); });
        auto listener = scripted.started(++listeners);
        ASSERT_TRUE(listener);
        auto b = std::async(std::launch::async, [&] { return advertiser.start(); });
        ASSERT_TRUE(eventually([&] { return advertiser.pendingStarts() == 2; }));
        listener->report(c.report);
        EXPECT_EQ(outcome(a), c.expected);
        EXPECT_EQ(outcome(b), c.expected);
        EXPECT_EQ(listener->starts, 1);
    }
    EXPECT_EQ(advertiser.start(), 41000);  // known now
    EXPECT_EQ(scripted.count(), listeners);

    Scripted other;
    HostAdvertiser stopped("Host", kFingerprint, {}, other.dependencies);
    auto waiting = std::async(std::launch::async, [&] { return stopped.start(); });
    ASSERT_TRUE(other.started(1));
    stopped.stop();
    const std::variant<std::uint16_t, DiscoveryError> stop = DiscoveryError::listenerStopped();
    EXPECT_EQ(outcome(waiting), stop);
    EXPECT_EQ(other.made[0]->cancels, 1);
    auto again = std::async(std::launch::async, [&] { return stopped.start(); });
    EXPECT_EQ(outcome(again), stop);
    EXPECT_EQ(other.count(), 1u);  // never listens again
    other.network->settle();
    EXPECT_TRUE(other.network->published().empty());
}

TEST(HostAdvertiser, StopWaitsOutAConnectionBeingHandedOver) {
    auto network = dnssd::FakeNetwork::make();
    std::promise<void> entered;
    std::once_flag once;
    std::atomic<bool> handed{false};
    std::vector<net::TcpConnectionPtr> kept;
    HostAdvertiser advertiser("Host", kFingerprint,
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
    EXPECT_TRUE(handed);  // so the owner may now drop what its handler uses
}

// The socket under the listener breaks: its owner hears of it, the dead port is no longer
// advertised, and the next start() listens (and is published) anew.
TEST(HostAdvertiser, AListenerThatBreaksAfterReadyIsReportedAndReplaced) {
    std::mutex mutex;
    std::vector<std::string> lines;
    setDiagnosticSink([&](std::string_view line) {
        std::lock_guard lock(mutex);
        lines.emplace_back(line);
    });
    struct Restore {
        ~Restore() { setDiagnosticSink({}); }
    } restore;
    auto network = dnssd::FakeNetwork::make();
    Owner owner;
    HostAdvertiser advertiser("Host", kFingerprint, owner.handler(), {{}, network->publisherFactory()});
    const auto port = advertiser.start();
    int fd = -1;  // the listening socket bound to `port`
    for (int candidate = 3; candidate < 4096 && fd < 0; ++candidate) {
        int listening = 0;
        socklen_t size = sizeof listening;
        sockaddr_in6 address{};
        socklen_t length = sizeof address;
        if (::getsockopt(candidate, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening &&
            ::getsockname(candidate, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            ntohs(address.sin6_port) == port) {  // sin_port sits at the same place
            fd = candidate;
        }
    }
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::shutdown(fd, SHUT_RDWR), 0);  // accept() now fails for good
    ASSERT_TRUE(eventually([&] {
        network->settle();
        return network->published().empty() && advertiser.publicationProblem();
    }));
    const auto problem = advertiser.publicationProblem();
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->kind, DiscoveryError::Kind::network);
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.rfind("QuillCore: ", 0) == 0 && line.find(problem->text) != std::string::npos;
        }));
    }

    const auto newPort = advertiser.start();
    auto channel = FrameChannel::connectLocal(newPort);
    EXPECT_TRUE(eventually([&] { return owner.count() == 1; }));
    network->settle();
    ASSERT_EQ(network->published().size(), 1u);
    EXPECT_EQ(network->published()[0].port, newPort);
    EXPECT_FALSE(advertiser.publicationProblem());
}
