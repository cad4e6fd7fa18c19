#include "quillcore/transport/connection_intake.h"

#include <malloc.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
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

constexpr std::uint64_t kWakerTag = 0;  // serials start at 1
// Connections handed over and not judged yet. Beyond this many, the thread that accepts waits
// for the intake's thread (at most kArrivingWait), so the system's accept queue holds the rest:
// a peer is never turned away because the intake's thread was slow to run.
constexpr std::size_t kMaxArriving = 64;
constexpr auto kArrivingWait = std::chrono::milliseconds(250);

// Partial bodies that held this much give their memory back once quiet for kTrimQuiet.
constexpr std::size_t kTrimAfter = 4 * 1024 * 1024;
constexpr auto kTrimQuiet = std::chrono::seconds(1);

// Connections waiting for their reset, at most.
constexpr std::size_t kMaxClosing = 1024;
// Connections reset inline at one time: one by each thread that hands them over (the accepting
// one, the intake's, the owner's few), and the intake's own poller and waker.
constexpr std::size_t kInlineResets = 8;

// Whether the socket's receive buffer holds `length` bytes unread, with room for what the
// system spends on each segment besides.
bool holdsUnread(int descriptor, std::uint32_t length) {
    int size = 0;
    socklen_t sizeOfSize = sizeof size;
    return ::getsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &size, &sizeOfSize) == 0 && static_cast<std::uint32_t>(size) / 4 >= length;
}

}  // namespace

struct ConnectionIntake::Private {};

struct ConnectionIntake::Split {
    Limits limits;
    std::size_t arriving = kMaxArriving;
    std::size_t closing = kMaxClosing;

    // Half of the open-file limit for every connection held, whatever that limit is: the rest of
    // the process (sessions, pairing, the screening's batches, the display) has the other half.
    explicit Split(Limits given) : limits(given) {
        rlimit files{};
        if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return;
        const std::size_t half = static_cast<std::size_t>(std::min<rlim_t>(files.rlim_cur / 2, SIZE_MAX));
        const auto eighth = [&](std::size_t most) { return std::clamp<std::size_t>(half / 8, 1, std::max<std::size_t>(most, 1)); };
        // Half of the handed over wait, the other half is what the intake's thread judges.
        arriving = std::max<std::size_t>(1, eighth(2 * kMaxArriving) / 2);
        limits.waiting = eighth(given.waiting);
        limits.ready = eighth(given.ready);
        closing = std::min(half / 8, kMaxClosing);
        const std::size_t taken = 2 * arriving + limits.waiting + limits.ready + closing + kInlineResets;
        limits.newcomers = std::clamp<std::size_t>(half > taken ? half - taken : 1, 1, std::max<std::size_t>(given.newcomers, 1));
    }
};

ConnectionIntake::ConnectionIntake(const Private&, Limits limits, std::function<void()> onReady,
                                   std::shared_ptr<OffenceRecord> offences)
    : ConnectionIntake(Split(limits), std::move(onReady), std::move(offences)) {}

ConnectionIntake::ConnectionIntake(const Split& split, std::function<void()> onReady, std::shared_ptr<OffenceRecord> offences)
    : limits_(split.limits),
      onReady_(std::move(onReady)),
      offences_(offences ? std::move(offences) : std::make_shared<OffenceRecord>()),
      poller_(::epoll_create1(EPOLL_CLOEXEC)),
      waker_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      newcomersOwn_(std::max<std::size_t>(1, split.limits.newcomers / 16)),
      arrivingMost_(split.arriving),
      rule_(offences_),
      closingRoom_(split.closing) {
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
        const auto room = [&] { return arrivingClosed_ || arriving_.size() < arrivingMost_; };
        if (!room()) arrivingRoom_.wait_for(lock, kArrivingWait, room);
        if (!arrivingClosed_ && arriving_.size() < arrivingMost_) {
            first = arriving_.empty();
            arriving_.push_back(std::move(connection));
        }
    }
    if (connection) resetLater(std::move(connection));
    if (first) wake();
}

