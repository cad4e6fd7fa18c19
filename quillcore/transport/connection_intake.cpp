#include "quillcore/transport/connection_intake.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>

#include "quillcore/transport/frame_channel.h"

namespace quill {

namespace {

// The place that gives way in a full list to a newcomer from `host`: the newest entry of the
// address that offended most lately, then holding the most, then whose newest entry is oldest;
// none when the newcomer's own address comes first.
template <class List>
std::optional<std::size_t> placeToFree(const List& list, const std::string& host, const OffenceRecord& offences,
                                       SteadyClock::time_point now) {
    struct Holding {
        std::size_t count = 0;
        std::size_t newest = 0;
    };
    std::unordered_map<std::string_view, Holding> byHost;
    byHost.reserve(list.size() + 1);
    for (std::size_t i = 0; i < list.size(); ++i) {
        Holding& h = byHost[list[i].host];
        ++h.count;
        h.newest = i;
    }
    const std::pair own{offences.weight(host, now), byHost[host].count + 1};
    const Holding* chosen = nullptr;
    std::pair<double, std::size_t> chosenRank;
    for (const auto& [address, holding] : byHost) {
        if (address == host || holding.count == 0) continue;
        const std::pair rank{offences.weight(address, now), holding.count};
        if (!chosen || rank > chosenRank || (rank == chosenRank && holding.newest < chosen->newest)) {
            chosen = &holding;
            chosenRank = rank;
        }
    }
    if (!chosen || own > chosenRank) return std::nullopt;
    return chosen->newest;
}

// A body grows in steps as its bytes come, so one that announces much and sends little costs
// little.
constexpr std::size_t kBodyStep = 16 * 1024;
constexpr std::uint64_t kWakerTag = 0;  // serials start at 1
// Connections handed to the intake's thread to reset at most; beyond, the caller resets them.
constexpr std::size_t kMaxResetting = 32;

}  // namespace

struct ConnectionIntake::Private {};

ConnectionIntake::ConnectionIntake(const Private&, Limits limits, std::function<void()> onReady,
                                   std::shared_ptr<OffenceRecord> offences)
    : limits_(limits),
      onReady_(std::move(onReady)),
      offences_(offences ? std::move(offences) : std::make_shared<OffenceRecord>()),
      poller_(::epoll_create1(EPOLL_CLOEXEC)),
      waker_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    epoll_event event{EPOLLIN, {.u64 = kWakerTag}};
    ::epoll_ctl(poller_, EPOLL_CTL_ADD, waker_, &event);
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
    ::close(waker_);
    ::close(poller_);
}

void ConnectionIntake::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(waker_, &one, sizeof one);
}

bool ConnectionIntake::resetLater(net::TcpConnectionPtr connection, std::vector<net::TcpConnectionPtr>& now) {
    if (closed_ || resetting_.size() >= kMaxResetting) {
        now.push_back(std::move(connection));
        return false;
    }
    resetting_.push_back(std::move(connection));
    return resetting_.size() == 1;
}

void ConnectionIntake::add(net::TcpConnectionPtr connection) {
    const int descriptor = connection->unstartedDescriptor();
    auto peer = connection->remoteEndpoint();
    std::string host = peer ? peer->host : std::string();
    std::vector<net::TcpConnectionPtr> givesWay;
    bool wakeThread = false;
    {
        std::lock_guard lock(mutex_);
        const auto now = SteadyClock::now();
        const auto fromHost = static_cast<std::size_t>(
            std::count_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.host == host; }));
        std::optional<std::size_t> freed;
        if (!closed_ && descriptor >= 0 && fromHost < limits_.perAddress && waiting_.size() >= limits_.waiting)
            freed = placeToFree(waiting_, host, *offences_, now);
        if (closed_ || descriptor < 0 || fromHost >= limits_.perAddress || (waiting_.size() >= limits_.waiting && !freed)) {
            if (!closed_ && descriptor >= 0) offences_->note(host, now);
            wakeThread = resetLater(std::move(connection), givesWay);
        } else {
            if (freed) {
                offences_->note(waiting_[*freed].host, now);
                wakeThread = resetLater(std::move(waiting_[*freed].connection), givesWay);
                waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(*freed));
            }
            const std::uint64_t serial = ++nextSerial_;
            epoll_event event{EPOLLIN, {.u64 = serial}};
            if (::epoll_ctl(poller_, EPOLL_CTL_ADD, descriptor, &event) != 0) {
                givesWay.push_back(std::move(connection));
            } else {
                wakeThread = wakeThread || waiting_.empty();  // its sleep has no deadline to wake for
                waiting_.push_back(Waiting{serial, std::move(connection), descriptor, std::move(peer), std::move(host),
                                           Deadline::after(limits_.firstFrameLimit).at().value_or(SteadyClock::time_point::max())});
            }
        }
    }
    // Out of the lock: nothing here reads them any more.
    for (auto& c : givesWay) c->reset();
    if (wakeThread) wake();
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

