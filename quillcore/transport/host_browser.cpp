#include "quillcore/transport/host_browser.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <condition_variable>
#include <map>

#include "quillcore/base/base64.h"
#include "quillcore/base/clock.h"
#include "quillcore/transport/host_advertiser.h"

namespace quill {

DiscoveredHost DiscoveredHost::loopback(std::string name, Bytes fingerprint, std::uint16_t port) {
    return {std::move(name), std::move(fingerprint), HostAdvertiser::loopbackEndpoint(port)};
}

namespace {

bool isLinkLocalIPv6(const std::string& address) {
    in6_addr parsed{};
    return inet_pton(AF_INET6, address.c_str(), &parsed) == 1 && parsed.s6_addr[0] == 0xFE &&
           (parsed.s6_addr[1] & 0xC0) == 0x80;
}

// A link-local address means nothing without the interface it was seen on.
std::string connectableHost(const dnssd::ResolvedService& service) {
    if (!service.ipv6 || !isLinkLocalIPv6(service.address)) return service.address;
    char name[IF_NAMESIZE] = {};
    if (service.interfaceIndex > 0 && if_indextoname(static_cast<unsigned>(service.interfaceIndex), name)) {
        return service.address + "%" + name;
    }
    return service.address + "%" + std::to_string(service.interfaceIndex);
}

}  // namespace

std::optional<DiscoveredHost> HostBrowser::discoveredHost(const dnssd::ResolvedService& service) {
    const auto fp = service.txt.text("fp");
    if (!fp) return std::nullopt;
    auto fingerprint = Base64URL::decode(*fp);
    if (!fingerprint) return std::nullopt;
    if (service.txt.text("v") != "0") return std::nullopt;
    auto name = service.txt.text("name");
    return DiscoveredHost{name ? std::move(*name) : std::string("Quillmate Host"), std::move(*fingerprint),
                          net::TcpEndpoint{connectableHost(service), service.port}};
}

struct HostBrowser::Impl {
    struct Waiter {
        Bytes fingerprint;
        std::optional<DiscoveredHost> host;
        bool done = false;
    };

    explicit Impl(AsyncStreamPtr<DiscoveredHost> hosts) : hosts(std::move(hosts)) {}

    void handleEvent(const dnssd::BrowseEvent& event);
    void handleStatus(const dnssd::BrowserStatus& status);
    // Under the lock: completes (and removes) the waiters concerned.
    void resumeWaitersForLocked(const DiscoveredHost& host);
    void resumeAllLocked(const std::optional<DiscoveredHost>& outcome);
    void end();

