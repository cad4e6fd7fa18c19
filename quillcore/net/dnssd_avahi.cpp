// DNS-SD on the Avahi client library. Each publisher and browser runs its own
// AvahiThreadedPoll thread; every Avahi call happens there (Avahi calls are blocking D-Bus
// round trips), so callers only queue work and never wait for the daemon.

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <dbus/dbus.h>
#include <net/if.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <future>
#include <mutex>
#include <new>
#include <thread>

#include "quillcore/base/diagnostics.h"
#include "quillcore/net/dnssd.h"

namespace quill::dnssd {
namespace {

// How long to wait before trying again when the system bus cannot be reached at all (with a
// bus but no daemon, Avahi itself waits for the daemon to appear).
constexpr unsigned kReconnectDelayMs = 2000;

// libdbus sets its locks up on first use; two DNS-SD threads making their first clients at
// the same time would race in that set-up.
void initDbusThreads() {
    static std::once_flag once;
    std::call_once(once, [] { dbus_threads_init_default(); });
}

// An AvahiThreadedPoll with a queue of work for its thread. Queued work runs on that thread
// with the poll lock held, so it may call Avahi directly.
class Loop {
public:
    Loop() {
        initDbusThreads();
        poll_ = avahi_threaded_poll_new();
        wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (!poll_ || wakeFd_ < 0) {
            release();
            throw std::bad_alloc();
        }
        // Not running yet, so no lock is needed.
        api()->watch_new(api(), wakeFd_, AVAHI_WATCH_IN, &Loop::onWake, this);
        if (avahi_threaded_poll_start(poll_) < 0) {
            release();
            throw std::bad_alloc();
        }
        std::promise<std::thread::id> id;
        post([&id] { id.set_value(std::this_thread::get_id()); });
        thread_ = id.get_future().get();
    }

    ~Loop() { release(); }

    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    const AvahiPoll* api() const { return avahi_threaded_poll_get(poll_); }
    bool onLoopThread() const { return std::this_thread::get_id() == thread_; }

    void post(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(work));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
    }

    // Ends the thread. Afterwards the owner may free its Avahi objects on its own thread.
    // Never called on the loop thread (see destroyOffLoop).
    void stop() {
        if (poll_ && !stopped_) {
            avahi_threaded_poll_stop(poll_);
            stopped_ = true;
        }
    }

private:
    static void onWake(AvahiWatch*, int fd, AvahiWatchEvent, void* userdata) {
        auto* self = static_cast<Loop*>(userdata);
        std::uint64_t count;
        [[maybe_unused]] auto n = ::read(fd, &count, sizeof count);
        std::deque<std::function<void()>> work;
        {
            std::lock_guard lock(self->mutex_);
            work.swap(self->queue_);
        }
        for (auto& item : work) item();
    }

    void release() {
        stop();
        if (poll_) avahi_threaded_poll_free(poll_);  // frees the watch too
        poll_ = nullptr;
        if (wakeFd_ >= 0) ::close(wakeFd_);
        wakeFd_ = -1;
    }

    AvahiThreadedPoll* poll_ = nullptr;
    int wakeFd_ = -1;
    bool stopped_ = false;
    std::thread::id thread_;
    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
};

// A publisher or browser dropped from inside its own handler would join its loop thread from
// that thread; such objects are destroyed on a thread of their own instead.
template <class T>
void destroyOffLoop(T* object) {
    std::thread([object] { delete object; }).detach();
}

std::string avahiText(int error) { return avahi_strerror(error); }

// Arms `timer` (made on first use) to call `callback` once the reconnect delay has passed.
void armReconnect(const AvahiPoll* api, AvahiTimeout*& timer, AvahiTimeoutCallback callback, void* userdata) {
    timeval when{};
    avahi_elapse_time(&when, kReconnectDelayMs, 0);
    if (timer) {
        api->timeout_update(timer, &when);
    } else {
        timer = api->timeout_new(api, &when, callback, userdata);
    }
}

// ---------------------------------------------------------------------------------------------

class AvahiPublisher final : public Publisher {
public:
    AvahiPublisher() = default;
    ~AvahiPublisher() override { shutdown(); }