bool ConnectionIntake::makeReady(Waiting&& w, std::vector<net::TcpConnectionPtr>& givesWay) {
    // Its socket goes on to the connection's own reader.
    ::epoll_ctl(poller_, EPOLL_CTL_DEL, w.descriptor, nullptr);
    const auto now = SteadyClock::now();
    std::optional<std::size_t> freed;
    if (ready_.size() >= limits_.ready) freed = placeToFree(ready_, w.host, *offences_, now);
    // A whole frame that finds no room is no offence of its peer: the owner fell behind.
    if (ready_.size() >= limits_.ready && !freed) {
        givesWay.push_back(std::move(w.connection));
        return false;
    }
    if (freed) {
        givesWay.push_back(std::move(ready_[*freed].connection));
        ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(*freed));
    }
    const bool wasEmpty = ready_.empty();
    ready_.push_back(FirstFrame{std::move(w.connection), std::move(w.peer), std::move(w.body), std::move(w.host)});
    return wasEmpty;
}

void ConnectionIntake::run(std::stop_token stop) {
    epoll_event events[64];
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
        std::vector<net::TcpConnectionPtr> givesWay;
        bool becameReady = false;
        {
            std::lock_guard lock(mutex_);
            for (int i = 0; i < count; ++i) {
                const std::uint64_t serial = events[i].data.u64;
                if (serial == kWakerTag) {
                    std::uint64_t drained;
                    [[maybe_unused]] auto got = ::read(waker_, &drained, sizeof drained);
                    continue;
                }
                // One closed meanwhile is no longer here; its descriptor's number may be another's.
                auto it = std::find_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.serial == serial; });
                if (it == waiting_.end()) continue;
                const Progress progress = read(*it);
                if (progress == Progress::waiting) continue;
                Waiting entry = std::move(*it);
                waiting_.erase(it);
                if (progress == Progress::whole) {
                    becameReady = makeReady(std::move(entry), givesWay) || becameReady;
                } else {
                    offences_->note(entry.host, SteadyClock::now());
                    givesWay.push_back(std::move(entry.connection));
                }
            }
            for (auto& c : resetting_) givesWay.push_back(std::move(c));
            resetting_.clear();
            const auto now = SteadyClock::now();
            auto end = std::find_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.deadline > now; });
            for (auto it = waiting_.begin(); it != end; ++it) {
                offences_->note(it->host, now);
                givesWay.push_back(std::move(it->connection));
            }
            waiting_.erase(waiting_.begin(), end);
        }
        for (auto& c : givesWay) c->reset();
        if (becameReady && onReady_) onReady_();
    }
}

std::vector<ConnectionIntake::FirstFrame> ConnectionIntake::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(ready_, {});
}

void ConnectionIntake::blame(const std::string& host) { offences_->note(host, SteadyClock::now()); }

std::size_t ConnectionIntake::size() const {
    std::lock_guard lock(mutex_);
    return waiting_.size() + ready_.size();
}

void ConnectionIntake::close() {
    std::vector<Waiting> waiting;
    std::vector<FirstFrame> ready;
    std::vector<net::TcpConnectionPtr> resetting;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        waiting.swap(waiting_);
        ready.swap(ready_);
        resetting.swap(resetting_);
    }
    for (auto& w : waiting) w.connection->reset();
    for (auto& r : ready) r.connection->reset();
    for (auto& c : resetting) c->reset();
}

}  // namespace quill