    const AsyncStreamPtr<DiscoveredHost> hosts;
    mutable std::mutex mutex;
    std::condition_variable cv;
    struct Known {
        DiscoveredHost host;
        std::uint64_t seen = 0;  // when it was last recorded
    };
    std::map<Bytes, Known> knownHosts;
    std::uint64_t recordings = 0;
    std::map<std::uint64_t, std::shared_ptr<Waiter>> waiters;
    std::uint64_t nextWaiter = 0;
    std::optional<std::string> lastProblem;
};

void HostBrowser::Impl::handleEvent(const dnssd::BrowseEvent& event) {
    // A host that goes away stays known, and its going is not announced.
    if (event.kind == dnssd::BrowseEvent::Kind::removed) return;
    auto host = discoveredHost(event.service);
    if (!host) return;
    {
        std::lock_guard lock(mutex);
        knownHosts[host->fingerprint] = {*host, ++recordings};
        if (knownHosts.size() > kMaxKnownHosts) {
            // Forget the host recorded longest ago, so records from the LAN cannot grow
            // this without bound.
            auto oldest = knownHosts.begin();
            for (auto it = knownHosts.begin(); it != knownHosts.end(); ++it) {
                if (it->second.seen < oldest->second.seen) oldest = it;
            }
            knownHosts.erase(oldest);
        }
        resumeWaitersForLocked(*host);
    }
    // Events arrive one at a time from the DNS-SD thread, so pushing outside the lock keeps
    // their order. Unread, a host's newer record replaces its older one.
    hosts->pushLatest(*host, kMaxKnownHosts,
                      [&](const DiscoveredHost& unread) { return unread.fingerprint == host->fingerprint; });
}

void HostBrowser::Impl::handleStatus(const dnssd::BrowserStatus& status) {
    switch (status.kind) {
        case dnssd::BrowserStatus::Kind::waiting: {
            std::lock_guard lock(mutex);
            lastProblem = "waiting: " + status.text;
            break;
        }
        case dnssd::BrowserStatus::Kind::failed: {
            {
                std::lock_guard lock(mutex);
                lastProblem = "failed: " + status.text;
                resumeAllLocked(std::nullopt);
            }
            hosts->finish();
            break;
        }
        case dnssd::BrowserStatus::Kind::running:
            break;
    }
}

void HostBrowser::Impl::resumeWaitersForLocked(const DiscoveredHost& host) {
    bool any = false;
    for (auto it = waiters.begin(); it != waiters.end();) {
        if (it->second->fingerprint == host.fingerprint) {
            it->second->host = host;
            it->second->done = true;
            it = waiters.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    if (any) cv.notify_all();
}

void HostBrowser::Impl::resumeAllLocked(const std::optional<DiscoveredHost>& outcome) {
    for (auto& [id, waiter] : waiters) {
        waiter->host = outcome;
        waiter->done = true;
    }
    waiters.clear();
    cv.notify_all();
}

void HostBrowser::Impl::end() {
    {
        std::lock_guard lock(mutex);
        resumeAllLocked(std::nullopt);
    }
    hosts->finish();
}

HostBrowser::HostBrowser() : HostBrowser(dnssd::makeAvahiBrowser) {}

HostBrowser::HostBrowser(dnssd::BrowserFactory browserFactory)
    : hosts(AsyncStream<DiscoveredHost>::make()),
      impl_(std::make_shared<Impl>(hosts)),
      browser_((browserFactory ? browserFactory : dnssd::BrowserFactory(dnssd::makeAvahiBrowser))()) {}

HostBrowser::~HostBrowser() {
    stop();
    std::lock_guard lock(control_);
    // Here, on the owner's thread: it ends its own DNS-SD thread.
    browser_.reset();
}

void HostBrowser::start() {
    std::lock_guard lock(control_);
    if (started_ || stopped_) return;
    started_ = true;
    std::weak_ptr<Impl> weak = impl_;
    browser_->start(HostAdvertiser::serviceType,
                    {[weak](const dnssd::BrowseEvent& event) {
                         if (auto self = weak.lock()) self->handleEvent(event);
                     },
                     [weak](const dnssd::BrowserStatus& status) {
                         if (auto self = weak.lock()) self->handleStatus(status);
                     }});
}

void HostBrowser::stop() {
    {
        std::lock_guard lock(control_);
        if (stopped_) return;
        stopped_ = true;
        // Returns once no handler runs any more, so nothing is announced after this.
        browser_->stop();
    }
    impl_->end();
}

std::optional<DiscoveredHost> HostBrowser::waitForHost(ByteView fingerprint, double timeout) {
    const Bytes wanted(fingerprint.begin(), fingerprint.end());
    const auto deadline = Deadline::after(timeout);
    std::unique_lock lock(impl_->mutex);
    if (auto it = impl_->knownHosts.find(wanted); it != impl_->knownHosts.end()) return it->second.host;
    if (deadline.expired()) return std::nullopt;
    const auto id = ++impl_->nextWaiter;
    auto waiter = std::make_shared<Impl::Waiter>();
    waiter->fingerprint = wanted;
    impl_->waiters[id] = waiter;
    if (auto at = deadline.at()) {
        impl_->cv.wait_until(lock, *at, [&] { return waiter->done; });
    } else {
        impl_->cv.wait(lock, [&] { return waiter->done; });
    }
    if (!waiter->done) {
        impl_->waiters.erase(id);
        return std::nullopt;
    }
    return waiter->host;
}

std::size_t HostBrowser::pendingWaits() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->waiters.size();
}

std::optional<std::string> HostBrowser::lastProblem() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lastProblem;
}

}  // namespace quill
