#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include "quillcore/net/tcp_connection.h"
#include "quillcore/net/tcp_io.h"
#include "quillcore/net/tcp_listener.h"

using namespace quill;
using namespace quill::net;
using namespace std::chrono_literals;

namespace {

struct Received {
    Bytes data;
    bool endOfStream = false;
    std::optional<std::string> error;
};

template <class T>
T await(std::future<T> f) {
    if (f.wait_for(10s) != std::future_status::ready) throw std::runtime_error("operation hung");
    return f.get();
}

// Every handler must run on the I/O thread; these helpers check it on each call.
std::future<Received> receiveLater(const TcpConnectionPtr& c, std::size_t count) {
    auto p = std::make_shared<std::promise<Received>>();
    c->receive(count, [p](Bytes data, bool eos, std::optional<std::string> error) {
        EXPECT_TRUE(onIoThread());
        p->set_value({std::move(data), eos, std::move(error)});
    });
    return p->get_future();
}
Received receiveNow(const TcpConnectionPtr& c, std::size_t count) { return await(receiveLater(c, count)); }

std::future<std::optional<std::string>> sendLater(const TcpConnectionPtr& c, Bytes bytes) {
    auto p = std::make_shared<std::promise<std::optional<std::string>>>();
    c->send(std::move(bytes), [p](std::optional<std::string> error) {
        EXPECT_TRUE(onIoThread());
        p->set_value(std::move(error));
    });
    return p->get_future();
}
std::optional<std::string> sendNow(const TcpConnectionPtr& c, Bytes bytes) { return await(sendLater(c, bytes)); }

// A started listener, its state reports and the connections it accepted (started).
struct Server {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<TcpListener::StateUpdate> states;
    std::vector<TcpConnectionPtr> accepted;
    TcpListenerPtr listener = TcpListener::create();  // last: goes first, before what its handlers touch

    Server() {
        listener->setStateHandler([this](const TcpListener::StateUpdate& u) {
            EXPECT_EQ(onIoThread(), u.state != TcpListener::State::cancelled);  // tests cancel off it
            keep(states, u);
        });
        // Accepting has a thread of its own: a flood never waits behind other I/O.
        listener->setConnectionHandler([this](TcpConnectionPtr c) {
            EXPECT_FALSE(onIoThread());
            c->start();
            keep(accepted, std::move(c));
        });
        listener->start();
    }
    template <class T, class V>
    void keep(std::vector<T>& into, V value) {
        std::lock_guard lock(mutex);
        into.push_back(std::move(value));
        cv.notify_all();
    }
    template <class F>
    void waitFor(F&& done) {
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, 10s, done)) throw std::runtime_error("server wait timed out");
    }
    std::uint16_t port() {
        waitFor([&] { return !states.empty(); });
        std::lock_guard lock(mutex);
        if (states[0].state != TcpListener::State::ready) throw std::runtime_error("listener failed");
        return *states[0].port;
    }
    TcpConnectionPtr accept(std::size_t index = 0) {
        waitFor([&] { return accepted.size() > index; });
        std::lock_guard lock(mutex);
        return accepted[index];
    }
};

}  // namespace

TEST(TcpListener, AcceptsLoopbackConnectionsAndCarriesBytesBothWays) {
    EXPECT_FALSE(onIoThread());
    Server server;
    auto port = server.port();
    EXPECT_EQ(server.listener->port(), port);

    auto client = TcpConnection::connectLocal(port);
    client->start();
    // Sends issued before the connection is established wait for it and keep their order.
    client->send(toBytes("hel"), [](auto) {});
    EXPECT_EQ(sendNow(client, toBytes("lo!")), std::nullopt);
    auto peer = server.accept();
    // The accepted side knows its peer, as plain IPv4 even on a dual-stack listener.
    ASSERT_TRUE(peer->remoteEndpoint());
    EXPECT_EQ(endpointText(*peer->remoteEndpoint()).rfind("127.0.0.1:", 0), 0u);
    EXPECT_EQ(endpointText({"2001:db8::1", 5000}), "[2001:db8::1]:5000");
    EXPECT_EQ(receiveNow(peer, 6).data, toBytes("hello!"));

    Bytes large(300000);
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    EXPECT_EQ(sendNow(peer, large), std::nullopt);
    EXPECT_EQ(receiveNow(client, large.size()).data, large);
    EXPECT_TRUE(receiveNow(client, 0).data.empty());

    // A program the application starts must not keep a listening port or a connection open.
    int sockets = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec).string().rfind("socket:", 0) != 0) continue;
        ++sockets;
        EXPECT_TRUE(::fcntl(std::stoi(entry.path().filename()), F_GETFD) & FD_CLOEXEC) << entry.path();
    }
    EXPECT_GE(sockets, 3);  // the listener and both ends of the connection

    // The peer going away shows as the end of the stream, with what was read before it.
    EXPECT_EQ(sendNow(peer, toBytes("ab")), std::nullopt);
    peer.reset();
    {
        std::lock_guard lock(server.mutex);
        server.accepted.clear();  // the last handle: dropping it closes the socket
    }
    auto tail = receiveNow(client, 5);
    EXPECT_EQ(tail.data, toBytes("ab"));
    EXPECT_TRUE(tail.endOfStream);
    EXPECT_FALSE(tail.error);
}

