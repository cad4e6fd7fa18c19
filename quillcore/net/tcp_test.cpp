#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <future>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

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

Received receiveNow(const TcpConnectionPtr& c, std::size_t count) {
    std::promise<Received> p;
    auto f = p.get_future();
    c->receive(count, [&p](Bytes data, bool eos, std::optional<std::string> error) {
        p.set_value({std::move(data), eos, std::move(error)});
    });
    if (f.wait_for(10s) != std::future_status::ready) throw std::runtime_error("receive hung");
    return f.get();
}

std::optional<std::string> sendNow(const TcpConnectionPtr& c, Bytes bytes) {
    std::promise<std::optional<std::string>> p;
    auto f = p.get_future();
    c->send(std::move(bytes), [&p](std::optional<std::string> error) { p.set_value(std::move(error)); });
    if (f.wait_for(10s) != std::future_status::ready) throw std::runtime_error("send hung");
    return f.get();
}

// A started listener and the connections it accepted.
struct Server {
    TcpListenerPtr listener = TcpListener::create();
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<TcpListener::StateUpdate> states;
    std::vector<TcpConnectionPtr> accepted;

    Server() {
        listener->setStateHandler([this](const TcpListener::StateUpdate& u) {
            std::lock_guard lock(mutex);
            states.push_back(u);
            cv.notify_all();
        });
        listener->setConnectionHandler([this](TcpConnectionPtr c) {
            c->start();
            std::lock_guard lock(mutex);
            accepted.push_back(std::move(c));
            cv.notify_all();
        });
        listener->start();
    }

    std::uint16_t port() {
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, 10s, [&] { return !states.empty(); })) throw std::runtime_error("no state");
        if (states[0].state != TcpListener::State::ready) throw std::runtime_error("listener failed");
        return *states[0].port;
    }

    // Waits until `count` state reports arrived.
    bool waitForStates(std::size_t count) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return states.size() >= count; });
    }

    TcpConnectionPtr accept(std::size_t index = 0) {
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, 10s, [&] { return accepted.size() > index; })) throw std::runtime_error("no accept");
        return accepted[index];
    }
};

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

}  // namespace

TEST(TcpListener, AcceptsLoopbackConnectionsAndCarriesBytesBothWays) {
    Server server;
    auto port = server.port();
    EXPECT_NE(port, 0);
    EXPECT_EQ(server.listener->port(), port);

    auto client = TcpConnection::connectLocal(port);
    client->start();
    // Sends issued before the connection is established wait for it and keep their order.
    client->send(toBytes("hel"), [](auto) {});
    EXPECT_EQ(sendNow(client, toBytes("lo!")), std::nullopt);
    auto peer = server.accept();
    auto r = receiveNow(peer, 6);
    EXPECT_EQ(r.data, toBytes("hello!"));
    EXPECT_FALSE(r.endOfStream);
    EXPECT_FALSE(r.error);

    EXPECT_EQ(sendNow(peer, pattern(300000, 3)), std::nullopt);
    EXPECT_EQ(receiveNow(client, 300000).data, pattern(300000, 3));
    EXPECT_TRUE(receiveNow(client, 0).data.empty());

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

TEST(TcpListener, IsDualStackWhereTheSystemHasIPv6) {
    Server server;
    auto port = server.port();
    int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    bool haveV6 = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) ::close(probe);
    if (!haveV6) GTEST_SKIP() << "no IPv6 loopback here";
    auto client = TcpConnection::connect("::1", port);
    client->start();
    EXPECT_EQ(sendNow(client, toBytes("v6")), std::nullopt);
    EXPECT_EQ(receiveNow(server.accept(), 2).data, toBytes("v6"));
}

TEST(TcpConnection, ConnectsByHostName) {
    Server server;
    auto client = TcpConnection::connect(TcpEndpoint{"localhost", server.port()});
    client->start();
    EXPECT_EQ(sendNow(client, toBytes("named")), std::nullopt);
    EXPECT_EQ(receiveNow(server.accept(), 5).data, toBytes("named"));
}

