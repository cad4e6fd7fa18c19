#pragma once

// DNS-SD publication and browsing: a thin layer over the Avahi client library (and a fake for
// tests, in dnssd_fake.h). It does for its users what Avahi leaves to its clients: another
// name on a collision, publishing again after a daemon restart, one report per service
// instead of one per interface and protocol, and the DNS label limits.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace quill::dnssd {

// DNS limits: one label (the instance name) and one TXT string.
inline constexpr std::size_t kMaxInstanceNameBytes = 63;
inline constexpr std::size_t kMaxTxtStringBytes = 255;

// The text of Avahi's AVAHI_ERR_NO_DAEMON, also used when the system bus itself is missing.
std::string daemonNotRunningText();

// At most `maxBytes` of `text`, never ending inside a UTF-8 sequence.
std::string truncateUtf8(std::string_view text, std::size_t maxBytes);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view text);

// The instance name under which `name` is published: every ill-formed UTF-8 sequence replaced
// by U+FFFD (names travel to the daemon over D-Bus, whose library aborts the process on a
// string that is not UTF-8), then cut to one DNS label.
std::string instanceName(std::string_view name);

// The strings of a TXT record, in order. Each is "key=value", or a bare "key".
class TxtRecord {
public:
    TxtRecord() = default;
    explicit TxtRecord(std::vector<std::string> strings) : strings_(std::move(strings)) {}

    // Appends "key=value", cutting the value so the string fits one TXT string.
    void add(std::string_view key, std::string_view value);

    // The value of the first entry with this key (keys compare case-insensitively), when
    // that entry has a value ("key=...") that is valid UTF-8. None otherwise.
    std::optional<std::string> text(std::string_view key) const;

    const std::vector<std::string>& strings() const { return strings_; }
    bool operator==(const TxtRecord&) const = default;

private:
    std::vector<std::string> strings_;
};

// A service to publish. The name is published as instanceName(name).
struct ServiceDescription {
    std::string name;
    std::string type;  // e.g. "_quillmate._tcp"
    std::uint16_t port = 0;
    TxtRecord txt;
    bool operator==(const ServiceDescription&) const = default;
};

struct PublicationStatus {
    enum class Kind {
        registering,  // handed to the daemon, not confirmed yet
        established,  // published; `text` is the instance name in use
        problem,      // not published; `text` says why (Avahi's text)
    };
    Kind kind;
    std::string text;
    bool operator==(const PublicationStatus&) const = default;
};

// Publishes one service at a time. Calls never block on the daemon: the work runs on the
// layer's own thread, which also calls the status handler. The handler must not block; it
// may call publish() or withdraw().
class Publisher {
public:
    using StatusHandler = std::function<void(const PublicationStatus&)>;
    virtual ~Publisher() = default;
    // Set before the first publish().
    virtual void setStatusHandler(StatusHandler handler) = 0;
    // Publishes `service`, replacing what this publisher published before. The service stays
    // published (again after a daemon restart, under another name after a collision) until
    // withdraw() or destruction.
    virtual void publish(ServiceDescription service) = 0;
    // Removes the service. No status is reported until the next publish().
    virtual void withdraw() = 0;
};

// One resolved service. For a link-local IPv6 address, `interfaceIndex` is its scope.
struct ResolvedService {
    std::string name;
    std::string type;
    std::string domain;
    std::string hostName;
    std::string address;  // numeric, without scope
    bool ipv6 = false;
    int interfaceIndex = 0;
    std::uint16_t port = 0;
    TxtRecord txt;
    bool operator==(const ResolvedService&) const = default;
};

struct BrowseEvent {
    enum class Kind { added, changed, removed };
    Kind kind;
    ResolvedService service;  // for `removed`, the last one reported
};

struct BrowserStatus {
    enum class Kind {
        running,
        waiting,  // no daemon (yet); browsing starts when it comes
        failed,   // browsing ended
    };
    Kind kind;
    std::string text;
    bool operator==(const BrowserStatus&) const = default;
};

// Browses for one service type and resolves what it finds. Each service is reported once
// (added, then changed whenever the resolved value changes, removed when it is gone on every
// interface), not once per interface and protocol. Handlers run on the layer's own thread and
// must not block; they may call stop().
class Browser {
public:
    struct Handlers {
        std::function<void(const BrowseEvent&)> onEvent;
        std::function<void(const BrowserStatus&)> onStatus;
    };
    virtual ~Browser() = default;
    // Starts browsing; at most once.
    virtual void start(std::string type, Handlers handlers) = 0;
    // Ends browsing; no handler is called afterwards (once stop() returned, or at once when
    // called from a handler).
    virtual void stop() = 0;
};

using PublisherFactory = std::function<std::unique_ptr<Publisher>()>;
using BrowserFactory = std::function<std::unique_ptr<Browser>()>;

// The Avahi implementations. They never fail to construct: a missing daemon or system bus is
// reported through the status handler, and they go on when the daemon appears.
std::unique_ptr<Publisher> makeAvahiPublisher();
std::unique_ptr<Browser> makeAvahiBrowser();

// Folds the per-interface, per-protocol resolutions of services into one value per service.
// Of a service's resolutions it picks an IPv4 address before a routable IPv6 one before a
// link-local one, then the lowest interface index; what it returns is the event to report.
class ResultMerger {
public:
    std::optional<BrowseEvent> resolved(int interfaceIndex, int protocol, ResolvedService service);
    std::optional<BrowseEvent> removed(int interfaceIndex, int protocol, const std::string& name,
                                       const std::string& type, const std::string& domain);
    // The daemon went away: forget every resolution, but remember what was reported, so a
    // service that comes back unchanged is not reported again.
    void forgetResolutions();

private:
    using ServiceKey = std::tuple<std::string, std::string, std::string>;  // name, type, domain
    struct Entry {
        std::map<std::pair<int, int>, ResolvedService> resolutions;
        std::optional<ResolvedService> reported;
    };
    std::optional<BrowseEvent> settle(const ServiceKey& key);
    std::map<ServiceKey, Entry> services_;
};

}  // namespace quill::dnssd
