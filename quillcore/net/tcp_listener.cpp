#include "quillcore/net/tcp_listener.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "quillcore/base/diagnostics.h"
#include "quillcore/base/serial_worker.h"
#include "quillcore/net/tcp_impl.h"
#include "quillcore/net/tcp_io.h"

namespace quill::net {

struct TcpListener::Impl : std::enable_shared_from_this<TcpListener::Impl> {
    Impl() : strand(asio::make_strand(ioContext())), acceptor(ioContext()) {}
    ~Impl() {
        if (stopEvent >= 0) ::close(stopEvent);
    }

    void doStart();
    void failAfterStart(const std::string& text);
    void acceptLoop(int listening);
    void cancel(bool dropHandlers);
    template <class Handler, class Arg>
    void call(Handler Impl::*handler, Arg&& arg);
    template <class Handler, class Arg>
    void run(Handler handler, Arg&& arg);
    void report(const StateUpdate& update) { call(&Impl::stateHandler, update); }

    // On the strand.
    Strand strand;
    asio::ip::tcp::acceptor acceptor;  // until the accepting thread takes its descriptor
    bool started = false;
    asio::ip::tcp protocol = asio::ip::tcp::v6();  // of the bound acceptor, and so of accepted sockets

    // Accepting runs on a thread of the listener's own, so that a flood of connections never
    // waits behind other I/O and the system's backlog drains as fast as connections come. (A
    // second thread on the same socket only contends for it.) The teardown worker joins it:
    // the listener may go on the I/O thread or on that very thread.
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::atomic<bool> stopped{false};  // failed or cancelled: accepts nothing more
    bool cancelled = false;            // no handler call starts any more
    bool accepting = false;            // the accepting thread holds the listening socket
    int stopEvent = -1;                // eventfd: readable once the accepting thread is to end
    std::optional<std::uint16_t> port;
    StateHandler stateHandler;
    ConnectionHandler connectionHandler;
    // Handler calls in progress by thread (a thread twice when a handler cancels and reports
    // from inside), and the threads that wait in cancel().
    std::vector<std::thread::id> calls;
    std::vector<std::thread::id> cancelling;
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

bool contains(const std::vector<std::thread::id>& ids, std::thread::id id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

// Runs a handler unless the listener was cancelled. The copy is dropped before the call counts
// as ended: nothing the owner's handler holds is let go after cancel() returned.
template <class Handler, class Arg>
void TcpListener::Impl::call(Handler Impl::*which, Arg&& arg) {
    Handler handler;
    {
        std::lock_guard lock(mutex);
        if (cancelled || !(this->*which)) return;
        handler = this->*which;
        calls.push_back(std::this_thread::get_id());
    }
    run(std::move(handler), std::forward<Arg>(arg));
}

template <class Handler, class Arg>
void TcpListener::Impl::run(Handler handler, Arg&& arg) {
    struct Leave {
        Impl& impl;
        Handler& handler;
        ~Leave() {
            handler = nullptr;
            std::lock_guard lock(impl.mutex);
            impl.calls.erase(std::find(impl.calls.begin(), impl.calls.end(), std::this_thread::get_id()));
            impl.changed.notify_all();
        }
    } leave{*this, handler};
    handler(std::forward<Arg>(arg));
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
    const int event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event < 0) return failAfterStart(std::strerror(errno));
    // The accepting thread closes the socket as it ends, so that it never accepts on a number
    // the system has given to another socket meanwhile.
    const int listening = acceptor.release(ec);
    if (ec) {
        ::close(event);
        return failAfterStart(ec.message());
    }
    {
        std::lock_guard lock(mutex);
        if (stopped) {  // cancelled meanwhile, and reported
            ::close(event);
            ::close(listening);
            return;
        }
        stopEvent = event;
        accepting = true;
        port = endpoint.port();
    }
    try {
        SerialWorker::teardown().startThread([self = shared_from_this(), listening] {
            pthread_setname_np(pthread_self(), "net.accept");
            self->acceptLoop(listening);
        });
    } catch (const std::exception& e) {
        ::close(listening);
        {
            std::lock_guard lock(mutex);
            accepting = false;
        }
        changed.notify_all();
        return failAfterStart(e.what());  // never "ready" without a thread that accepts
    }
    report({State::ready, endpoint.port(), {}});
}

void TcpListener::Impl::failAfterStart(const std::string& text) {
    asio::error_code ignored;
    acceptor.close(ignored);
    {
        std::lock_guard lock(mutex);
        stopped = true;
        port.reset();
    }
    report({State::failed, std::nullopt, text});
}

// accept4 makes each new socket close-on-exec from the start (Asio's own accept leaves the
// flag off).
void TcpListener::Impl::acceptLoop(int listening) {
    pollfd wanted[2] = {{listening, POLLIN, 0}, {stopEvent, POLLIN, 0}};
    while (!stopped) {
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
                bool failed;
                {
                    std::lock_guard lock(mutex);
                    failed = !stopped.exchange(true);
                    port.reset();
                }
                if (failed)
                    asio::post(strand, [self = shared_from_this(), text = ec.message()] {
                        self->report({State::failed, std::nullopt, text});
                    });
                break;
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
        // A handler or an allocation that throws costs that connection, not the process (the I/O
        // thread's loop did the same for it before). Asio takes the socket only when the
        // connection starts: one its owner refuses first, or one accepted as the listener is
        // cancelled, costs nothing more here.
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
            call(&Impl::connectionHandler, std::make_shared<TcpConnection>(std::move(impl)));
        } catch (const std::exception& e) {
            coreDiagnostic(std::string("a new connection's handler threw: ") + e.what());
        }
    }
    ::close(listening);
    {
        std::lock_guard lock(mutex);
        accepting = false;
    }
    changed.notify_all();
}

// Once this returns no handler call runs but one on this thread, and none starts. A handler
// that cancels or drops its own listener goes on after this returns; two handlers that do so
// at once do not wait for each other (the later one does not wait for the first). Only where
// no handler can be waiting for this thread does it also wait for the listening socket to close.
void TcpListener::Impl::cancel(bool dropHandlers) {
    const auto self = std::this_thread::get_id();
    StateHandler droppedState;
    ConnectionHandler droppedConnection;
    StateHandler reportTo;
    {
        std::unique_lock lock(mutex);
        const bool first = !cancelled;
        cancelled = true;
        stopped = true;
        port.reset();
        if (stopEvent >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] auto written = ::write(stopEvent, &one, sizeof one);
        }
        if (dropHandlers) {
            droppedState = std::exchange(stateHandler, nullptr);
            droppedConnection = std::exchange(connectionHandler, nullptr);
        }
        const bool inHandler = contains(calls, self);
        const bool exemptCancelling = inHandler && !first;
        const bool waitForSocket = !inHandler && !onIoThread();
        cancelling.push_back(self);
        changed.wait(lock, [&] {
            for (auto id : calls)
                if (id != self && !(exemptCancelling && contains(cancelling, id))) return false;
            return !(waitForSocket && accepting);
        });
        cancelling.erase(std::find(cancelling.begin(), cancelling.end(), self));
        if (first && stateHandler) {
            reportTo = stateHandler;
            calls.push_back(self);
        }
    }
    if (reportTo) run(std::move(reportTo), StateUpdate{State::cancelled, std::nullopt, {}});
}

TcpListener::TcpListener(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::shared_ptr<TcpListener> TcpListener::create() { return std::make_shared<TcpListener>(std::make_shared<Impl>()); }

TcpListener::~TcpListener() { impl_->cancel(true); }

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
    auto impl = impl_;  // the `cancelled` handler may drop this listener's last handle
    impl->cancel(false);
}

std::optional<std::uint16_t> TcpListener::port() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->port;
}

}  // namespace quill::net
