#pragma once

// Internal to quill_net: the Asio side of TcpConnection, shared with TcpListener.

#include <sys/socket.h>
#include <unistd.h>

#include <asio.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <list>
#include <memory>

#include "quillcore/net/tcp_connection.h"

namespace quill::net {

using Strand = asio::strand<asio::io_context::executor_type>;

// Opens a socket or acceptor close-on-exec from the start (Asio's own open() leaves the flag
// off), so a program the application starts never inherits a listening port or a connection.
template <class Socket>
asio::error_code openCloseOnExec(Socket& socket, const asio::ip::tcp& protocol) {
    int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return asio::error_code(errno, asio::system_category());
    asio::error_code ec;
    socket.assign(protocol, fd, ec);
    if (ec) ::close(fd);
    return ec;
}

struct TcpConnection::Impl : std::enable_shared_from_this<TcpConnection::Impl> {
    enum class Phase { idle, connecting, ready, failed, cancelled };

    // Client side: connects to host:port when started.
    Impl(std::string host, std::uint16_t port);
    // Accepted side: `descriptor` is connected to `peer`. It is held as it is, outside Asio,
    // until the connection starts: an owner may read it itself before (unstartedDescriptor()).
    Impl(int descriptor, asio::ip::tcp protocol, const asio::ip::tcp::endpoint& peer);
    ~Impl();

    // Closes the held descriptor of a connection never started, if it still has it: true
    // then. Any thread.
    bool closeHeld(bool reset);

    // All below run on the strand.
    void doStart();
    void doReceive(std::size_t count, ReceiveHandler handler);
    void doSend(Bytes bytes, SendHandler handler);
    void doCancel(bool reset = false);

    void connectNext(std::string lastError);
    void connected();
    void connectFailed(const std::string& text);
    struct Read {
        std::size_t count = 0;
        std::size_t filled = 0;
        Bytes buffer;
        ReceiveHandler handler;
    };
    void issueReceive();
    void readMore(std::shared_ptr<Read> read);
    void writeNext();
    void failPending(const std::string& text);

    Strand strand;
    asio::ip::tcp::socket socket;
    asio::ip::tcp::resolver resolver;
    std::list<asio::ip::tcp::endpoint> endpoints;  // resolved, not tried yet
    std::string host;
    std::uint16_t port = 0;
    Phase phase = Phase::idle;
    bool accepted = false;
    asio::ip::tcp protocol = asio::ip::tcp::v6();  // accepted side
    std::atomic<int> held{-1};                      // accepted side, until started
    std::atomic<bool> strandUsed{false};  // start, a receive or a send was asked
    std::string failure;  // why connecting failed

    struct PendingReceive {
        std::size_t count;
        ReceiveHandler handler;
    };
    std::optional<PendingReceive> pendingReceive;  // waiting for the connection

    struct Write {
        Bytes bytes;
        SendHandler handler;
    };
    std::list<Write> writes;  // a list: an idle connection allocates nothing for it
    bool writing = false;
};

}  // namespace quill::net
