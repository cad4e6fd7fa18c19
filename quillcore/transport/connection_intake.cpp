#include "quillcore/transport/connection_intake.h"

#include <asio.hpp>
#include <algorithm>
#include <unordered_map>

#include "quillcore/net/tcp_io.h"
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

}  // namespace

struct ConnectionIntake::Private {};

ConnectionIntake::ConnectionIntake(const Private&, Limits limits, std::function<void()> onReady)
    : limits_(limits), onReady_(std::move(onReady)) {}

std::shared_ptr<ConnectionIntake> ConnectionIntake::make(Limits limits, std::function<void()> onReady) {
    return std::make_shared<ConnectionIntake>(Private{}, limits, std::move(onReady));
}

ConnectionIntake::~ConnectionIntake() { close(); }

void ConnectionIntake::add(net::TcpConnectionPtr connection) {
    auto peer = connection->remoteEndpoint();
    std::string host = peer ? peer->host : std::string();
    net::TcpConnectionPtr givesWay;
    std::uint64_t serial = 0;
    bool startSweep = false;
    {
        std::lock_guard lock(mutex_);
        const auto now = SteadyClock::now();
        const auto fromHost = static_cast<std::size_t>(
            std::count_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.host == host; }));
        std::optional<std::size_t> freed;
        if (!closed_ && fromHost < limits_.perAddress && waiting_.size() >= limits_.waiting)
            freed = placeToFree(waiting_, host, offences_, now);
        if (closed_ || fromHost >= limits_.perAddress || (waiting_.size() >= limits_.waiting && !freed)) {
            if (!closed_) offences_.note(host, now);
            givesWay = std::move(connection);
        } else {
            if (freed) {
                offences_.note(waiting_[*freed].host, now);
                givesWay = std::move(waiting_[*freed].connection);
                waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(*freed));
            }
            serial = ++nextSerial_;
            waiting_.push_back(Waiting{serial, connection, std::move(peer), std::move(host),
                                       Deadline::after(limits_.firstFrameLimit).at().value_or(SteadyClock::time_point::max())});
            startSweep = !sweeping_;
            sweeping_ = true;
        }
    }
    if (givesWay) givesWay->reset();
    if (!connection) return;
    connection->start();
    readHeader(serial, connection);
    if (startSweep) sweepLater();
}

void ConnectionIntake::readHeader(std::uint64_t serial, const net::TcpConnectionPtr& connection) {
    std::weak_ptr<ConnectionIntake> weak = weak_from_this();
    std::weak_ptr<net::TcpConnection> weakConnection = connection;
    connection->receive(frame::kHeaderSize, [weak, weakConnection, serial](Bytes data, bool, std::optional<std::string>) {
        auto self = weak.lock();
        if (!self) return;
        auto connection = weakConnection.lock();
        std::uint32_t length = 0;
        try {
            if (!connection || data.size() != frame::kHeaderSize) return self->drop(serial);
            std::uint8_t header[frame::kHeaderSize];
            std::copy(data.begin(), data.end(), header);
            length = frame::parseHeader(header);
        } catch (const FrameChannelError&) {
            return self->drop(serial);
        }
        // Judged from the header alone: a refused body is never read.
        if (length > self->limits_.maxFirstFrame) return self->drop(serial);
        if (length == 0) return self->complete(serial, {});
        self->readBody(serial, connection, length);
    });
}

void ConnectionIntake::readBody(std::uint64_t serial, const net::TcpConnectionPtr& connection, std::uint32_t length) {
    std::weak_ptr<ConnectionIntake> weak = weak_from_this();
    connection->receive(length, [weak, serial, length](Bytes data, bool, std::optional<std::string>) {
        auto self = weak.lock();
        if (!self) return;
        if (data.size() != length) return self->drop(serial);
        self->complete(serial, std::move(data));
    });
}

void ConnectionIntake::drop(std::uint64_t serial) {
    net::TcpConnectionPtr dropped;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.serial == serial; });
        if (it == waiting_.end()) return;
        offences_.note(it->host, SteadyClock::now());
        dropped = std::move(it->connection);
        waiting_.erase(it);
    }
    dropped->reset();
}

void ConnectionIntake::complete(std::uint64_t serial, Bytes frame) {
    net::TcpConnectionPtr givesWay;
    bool wasEmpty = false;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.serial == serial; });
        if (it == waiting_.end()) return;
        Waiting entry = std::move(*it);
        waiting_.erase(it);
        const auto now = SteadyClock::now();
        std::optional<std::size_t> freed;
        if (ready_.size() >= limits_.ready) freed = placeToFree(ready_, entry.host, offences_, now);
        if (ready_.size() >= limits_.ready && !freed) {
            offences_.note(entry.host, now);
            givesWay = std::move(entry.connection);
        } else {
            if (freed) {
                offences_.note(ready_[*freed].host, now);
                givesWay = std::move(ready_[*freed].connection);
                ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(*freed));
            }
            wasEmpty = ready_.empty();
            ready_.push_back(FirstFrame{std::move(entry.connection), std::move(entry.peer), std::move(frame),
                                        std::move(entry.host)});
        }
    }
    if (givesWay) givesWay->reset();
    if (wasEmpty && onReady_) onReady_();
}

std::vector<ConnectionIntake::FirstFrame> ConnectionIntake::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(ready_, {});
}

void ConnectionIntake::blame(const std::string& host) {
    std::lock_guard lock(mutex_);
    offences_.note(host, SteadyClock::now());
}

std::size_t ConnectionIntake::size() const {
    std::lock_guard lock(mutex_);
    return waiting_.size() + ready_.size();
}

void ConnectionIntake::close() {
    std::vector<Waiting> waiting;
    std::vector<FirstFrame> ready;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        waiting.swap(waiting_);
        ready.swap(ready_);
    }
    for (auto& w : waiting) w.connection->reset();
    for (auto& r : ready) r.connection->reset();
}

// One timer for all waiting connections: it closes those past their limit, a small fraction of
// the limit late at most.
void ConnectionIntake::sweepLater() {
    const double period = std::clamp(limits_.firstFrameLimit / 10, 0.01, 0.5);
    auto timer = std::make_shared<asio::steady_timer>(net::ioContext());
    timer->expires_after(std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(period)));
    std::weak_ptr<ConnectionIntake> weak = weak_from_this();
    timer->async_wait([weak, timer](const asio::error_code&) {
        if (auto self = weak.lock()) self->sweep();
    });
}

void ConnectionIntake::sweep() {
    std::vector<net::TcpConnectionPtr> expired;
    bool again;
    {
        std::lock_guard lock(mutex_);
        const auto now = SteadyClock::now();
        // Oldest first, and every connection gets the same limit.
        auto end = std::find_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.deadline > now; });
        for (auto it = waiting_.begin(); it != end; ++it) {
            offences_.note(it->host, now);
            expired.push_back(std::move(it->connection));
        }
        waiting_.erase(waiting_.begin(), end);
        again = sweeping_ = !waiting_.empty();
    }
    for (auto& c : expired) c->reset();
    if (again) sweepLater();
}

}  // namespace quill