    void setStatusHandler(StatusHandler handler) override {
        std::lock_guard lock(deliveryMutex_);
        handler_ = std::move(handler);
    }

    void publish(ServiceDescription service) override {
        const auto generation = ++generation_;
        service.name = instanceName(service.name);
        loop_.post([this, generation, service = std::move(service)]() mutable {
            current_ = generation;
            lastStatus_.reset();
            service_ = std::move(service);
            name_ = service_->name;
            if (!client_) return createClient();
            switch (avahi_client_get_state(client_)) {
                case AVAHI_CLIENT_S_RUNNING:
                    registerService();
                    break;
                case AVAHI_CLIENT_CONNECTING:
                    problem(daemonNotRunningText());
                    break;
                case AVAHI_CLIENT_FAILURE:
                    problem(avahiText(avahi_client_errno(client_)));
                    break;
                default:
                    report({PublicationStatus::Kind::registering, {}});
                    break;
            }
        });
    }

    void withdraw() override {
        const auto generation = ++generation_;
        loop_.post([this, generation] {
            current_ = generation;
            lastStatus_.reset();
            service_.reset();
            dropGroup();
        });
    }

    // Called by the owner's deleter: stops the loop, then frees Avahi's objects here.
    void shutdown() {
        if (done_) return;
        done_ = true;
        ++generation_;
        if (!loop_.onLoopThread()) {
            std::lock_guard lock(deliveryMutex_);  // waits out a running handler
        }
        loop_.stop();
        if (client_) avahi_client_free(client_);  // frees its entry group too
        client_ = nullptr;
        group_ = nullptr;
    }

    Loop& loop() { return loop_; }

private:
    void report(PublicationStatus status) {
        if (lastStatus_ == status) return;
        lastStatus_ = status;
        if (current_ != generation_.load()) return;  // a newer publish() or withdraw() is queued
        std::lock_guard lock(deliveryMutex_);
        if (handler_ && current_ == generation_.load()) handler_(status);
    }

    void problem(std::string text) { report({PublicationStatus::Kind::problem, std::move(text)}); }

    void createClient() {
        int error = 0;
        auto* client = avahi_client_new(loop_.api(), AVAHI_CLIENT_NO_FAIL, &AvahiPublisher::onClient, this, &error);
        if (!client) {
            // No system bus at all: keep trying, the publication resumes when it comes.
            problem(avahiText(error));
            scheduleReconnect();
            return;
        }
        client_ = client;
    }

    void scheduleReconnect() { armReconnect(loop_.api(), reconnect_, &AvahiPublisher::onReconnect, this); }

    static void onReconnect(AvahiTimeout* timeout, void* userdata) {
        auto* self = static_cast<AvahiPublisher*>(userdata);
        self->loop_.api()->timeout_update(timeout, nullptr);
        if (self->client_) {
            if (avahi_client_get_state(self->client_) != AVAHI_CLIENT_FAILURE) return;  // made meanwhile
            avahi_client_free(self->client_);  // its group goes with it
            self->client_ = nullptr;
            self->group_ = nullptr;
        }
        if (self->service_) self->createClient();
    }

    static void onClient(AvahiClient* client, AvahiClientState state, void* userdata) {
        auto* self = static_cast<AvahiPublisher*>(userdata);
        self->client_ = client;  // also during avahi_client_new()
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                self->registerService();
                break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                // The daemon renames its host and registers again; our records follow once
                // it is running.
                if (self->group_) avahi_entry_group_reset(self->group_);
                if (self->service_) self->report({PublicationStatus::Kind::registering, {}});
                break;
            case AVAHI_CLIENT_CONNECTING:
                // The daemon is gone (or not there yet); its entry groups went with it.
                self->dropGroup();
                if (self->service_) self->problem(daemonNotRunningText());
                break;
            case AVAHI_CLIENT_FAILURE:
                self->group_ = nullptr;  // freed with the client
                if (self->service_) self->problem(avahiText(avahi_client_errno(client)));
                // Not inside its own callback: the timer frees the client and makes a new one.
                self->scheduleReconnect();
                break;
        }
    }

