#include "quillcore/net/tcp_connection.h"

#include "quillcore/net/tcp_impl.h"
#include "quillcore/net/tcp_io.h"

namespace quill::net {

namespace {
const std::string kCancelledText = "the connection was cancelled";
}

TcpConnection::Impl::Impl(std::string host, std::uint16_t port)
    : strand(asio::make_strand(ioContext())),
      socket(ioContext()),
      resolver(ioContext()),
      host(std::move(host)),
      port(port) {}

TcpConnection::Impl::Impl(int descriptor, asio::ip::tcp protocol, const asio::ip::tcp::endpoint& peer)
    : strand(asio::make_strand(ioContext())),
      socket(ioContext()),
      resolver(ioContext()),
      accepted(true),
      protocol(protocol),
      held(descriptor) {
    auto address = peer.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    host = address.to_string();
    port = peer.port();
}

TcpConnection::Impl::~Impl() { closeHeld(false); }

bool TcpConnection::Impl::closeHeld(bool reset) {
    const int fd = held.exchange(-1);
    if (fd < 0) return false;
    if (reset) {
        const linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(fd);
    return true;
}

void TcpConnection::Impl::doStart() {
    if (phase != Phase::idle) return;
    if (accepted) {
        const int fd = held.exchange(-1);
        asio::error_code ec;
        if (fd < 0) ec = asio::error::bad_descriptor;  // closed before it started
        else socket.assign(protocol, fd, ec);
        if (ec) {
            if (fd >= 0) ::close(fd);
            return connectFailed(ec.message());
        }
        socket.set_option(asio::ip::tcp::no_delay(true), ec);
        connected();
        return;
    }
    phase = Phase::connecting;
    auto self = shared_from_this();
    resolver.async_resolve(
        host, std::to_string(port), asio::ip::resolver_base::numeric_service,
        asio::bind_executor(strand, [self](const asio::error_code& ec, asio::ip::tcp::resolver::results_type results) {
            if (self->phase != Phase::connecting) return;
            if (ec) return self->connectFailed(ec.message());
            for (const auto& entry : results) self->endpoints.push_back(entry.endpoint());
            self->connectNext(asio::error_code(asio::error::host_not_found).message());
        }));
}

// Tries the resolved addresses in order, each on a fresh socket of its own.
void TcpConnection::Impl::connectNext(std::string lastError) {
    if (phase != Phase::connecting) return;
    if (endpoints.empty()) return connectFailed(lastError);
    auto endpoint = endpoints.front();
    endpoints.pop_front();
    asio::error_code ignored;
    socket.close(ignored);
    if (auto ec = openCloseOnExec(socket, endpoint.protocol())) return connectNext(ec.message());
    auto self = shared_from_this();
    socket.async_connect(endpoint, asio::bind_executor(strand, [self](const asio::error_code& ec) {
        if (self->phase != Phase::connecting) return;
        if (ec) return self->connectNext(ec.message());
        asio::error_code ignored;
        // Frames are written whole; waiting to coalesce them only adds latency.
        self->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        self->connected();
    }));
}

void TcpConnection::Impl::connected() {
    phase = Phase::ready;
    if (pendingReceive) issueReceive();
    writeNext();
}

void TcpConnection::Impl::connectFailed(const std::string& text) {
    phase = Phase::failed;
    failure = text;
    asio::error_code ignored;
    socket.close(ignored);
    failPending(text);
}

void TcpConnection::Impl::failPending(const std::string& text) {
    if (pendingReceive) {
        auto handler = std::move(pendingReceive->handler);
        pendingReceive.reset();
        handler(Bytes{}, false, text);
    }
    if (!writing) {
        auto queued = std::move(writes);
        writes.clear();
        for (auto& w : queued) w.handler(text);
    }
}

void TcpConnection::Impl::doReceive(std::size_t count, ReceiveHandler handler) {
    switch (phase) {
        case Phase::failed: return handler(Bytes{}, false, failure);
        case Phase::cancelled: return handler(Bytes{}, false, kCancelledText);
        default: break;
    }
    pendingReceive = PendingReceive{count, std::move(handler)};
    if (phase == Phase::ready) issueReceive();
}

void TcpConnection::Impl::issueReceive() {
    auto request = std::move(*pendingReceive);
    pendingReceive.reset();
    if (request.count == 0) {
        request.handler(Bytes{}, false, std::nullopt);
        return;
    }
    auto read = std::make_shared<Read>();
    read->count = request.count;
    read->handler = std::move(request.handler);
    // Reserved, not filled: the buffer grows in steps as bytes arrive, so a peer that
    // announces a large read and sends little makes us hold little, and a peer that sends
    // one byte at a time costs no more than its bytes.
    read->buffer.reserve(read->count);
    readMore(std::move(read));
}

void TcpConnection::Impl::readMore(std::shared_ptr<Read> read) {
    constexpr std::size_t kStep = 64 * 1024;
    if (read->filled == read->buffer.size()) read->buffer.resize(std::min(read->count, read->filled + kStep));
    auto self = shared_from_this();
    socket.async_read_some(
        asio::buffer(read->buffer.data() + read->filled, read->buffer.size() - read->filled),
        asio::bind_executor(strand, [self, read](const asio::error_code& ec, std::size_t n) {
            read->filled += n;
            if (!ec && read->filled < read->count && self->phase != Phase::cancelled) return self->readMore(read);
            read->buffer.resize(read->filled);
            auto& handler = read->handler;
            if (self->phase == Phase::cancelled) return handler(std::move(read->buffer), false, kCancelledText);
            if (!ec) return handler(std::move(read->buffer), false, std::nullopt);
            if (ec == asio::error::eof) return handler(std::move(read->buffer), true, std::nullopt);
            handler(std::move(read->buffer), false, ec.message());
        }));
}

void TcpConnection::Impl::doSend(Bytes bytes, SendHandler handler) {
    switch (phase) {
        case Phase::failed: return handler(failure);
        case Phase::cancelled: return handler(kCancelledText);
        default: break;
    }
    writes.push_back(Write{std::move(bytes), std::move(handler)});
    if (phase == Phase::ready) writeNext();
}

void TcpConnection::Impl::writeNext() {
    if (writing || writes.empty() || phase != Phase::ready) return;
    writing = true;
    auto self = shared_from_this();
    asio::async_write(socket, asio::buffer(writes.front().bytes),
                      asio::bind_executor(strand, [self](const asio::error_code& ec, std::size_t) {
                          self->writing = false;
                          auto done = std::move(self->writes.front());
                          self->writes.pop_front();
                          if (!ec) done.handler(std::nullopt);
                          else if (ec == asio::error::operation_aborted || self->phase == Phase::cancelled)
                              done.handler(kCancelledText);
                          else done.handler(ec.message());
                          if (self->phase == Phase::ready) self->writeNext();
                          else self->failPending(self->phase == Phase::failed ? self->failure : kCancelledText);
                      }));
}

void TcpConnection::Impl::doCancel(bool reset) {
    if (phase == Phase::cancelled) return;
    phase = Phase::cancelled;
    resolver.cancel();
    asio::error_code ignored;
    if (reset) socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
    failPending(kCancelledText);
}

TcpConnection::TcpConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::shared_ptr<TcpConnection> TcpConnection::connect(std::string host, std::uint16_t port) {
    return std::make_shared<TcpConnection>(std::make_shared<Impl>(std::move(host), port));
}

std::shared_ptr<TcpConnection> TcpConnection::connect(const TcpEndpoint& endpoint) {
    return connect(endpoint.host, endpoint.port);
}

std::shared_ptr<TcpConnection> TcpConnection::connectLocal(std::uint16_t port) {
    return connect("127.0.0.1", port);
}

TcpConnection::~TcpConnection() {
    // One that never asked anything of the I/O thread ends here: a flood of connections
    // refused before they started costs that thread nothing more than their accepts.
    if (!impl_->strandUsed) {
        impl_->closeHeld(false);
        return;
    }
    cancel();
}

void TcpConnection::start() {
    impl_->strandUsed = true;
    asio::post(impl_->strand, [impl = impl_] { impl->doStart(); });
}

void TcpConnection::receive(std::size_t count, ReceiveHandler handler) {
    impl_->strandUsed = true;
    asio::post(impl_->strand, [impl = impl_, count, h = std::move(handler)]() mutable {
        impl->doReceive(count, std::move(h));
    });
}

void TcpConnection::send(Bytes bytes, SendHandler handler) {
    impl_->strandUsed = true;
    asio::post(impl_->strand, [impl = impl_, b = std::move(bytes), h = std::move(handler)]() mutable {
        impl->doSend(std::move(b), std::move(h));
    });
}

std::optional<TcpEndpoint> TcpConnection::remoteEndpoint() const {
    if (impl_->host.empty()) return std::nullopt;
    return TcpEndpoint{impl_->host, impl_->port};
}

std::string endpointText(const TcpEndpoint& endpoint) {
    bool v6 = endpoint.host.find(':') != std::string::npos;
    return (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + std::to_string(endpoint.port);
}

int TcpConnection::unstartedDescriptor() const { return impl_->held.load(); }

void TcpConnection::cancel() {
    // One never started is closed here and now: nothing of it is on the I/O thread.
    if (impl_->closeHeld(false) && !impl_->strandUsed) return;
    asio::post(impl_->strand, [impl = impl_] { impl->doCancel(); });
}

void TcpConnection::reset() {
    if (impl_->closeHeld(true) && !impl_->strandUsed) return;
    asio::post(impl_->strand, [impl = impl_] { impl->doCancel(true); });
}

}  // namespace quill::net
