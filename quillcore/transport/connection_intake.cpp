#include "quillcore/transport/connection_intake.h"

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "quillcore/transport/frame_channel.h"

namespace quill {

namespace {

std::size_t hashOf(std::string_view host) { return std::hash<std::string_view>{}(host); }

// A body grows in steps as its bytes come, so one that announces much and sends little costs
// little.
constexpr std::size_t kBodyStep = 16 * 1024;
constexpr std::uint64_t kWakerTag = 0;  // serials start at 1
// Connections handed over and not judged yet. Beyond this many, the thread that accepts waits
// for the intake's thread (at most kArrivingWait), so the system's accept queue holds the rest:
// a peer is never turned away because the intake's thread was slow to run.
constexpr std::size_t kMaxArriving = 64;
constexpr auto kArrivingWait = std::chrono::milliseconds(250);

// Connections waiting for their reset on the closing thread: a quarter of the descriptors the
// process may open, and no more than this.
constexpr std::size_t kMaxClosing = 1024;

std::size_t closingRoom() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return kMaxClosing;
    return std::clamp<std::size_t>(static_cast<std::size_t>(files.rlim_cur / 4), 16, kMaxClosing);
}

}  // namespace

struct ConnectionIntake::Private {};

ConnectionIntake::ConnectionIntake(const Private&, Limits limits, std::function<void()> onReady,
                                   std::shared_ptr<OffenceRecord> offences)
    : limits_(limits),
      onReady_(std::move(onReady)),
      offences_(offences ? std::move(offences) : std::make_shared<OffenceRecord>()),
      poller_(::epoll_create1(EPOLL_CLOEXEC)),
      waker_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      rule_(offences_),
      closingRoom_(closingRoom()) {
    epoll_event event{EPOLLIN, {.u64 = kWakerTag}};
    ::epoll_ctl(poller_, EPOLL_CTL_ADD, waker_, &event);
    closer_ = std::jthread([this](std::stop_token stop) { closeRun(stop); });
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

std::shared_ptr<ConnectionIntake> ConnectionIntake::make(Limits limits, std::function<void()> onReady,
                                                        std::shared_ptr<OffenceRecord> offences) {
    return std::make_shared<ConnectionIntake>(Private{}, limits, std::move(onReady), std::move(offences));
}

ConnectionIntake::~ConnectionIntake() {
    close();
    thread_.request_stop();
    wake();
    thread_.join();
    closer_.request_stop();
    closer_.join();
    ::close(waker_);
    ::close(poller_);
}

void ConnectionIntake::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(waker_, &one, sizeof one);
}

void ConnectionIntake::add(net::TcpConnectionPtr connection) {
    bool first = false;
    {
        std::unique_lock lock(arrivingMutex_);
        const auto room = [&] { return arrivingClosed_ || arriving_.size() < kMaxArriving; };
        if (!room()) arrivingRoom_.wait_for(lock, kArrivingWait, room);
        if (!arrivingClosed_ && arriving_.size() < kMaxArriving) {
            first = arriving_.empty();
            arriving_.push_back(std::move(connection));
        }
    }
    if (connection) resetLater(std::move(connection));
    if (first) wake();
}

void ConnectionIntake::resetLater(std::vector<net::TcpConnectionPtr>& connections) {
    if (connections.empty()) return;
    {
        std::lock_guard lock(closingMutex_);
        while (!connections.empty() && queueReset(connections.back())) connections.pop_back();
    }
    for (auto& c : connections) resetNow(c);
    connections.clear();
}

void ConnectionIntake::resetLater(net::TcpConnectionPtr connection) {
    {
        std::lock_guard lock(closingMutex_);
        if (queueReset(connection)) return;
    }
    resetNow(connection);
}

bool ConnectionIntake::queueReset(net::TcpConnectionPtr& connection) {
    if (closing_.size() >= closingRoom_) return false;
    try {
        closing_.push_back(std::move(connection));
    } catch (const std::exception&) {
        return false;  // reset where it is
    }
    if (closing_.size() == 1) closingCv_.notify_one();
    return true;
}

void ConnectionIntake::resetNow(net::TcpConnectionPtr& connection) noexcept {
    try {
        connection->reset();
    } catch (const std::exception&) {
        // Dropped below, which closes its socket all the same.
    }
    connection.reset();
}

void ConnectionIntake::closeRun(std::stop_token stop) {
    std::vector<net::TcpConnectionPtr> batch;
    for (;;) {
        {
            std::unique_lock lock(closingMutex_);
            closingCv_.wait(lock, stop, [&] { return !closing_.empty(); });
            if (closing_.empty()) return;  // stopping, and nothing left
            batch.swap(closing_);
        }
        for (auto& c : batch) resetNow(c);
        batch.clear();
    }
}

