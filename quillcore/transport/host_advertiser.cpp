#include "quillcore/transport/host_advertiser.h"

#include "quillcore/base/base64.h"
#include "quillcore/base/diagnostics.h"

namespace quill {

std::string DiscoveryError::description() const {
    switch (kind) {
        case Kind::network:
            return text;
        case Kind::listenerStopped:
            return "The listener stopped.";
        case Kind::invalidTXTRecord:
            return "The discovery record is invalid.";
    }
    return "Discovery failed.";
}

namespace {

class TcpListenerAdapter final : public HostAdvertiser::Listener {
public:
    TcpListenerAdapter() : listener_(net::TcpListener::create()) {}
    void setStateHandler(net::TcpListener::StateHandler handler) override {
        listener_->setStateHandler(std::move(handler));
    }
    void setConnectionHandler(net::TcpListener::ConnectionHandler handler) override {
        listener_->setConnectionHandler(std::move(handler));
    }
    void start() override { listener_->start(); }
    void cancel() override { listener_->cancel(); }

private:
    net::TcpListenerPtr listener_;
};

}  // namespace

// Lock order: publicationMutex, then mutex. The publisher's status handler takes only mutex,
// and publisher calls never wait for that handler, so holding publicationMutex across them
// (which keeps publish and withdraw in the order the state changed) cannot deadlock.
struct HostAdvertiser::Impl : std::enable_shared_from_this<HostAdvertiser::Impl> {
    // The result that every start() waiting on one listener gets.
    struct Attempt {
        bool done = false;
        std::optional<std::uint16_t> port;
        std::optional<DiscoveryError> error;
    };

    Impl(std::string name, Bytes fingerprint, ConnectionHandler onConnection, Dependencies dependencies)
        : name(std::move(name)),
          fingerprint(std::move(fingerprint)),
          onConnection(std::move(onConnection)),
          makeListener(std::move(dependencies.listener)),
          makePublisher(std::move(dependencies.publisher)) {}

    std::uint16_t start();
    void stop();
    void handleState(const net::TcpListener::StateUpdate& update, std::uint64_t generation);
    void handlePublication(const dnssd::PublicationStatus& status);
    void completeLocked(std::optional<std::uint16_t> port, std::optional<DiscoveryError> error);
    std::shared_ptr<Listener> takeListenerLocked();
    dnssd::ServiceDescription serviceFor(std::uint16_t port) const {
        return {name, serviceType, port, txtRecord(name, fingerprint)};
    }

    const std::string name;
    const Bytes fingerprint;
    const ConnectionHandler onConnection;
    const ListenerFactory makeListener;
    const dnssd::PublisherFactory makePublisher;

    std::mutex publicationMutex;
    std::shared_ptr<dnssd::Publisher> publisher;  // under publicationMutex

