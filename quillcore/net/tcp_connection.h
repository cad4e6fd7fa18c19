#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "quillcore/base/bytes.h"

namespace quill::net {

// A host (a name or an address) and a port to connect to.
struct TcpEndpoint {
    std::string host;
    std::uint16_t port = 0;
    bool operator==(const TcpEndpoint&) const = default;
};

// "192.0.2.1:5000" or "[2001:db8::1]:5000".
std::string endpointText(const TcpEndpoint& endpoint);

// One TCP connection, driven asynchronously on the process-wide I/O thread with a strand of
// its own, so its completions run one at a time and in order.
//
// A connection is created unstarted (by connect()/connectLocal(), or by TcpListener for an
// accepted socket); its owner calls start() once. Reads and writes may be requested before
// the connection is established: they wait for it. A connection that cannot be established
// reports the failure through its pending and later reads and writes.
//
// Handlers run on the I/O thread inside the connection's strand. They must not block; they
// may call receive()/send()/cancel() again.
//
// Dropping the last handle cancels the connection.
class TcpConnection {
public:
    // `data` holds what was read: exactly the requested count, or fewer when the stream
    // ended (`endOfStream`) or failed (`error`, a readable text).
    using ReceiveHandler =
        std::function<void(Bytes data, bool endOfStream, std::optional<std::string> error)>;
    // Called once the whole buffer was handed to the socket, or with the failure.
    using SendHandler = std::function<void(std::optional<std::string> error)>;

    // A client connection to `host` (a name or an address) at `port`; not started.
    static std::shared_ptr<TcpConnection> connect(std::string host, std::uint16_t port);
    static std::shared_ptr<TcpConnection> connect(const TcpEndpoint& endpoint);
    // A client connection to 127.0.0.1 at `port`; not started.
    static std::shared_ptr<TcpConnection> connectLocal(std::uint16_t port);

    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Starts connecting (client) or serving (accepted). Later calls do nothing.
    void start();

    // Reads exactly `count` bytes (fewer only at the end of the stream or on an error). At
    // most one receive may be outstanding at a time.
    void receive(std::size_t count, ReceiveHandler handler);

    // Writes `bytes` as one complete write: writes of concurrent callers never interleave and
    // leave in the order they were requested.
    void send(Bytes bytes, SendHandler handler);

    // Closes the socket. Outstanding and later operations complete with an error. Idempotent,
    // callable from any thread.
    void cancel();
    // As cancel(), with a reset instead of an orderly close: nothing of the connection stays
    // behind on this side (no closing states, no time-wait), so refusing a flood costs little.
    // A connection never started is closed at once, on the calling thread.
    void reset();

    // The socket of an accepted connection not started yet, for an owner that reads its first
    // bytes itself, off the I/O thread, before it starts it (or resets it); -1 for any other.
    // Such reads must end before start() or reset(), and the socket is never closed but
    // through the connection.
    int unstartedDescriptor() const;

    // The peer: its address for an accepted connection (IPv4 without the mapped-IPv6 form),
    // the requested host and port for an outgoing one; none when the system could not say.
    std::optional<TcpEndpoint> remoteEndpoint() const;

    struct Impl;
    explicit TcpConnection(std::shared_ptr<Impl> impl);

private:
    std::shared_ptr<Impl> impl_;
};

using TcpConnectionPtr = std::shared_ptr<TcpConnection>;

}  // namespace quill::net