bool ConnectionIntake::reserveClosing() noexcept {
    std::size_t held = closingHeld_.load(std::memory_order_relaxed);
    do {
        if (held >= closingRoom_) return false;
    } while (!closingHeld_.compare_exchange_weak(held, held + 1, std::memory_order_relaxed));
    return true;
}

void ConnectionIntake::resetLater(std::vector<net::TcpConnectionPtr>& connections) {
    if (connections.empty()) return;
    {
        std::lock_guard lock(closingMutex_);
        while (!connections.empty() && queueReset(connections.back())) connections.pop_back();
    }
    for (auto& c : connections) {
        resetNow(c);
        closingHeld_.fetch_sub(1, std::memory_order_relaxed);
    }
    connections.clear();
}

void ConnectionIntake::resetLater(net::TcpConnectionPtr connection) {
    if (reserveClosing()) {
        std::unique_lock lock(closingMutex_);
        if (queueReset(connection)) return;
        lock.unlock();
        closingHeld_.fetch_sub(1, std::memory_order_relaxed);
    }
    resetNow(connection);
}

bool ConnectionIntake::queueReset(net::TcpConnectionPtr& connection) {
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
        for (auto& c : batch) {
            resetNow(c);
            closingHeld_.fetch_sub(1, std::memory_order_relaxed);
        }
        batch.clear();
    }
}