    mutable std::mutex mutex;
    std::condition_variable cv;
    bool stopped = false;
    std::shared_ptr<Listener> listener;
    std::uint64_t generation = 0;  // of the current listener; older ones are ignored
    std::shared_ptr<Attempt> attempt;
    std::size_t waitingStarts = 0;
    std::optional<std::uint16_t> publishedPort;
    std::optional<DiscoveryError> publicationProblem;
    std::optional<std::string> reportedProblem;
};

std::uint16_t HostAdvertiser::Impl::start() {
    std::unique_lock lock(mutex);
    if (stopped) throw DiscoveryError::listenerStopped();
    if (publishedPort) return *publishedPort;
    auto waiting = attempt;  // a start() already waiting: share its result
    if (!waiting) {
        waiting = attempt = std::make_shared<Attempt>();
        const auto current = ++generation;
        listener = makeListener();
        auto started = listener;
        lock.unlock();
        std::weak_ptr<Impl> weak = weak_from_this();
        started->setStateHandler([weak, current](const net::TcpListener::StateUpdate& update) {
            if (auto self = weak.lock()) self->handleState(update, current);
        });
        // Handed over at once, on the listener's thread; the owner starts and keeps it. Once
        // stop() has cancelled the listener, the handler neither runs nor starts.
        started->setConnectionHandler(onConnection);
        started->start();
        lock.lock();
    }
    ++waitingStarts;
    cv.wait(lock, [&] { return waiting->done; });
    --waitingStarts;
    if (waiting->error) throw *waiting->error;
    return *waiting->port;
}

void HostAdvertiser::Impl::completeLocked(std::optional<std::uint16_t> port, std::optional<DiscoveryError> error) {
    if (!attempt) return;
    attempt->done = true;
    attempt->port = port;
    attempt->error = std::move(error);
    attempt.reset();
    cv.notify_all();
}

std::shared_ptr<HostAdvertiser::Listener> HostAdvertiser::Impl::takeListenerLocked() {
    ++generation;  // its later reports (the cancellation) concern nobody
    return std::move(listener);
}

void HostAdvertiser::Impl::handleState(const net::TcpListener::StateUpdate& update, std::uint64_t reporter) {
    std::shared_ptr<Listener> dropped;
    std::unique_lock publication(publicationMutex);
    std::optional<std::uint16_t> publishPort;
    bool withdraw = false;
    std::string failure;
    {
        std::lock_guard lock(mutex);
        if (reporter != generation || stopped) return;
        switch (update.state) {
            case net::TcpListener::State::ready:
                if (update.port) {
                    // The waiting start() returns once the publication is under way.
                    publishedPort = update.port;
                    publishPort = update.port;
                } else {
                    completeLocked(std::nullopt, DiscoveryError::listenerStopped());
                    dropped = takeListenerLocked();
                }
                break;
            case net::TcpListener::State::failed:
                if (attempt) {
                    completeLocked(std::nullopt, DiscoveryError::network(update.error));
                } else if (publishedPort) {
                    // Failed after it was ready: the port is gone, so is what was published.
                    // The next start() listens anew.
                    failure = update.error;
                    publishedPort.reset();
                    withdraw = true;
                    publicationProblem = DiscoveryError::network(update.error);
                    reportedProblem = update.error;
                }
                dropped = takeListenerLocked();
                break;
            case net::TcpListener::State::cancelled:
                completeLocked(std::nullopt, DiscoveryError::listenerStopped());
                publishedPort.reset();
                listener.reset();
                ++generation;
                break;
        }
    }
    if (withdraw) {
        // Said before the withdrawal, so whoever sees the record gone can already read why.
        coreDiagnostic("the LAN listener failed: " + (failure.empty() ? std::string("unknown error") : failure));
    }
    if (publisher) {
        if (publishPort) publisher->publish(serviceFor(*publishPort));
        if (withdraw) publisher->withdraw();
    }
    if (publishPort) {
        std::lock_guard lock(mutex);
        completeLocked(publishPort, std::nullopt);
    }
    publication.unlock();
    // A listener may report its cancellation from inside cancel().
    if (dropped) dropped->cancel();
}

void HostAdvertiser::Impl::handlePublication(const dnssd::PublicationStatus& status) {
    std::optional<std::string> print;
    {
        std::lock_guard lock(mutex);
        // News of a record already withdrawn must not clear or replace why it was withdrawn.
        if (!publishedPort) return;
        switch (status.kind) {
            case dnssd::PublicationStatus::Kind::problem:
                publicationProblem = DiscoveryError::network(status.text);
                if (reportedProblem != status.text) {
                    reportedProblem = status.text;
                    print = "could not advertise this host on the local network: " + status.text;
                }
                break;
            case dnssd::PublicationStatus::Kind::established:
                publicationProblem.reset();
                if (reportedProblem) print = "advertising this host on the local network again";
                reportedProblem.reset();
                if (status.text != dnssd::instanceName(name)) {
                    print = "advertising this host on the local network as \"" + status.text + "\"";
                }
                break;
            case dnssd::PublicationStatus::Kind::registering:
                break;
        }
    }
    if (print) coreDiagnostic(*print);
}

void HostAdvertiser::Impl::stop() {
    std::shared_ptr<Listener> dropped;
    {
        std::lock_guard publication(publicationMutex);
        {
            std::lock_guard lock(mutex);
            if (stopped) return;
            stopped = true;
            dropped = takeListenerLocked();
            publishedPort.reset();
            completeLocked(std::nullopt, DiscoveryError::listenerStopped());
        }
        if (publisher) publisher->withdraw();
    }
    if (dropped) dropped->cancel();
}

HostAdvertiser::HostAdvertiser(std::string name, Bytes fingerprint, ConnectionHandler onConnection)
    : HostAdvertiser(std::move(name), std::move(fingerprint), std::move(onConnection), Dependencies{}) {}

HostAdvertiser::HostAdvertiser(std::string name, Bytes fingerprint, ConnectionHandler onConnection,
                               Dependencies dependencies) {
    if (!dependencies.listener) {
        dependencies.listener = [] { return std::make_shared<TcpListenerAdapter>(); };
    }
    if (!dependencies.publisher) dependencies.publisher = dnssd::makeAvahiPublisher;
    impl_ = std::make_shared<Impl>(std::move(name), std::move(fingerprint), std::move(onConnection),
                                   std::move(dependencies));
    std::shared_ptr<dnssd::Publisher> publisher = impl_->makePublisher();
    std::weak_ptr<Impl> weak = impl_;
    publisher->setStatusHandler([weak](const dnssd::PublicationStatus& status) {
        if (auto self = weak.lock()) self->handlePublication(status);
    });
    impl_->publisher = std::move(publisher);
}

HostAdvertiser::~HostAdvertiser() {
    impl_->stop();
    std::shared_ptr<dnssd::Publisher> publisher;
    {
        std::lock_guard publication(impl_->publicationMutex);
        publisher = std::move(impl_->publisher);
    }
    // Destroyed here, on the owner's thread: it ends its own DNS-SD thread.
    publisher.reset();
}

std::uint16_t HostAdvertiser::start() { return impl_->start(); }

void HostAdvertiser::stop() { impl_->stop(); }

std::optional<DiscoveryError> HostAdvertiser::publicationProblem() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->publicationProblem;
}

std::size_t HostAdvertiser::pendingStarts() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->waitingStarts;
}

net::TcpEndpoint HostAdvertiser::loopbackEndpoint(std::uint16_t port) { return {"127.0.0.1", port}; }

dnssd::TxtRecord HostAdvertiser::txtRecord(std::string_view name, ByteView fingerprint) {
    dnssd::TxtRecord txt;
    txt.add("fp", Base64URL::encode(fingerprint));
    txt.add("v", "0");
    txt.add("name", name);
    return txt;
}

}  // namespace quill
