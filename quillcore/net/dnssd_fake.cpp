#include "quillcore/net/dnssd_fake.h"

#include <avahi-common/alternative.h>
#include <avahi-common/malloc.h>

#include <algorithm>
#include <atomic>
#include <set>

namespace quill::dnssd {

struct FakeNetwork::PublisherState {
    std::mutex delivery;
    std::atomic<bool> closed{false};
    std::atomic<std::uint64_t> generation{0};
    Publisher::StatusHandler handler;
    // Under the network's mutex.
    std::optional<ServiceDescription> wanted;
    std::optional<std::string> nameInUse;
};

struct FakeNetwork::BrowserState {
    std::mutex delivery;
    std::atomic<bool> stopped{false};
    Browser::Handlers handlers;
    std::string type;
    // Under the network's mutex.
    bool failed = false;
    ResultMerger merger;
    std::map<std::pair<std::string, std::string>, int> known;  // (name, domain) -> interface
};

namespace {

class FakePublisher final : public Publisher {
public:
    explicit FakePublisher(std::weak_ptr<FakeNetwork> network)
        : network_(std::move(network)), state_(std::make_shared<FakeNetwork::PublisherState>()) {}

    ~FakePublisher() override {
        state_->closed = true;
        auto network = network_.lock();
        if (!network) return;
        if (!network->onDeliveryThread()) {
            std::lock_guard lock(state_->delivery);  // waits out a running handler
        }
        network->withdraw(state_);
    }

    void setStatusHandler(StatusHandler handler) override {
        std::lock_guard lock(state_->delivery);
        state_->handler = std::move(handler);
    }
    void publish(ServiceDescription service) override {
        if (auto network = network_.lock()) network->publish(state_, std::move(service));
    }
    void withdraw() override {
        if (auto network = network_.lock()) network->withdraw(state_);
    }

private:
    std::weak_ptr<FakeNetwork> network_;
    std::shared_ptr<FakeNetwork::PublisherState> state_;
};

class FakeBrowser final : public Browser {
public:
    explicit FakeBrowser(std::weak_ptr<FakeNetwork> network)
        : network_(std::move(network)), state_(std::make_shared<FakeNetwork::BrowserState>()) {}
    ~FakeBrowser() override { stop(); }

    void start(std::string type, Handlers handlers) override {
        if (started_.exchange(true)) return;
        {
            std::lock_guard lock(state_->delivery);
            state_->handlers = std::move(handlers);
            state_->type = std::move(type);
        }
        if (auto network = network_.lock()) network->startBrowser(state_);
    }

    void stop() override {
        if (state_->stopped.exchange(true)) return;
        auto network = network_.lock();
        if (!network) return;
        if (!network->onDeliveryThread()) {
            std::lock_guard lock(state_->delivery);
        }
        network->stopBrowser(state_);
    }

private:
    std::weak_ptr<FakeNetwork> network_;
    std::shared_ptr<FakeNetwork::BrowserState> state_;
    std::atomic<bool> started_{false};
};

void deliverStatus(const std::shared_ptr<FakeNetwork::PublisherState>& publisher, std::uint64_t generation,
                   const PublicationStatus& status) {
    if (publisher->closed) return;
    std::lock_guard lock(publisher->delivery);
    if (!publisher->closed && publisher->generation == generation && publisher->handler) publisher->handler(status);
}

template <class F>
void deliverToBrowser(const std::shared_ptr<FakeNetwork::BrowserState>& browser, F call) {
    if (browser->stopped) return;
    std::lock_guard lock(browser->delivery);
    if (!browser->stopped) call(browser->handlers);
}

}  // namespace

std::shared_ptr<FakeNetwork> FakeNetwork::make() { return std::shared_ptr<FakeNetwork>(new FakeNetwork); }

FakeNetwork::FakeNetwork() : thread_([this](std::stop_token stop) { run(stop); }) {}

FakeNetwork::~FakeNetwork() {
    thread_.request_stop();
    cv_.notify_all();
}

PublisherFactory FakeNetwork::publisherFactory() {
    return [weak = weak_from_this()]() -> std::unique_ptr<Publisher> { return std::make_unique<FakePublisher>(weak); };
}

BrowserFactory FakeNetwork::browserFactory() {
    return [weak = weak_from_this()]() -> std::unique_ptr<Browser> { return std::make_unique<FakeBrowser>(weak); };
}

void FakeNetwork::queue(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
    }
    cv_.notify_all();
}

