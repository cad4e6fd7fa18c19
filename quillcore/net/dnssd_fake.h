#pragma once

// An in-process stand-in for the DNS-SD daemon, for tests: what its publishers publish, its
// browsers find, at 127.0.0.1 on interface 1. Like the real layer it calls handlers on a
// thread of its own, renames on a collision, reports problems while its "daemon" is down and
// publishes again when it returns.

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "quillcore/net/dnssd.h"

namespace quill::dnssd {

class FakeNetwork : public std::enable_shared_from_this<FakeNetwork> {
public:
    static std::shared_ptr<FakeNetwork> make();
    ~FakeNetwork();

    PublisherFactory publisherFactory();
    BrowserFactory browserFactory();

    // Down: publishers report "Daemon not running" and their services vanish, browsers wait.
    // Up again: everything is published and found again.
    void setDaemonRunning(bool running);
    // A service of another device appears or changes (by name and type).
    void announce(ResolvedService service);
    void removeAnnounced(const std::string& name, const std::string& type);
    // Every started browser fails with `text`.
    void failBrowsers(const std::string& text);

    // Returns once every handler call queued so far has run.
    void settle();

    // What the publishers have published now, under the names in use.
    std::vector<ServiceDescription> published() const;
    int liveBrowsers() const;

    struct PublisherState;
    struct BrowserState;
    void publish(const std::shared_ptr<PublisherState>& publisher, ServiceDescription service);
    void withdraw(const std::shared_ptr<PublisherState>& publisher);
    void startBrowser(const std::shared_ptr<BrowserState>& browser);
    void stopBrowser(const std::shared_ptr<BrowserState>& browser);
    bool onDeliveryThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    FakeNetwork();
    void queue(std::function<void()> work);
    void run(std::stop_token stop);
    // Under mutex_: the services visible now, and browser updates for them.
    std::vector<ResolvedService> visibleLocked() const;
    void refreshBrowsersLocked();
    void refreshServiceLocked(const ResolvedService& service, bool present);
    void placeLocked(PublisherState& publisher);
    // Queue what a publication or browser hears of the daemon as it is now.
    void announceLocked(const std::shared_ptr<PublisherState>& publisher, std::uint64_t generation);
    void announceDaemonLocked(const std::shared_ptr<BrowserState>& browser);

    mutable std::mutex mutex_;
    std::condition_variable_any cv_;
    std::deque<std::function<void()>> queue_;
    bool busy_ = false;
    bool daemonRunning_ = true;
    std::vector<std::weak_ptr<PublisherState>> publishers_;
    std::vector<std::weak_ptr<BrowserState>> browsers_;
    std::map<std::pair<std::string, std::string>, ResolvedService> announced_;
    std::jthread thread_;
};

}  // namespace quill::dnssd
