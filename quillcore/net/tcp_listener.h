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
// The state handler runs on the I/O thread inside the listener's strand; the connection
// handler on the listener's own accepting thread. Neither may block. They are not called any
// more once the last handle of the listener is gone, but may still be running while it goes:
// hold the owner weakly in them.
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

    ~TcpListener();  // cancels
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Set before start().
    void setStateHandler(StateHandler handler);
    void setConnectionHandler(ConnectionHandler handler);

    // Binds and listens (asynchronously). Later calls do nothing.
    void start();

    // Stops listening; reports `cancelled` unless it was already reported. Idempotent.
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