void ConnectionIntake::admit(net::TcpConnectionPtr connection, std::vector<net::TcpConnectionPtr>& givesWay,
                             bool& becameReady) {
    const int descriptor = connection->unstartedDescriptor();
    const std::uint64_t serial = ++nextSerial_;
    epoll_event event{EPOLLIN, {.u64 = serial}};
    if (closed_ || descriptor < 0 || ::epoll_ctl(poller_, EPOLL_CTL_ADD, descriptor, &event) != 0) {
        givesWay.push_back(std::move(connection));
        return;
    }
    auto peer = connection->remoteEndpoint();
    std::string host = peer ? peer->host : std::string();
    const auto now = SteadyClock::now();
    const std::size_t hostHash = hashOf(host);
    waiting_.push_back(Waiting{serial, std::move(connection), descriptor, std::move(peer), std::move(host), hostHash, now,
                               Deadline::after(limits_.firstFrameLimit).at().value_or(SteadyClock::time_point::max())});
    // A peer that sent its frame at once has it read now: it takes no place among the silent.
    if (!settle(waiting_.end() - 1, givesWay, becameReady)) return;
    // Still silent: it needs a place of its own. Turned away for want of room is no offence.
    const Waiting& newcomer = waiting_.back();
    const auto fromHost = static_cast<std::size_t>(std::count_if(waiting_.begin(), waiting_.end() - 1, [&](const Waiting& w) {
        return w.hostHash == newcomer.hostHash && w.host == newcomer.host;
    }));
    std::optional<std::size_t> freed;
    bool room = fromHost < limits_.perAddress;
    if (room && waiting_.size() > limits_.waiting) {
        places_.clear();
        for (auto it = waiting_.begin(); it != waiting_.end() - 1; ++it) places_.push_back({Standing::owing, it->host, it->since});
        freed = rule_.placeToFree(places_, {Standing::owing, newcomer.host, now}, now);
        room = freed.has_value();
    }
    const std::size_t leaving = room ? freed.value_or(waiting_.size()) : waiting_.size() - 1;
    if (leaving == waiting_.size()) return;
    // A last look: what came on it since it was last read may have made it whole.
    if (leaving != waiting_.size() - 1 && !settle(waiting_.begin() + static_cast<std::ptrdiff_t>(leaving), givesWay, becameReady))
        return;
    unwatch(waiting_[leaving]);
    givesWay.push_back(std::move(waiting_[leaving].connection));
    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(leaving));
}

bool ConnectionIntake::settle(std::vector<Waiting>::iterator it, std::vector<net::TcpConnectionPtr>& givesWay,
                              bool& becameReady) {
    Progress progress;
    try {
        progress = read(*it);
    } catch (const std::exception&) {
        progress = Progress::failed;  // no memory for its body: this connection only
    }
    if (progress == Progress::waiting) return true;
    Waiting entry = std::move(*it);
    waiting_.erase(it);
    if (progress == Progress::whole) {
        becameReady = makeReady(std::move(entry), givesWay) || becameReady;
        return false;
    }
    offences_->note(entry.host, SteadyClock::now());
    unwatch(entry);
    givesWay.push_back(std::move(entry.connection));
    return false;
}

ConnectionIntake::Progress ConnectionIntake::read(Waiting& w) {
    for (;;) {
        std::uint8_t* into;
        std::size_t wanted;
        if (!w.inBody) {
            into = w.header + w.got;
            wanted = frame::kHeaderSize - w.got;
        } else {
            if (w.got == w.body.size()) w.body.resize(std::min<std::size_t>(w.length, w.got + kBodyStep));
            into = w.body.data() + w.got;
            wanted = w.body.size() - w.got;
        }
        // Exactly what the first frame still needs: the next frame stays in the socket for the
        // connection's reader.
        const ssize_t n = ::recv(w.descriptor, into, wanted, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Progress::waiting;
        if (n <= 0) return Progress::failed;  // ended or broke before a whole frame
        w.got += static_cast<std::size_t>(n);
        if (!w.inBody) {
            if (w.got < frame::kHeaderSize) continue;
            try {
                w.length = frame::parseHeader(w.header);
            } catch (const FrameChannelError&) {
                return Progress::failed;
            }
            // Judged from the header alone: a refused body is never read.
            if (w.length > limits_.maxFirstFrame) return Progress::failed;
            if (w.length == 0) return Progress::whole;
            w.inBody = true;
            w.got = 0;
        } else if (w.got == w.length) {
            return Progress::whole;
        }
    }
}

// Its socket is no longer read here. Done before a connection is handed on or queued for its
// reset: a socket left in the poller while its reset waits would wake the intake's thread again
// and again (its unread bytes or its end stay readable).
void ConnectionIntake::unwatch(const Waiting& w) { ::epoll_ctl(poller_, EPOLL_CTL_DEL, w.descriptor, nullptr); }

bool ConnectionIntake::makeReady(Waiting&& w, std::vector<net::TcpConnectionPtr>& givesWay) {
    // Its socket goes on to the connection's own reader.
    unwatch(w);
    const auto now = SteadyClock::now();
    std::lock_guard lock(readyMutex_);
    if (ready_.size() >= limits_.ready) {
        places_.clear();
        for (const FirstFrame& f : ready_) places_.push_back({Standing::answered, f.host, f.cameWhole});
        const auto freed = rule_.placeToFree(places_, {Standing::answered, w.host, now}, now);
        // A whole frame that finds no room is no offence of its peer: the owner fell behind.
        if (!freed) {
            givesWay.push_back(std::move(w.connection));
            return false;
        }
        givesWay.push_back(std::move(ready_[*freed].connection));
        ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(*freed));
    }
    const bool wasEmpty = ready_.empty();
    ready_.push_back(FirstFrame{std::move(w.connection), std::move(w.peer), std::move(w.body), std::move(w.host), now});
    return wasEmpty;
}