void ConnectionIntake::closeLater(net::TcpConnectionPtr connection) noexcept {
    if (reserveClosing()) {
        try {
            givesWay_.push_back(std::move(connection));
            return;
        } catch (const std::exception&) {
            closingHeld_.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    resetNow(connection);
}

net::TcpConnectionPtr ConnectionIntake::remove(Entry it) noexcept {
    // Its socket is no longer read here: a socket left in the poller while its reset waits
    // would wake the intake's thread again and again (its unread bytes or its end stay
    // readable).
    ::epoll_ctl(poller_, EPOLL_CTL_DEL, it->descriptor, nullptr);
    bySerial_.erase(it->serial);
    if (auto h = perHost_.find(it->host); h != perHost_.end() && --h->second == 0) perHost_.erase(h);
    if (it->stage == Stage::partial) order_.erase({it->placed, it->serial});
    if (const std::size_t i = it->holder; i != SIZE_MAX) {
        holders_[i] = holders_.back();
        partials_[i] = partials_.back();
        holders_[i]->holder = i;
        holders_.pop_back();
        partials_.pop_back();
    }
    bodyBytes_ -= it->body.capacity();
    net::TcpConnectionPtr connection = std::move(it->connection);
    listOf(it->stage).erase(it);
    return connection;
}

ConnectionIntake::WaitingList& ConnectionIntake::listOf(Stage stage) {
    switch (stage) {
        case Stage::newcomer: return newcomers_;
        case Stage::owing: return owing_;
        case Stage::partial: break;
    }
    return partial_;
}

void ConnectionIntake::giveWay(Entry it, bool offended) noexcept {
    if (offended) {
        try {
            offences_->note(it->host, SteadyClock::now());
        } catch (const std::exception&) {
            // Not noted, for want of memory: it is closed all the same.
        }
    }
    closeLater(remove(it));
}

void ConnectionIntake::admit(net::TcpConnectionPtr connection) {
    const int descriptor = connection->unstartedDescriptor();
    auto peer = connection->remoteEndpoint();
    std::string host = peer ? peer->host : std::string();
    if (closed_ || descriptor < 0) return closeLater(std::move(connection));
    // One address beyond its share is turned away at once, for want of room: no offence.
    if (auto h = perHost_.find(host); h != perHost_.end() && h->second >= limits_.perAddress)
        return closeLater(std::move(connection));
    const std::uint64_t serial = ++nextSerial_;
    const auto now = SteadyClock::now();
    const auto at = [&](double seconds) { return Deadline::after(seconds).at().value_or(SteadyClock::time_point::max()); };
    newcomers_.push_back(Waiting{serial, std::move(connection), descriptor, std::move(peer), std::move(host), now,
                                 at(std::min(limits_.grace, limits_.firstFrameLimit)), at(limits_.firstFrameLimit)});
    const Entry it = std::prev(newcomers_.end());
    try {
        bySerial_.emplace(serial, it);
        ++perHost_[it->host];
    } catch (...) {
        bySerial_.erase(serial);
        closeLater(std::move(it->connection));
        newcomers_.erase(it);
        throw;
    }
    // Edge-triggered: a body left in its socket would wake a level-triggered poller for ever;
    // each segment that comes, and the peer's end, wake it once.
    epoll_event event{EPOLLIN | EPOLLRDHUP | EPOLLET, {.u64 = serial}};
    if (::epoll_ctl(poller_, EPOLL_CTL_ADD, descriptor, &event) != 0) return closeLater(remove(it));
    // A peer that sent its frame at once has it read now: it takes no place among the silent.
    if (settle(it)) keepPlaces();
}

void ConnectionIntake::keepPlaces() {
    while (newcomers_.size() + partial_.size() > limits_.newcomers) {
        if (newcomers_.size() > newcomersOwn_ || partial_.empty()) {
            owe(newcomers_.begin());
            continue;
        }
        // Turned away for want of room is no offence.
        giveWay(order_.begin()->second, false);
    }
}

void ConnectionIntake::spoke(Entry it) {
    Waiting& w = *it;
    const auto now = SteadyClock::now();
    const auto placed = AdmissionRule::placeOrder({offences_->weight(w.host, now), w.inBody ? w.length : 0, 0, now});
    order_.emplace(std::pair{placed, w.serial}, it);  // first: nothing moved if it throws
    // In order of arrival, which is that of their deadlines; those that speak late are few.
    auto at = partial_.end();
    while (at != partial_.begin() && std::prev(at)->since > w.since) --at;
    partial_.splice(at, listOf(w.stage), it);
    w.stage = Stage::partial;
    w.began = now;
    w.placed = placed;
}

void ConnectionIntake::placeAgain(Entry it) {
    Waiting& w = *it;
    auto node = order_.extract({w.placed, w.serial});
    w.placed = AdmissionRule::placeOrder({-std::get<2>(w.placed), w.length, 0, w.began});
    node.key().first = w.placed;
    order_.insert(std::move(node));
}

void ConnectionIntake::owe(Entry it) {
    owing_.splice(owing_.end(), newcomers_, it);
    it->stage = Stage::owing;
    if (owing_.size() <= limits_.waiting) return;
    // Turned away for want of room is no offence.
    std::optional<std::size_t> freed;
    try {
        const auto now = SteadyClock::now();
        places_.clear();
        for (auto p = owing_.begin(); p != it; ++p) places_.push_back({Standing::owing, p->host, p->since});
        freed = rule_.placeToFree(places_, {Standing::owing, it->host, it->since}, now);
    } catch (const std::exception&) {
        // No memory to judge in: it gives way itself, so the places stay within their number.
    }
    if (!freed) return giveWay(it, false);
    const Entry leaving = std::next(owing_.begin(), static_cast<std::ptrdiff_t>(*freed));
    // A last look: what came on it since it was last read may have made it whole, or partial.
    if (settle(leaving) && leaving->stage == Stage::owing) giveWay(leaving, false);
}

bool ConnectionIntake::settle(Entry it, std::uint32_t events) {
    Progress progress;
    try {
        progress = read(it, events);
    } catch (const std::exception&) {
        progress = Progress::failed;  // no memory for its body: this connection only
    }
    if (progress == Progress::waiting) return true;
    if (progress == Progress::failed || progress == Progress::noRoom) {
        giveWay(it, progress == Progress::failed);
        return false;
    }
    try {
        becameReady_ = makeReady(it) || becameReady_;
    } catch (const std::exception&) {
        giveWay(it, false);  // no memory to queue it: this connection only
    }
    return false;
}

bool ConnectionIntake::holdBody(Entry it, std::size_t size) {
    Waiting& w = *it;
    // A frame these bytes make whole never becomes a partial one; one they leave short does.
    const bool whole = size == w.length;
    if (!whole && w.stage != Stage::partial) spoke(it);
    // What it shows with the bytes in hand, whether or not they need more memory.
    if (w.holder != SIZE_MAX) partials_[w.holder].received = size;
    if (size <= w.body.capacity()) return true;
    // Doubling bounds the copies of a trickle at twice its bytes; capped at its length, so a
    // whole body holds just that.
    const std::size_t capacity = std::min<std::size_t>(w.length, std::max(size, 2 * w.body.capacity()));
    const auto now = SteadyClock::now();
    const std::size_t more = capacity - w.body.capacity();
    if (!whole && w.holder == SIZE_MAX) {
        holders_.push_back(it);
        try {
            partials_.push_back({0, w.length, size, w.began});
        } catch (...) {
            holders_.pop_back();
            throw;
        }
        w.holder = holders_.size() - 1;
    }
    if (w.holder != SIZE_MAX) {
        PartialFrame& shown = partials_[w.holder];
        shown.offended = offences_->weight(w.host, now);
        // A candidate for what it asks. A whole frame is out of the choice, for the ready queue
        // and its own budget: the others make room for it, whatever it claimed.
        shown.held = whole ? 0 : capacity;
    }
    while (bodyBytes_ + more > limits_.bodyBytes) {
        const auto choice = AdmissionRule::partialToFree(partials_, now);
        if (!choice || holders_[*choice] == it) return false;
        giveWay(holders_[*choice], false);
    }
    w.body.reserve(capacity);
    bodyBytes_ += more;
    heldSinceTrim_ = std::max(heldSinceTrim_, bodyBytes_);
    return true;
}

ConnectionIntake::Progress ConnectionIntake::readWhole(Entry it) {
    Waiting& w = *it;
    w.body.reserve(w.length);
    bodyBytes_ += w.body.capacity();  // until it moves to the ready queue
    w.body.resize(w.length);
    for (std::size_t got = 0; got < w.length;) {
        const ssize_t n = ::recv(w.descriptor, w.body.data() + got, w.length - got, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Progress::failed;  // the system said it was there
        got += static_cast<std::size_t>(n);
    }
    return Progress::whole;
}

ConnectionIntake::Progress ConnectionIntake::read(Entry it, std::uint32_t events) {
    Waiting& w = *it;
    for (;;) {
        // Exactly what the first frame still needs: the next frame stays in the socket for the
        // connection's reader. A body holds memory for the bytes that are there (the socket
        // says how many), never for what its header announced, and they are read straight into
        // it: a flood of large frames costs one copy of each byte.
        std::uint8_t byte;
        std::uint8_t* into;
        std::size_t wanted;
        if (!w.inBody) {
            into = w.header + w.got;
            wanted = frame::kHeaderSize - w.got;
        } else {
            int there = 0;
            if (::ioctl(w.descriptor, FIONREAD, &there) != 0) there = 0;
            if (w.inSocket) {
                if (static_cast<std::size_t>(std::max(there, 0)) >= w.length) return readWhole(it);
                if (w.stage != Stage::partial) spoke(it);
                // Its end (or a reset) before the rest: the frame never comes.
                return events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR) ? Progress::failed : Progress::waiting;
            }
            wanted = std::min<std::size_t>(w.length - w.got, static_cast<std::size_t>(std::max(there, 0)));
            if (wanted == 0) {
                // Nothing there: its end, or a byte that came meanwhile.
                into = &byte;
                wanted = 1;
            } else {
                if (!holdBody(it, w.got + wanted)) return Progress::noRoom;
                w.body.resize(w.got + wanted);
                into = w.body.data() + w.got;
            }
        }
        const ssize_t n = ::recv(w.descriptor, into, wanted, MSG_DONTWAIT);
        if (w.inBody && into != &byte) w.body.resize(w.got + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Bytes of its frame and no more for now: a frame in pieces.
            if ((w.inBody || w.got > 0) && w.stage != Stage::partial) spoke(it);
            return Progress::waiting;
        }
        if (n <= 0) return Progress::failed;  // ended or broke before a whole frame
        const auto got = static_cast<std::size_t>(n);
        if (w.inBody) {
            if (into == &byte) {
                if (!holdBody(it, w.got + 1)) return Progress::noRoom;
                w.body.push_back(byte);
            }
            w.got += got;
            if (w.got == w.length) return Progress::whole;
            continue;
        }
        w.got += got;
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
        w.inSocket = w.length < limits_.inSocket && holdsUnread(w.descriptor, w.length);
        if (w.stage == Stage::partial) placeAgain(it);
    }
}

bool ConnectionIntake::makeReady(Entry it) {
    const auto now = SteadyClock::now();
    const std::size_t size = it->body.size();
    std::unique_lock lock(readyMutex_);
    // Room made before anything moves: a failure here leaves the entry where it was.
    while (!ready_.empty() && (ready_.size() >= limits_.ready || readyBytes_ + size > limits_.readyBytes)) {
        places_.clear();
        for (const FirstFrame& f : ready_) places_.push_back({Standing::answered, f.host, f.cameWhole});
        const auto freed = rule_.placeToFree(places_, {Standing::answered, it->host, now}, now);
        // A whole frame that finds no room is no offence of its peer: the owner fell behind.
        if (!freed) {
            lock.unlock();
            giveWay(it, false);
            return false;
        }
        FirstFrame& leaving = ready_[*freed];
        readyBytes_ -= leaving.frame.size();
        closeLater(std::move(leaving.connection));
        ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(*freed));
    }
    if (ready_.size() == ready_.capacity()) ready_.reserve(std::max<std::size_t>(16, 2 * ready_.capacity()));
    std::string host = it->host;
    // Nothing below throws: its socket goes on to the connection's own reader.
    bodyBytes_ -= it->body.capacity();
    Bytes frame = std::move(it->body);
    it->body = {};
    std::optional<net::TcpEndpoint> peer = std::move(it->peer);
    const bool wasEmpty = ready_.empty();
    ready_.push_back(FirstFrame{remove(it), std::move(peer), std::move(frame), std::move(host), now});
    readyBytes_ += size;
    return wasEmpty;
}

void ConnectionIntake::run(std::stop_token stop) {
    ::pthread_setname_np(::pthread_self(), "quill-intake");
    epoll_event events[64];
    std::vector<net::TcpConnectionPtr> arrived;  // kept: its room goes back to arriving_
    std::vector<net::TcpConnectionPtr> givesWay;  // each holds its place among the closing
    while (!stop.stop_requested()) {
        int timeout = -1;
        {
            // Every connection gets the same grace and limit: the oldest is the first to run
            // out of either.
            std::lock_guard lock(mutex_);
            auto next = SteadyClock::time_point::max();
            if (!newcomers_.empty()) next = newcomers_.front().graceEnd;
            if (!owing_.empty()) next = std::min(next, owing_.front().deadline);
            if (!partial_.empty()) next = std::min(next, partial_.front().deadline);
            if (heldSinceTrim_ >= kTrimAfter) {
                if (bodyBytes_ > 0) trimAt_ = SteadyClock::time_point::max();
                else if (trimAt_ == SteadyClock::time_point::max()) trimAt_ = SteadyClock::now() + kTrimQuiet;
                next = std::min(next, trimAt_);
            }
            if (next != SteadyClock::time_point::max())
                timeout = static_cast<int>(std::clamp<std::int64_t>(
                    std::chrono::ceil<std::chrono::milliseconds>(next - SteadyClock::now()).count(), 0, 1000));
        }
        const int count = ::epoll_wait(poller_, events, 64, timeout);
        passes_.fetch_add(1, std::memory_order_relaxed);
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
        bool becameReady = false, trim = false;
        {
            std::lock_guard lock(mutex_);
            becameReady_ = false;
            // What has come on the waiting sockets first: a newcomer only displaces what is
            // still silent.
            for (int i = 0; i < count; ++i) {
                const std::uint64_t serial = events[i].data.u64;
                if (serial == kWakerTag) continue;
                // One closed meanwhile is no longer here; its descriptor's number may be another's.
                if (auto found = bySerial_.find(serial); found != bySerial_.end()) {
                    try {
                        settle(found->second, events[i].events);
                    } catch (const std::exception&) {
                        // Left waiting: its next bytes or its limit decide.
                    }
                }
            }
            for (auto& connection : arrived) {
                try {
                    admit(std::move(connection));
                } catch (const std::exception&) {
                    // Dropped with what it held, its socket closed: this connection only.
                }
            }
            const auto now = SteadyClock::now();
            while (!newcomers_.empty() && newcomers_.front().graceEnd <= now) {
                try {
                    owe(newcomers_.begin());
                } catch (const std::exception&) {
                    // It owes among the others all the same; the next one past its grace makes room.
                }
            }
            // Without a whole first frame past the limit.
            while (!owing_.empty() && owing_.front().deadline <= now) giveWay(owing_.begin(), true);
            while (!partial_.empty() && partial_.front().deadline <= now) giveWay(partial_.begin(), true);
            // Those that spoke after their grace took a newcomer's place.
            try {
                keepPlaces();
            } catch (const std::exception&) {
                // The next pass makes room.
            }
            becameReady = becameReady_;
            givesWay.swap(givesWay_);
            if (trimAt_ <= now && bodyBytes_ == 0) {
                trim = true;
                heldSinceTrim_ = 0;
                trimAt_ = SteadyClock::time_point::max();
            }
        }
        resetLater(givesWay);
        if (trim) ::malloc_trim(0);
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

std::vector<ConnectionIntake::FirstFrame> ConnectionIntake::take(std::size_t most) {
    std::lock_guard lock(readyMutex_);
    if (most >= ready_.size()) {
        readyBytes_ = 0;
        return std::exchange(ready_, {});
    }
    std::vector<FirstFrame> taken;
    taken.reserve(most);
    const auto end = ready_.begin() + static_cast<std::ptrdiff_t>(most);
    for (auto it = ready_.begin(); it != end; ++it) {
        readyBytes_ -= it->frame.size();
        taken.push_back(std::move(*it));
    }
    ready_.erase(ready_.begin(), end);
    return taken;
}

void ConnectionIntake::refuse(FirstFrame& first, bool offended) {
    if (offended) offences_->note(first.host, SteadyClock::now());
    if (first.connection) resetLater(std::move(first.connection));
}

std::size_t ConnectionIntake::partialBytes() const {
    std::lock_guard lock(mutex_);
    return bodyBytes_;
}

std::size_t ConnectionIntake::partialFrames() const {
    std::lock_guard lock(mutex_);
    return partial_.size();
}

std::size_t ConnectionIntake::size() const {
    std::size_t arriving;
    {
        std::lock_guard lock(arrivingMutex_);
        arriving = arriving_.size();
    }
    std::lock_guard lock(mutex_);
    std::lock_guard readyLock(readyMutex_);
    return arriving + newcomers_.size() + owing_.size() + partial_.size() + ready_.size();
}

void ConnectionIntake::close() {
    WaitingList newcomers, owing, partial;
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
        newcomers.swap(newcomers_);
        owing.swap(owing_);
        partial.swap(partial_);
        bySerial_.clear();
        perHost_.clear();
        order_.clear();
        holders_.clear();
        partials_.clear();
        bodyBytes_ = 0;
        ready.swap(ready_);
        readyBytes_ = 0;
    }
    for (auto& c : arriving) resetNow(c);
    for (auto& w : newcomers) resetNow(w.connection);
    for (auto& w : owing) resetNow(w.connection);
    for (auto& w : partial) resetNow(w.connection);
    for (auto& r : ready) resetNow(r.connection);
}

}  // namespace quill