    void dropGroup() {
        if (group_) avahi_entry_group_free(group_);
        group_ = nullptr;
    }

    void registerService() {
        if (!service_ || !client_ || avahi_client_get_state(client_) != AVAHI_CLIENT_S_RUNNING) return;
        if (!group_) {
            group_ = avahi_entry_group_new(client_, &AvahiPublisher::onGroup, this);
            if (!group_) return problem(avahiText(avahi_client_errno(client_)));
        } else {
            avahi_entry_group_reset(group_);
        }
        AvahiStringList* txt = nullptr;
        for (const auto& entry : service_->txt.strings()) {
            txt = avahi_string_list_add_arbitrary(txt, reinterpret_cast<const std::uint8_t*>(entry.data()),
                                                  entry.size());
        }
        txt = avahi_string_list_reverse(txt);
        int result = 0;
        // A local service of the same name makes adding fail at once; a remote one is found
        // while probing and reported to onGroup.
        for (int attempt = 0; attempt < 100; ++attempt) {
            result = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                          AvahiPublishFlags(0), name_.c_str(),
                                                          service_->type.c_str(), nullptr, nullptr,
                                                          service_->port, txt);
            if (result != AVAHI_ERR_COLLISION) break;
            nextName();
        }
        avahi_string_list_free(txt);
        if (result < 0) return problem(avahiText(result));
        if (int error = avahi_entry_group_commit(group_); error < 0) return problem(avahiText(error));
        report({PublicationStatus::Kind::registering, {}});
    }

    void nextName() {
        char* alternative = avahi_alternative_service_name(name_.c_str());
        std::string next = alternative ? alternative : name_ + " #2";
        avahi_free(alternative);
        coreDiagnostic("the DNS-SD name \"" + name_ + "\" is taken on this network, trying \"" + next + "\"");
        name_ = truncateUtf8(next, kMaxInstanceNameBytes);
    }

    static void onGroup(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
        auto* self = static_cast<AvahiPublisher*>(userdata);
        if (group != self->group_) return;  // also the callback during avahi_entry_group_new()
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                self->report({PublicationStatus::Kind::established, self->name_});
                break;
            case AVAHI_ENTRY_GROUP_COLLISION:
                self->nextName();
                self->registerService();
                break;
            case AVAHI_ENTRY_GROUP_FAILURE:
                self->problem(avahiText(avahi_client_errno(avahi_entry_group_get_client(group))));
                break;
            default:
                break;
        }
    }

    Loop loop_;
    std::atomic<std::uint64_t> generation_{0};
    bool done_ = false;

    // Held while the status handler runs, so shutdown() can wait for it.
    std::mutex deliveryMutex_;
    StatusHandler handler_;

    // Loop thread only.
    std::uint64_t current_ = 0;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    AvahiTimeout* reconnect_ = nullptr;
    std::optional<ServiceDescription> service_;
    std::string name_;
    std::optional<PublicationStatus> lastStatus_;
};

// ---------------------------------------------------------------------------------------------

class AvahiBrowser final : public Browser {
public:
    AvahiBrowser() = default;
    ~AvahiBrowser() override { shutdown(); }

    void start(std::string type, Handlers handlers) override {
        {
            std::lock_guard lock(deliveryMutex_);
            if (started_) return;
            started_ = true;
            handlers_ = std::move(handlers);
        }
        loop_.post([this, type = std::move(type)] {
            type_ = type;
            if (!stopped_) createClient();
        });
    }

    void stop() override {
        if (stopped_.exchange(true)) return;
        if (!loop_.onLoopThread()) {
            std::lock_guard lock(deliveryMutex_);  // waits out a running handler
        }
        loop_.post([this] { dropClient(); });
    }

    void shutdown() {
        if (done_) return;
        done_ = true;
        stopped_ = true;
        if (!loop_.onLoopThread()) {
            std::lock_guard lock(deliveryMutex_);
        }
        loop_.stop();
        dropClient();
    }

    Loop& loop() { return loop_; }

private:
    using ResolverKey = std::tuple<int, int, std::string, std::string, std::string>;