void FakeNetwork::run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (true) {
        cv_.wait(lock, stop, [&] { return !queue_.empty(); });
        if (stop.stop_requested()) return;
        auto work = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        work();
        lock.lock();
        busy_ = false;
        cv_.notify_all();
    }
}

void FakeNetwork::settle() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return queue_.empty() && !busy_; });
}

std::vector<ServiceDescription> FakeNetwork::published() const {
    std::lock_guard lock(mutex_);
    std::vector<ServiceDescription> result;
    for (const auto& weak : publishers_) {
        auto publisher = weak.lock();
        if (!publisher || !publisher->nameInUse) continue;
        auto service = *publisher->wanted;
        service.name = *publisher->nameInUse;
        result.push_back(std::move(service));
    }
    return result;
}

int FakeNetwork::liveBrowsers() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(browsers_.begin(), browsers_.end(), [](const auto& weak) {
        auto browser = weak.lock();
        return browser && !browser->stopped;
    }));
}

void FakeNetwork::placeLocked(PublisherState& publisher) {
    const auto& wanted = *publisher.wanted;
    auto taken = [&](const std::string& name) {
        if (announced_.count({name, wanted.type})) return true;
        for (const auto& weak : publishers_) {
            auto other = weak.lock();
            if (other && other.get() != &publisher && other->nameInUse == name && other->wanted->type == wanted.type) {
                return true;
            }
        }
        return false;
    };
    std::string name = wanted.name;
    while (taken(name)) {
        char* next = avahi_alternative_service_name(name.c_str());  // none for an invalid name
        name = next ? std::string(next) : name + " #2";
        avahi_free(next);
    }
    publisher.nameInUse = name;
}

void FakeNetwork::publish(const std::shared_ptr<PublisherState>& publisher, ServiceDescription service) {
    std::lock_guard lock(mutex_);
    const auto generation = ++publisher->generation;
    service.name = instanceName(service.name);
    publisher->wanted = std::move(service);
    publisher->nameInUse.reset();
    if (std::none_of(publishers_.begin(), publishers_.end(),
                     [&](const auto& weak) { return weak.lock() == publisher; })) {
        publishers_.push_back(publisher);
    }
    announceLocked(publisher, generation);
    refreshBrowsersLocked();
    cv_.notify_all();
}

void FakeNetwork::announceLocked(const std::shared_ptr<PublisherState>& publisher, std::uint64_t generation) {
    if (daemonRunning_) {
        placeLocked(*publisher);
        queue_.push_back([publisher, generation, name = *publisher->nameInUse] {
            deliverStatus(publisher, generation, {PublicationStatus::Kind::registering, {}});
            deliverStatus(publisher, generation, {PublicationStatus::Kind::established, name});
        });
    } else {
        publisher->nameInUse.reset();
        queue_.push_back([publisher, generation] {
            deliverStatus(publisher, generation, {PublicationStatus::Kind::problem, daemonNotRunningText()});
        });
    }
}

void FakeNetwork::announceDaemonLocked(const std::shared_ptr<BrowserState>& browser) {
    BrowserStatus status{daemonRunning_ ? BrowserStatus::Kind::running : BrowserStatus::Kind::waiting,
                         daemonRunning_ ? std::string() : daemonNotRunningText()};
    queue_.push_back([browser, status] {
        deliverToBrowser(browser, [&](const Browser::Handlers& h) {
            if (h.onStatus) h.onStatus(status);
        });
    });
}

void FakeNetwork::withdraw(const std::shared_ptr<PublisherState>& publisher) {
    std::lock_guard lock(mutex_);
    ++publisher->generation;
    publisher->wanted.reset();
    publisher->nameInUse.reset();
    publishers_.erase(std::remove_if(publishers_.begin(), publishers_.end(),
                                     [&](const auto& weak) {
                                         auto p = weak.lock();
                                         return !p || p == publisher;
                                     }),
                      publishers_.end());
    refreshBrowsersLocked();
    cv_.notify_all();
}

std::vector<ResolvedService> FakeNetwork::visibleLocked() const {
    std::vector<ResolvedService> result;
    if (!daemonRunning_) return result;
    for (const auto& weak : publishers_) {
        auto publisher = weak.lock();
        if (!publisher || !publisher->nameInUse) continue;
        ResolvedService service;
        service.name = *publisher->nameInUse;
        service.type = publisher->wanted->type;
        service.domain = "local";
        service.hostName = "fake.local";
        service.address = "127.0.0.1";
        service.interfaceIndex = 1;
        service.port = publisher->wanted->port;
        service.txt = publisher->wanted->txt;
        result.push_back(std::move(service));
    }
    for (const auto& [key, service] : announced_) result.push_back(service);
    return result;
}

