#pragma once

// Loopback peers and small helpers for the frame channel and envelope link tests.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>
#include <utility>

#include "quillcore/net/tcp_listener.h"
#include "quillcore/transport/frame_channel.h"

namespace quill::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline Bytes header(std::uint32_t n) {
    return {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n)};
}

inline Bytes wire(const Bytes& payload) {
    Bytes out = header(static_cast<std::uint32_t>(payload.size()));
    append(out, payload);
    return out;
}

inline Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 8));
    return b;
}

// What `f` threw; a test that expected an error and got none fails, and goes on.
inline FrameChannelError channelError(const std::function<void()>& f) {
    try {
        f();
    } catch (const FrameChannelError& e) {
        return e;
    }
    ADD_FAILURE() << "no FrameChannelError thrown";
    return FrameChannelError::network("nothing thrown");
}

inline double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Waits (at most `limit`) until `done` holds; the caller asserts on the result.
template <class F>
bool eventually(F&& done, std::chrono::milliseconds limit = 10s) {
    auto until = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Two channels joined over loopback: {client, accepted}.
inline std::pair<FrameChannelPtr, FrameChannelPtr> connectedChannels() {
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

// The far end of a channel as a plain socket, so tests can misbehave at the byte level.
class RawPeer {
public:
    explicit RawPeer(FrameChannel::Limits limits = {}) {
        int listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof addr;
        if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listenFd, 1) != 0 ||
            ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("listen");
        channel = FrameChannel::connectLocal(ntohs(addr.sin_port), limits);
        fd_ = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listenFd);
        if (fd_ < 0) throw std::runtime_error("accept");
        int one = 1;
        timeval limit{10, 0};  // no read of ours waits longer
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~RawPeer() { close(); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    void write(const Bytes& bytes) {
        for (std::size_t at = 0; at < bytes.size();) {
            auto n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("peer write failed");
            at += static_cast<std::size_t>(n);
        }
    }
    // One write, and so one TCP segment, per byte.
    void dribble(const Bytes& bytes) {
        for (auto b : bytes) write(Bytes{b});
    }
    Bytes read(std::size_t n) {
        Bytes out(n);
        for (std::size_t at = 0; at < n;) {
            auto got = ::recv(fd_, out.data() + at, n - at, 0);
            if (got <= 0) throw std::runtime_error("peer read failed");
            at += static_cast<std::size_t>(got);
        }
        return out;
    }
    // How the channel's side ended the connection: 0 for an orderly close, else the socket
    // error (ECONNRESET when it closed with bytes of ours still unread; EAGAIN when it did
    // not end at all).
    int endOfConnection() {
        char buf[4096];
        for (;;) {
            auto got = ::recv(fd_, buf, sizeof buf, 0);
            if (got <= 0) return got == 0 ? 0 : errno;
        }
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
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
    int fd_ = -1;
};

}  // namespace quill::testing
