#include "quillcore/net/tcp_listener.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>

#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "quillcore/base/diagnostics.h"
#include "quillcore/net/tcp_impl.h"
#include "quillcore/net/tcp_io.h"

namespace quill::net {

struct TcpListener::Impl : std::enable_shared_from_this<TcpListener::Impl> {
    Impl() : strand(asio::make_strand(ioContext())), acceptor(ioContext()) {}
    ~Impl() { stopAccepting(); }

    void doStart();
    void doCancel();
    void acceptLoop(std::stop_token stop);
    void stopAccepting();
    void report(const StateUpdate& update);
    void failAfterStart(const std::string& text);

    Strand strand;
    asio::ip::tcp::acceptor acceptor;
    bool started = false;
    bool stopped = false;  // failed or cancelled: accepts nothing more (on the strand)
    bool cancelReported = false;
    asio::ip::tcp protocol = asio::ip::tcp::v6();  // of the bound acceptor, and so of accepted sockets

    // Accepting runs on a thread of the listener's own, so that a flood of connections never
    // waits behind other I/O and the system's backlog drains as fast as connections come. (A
    // second thread on the same socket only contends for it.)
    int stopEvent = -1;  // eventfd: readable once the accepting thread is to end
    std::jthread accepting;

    // Read from any thread; written on the strand (port) or by the owner (handlers).
    mutable std::mutex mutex;
    std::optional<std::uint16_t> port;
    StateHandler stateHandler;
    ConnectionHandler connectionHandler;
};

namespace {

// Binds [::]:0 with IPv4 mapped in where the system allows it, else 0.0.0.0:0.
asio::error_code bindAnyPort(asio::ip::tcp::acceptor& acceptor) {
    asio::error_code ec = openCloseOnExec(acceptor, asio::ip::tcp::v6());
    if (!ec) acceptor.set_option(asio::ip::v6_only(false), ec);
    if (!ec) acceptor.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), 0), ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) return ec;
    asio::error_code ignored;
    acceptor.close(ignored);
    ec = openCloseOnExec(acceptor, asio::ip::tcp::v4());
    if (!ec) acceptor.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v4(), 0), ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) acceptor.close(ignored);
    return ec;
}

// Errors of accept() that concern one connection or a passing shortage, not the listener.
bool isTransientAcceptError(const asio::error_code& ec) {
    switch (ec.value()) {
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case EINTR:
        case EAGAIN:
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return ec.category() == asio::system_category();
        default:
            return false;
    }
}

}  // namespace

void TcpListener::Impl::report(const StateUpdate& update) {
    StateHandler handler;
    {
        std::lock_guard lock(mutex);
        handler = stateHandler;
    }
    if (handler) handler(update);
}

void TcpListener::Impl::doStart() {
    if (started || stopped) return;
    started = true;
    if (auto ec = bindAnyPort(acceptor)) {
        stopped = true;
        report({State::failed, std::nullopt, ec.message()});
        return;
    }
    asio::error_code ec;
    // The accepting thread waits in poll(), so that a stop reaches it.
    acceptor.non_blocking(true, ec);
    if (ec) return failAfterStart(ec.message());
    auto endpoint = acceptor.local_endpoint(ec);
    if (ec) return failAfterStart(ec.message());
    protocol = endpoint.protocol();
    stopEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopEvent < 0) return failAfterStart(std::strerror(errno));
    try {
        accepting = std::jthread([this](std::stop_token stop) {
            pthread_setname_np(pthread_self(), "net.accept");
            acceptLoop(stop);
        });
    } catch (const std::exception& e) {
        return failAfterStart(e.what());  // never "ready" without a thread that accepts
    }
    {
        std::lock_guard lock(mutex);
        port = endpoint.port();
    }
    report({State::ready, endpoint.port(), {}});
}

void TcpListener::Impl::failAfterStart(const std::string& text) {
    stopped = true;
    stopAccepting();
    asio::error_code ignored;
    acceptor.close(ignored);
    {
        std::lock_guard lock(mutex);
        port.reset();
    }
    report({State::failed, std::nullopt, text});
}

