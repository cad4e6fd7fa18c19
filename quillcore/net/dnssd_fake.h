#pragma once

// An in-process stand-in for the DNS-SD daemon, for tests: what its publishers publish, its
// browsers find, at 127.0.0.1 on interface 1. Like the real layer it calls handlers on a
// thread of its own, reports problems while its "daemon" is down and publishes again when it
// returns.

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
    // A service of another device appears or changes (by name and type), or goes.
    void announce(ResolvedService service);
    void removeAnnounced(const std::string& name, const std::string& type);
    // Every started browser fails with `text`.
    void failBrowsers(const std::string& text);

    // Returns once every handler call queued so far has run.
    void settle();

    // What the publishers have published now.
    std::vector<ServiceDescription> published() const;
    int liveBrowsers() const;

    struct Publication;
    struct Browsing;

private:
    friend class FakePublisher;
    friend class FakeBrowser;
    FakeNetwork();
    void run(std::stop_token stop);
    // Under mutex_.
    void queueLocked(std::function<void()> work);
    void statusLocked(const std::shared_ptr<Publication>& publication);
    void browserStatusLocked(const std::shared_ptr<Browsing>& browsing, BrowserStatus status);
    void refreshLocked();

    mutable std::mutex mutex_;
    std::condition_variable_any cv_;
    std::deque<std::function<void()>> queue_;
    bool busy_ = false;
    bool daemonRunning_ = true;
    mutable std::vector<std::weak_ptr<Publication>> publications_;
    mutable std::vector<std::weak_ptr<Browsing>> browsings_;
    std::map<std::pair<std::string, std::string>, ResolvedService> announced_;
    std::jthread thread_;
};

}  // namespace quill::dnssd