// Every connection of a burst is accepted, by name and by either address family alike.
TEST(TcpListener, AcceptsEveryConnectionOfABurstByNameOrAddress) {
    Server server;
    std::vector<std::string> hosts = {"localhost"};
    int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    if (probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&v6), sizeof v6) == 0) hosts.push_back("::1");
    if (probe >= 0) ::close(probe);
    while (hosts.size() < 48) hosts.push_back("127.0.0.1");
    std::vector<TcpConnectionPtr> clients;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        clients.push_back(TcpConnection::connect(TcpEndpoint{hosts[i], server.port()}));
        clients.back()->start();
        clients.back()->send(Bytes{static_cast<std::uint8_t>(i)}, [](auto) {});
    }
    // Each accepted connection carries its own client's byte.
    std::vector<bool> seen(hosts.size(), false);
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        auto r = receiveNow(server.accept(i), 1);
        ASSERT_EQ(r.data.size(), 1u);
        ASSERT_LT(r.data[0], hosts.size());
        EXPECT_FALSE(seen[r.data[0]]) << hosts[r.data[0]];
        seen[r.data[0]] = true;
    }
}

TEST(TcpListener, StartAndCancelReportOnceAndLaterConnectionsAreRefused) {
    Server server;
    server.listener->start();  // does nothing: it runs right behind the first
    auto port = server.port();
    auto first = TcpConnection::connectLocal(port);
    first->start();
    EXPECT_FALSE(sendNow(first, toBytes("x")));
    EXPECT_EQ(receiveNow(server.accept(), 1).data, toBytes("x"));
    server.listener->cancel();
    server.listener->cancel();
    {
        std::lock_guard lock(server.mutex);
        EXPECT_EQ(server.states.size(), 2u) << "reported before cancel() returned";
    }
    EXPECT_EQ(server.listener->port(), std::nullopt);
    auto client = TcpConnection::connectLocal(port);
    client->start();
    EXPECT_TRUE(receiveNow(client, 4).error);
    EXPECT_TRUE(sendNow(client, toBytes("x")));
    // A second report would have come by now: the refusal took more trips through the I/O thread.
    std::lock_guard lock(server.mutex);
    ASSERT_EQ(server.states.size(), 2u);
    EXPECT_EQ(server.states[1].state, TcpListener::State::cancelled);
}

