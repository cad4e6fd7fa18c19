#include "quillcore/net/tcp_listener.h"

#include <mutex>

#include "quillcore/net/tcp_impl.h"
#include "quillcore/net/tcp_io.h"

namespace quill::net {

struct TcpListener::Impl : std::enable_shared_from_this<TcpListener::Impl> {
    Impl() : strand(asio::make_strand(ioContext())), acceptor(ioContext()), retryTimer(ioContext()) {}

    void doStart();
    void doCancel();
    void acceptNext();
    void waitForConnection();
    void report(const StateUpdate& update);
    void failAfterStart(const std::string& text);

    Strand strand;
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
    bool started = false;
    bool stopped = false;  // failed or cancelled: accepts nothing more
    bool cancelReported = false;
    asio::ip::tcp protocol = asio::ip::tcp::v6();  // of the bound acceptor, and so of accepted sockets

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
    // accept4 runs on the I/O thread: it must never block there.
    acceptor.non_blocking(true, ec);
    if (ec) return failAfterStart(ec.message());
    auto endpoint = acceptor.local_endpoint(ec);
    if (ec) return failAfterStart(ec.message());
    protocol = endpoint.protocol();
    {
        std::lock_guard lock(mutex);
        port = endpoint.port();
    }
    report({State::ready, endpoint.port(), {}});
    acceptNext();
}

void TcpListener::Impl::failAfterStart(const std::string& text) {
    stopped = true;
    asio::error_code ignored;
    acceptor.close(ignored);
    {
        std::lock_guard lock(mutex);
        port.reset();
    }
    report({State::failed, std::nullopt, text});
}

// accept4 makes each new socket close-on-exec from the start (Asio's own accept leaves the
// flag off). It is tried before waiting: the readiness of a connection that arrived while the
// previous one was handed over may already have been reported, and would not come again.
void TcpListener::Impl::acceptNext() {
    // A few at a time, then the next few after other work queued on the I/O thread: a flood
    // can neither starve that work nor fill the backlog while the thread goes round, which
    // would make the system drop new connections, a controller's among them.
    constexpr int kBatch = 32;
    for (int accepted = 0; accepted < kBatch; ++accepted) {
        if (stopped) return;
        // The peer's address comes with the accept: no second call for it.
        asio::ip::tcp::endpoint peer;
        socklen_t size = static_cast<socklen_t>(peer.capacity());
        int fd = ::accept4(acceptor.native_handle(), peer.data(), &size, SOCK_CLOEXEC);
        if (fd < 0) {
            int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) return waitForConnection();
            asio::error_code ec(error, asio::system_category());
            if (!isTransientAcceptError(ec)) return failAfterStart(ec.message());
            // Out of descriptors or memory: the connection waits in the backlog; try again
            // shortly instead of spinning.
            auto self = shared_from_this();
            retryTimer.expires_after(std::chrono::milliseconds(100));
            retryTimer.async_wait(asio::bind_executor(strand, [self](const asio::error_code&) { self->acceptNext(); }));
            return;
        }
        if (size > peer.capacity()) {
            ::close(fd);
            continue;
        }
        peer.resize(size);
        ConnectionHandler handler;
        {
            std::lock_guard lock(mutex);
            handler = connectionHandler;
        }
        // Asio takes the socket only when the connection starts: one its owner refuses first
        // costs the I/O thread nothing more.
        auto connection = std::make_shared<TcpConnection>(std::make_shared<TcpConnection::Impl>(fd, protocol, peer));
        if (handler) handler(std::move(connection));
    }
    asio::post(strand, [self = shared_from_this()] { self->acceptNext(); });
}

void TcpListener::Impl::waitForConnection() {
    auto self = shared_from_this();
    acceptor.async_wait(asio::socket_base::wait_read, asio::bind_executor(strand, [self](const asio::error_code& ec) {
        if (self->stopped) return;
        if (ec) return self->failAfterStart(ec.message());
        self->acceptNext();
    }));
}

void TcpListener::Impl::doCancel() {
    stopped = true;
    asio::error_code ignored;
    acceptor.close(ignored);
    retryTimer.cancel();
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