// Ends the accepting thread and waits for it: the listening socket is closed only after, so
// that it never accepts on a number the system has given to another socket meanwhile.
void TcpListener::Impl::stopAccepting() {
    accepting.request_stop();
    if (stopEvent >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(stopEvent, &one, sizeof one);
    }
    // The last handle may go on the accepting thread itself (its failure report).
    if (accepting.get_id() == std::this_thread::get_id()) accepting.detach();
    else if (accepting.joinable()) accepting.join();
    if (stopEvent >= 0) ::close(std::exchange(stopEvent, -1));
}

// accept4 makes each new socket close-on-exec from the start (Asio's own accept leaves the
// flag off).
void TcpListener::Impl::acceptLoop(std::stop_token stop) {
    const int listening = acceptor.native_handle();
    pollfd wanted[2] = {{listening, POLLIN, 0}, {stopEvent, POLLIN, 0}};
    while (!stop.stop_requested()) {
        // The peer's address comes with the accept: no second call for it.
        asio::ip::tcp::endpoint peer;
        socklen_t size = static_cast<socklen_t>(peer.capacity());
        int fd = ::accept4(listening, peer.data(), &size, SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
                wanted[0].fd = listening;
                ::poll(wanted, 2, -1);
                continue;
            }
            asio::error_code ec(error, asio::system_category());
            if (!isTransientAcceptError(ec)) {
                if (auto self = weak_from_this().lock())
                    asio::post(strand, [self = std::move(self), text = ec.message()] {
                        if (!self->stopped) self->failAfterStart(text);
                    });
                return;
            }
            // Out of descriptors or memory: the connection waits in the backlog; try again
            // shortly instead of spinning.
            wanted[0].fd = -1;
            ::poll(wanted, 2, 100);
            continue;
        }
        if (size > peer.capacity()) {
            ::close(fd);
            continue;
        }
        peer.resize(size);
        // Copied for this connection only: the owner's handler (and what it holds) is not kept
        // here once the owner lets go of it.
        ConnectionHandler handler;
        {
            std::lock_guard lock(mutex);
            handler = connectionHandler;
        }
        // A handler or an allocation that throws costs that connection, not the process (the I/O
        // thread's loop did the same for it before). Asio takes the socket only when the
        // connection starts: one its owner refuses first costs nothing more here.
        std::shared_ptr<TcpConnection::Impl> impl;
        try {
            impl = std::make_shared<TcpConnection::Impl>(fd, protocol, peer);
        } catch (const std::exception& e) {
            ::close(fd);
            coreDiagnostic(std::string("could not take a new connection: ") + e.what());
            continue;
        }
        try {
            // From here the connection owns the descriptor.
            auto connection = std::make_shared<TcpConnection>(std::move(impl));
            if (handler) handler(std::move(connection));
        } catch (const std::exception& e) {
            coreDiagnostic(std::string("a new connection's handler threw: ") + e.what());
        }
    }
}

void TcpListener::Impl::doCancel() {
    stopped = true;
    stopAccepting();
    asio::error_code ignored;
    acceptor.close(ignored);
    {
        std::lock_guard lock(mutex);
        port.reset();
    }
    if (cancelReported) return;
    cancelReported = true;
    report({State::cancelled, std::nullopt, {}});
}

TcpListener::TcpListener(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::shared_ptr<TcpListener> TcpListener::create() { return std::make_shared<TcpListener>(std::make_shared<Impl>()); }

TcpListener::~TcpListener() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stateHandler = nullptr;
        impl_->connectionHandler = nullptr;
    }
    asio::post(impl_->strand, [impl = impl_] { impl->doCancel(); });
}

void TcpListener::setStateHandler(StateHandler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->stateHandler = std::move(handler);
}

void TcpListener::setConnectionHandler(ConnectionHandler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->connectionHandler = std::move(handler);
}

void TcpListener::start() {
    asio::post(impl_->strand, [impl = impl_] { impl->doStart(); });
}

void TcpListener::cancel() {
    asio::post(impl_->strand, [impl = impl_] { impl->doCancel(); });
}

std::optional<std::uint16_t> TcpListener::port() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->port;
}

}  // namespace quill::net