// A connection handler in progress when its listener goes has finished once cancel() or the
// destructor returned, wherever they ran, and none starts after; a handler that drops its own
// listener does not wait for itself.
TEST(TcpListener, NoHandlerRunsOnceCancelOrTheDestructorReturned) {
    enum class By { cancel, destroy, destroyOnIoThread, destroyInHandler };
    for (By by : {By::cancel, By::destroy, By::destroyOnIoThread, By::destroyInHandler}) {
        SCOPED_TRACE(static_cast<int>(by));
        // Shared with the handler: a faulty listener may still call it after this iteration.
        struct Shared {
            std::atomic<int> entered{0}, left{0};
            std::mutex mutex;
            TcpListenerPtr listener = TcpListener::create();
            std::promise<std::pair<int, int>> gone;  // entered and left as the listener went
        };
        auto shared = std::make_shared<Shared>();
        auto drop = [by, weak = std::weak_ptr<Shared>(shared)] {
            auto s = weak.lock();
            if (!s) return;
            TcpListenerPtr last;
            {
                std::lock_guard lock(s->mutex);
                last = std::exchange(s->listener, nullptr);
            }
            if (!last) return;
            if (by == By::cancel) last->cancel();
            else last.reset();
            s->gone.set_value({s->entered.load(), s->left.load()});
        };
        std::promise<std::uint16_t> ready;
        shared->listener->setStateHandler([&ready](const TcpListener::StateUpdate& u) {
            if (u.state == TcpListener::State::ready) ready.set_value(*u.port);
        });
        shared->listener->setConnectionHandler([by, drop, weak = std::weak_ptr<Shared>(shared)](TcpConnectionPtr) {
            auto s = weak.lock();
            if (!s) return;
            ++s->entered;
            if (by == By::destroyInHandler) drop();
            std::this_thread::sleep_for(200ms);
            ++s->left;
        });
        shared->listener->start();
        const auto port = await(ready.get_future());
        std::vector<TcpConnectionPtr> clients;  // the first in the handler, the others waiting
        for (int i = 0; i < 3; ++i) {
            clients.push_back(TcpConnection::connectLocal(port));
            clients.back()->start();
        }
        for (int i = 0; i < 5000 && shared->entered == 0; ++i) std::this_thread::sleep_for(1ms);
        ASSERT_GE(shared->entered, 1);
        if (by == By::destroyOnIoThread) clients[0]->send(toBytes("x"), [drop](auto) { drop(); });
        else if (by != By::destroyInHandler) drop();
        const auto [entered, left] = await(shared->gone.get_future());
        EXPECT_EQ(left, entered - (by == By::destroyInHandler ? 1 : 0));
        for (int i = 0; i < 5000 && shared->left < entered; ++i) std::this_thread::sleep_for(1ms);
        // Time enough for a handler to have started on the connections still waiting.
        std::this_thread::sleep_for(150ms);
        EXPECT_EQ(shared->entered, entered);
        EXPECT_EQ(shared->left, entered);
    }
}

// A connection handler that throws costs that connection only: the listener goes on accepting.
TEST(TcpListener, AHandlerThatThrowsCostsOnlyThatConnection) {
    std::atomic<int> calls{0};
    Server server;
    server.listener->setConnectionHandler([&](TcpConnectionPtr c) {
        if (++calls == 1) throw std::runtime_error("refused");
        c->start();
        server.keep(server.accepted, std::move(c));
    });
    const auto port = server.port();
    auto first = TcpConnection::connectLocal(port);
    first->start();
    const Received ended = receiveNow(first, 1);
    EXPECT_TRUE(ended.endOfStream || ended.error) << "the refused connection is closed";
    auto second = TcpConnection::connectLocal(port);
    second->start();
    EXPECT_FALSE(sendNow(second, toBytes("ok")));
    EXPECT_EQ(receiveNow(server.accept(0), 2).data, toBytes("ok"));
    EXPECT_EQ(calls, 2);
}

// A reset ends the connection as a cancel does here; the peer sees a reset, not the end of the
// stream.
TEST(TcpConnection, CancelEndsPendingAndLaterOperationsWhetherConnectingOrConnected) {
    for (bool reset : {false, true}) {
        Server server;
        for (bool connected : {true, false}) {
            SCOPED_TRACE(std::string(reset ? "reset, " : "cancel, ") + (connected ? "connected" : "connecting"));
            auto client = TcpConnection::connectLocal(server.port());
            client->start();
            TcpConnectionPtr peer = connected ? server.accept() : nullptr;
            auto receiving = receiveLater(client, 4);
            auto sending = sendLater(client, toBytes("y"));
            if (connected) std::this_thread::sleep_for(20ms);  // lets the receive reach the socket; passes either way
            if (reset) client->reset();
            else client->cancel();
            EXPECT_TRUE(await(std::move(receiving)).error);
            await(std::move(sending));  // ends, whether it left before the cancel or not
            EXPECT_TRUE(sendNow(client, toBytes("x")));
            EXPECT_TRUE(receiveNow(client, 1).error);
            if (!peer) continue;
            // What the client sent before may still come first.
            Received end = receiveNow(peer, 2);
            EXPECT_EQ(end.endOfStream, !reset);
            EXPECT_EQ(end.error.has_value(), reset);
        }
    }
}
