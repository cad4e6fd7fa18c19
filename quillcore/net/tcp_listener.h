#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "quillcore/net/tcp_connection.h"

namespace quill::net {

// A TCP listener on a port the system picks, on all interfaces (IPv6 dual-stack where the
// system has it, IPv4 otherwise). It reports on the process-wide I/O thread with a strand of
// its own, and accepts on a thread of its own.
//
// Usage: create(), set the two handlers, start(). The state handler then reports `ready`
// with the bound port, or `failed` with a readable text. A listener that fails after it was
// ready (its socket breaks) reports `failed` again and accepts nothing more; the owner
// makes a new one. cancel() reports `cancelled` once. Each accepted connection goes to the
// connection handler unstarted; the handler's owner starts and keeps it.
//
// The state handler runs on the I/O thread inside the listener's strand (`cancelled` on the
// thread that cancels, before cancel() returns); the connection handler on the listener's own
// accepting thread. Neither may block for long. Once cancel() or the destructor returned,
// neither runs nor will run: a call in progress on another thread is waited for, so call them
// without holding anything a handler waits for. Both may be called on any thread, the I/O thread and
// the handlers included; a handler that cancels or drops its own listener goes on to its end.
// The accepting thread is never joined there: the process-wide teardown worker joins it.
class TcpListener {
public:
    enum class State { ready, failed, cancelled };
    struct StateUpdate {
        State state;
        std::optional<std::uint16_t> port;  // with `ready`
        std::string error;                  // with `failed`
    };
    using StateHandler = std::function<void(const StateUpdate&)>;
    using ConnectionHandler = std::function<void(TcpConnectionPtr)>;

    static std::shared_ptr<TcpListener> create();

    ~TcpListener();  // cancels, without a report
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Set before start().
    void setStateHandler(StateHandler handler);
    void setConnectionHandler(ConnectionHandler handler);

    // Binds and listens (asynchronously). Later calls do nothing.
    void start();

    // Stops listening; reports `cancelled` unless it was already reported. Idempotent. Off the
    // I/O thread and outside the handlers, the listening socket is closed once it returns.
    void cancel();

    // The bound port once ready; none before, and none again after a failure or cancel().
    std::optional<std::uint16_t> port() const;

    struct Impl;
    explicit TcpListener(std::shared_ptr<Impl> impl);

private:
    std::shared_ptr<Impl> impl_;
};

using TcpListenerPtr = std::shared_ptr<TcpListener>;

}  // namespace quill::net
