#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "quillcore/base/async_stream.h"
#include "quillcore/base/bytes.h"
#include "quillcore/net/dnssd.h"
#include "quillcore/net/tcp_connection.h"

namespace quill {

// A host found on the local network.
struct DiscoveredHost {
    std::string name;
    Bytes fingerprint;
    net::TcpEndpoint endpoint;  // where its advertiser listens

    static DiscoveredHost loopback(std::string name, Bytes fingerprint, std::uint16_t port);
    bool operator==(const DiscoveredHost&) const = default;
};

// The controller side of discovery: browses for "_quillmate._tcp", turns every usable record
// into a DiscoveredHost, announces it on `hosts` (again whenever its record changes),
// remembers the last record per fingerprint (up to kMaxKnownHosts, then the one recorded
// longest ago is forgotten) and lets callers wait for one fingerprint.
//
// Blocking and thread-safe. The destructor stops it.
class HostBrowser {
public:
    static constexpr std::size_t kMaxKnownHosts = 1024;

    HostBrowser();
    explicit HostBrowser(dnssd::BrowserFactory browserFactory);
    ~HostBrowser();
    HostBrowser(const HostBrowser&) = delete;
    HostBrowser& operator=(const HostBrowser&) = delete;

    // Starts browsing; later calls, and calls after stop(), do nothing.
    void start();

    // The host with this fingerprint: at once when it is known (even if it has gone since),
    // else when it is found. None when `timeout` seconds pass first (<= 0: at once), or on
    // stop() or a browser failure. Does not start browsing.
    std::optional<DiscoveredHost> waitForHost(ByteView fingerprint, double timeout);

    // Ends browsing: every waiter gets none and `hosts` finishes. Known hosts stay known.
    void stop();

    // How many waitForHost() calls wait now (tests use it to know a call waits).
    std::size_t pendingWaits() const;

    // The last "waiting: ..." or "failed: ..." text; never cleared.
    std::optional<std::string> lastProblem() const;

    // Every host found, in the order found; finishes on stop() or a failure. Unread, it holds
    // only the newest record of each host, and at most kMaxKnownHosts (the oldest give way).
    const AsyncStreamPtr<DiscoveredHost> hosts;

    // The host a record describes, or none when the record is not usable: it needs a text
    // "fp" that decodes as Base64URL and a text "v" equal to "0"; the name is the text
    // "name", else "Quillmate Host".
    static std::optional<DiscoveredHost> discoveredHost(const dnssd::ResolvedService& service);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
    std::mutex control_;
    std::unique_ptr<dnssd::Browser> browser_;
    bool started_ = false;
    bool stopped_ = false;
};

}  // namespace quill