    template <class F>
    void deliver(F&& call) {
        if (stopped_) return;
        std::lock_guard lock(deliveryMutex_);
        if (!stopped_) call(handlers_);
    }

    void status(BrowserStatus::Kind kind, std::string text) {
        BrowserStatus value{kind, std::move(text)};
        if (lastStatus_ == value) return;
        lastStatus_ = value;
        deliver([&](const Handlers& h) {
            if (h.onStatus) h.onStatus(value);
        });
    }

    void event(const std::optional<BrowseEvent>& value) {
        if (!value) return;
        deliver([&](const Handlers& h) {
            if (h.onEvent) h.onEvent(*value);
        });
    }

    void createClient() {
        int error = 0;
        auto* client = avahi_client_new(loop_.api(), AVAHI_CLIENT_NO_FAIL, &AvahiBrowser::onClient, this, &error);
        if (!client) {
            // No system bus at all: wait for it.
            status(BrowserStatus::Kind::waiting, avahiText(error));
            scheduleReconnect();
            return;
        }
        client_ = client;
    }

    void scheduleReconnect() { armReconnect(loop_.api(), reconnect_, &AvahiBrowser::onReconnect, this); }

    static void onReconnect(AvahiTimeout* timeout, void* userdata) {
        auto* self = static_cast<AvahiBrowser*>(userdata);
        self->loop_.api()->timeout_update(timeout, nullptr);
        if (self->stopped_) return;
        if (self->client_ && avahi_client_get_state(self->client_) != AVAHI_CLIENT_FAILURE) return;
        self->dropClient();
        self->createClient();
    }

    void dropBrowsing() {
        for (auto& [key, resolver] : resolvers_) {
            if (resolver) avahi_service_resolver_free(resolver);
        }
        resolvers_.clear();
        if (browser_) avahi_service_browser_free(browser_);
        browser_ = nullptr;
        merger_.forgetResolutions();
    }

    void dropClient() {
        dropBrowsing();
        if (client_) avahi_client_free(client_);
        client_ = nullptr;
    }