void FakeNetwork::refreshBrowsersLocked() {
    if (!daemonRunning_) return;
    const auto visible = visibleLocked();
    for (const auto& weak : browsers_) {
        auto browser = weak.lock();
        if (!browser || browser->stopped || browser->failed) continue;
        std::vector<BrowseEvent> events;
        std::map<std::pair<std::string, std::string>, int> now;
        for (const auto& service : visible) {
            if (service.type != browser->type) continue;
            now[{service.name, service.domain}] = service.interfaceIndex;
            if (auto event = browser->merger.resolved(service.interfaceIndex, 0, service)) events.push_back(*event);
        }
        for (const auto& [key, interfaceIndex] : browser->known) {
            if (now.count(key)) continue;
            if (auto event = browser->merger.removed(interfaceIndex, 0, key.first, browser->type, key.second)) {
                events.push_back(*event);
            }
        }
        browser->known = std::move(now);
        for (auto& event : events) {
            queue_.push_back([browser, event] {
                deliverToBrowser(browser, [&](const Browser::Handlers& h) {
                    if (h.onEvent) h.onEvent(event);
                });
            });
        }
    }
}

void FakeNetwork::startBrowser(const std::shared_ptr<BrowserState>& browser) {
    std::lock_guard lock(mutex_);
    browsers_.push_back(browser);
    announceDaemonLocked(browser);
    refreshBrowsersLocked();
    cv_.notify_all();
}

void FakeNetwork::stopBrowser(const std::shared_ptr<BrowserState>& browser) {
    std::lock_guard lock(mutex_);
    browsers_.erase(std::remove_if(browsers_.begin(), browsers_.end(),
                                   [&](const auto& weak) {
                                       auto b = weak.lock();
                                       return !b || b == browser;
                                   }),
                    browsers_.end());
}

void FakeNetwork::setDaemonRunning(bool running) {
    std::lock_guard lock(mutex_);
    if (daemonRunning_ == running) return;
    daemonRunning_ = running;
    for (const auto& weak : publishers_) {
        auto publisher = weak.lock();
        if (!publisher || !publisher->wanted) continue;
        announceLocked(publisher, publisher->generation.load());
    }
    for (const auto& weak : browsers_) {
        auto browser = weak.lock();
        if (!browser || browser->failed) continue;
        if (!running) {
            browser->merger.forgetResolutions();
            browser->known.clear();
        }
        announceDaemonLocked(browser);
    }
    refreshBrowsersLocked();
    cv_.notify_all();
}

void FakeNetwork::announce(ResolvedService service) {
    std::lock_guard lock(mutex_);
    announced_[{service.name, service.type}] = service;
    refreshServiceLocked(service, true);
    cv_.notify_all();
}

void FakeNetwork::removeAnnounced(const std::string& name, const std::string& type) {
    std::lock_guard lock(mutex_);
    auto it = announced_.find({name, type});
    if (it == announced_.end()) return;
    const auto service = it->second;
    announced_.erase(it);
    refreshServiceLocked(service, false);
    cv_.notify_all();
}

void FakeNetwork::refreshServiceLocked(const ResolvedService& service, bool present) {
    if (!daemonRunning_) return;
    for (const auto& weak : browsers_) {
        auto browser = weak.lock();
        if (!browser || browser->stopped || browser->failed || browser->type != service.type) continue;
        std::optional<BrowseEvent> event;
        if (present) {
            browser->known[{service.name, service.domain}] = service.interfaceIndex;
            event = browser->merger.resolved(service.interfaceIndex, 0, service);
        } else {
            browser->known.erase({service.name, service.domain});
            event = browser->merger.removed(service.interfaceIndex, 0, service.name, service.type, service.domain);
        }
        if (!event) continue;
        queue_.push_back([browser, event = *event] {
            deliverToBrowser(browser, [&](const Browser::Handlers& h) {
                if (h.onEvent) h.onEvent(event);
            });
        });
    }
}

void FakeNetwork::failBrowsers(const std::string& text) {
    std::lock_guard lock(mutex_);
    for (const auto& weak : browsers_) {
        auto browser = weak.lock();
        if (!browser || browser->failed) continue;
        browser->failed = true;
        queue_.push_back([browser, text] {
            deliverToBrowser(browser, [&](const Browser::Handlers& h) {
                if (h.onStatus) h.onStatus({BrowserStatus::Kind::failed, text});
            });
        });
    }
    cv_.notify_all();
}

}  // namespace quill::dnssd
