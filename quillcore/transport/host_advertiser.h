#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "quillcore/base/bytes.h"
#include "quillcore/base/error.h"
#include "quillcore/net/dnssd.h"
#include "quillcore/net/tcp_connection.h"
#include "quillcore/net/tcp_listener.h"

namespace quill {

// Failures of discovery. The caller turns them into a message ("Could not start LAN
// discovery: " + description()).
class DiscoveryError : public Error {
public:
    enum class Kind { network, listenerStopped, invalidTXTRecord };

    static DiscoveryError network(std::string text) { return {Kind::network, std::move(text)}; }
    static DiscoveryError listenerStopped() { return {Kind::listenerStopped, {}}; }
    static DiscoveryError invalidTXTRecord() { return {Kind::invalidTXTRecord, {}}; }

    std::string description() const override;
    bool operator==(const DiscoveryError&) const = default;

    Kind kind;
    std::string text;  // network: what went wrong

private:
    DiscoveryError(Kind kind, std::string text) : kind(kind), text(std::move(text)) {}
};

// Makes a host reachable on the local network: a TCP listener on a port the system picks,
// published as a DNS-SD service "_quillmate._tcp" under the host's name with the TXT entries
// "fp" (the fingerprint, Base64URL), "v" ("0") and "name". Every accepted connection goes to
// the owner, unstarted.
//
// Listening never depends on DNS-SD: start() returns the port once the listener is ready.
// A publication problem (no daemon: "Daemon not running") is printed as a diagnostic and
// kept as publicationProblem() until the service is published; the publication resumes by
// itself when the daemon comes (back).
//
// One start-stop cycle per advertiser. Blocking and thread-safe; never call start() on the
// network I/O thread. The destructor stops it.
class HostAdvertiser {
public:
    static constexpr const char* serviceType = "_quillmate._tcp";

    // Runs on the listener's accepting thread; must not block (hand the connection on at once).
    using ConnectionHandler = std::function<void(net::TcpConnectionPtr)>;

    // What the advertiser needs of a listener: the TCP listener, or a stand-in in tests. Once
    // cancel() returned, no handler runs (but one that called it) and none starts.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void setStateHandler(net::TcpListener::StateHandler handler) = 0;
        virtual void setConnectionHandler(net::TcpListener::ConnectionHandler handler) = 0;
        virtual void start() = 0;
        virtual void cancel() = 0;
    };
    using ListenerFactory = std::function<std::shared_ptr<Listener>()>;

    struct Dependencies {
        ListenerFactory listener;             // default: the TCP listener
        dnssd::PublisherFactory publisher;  // default: Avahi
    };

    HostAdvertiser(std::string name, Bytes fingerprint, ConnectionHandler onConnection);
    HostAdvertiser(std::string name, Bytes fingerprint, ConnectionHandler onConnection, Dependencies dependencies);
    ~HostAdvertiser();
    HostAdvertiser(const HostAdvertiser&) = delete;
    HostAdvertiser& operator=(const HostAdvertiser&) = delete;

    // The listening port, once the listener is ready; at once when it is known. Throws
    // DiscoveryError: network(text) when the listener fails, listenerStopped when it stops
    // (stop(), or ready without a port) and at once after stop(). Callers that wait together
    // get the same result. After a listener failed, a later start() listens anew.
    std::uint16_t start();

    // Stops listening and withdraws the service; a waiting start() fails with listenerStopped.
    void stop();

    // Why the service is not published, if it is not (also a listener that failed after it was
    // ready, until the next start()); none once it is.
    std::optional<DiscoveryError> publicationProblem() const;

    // How many start() calls wait for the listener now (tests use it to know a call waits).
    std::size_t pendingStarts() const;

    // 127.0.0.1 at `port`.
    static net::TcpEndpoint loopbackEndpoint(std::uint16_t port);

    // The TXT record of a host: "fp", "v" and "name".
    static dnssd::TxtRecord txtRecord(std::string_view name, ByteView fingerprint);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace quill