void ConnectionIntake::run(std::stop_token stop) {
    epoll_event events[64];
    std::vector<net::TcpConnectionPtr> arrived;  // kept: its room goes back to arriving_
    std::vector<net::TcpConnectionPtr> givesWay;
    while (!stop.stop_requested()) {
        int timeout = -1;
        {
            // Every connection gets the same limit: the oldest is the first to run out.
            std::lock_guard lock(mutex_);
            if (!waiting_.empty()) {
                const auto left = waiting_.front().deadline - SteadyClock::now();
                timeout = static_cast<int>(std::clamp<std::int64_t>(
                    std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0, 1000));
            }
        }
        const int count = ::epoll_wait(poller_, events, 64, timeout);
        // Drained before the hand-over is taken: a connection handed over later wakes it again.
        if (std::any_of(events, events + std::max(count, 0), [](const epoll_event& e) { return e.data.u64 == kWakerTag; })) {
            std::uint64_t drained;
            [[maybe_unused]] auto got = ::read(waker_, &drained, sizeof drained);
        }
        arrived.clear();
        {
            std::lock_guard lock(arrivingMutex_);
            arrived.swap(arriving_);
        }
        arrivingRoom_.notify_all();
        bool becameReady = false;
        {
            std::lock_guard lock(mutex_);
            // What has come on the waiting sockets first: a newcomer only displaces what is
            // still silent.
            for (int i = 0; i < count; ++i) {
                const std::uint64_t serial = events[i].data.u64;
                if (serial == kWakerTag) continue;
                // One closed meanwhile is no longer here; its descriptor's number may be another's.
                auto it = std::find_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.serial == serial; });
                if (it != waiting_.end()) settle(it, givesWay, becameReady);
            }
            for (auto& connection : arrived) {
                try {
                    admit(std::move(connection), givesWay, becameReady);
                } catch (const std::exception&) {
                    // Dropped with what it held, its socket closed: this connection only.
                }
            }
            const auto now = SteadyClock::now();
            auto end = std::find_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.deadline > now; });
            for (auto it = waiting_.begin(); it != end; ++it) {
                // Silent while it owed its first frame.
                offences_->note(it->host, now);
                unwatch(*it);
                givesWay.push_back(std::move(it->connection));
            }
            waiting_.erase(waiting_.begin(), end);
        }
        resetLater(givesWay);
        if (becameReady && onReady_) {
            try {
                onReady_();
            } catch (const std::exception&) {
                // The owner's trouble: the frames wait for its next take() all the same.
            }
        }
    }
}

bool ConnectionIntake::FirstFrame::peerLeft() const {
    const int descriptor = connection ? connection->unstartedDescriptor() : -1;
    if (descriptor < 0) return true;
    std::uint8_t byte;
    const ssize_t n = ::recv(descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

std::vector<ConnectionIntake::FirstFrame> ConnectionIntake::take() {
    std::lock_guard lock(readyMutex_);
    return std::exchange(ready_, {});
}

void ConnectionIntake::refuse(FirstFrame& first, bool offended) {
    if (offended) offences_->note(first.host, SteadyClock::now());
    if (first.connection) resetLater(std::move(first.connection));
}

std::size_t ConnectionIntake::size() const {
    std::size_t arriving;
    {
        std::lock_guard lock(arrivingMutex_);
        arriving = arriving_.size();
    }
    std::lock_guard lock(mutex_);
    std::lock_guard readyLock(readyMutex_);
    return arriving + waiting_.size() + ready_.size();
}

void ConnectionIntake::close() {
    std::vector<Waiting> waiting;
    std::vector<FirstFrame> ready;
    std::vector<net::TcpConnectionPtr> arriving;
    {
        std::lock_guard lock(arrivingMutex_);
        arrivingClosed_ = true;
        arriving.swap(arriving_);
    }
    arrivingRoom_.notify_all();
    {
        std::lock_guard lock(mutex_);
        std::lock_guard readyLock(readyMutex_);
        closed_ = true;
        waiting.swap(waiting_);
        ready.swap(ready_);
    }
    for (auto& c : arriving) resetNow(c);
    for (auto& w : waiting) resetNow(w.connection);
    for (auto& r : ready) resetNow(r.connection);
}

}  // namespace quill