    static void onClient(AvahiClient* client, AvahiClientState state, void* userdata) {
        auto* self = static_cast<AvahiBrowser*>(userdata);
        self->client_ = client;
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                if (self->browser_ || self->stopped_) break;
                self->browser_ = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                           self->type_.c_str(), nullptr, AvahiLookupFlags(0),
                                                           &AvahiBrowser::onBrowse, self);
                if (!self->browser_) {
                    self->status(BrowserStatus::Kind::failed, avahiText(avahi_client_errno(client)));
                } else {
                    self->status(BrowserStatus::Kind::running, {});
                }
                break;
            case AVAHI_CLIENT_CONNECTING:
                // The daemon went away: browse again from scratch once it is back.
                self->dropBrowsing();
                self->status(BrowserStatus::Kind::waiting, daemonNotRunningText());
                break;
            case AVAHI_CLIENT_FAILURE: {
                self->dropBrowsing();
                const int error = avahi_client_errno(client);
                if (error == AVAHI_ERR_DISCONNECTED) {
                    // The daemon or the bus restarted: a new client browses again.
                    self->status(BrowserStatus::Kind::waiting, avahiText(error));
                    self->scheduleReconnect();
                } else {
                    self->status(BrowserStatus::Kind::failed, avahiText(error));
                }
                break;
            }
            default:
                break;
        }
    }

    static void onBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiBrowserEvent browseEvent, const char* name, const char* type, const char* domain,
                         AvahiLookupResultFlags, void* userdata) {
        auto* self = static_cast<AvahiBrowser*>(userdata);
        switch (browseEvent) {
            case AVAHI_BROWSER_NEW: {
                ResolverKey key{interface, protocol, name, type, domain};
                if (self->resolvers_.count(key)) break;
                // Kept open: it reports again whenever the service's records change.
                self->resolvers_[key] = avahi_service_resolver_new(
                    self->client_, interface, protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
                    AvahiLookupFlags(0), &AvahiBrowser::onResolve, self);
                break;
            }
            case AVAHI_BROWSER_REMOVE: {
                ResolverKey key{interface, protocol, name, type, domain};
                if (auto it = self->resolvers_.find(key); it != self->resolvers_.end()) {
                    if (it->second) avahi_service_resolver_free(it->second);
                    self->resolvers_.erase(it);
                }
                self->event(self->merger_.removed(interface, protocol, name, type, domain));
                break;
            }
            case AVAHI_BROWSER_FAILURE:
                // Losing the daemon fails the browser too; onClient waits for it to return.
                if (avahi_client_get_state(self->client_) == AVAHI_CLIENT_CONNECTING) break;
                self->status(BrowserStatus::Kind::failed, avahiText(avahi_client_errno(self->client_)));
                break;
            default:
                break;
        }
    }

    static void onResolve(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol protocol,
                          AvahiResolverEvent resolveEvent, const char* name, const char* type, const char* domain,
                          const char* hostName, const AvahiAddress* address, std::uint16_t port,
                          AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) {
        auto* self = static_cast<AvahiBrowser*>(userdata);
        if (resolveEvent != AVAHI_RESOLVER_FOUND) {
            // Timed out or failed: this interface's copy stays unresolved.
            ResolverKey key{interface, protocol, name, type, domain};
            if (auto it = self->resolvers_.find(key); it != self->resolvers_.end() && it->second == resolver) {
                avahi_service_resolver_free(resolver);
                it->second = nullptr;
            }
            return;
        }
        ResolvedService service;
        service.name = name;
        service.type = type;
        service.domain = domain;
        service.hostName = hostName ? hostName : "";
        char text[AVAHI_ADDRESS_STR_MAX] = {};
        if (address) {
            avahi_address_snprint(text, sizeof text, address);
            service.ipv6 = address->proto == AVAHI_PROTO_INET6;
        }
        service.address = text;
        service.interfaceIndex = interface;
        service.port = port;
        std::vector<std::string> strings;
        for (auto* item = txt; item; item = avahi_string_list_get_next(item)) {
            strings.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(item)),
                                 avahi_string_list_get_size(item));
        }
        service.txt = TxtRecord(std::move(strings));
        self->event(self->merger_.resolved(interface, protocol, std::move(service)));
    }

    Loop loop_;
    std::atomic<bool> stopped_{false};
    bool done_ = false;

    std::mutex deliveryMutex_;
    bool started_ = false;
    Handlers handlers_;

    // Loop thread only.
    std::string type_;
    AvahiClient* client_ = nullptr;
    AvahiServiceBrowser* browser_ = nullptr;
    AvahiTimeout* reconnect_ = nullptr;
    std::map<ResolverKey, AvahiServiceResolver*> resolvers_;
    ResultMerger merger_;
    std::optional<BrowserStatus> lastStatus_;
};

template <class T>
struct OffLoopDeleter {
    void operator()(T* object) const {
        if (object->loop().onLoopThread()) return destroyOffLoop(object);
        delete object;
    }
};

// Owns the implementation and makes sure it is never destroyed on its own loop thread.
class GuardedPublisher final : public Publisher {
public:
    void setStatusHandler(StatusHandler handler) override { impl_->setStatusHandler(std::move(handler)); }
    void publish(ServiceDescription service) override { impl_->publish(std::move(service)); }
    void withdraw() override { impl_->withdraw(); }

private:
    std::unique_ptr<AvahiPublisher, OffLoopDeleter<AvahiPublisher>> impl_{new AvahiPublisher};
};

class GuardedBrowser final : public Browser {
public:
    void start(std::string type, Handlers handlers) override { impl_->start(std::move(type), std::move(handlers)); }
    void stop() override { impl_->stop(); }

private:
    std::unique_ptr<AvahiBrowser, OffLoopDeleter<AvahiBrowser>> impl_{new AvahiBrowser};
};

}  // namespace

std::unique_ptr<Publisher> makeAvahiPublisher() { return std::make_unique<GuardedPublisher>(); }
std::unique_ptr<Browser> makeAvahiBrowser() { return std::make_unique<GuardedBrowser>(); }

}  // namespace quill::dnssd