TEST(TcpConnection, RefusedConnectionFailsReadsAndWrites) {
    Server server;
    auto port = server.port();
    server.listener->cancel();
    ASSERT_TRUE(server.waitForStates(2));  // closed: nothing listens on the port any more
    auto client = TcpConnection::connectLocal(port);
    client->start();
    auto r = receiveNow(client, 4);
    ASSERT_TRUE(r.error);
    EXPECT_FALSE(r.error->empty());
    EXPECT_TRUE(sendNow(client, toBytes("x")));
}

TEST(TcpConnection, CancelEndsAPendingReceiveAndLaterOperations) {
    Server server;
    auto client = TcpConnection::connectLocal(server.port());
    client->start();
    auto peer = server.accept();
    std::promise<Received> p;
    auto f = p.get_future();
    client->receive(4, [&p](Bytes d, bool eos, std::optional<std::string> e) { p.set_value({std::move(d), eos, e}); });
    std::this_thread::sleep_for(20ms);
    client->cancel();
    ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(f.get().error);
    EXPECT_TRUE(sendNow(client, toBytes("x")));
    EXPECT_TRUE(receiveNow(client, 1).error);
    // The peer sees the connection end.
    EXPECT_TRUE(receiveNow(peer, 1).endOfStream);
}

TEST(TcpListener, CancelReportsOnceAndStopsAccepting) {
    Server server;
    auto port = server.port();
    server.listener->cancel();
    server.listener->cancel();
    ASSERT_TRUE(server.waitForStates(2));
    std::this_thread::sleep_for(50ms);  // room for a wrong second report
    {
        std::lock_guard lock(server.mutex);
        ASSERT_EQ(server.states.size(), 2u);
        EXPECT_EQ(server.states[1].state, TcpListener::State::cancelled);
    }
    EXPECT_EQ(server.listener->port(), std::nullopt);
    auto client = TcpConnection::connectLocal(port);
    client->start();
    EXPECT_TRUE(receiveNow(client, 1).error);
}

TEST(TcpIo, HandlersRunOnTheIoThread) {
    Server server;
    auto client = TcpConnection::connectLocal(server.port());
    client->start();
    std::promise<bool> p;
    client->send(toBytes("x"), [&p](auto) { p.set_value(onIoThread()); });
    EXPECT_TRUE(p.get_future().get());
    EXPECT_FALSE(onIoThread());
}

TEST(TcpIo, SocketsAreNotInheritedByChildProcesses) {
    // A program the application starts (a browser opened for the user, say) must not keep our
    // listening port or a peer's connection open after we closed them.
    Server server;
    auto client = TcpConnection::connectLocal(server.port());
    client->start();
    EXPECT_EQ(sendNow(client, toBytes("x")), std::nullopt);
    auto peer = server.accept();
    EXPECT_EQ(receiveNow(peer, 1).data, toBytes("x"));

    int sockets = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    ASSERT_NE(dir, nullptr);
    while (auto* entry = ::readdir(dir)) {
        std::string path = std::string("/proc/self/fd/") + entry->d_name;
        char target[PATH_MAX] = {};
        if (::readlink(path.c_str(), target, sizeof target - 1) <= 0) continue;
        if (std::string(target).rfind("socket:", 0) != 0) continue;
        int fd = std::stoi(entry->d_name);
        ++sockets;
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "socket " << fd << " would be inherited";
    }
    ::closedir(dir);
    EXPECT_GE(sockets, 3);  // the listener and both ends of the connection
}

TEST(TcpListener, AcceptsEveryConnectionOfABurst) {
    Server server;
    auto port = server.port();
    constexpr std::size_t kClients = 48;
    std::vector<TcpConnectionPtr> clients;
    for (std::size_t i = 0; i < kClients; ++i) {
        clients.push_back(TcpConnection::connectLocal(port));
        clients.back()->start();
    }
    // Each accepted connection carries its own client's byte.
    for (std::size_t i = 0; i < kClients; ++i)
        clients[i]->send(Bytes{static_cast<std::uint8_t>(i)}, [](auto) {});
    std::vector<bool> seen(kClients, false);
    for (std::size_t i = 0; i < kClients; ++i) {
        auto r = receiveNow(server.accept(i), 1);
        ASSERT_EQ(r.data.size(), 1u);
        ASSERT_LT(r.data[0], kClients);
        EXPECT_FALSE(seen[r.data[0]]);
        seen[r.data[0]] = true;
    }
}
