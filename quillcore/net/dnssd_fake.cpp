#include "quillcore/net/dnssd_fake.h"

#include <algorithm>
#include <atomic>

namespace quill::dnssd {

// What a handler-owning client shares with the network: deliveries take `delivery`, so a
// client that goes waits out a running handler, and none runs once `closed` is set.
template <class Handler>
struct Client {
    std::mutex delivery;
    std::atomic<bool> closed{false};
    Handler handler;
    template <class F>
    void deliver(F call) {
        if (closed) return;
        std::lock_guard lock(delivery);
        if (!closed) call(handler);
    }
    void close(bool onDeliveryThread) {
        closed = true;
        if (!onDeliveryThread) std::lock_guard lock(delivery);
    }
};

struct FakeNetwork::Publication : Client<Publisher::StatusHandler> {
    std::atomic<std::uint64_t> generation{0};
    std::optional<ServiceDescription> wanted;  // under the network's mutex
};

struct FakeNetwork::Browsing : Client<Browser::Handlers> {
    std::string type;
    // Under the network's mutex.
    bool failed = false;
    ResultMerger merger;
    std::map<std::pair<std::string, std::string>, int> known;  // (name, domain) -> interface
};

class FakePublisher final : public Publisher {
public:
    explicit FakePublisher(std::weak_ptr<FakeNetwork> network) : network_(std::move(network)) {}
    ~FakePublisher() override {
        auto network = network_.lock();
        state_->close(network && std::this_thread::get_id() == network->thread_.get_id());
        withdraw();
    }
    void setStatusHandler(StatusHandler handler) override {
        std::lock_guard lock(state_->delivery);
        state_->handler = std::move(handler);
    }
    void publish(ServiceDescription service) override { change(std::move(service)); }
    void withdraw() override { change(std::nullopt); }

private:
    void change(std::optional<ServiceDescription> service) {
        auto network = network_.lock();
        if (!network) return;
        std::lock_guard lock(network->mutex_);
        ++state_->generation;
        if (service) service->name = instanceName(service->name);
        state_->wanted = std::move(service);
        auto& list = network->publications_;
        if (std::none_of(list.begin(), list.end(), [&](const auto& w) { return w.lock() == state_; }))
            list.push_back(state_);
        if (state_->wanted) network->statusLocked(state_);
        network->refreshLocked();
    }
    std::weak_ptr<FakeNetwork> network_;
    std::shared_ptr<FakeNetwork::Publication> state_ = std::make_shared<FakeNetwork::Publication>();
};

class FakeBrowser final : public Browser {
public:
    explicit FakeBrowser(std::weak_ptr<FakeNetwork> network) : network_(std::move(network)) {}
    ~FakeBrowser() override { stop(); }
    void start(std::string type, Handlers handlers) override {
        auto network = network_.lock();
        if (!network || started_.exchange(true)) return;
        {
            std::lock_guard lock(state_->delivery);
            state_->handler = std::move(handlers);
        }
        std::lock_guard lock(network->mutex_);
        state_->type = std::move(type);
        network->browsings_.push_back(state_);
        network->browserStatusLocked(state_, {network->daemonRunning_ ? BrowserStatus::Kind::running
                                                                      : BrowserStatus::Kind::waiting,
                                              network->daemonRunning_ ? std::string() : daemonNotRunningText()});
        network->refreshLocked();
    }
    void stop() override {
        auto network = network_.lock();
        state_->close(network && std::this_thread::get_id() == network->thread_.get_id());
    }

private:
    std::weak_ptr<FakeNetwork> network_;
    std::shared_ptr<FakeNetwork::Browsing> state_ = std::make_shared<FakeNetwork::Browsing>();
    std::atomic<bool> started_{false};
};

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

void FakeNetwork::queueLocked(std::function<void()> work) {
    queue_.push_back(std::move(work));
    cv_.notify_all();
}

void FakeNetwork::run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (cv_.wait(lock, stop, [&] { return !queue_.empty(); })) {
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

namespace {

// The clients still there and open; the list forgets the others.
template <class T>
std::vector<std::shared_ptr<T>> liveLocked(std::vector<std::weak_ptr<T>>& list) {
    std::vector<std::shared_ptr<T>> live;
    std::erase_if(list, [](const auto& w) { return w.expired(); });
    for (const auto& w : list)
        if (auto p = w.lock(); p && !p->closed) live.push_back(p);
    return live;
}

}  // namespace

std::vector<ServiceDescription> FakeNetwork::published() const {
    std::lock_guard lock(mutex_);
    std::vector<ServiceDescription> result;
    for (const auto& p : liveLocked(publications_))
        if (daemonRunning_ && p->wanted) result.push_back(*p->wanted);
    return result;
}

int FakeNetwork::liveBrowsers() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(liveLocked(browsings_).size());
}

void FakeNetwork::statusLocked(const std::shared_ptr<Publication>& p) {
    auto deliver = [p, generation = p->generation.load()](PublicationStatus status) {
        if (p->generation == generation) p->deliver([&](const auto& h) { if (h) h(status); });
    };
    if (daemonRunning_) {
        queueLocked([deliver, name = p->wanted->name] {
            deliver({PublicationStatus::Kind::registering, {}});
            deliver({PublicationStatus::Kind::established, name});
        });
    } else {
        queueLocked([deliver] { deliver({PublicationStatus::Kind::problem, daemonNotRunningText()}); });
    }
}

void FakeNetwork::browserStatusLocked(const std::shared_ptr<Browsing>& b, BrowserStatus status) {
    queueLocked([b, status] { b->deliver([&](const auto& h) { if (h.onStatus) h.onStatus(status); }); });
}

// Tells every browser what changed in what it can see now.
void FakeNetwork::refreshLocked() {
    if (!daemonRunning_) return;
    std::vector<ResolvedService> visible;
    for (const auto& p : liveLocked(publications_)) {
        if (!p->wanted) continue;
        const auto& w = *p->wanted;
        visible.push_back({w.name, w.type, "local", "fake.local", "127.0.0.1", false, 1, w.port, w.txt});
    }
    for (const auto& [key, service] : announced_) visible.push_back(service);
    for (const auto& b : liveLocked(browsings_)) {
        if (b->failed) continue;
        std::vector<BrowseEvent> events;
        std::map<std::pair<std::string, std::string>, int> now;
        for (const auto& service : visible) {
            if (service.type != b->type) continue;
            now[{service.name, service.domain}] = service.interfaceIndex;
            if (auto event = b->merger.resolved(service.interfaceIndex, 0, service)) events.push_back(*event);
        }
        for (const auto& [key, interfaceIndex] : b->known)
            if (!now.count(key))
                if (auto event = b->merger.removed(interfaceIndex, 0, key.first, b->type, key.second))
                    events.push_back(*event);
        b->known = std::move(now);
        for (auto& event : events)
            queueLocked([b, event] { b->deliver([&](const auto& h) { if (h.onEvent) h.onEvent(event); }); });
    }
}

void FakeNetwork::setDaemonRunning(bool running) {
    std::lock_guard lock(mutex_);
    if (daemonRunning_ == running) return;
    daemonRunning_ = running;
    for (const auto& p : liveLocked(publications_))
        if (p->wanted) statusLocked(p);
    for (const auto& b : liveLocked(browsings_)) {
        if (b->failed) continue;
        if (!running) {
            b->merger.forgetResolutions();
            b->known.clear();
        }
        browserStatusLocked(b, {running ? BrowserStatus::Kind::running : BrowserStatus::Kind::waiting,
                                running ? std::string() : daemonNotRunningText()});
    }
    refreshLocked();
}

void FakeNetwork::announce(ResolvedService service) {
    std::lock_guard lock(mutex_);
    announced_[{service.name, service.type}] = service;
    refreshLocked();
}

void FakeNetwork::removeAnnounced(const std::string& name, const std::string& type) {
    std::lock_guard lock(mutex_);
    announced_.erase({name, type});
    refreshLocked();
}

void FakeNetwork::failBrowsers(const std::string& text) {
    std::lock_guard lock(mutex_);
    for (const auto& b : liveLocked(browsings_)) {
        if (b->failed) continue;
        b->failed = true;
        browserStatusLocked(b, {BrowserStatus::Kind::failed, text});
    }
}

}  // namespace quill::dnssd
