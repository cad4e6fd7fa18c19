#include "quillcore/transport/frame_channel.h"

#include <algorithm>
#include <future>
#include <stdexcept>

#include "quillcore/net/tcp_io.h"

namespace quill {

std::string FrameChannelError::description() const {
    switch (kind) {
        case Kind::frameTooLarge:
            return "The other device sent a message that was too large (" + std::to_string(length) + " bytes).";
        case Kind::network: return "Could not reach the other device: " + text;
        case Kind::connectionClosed: return "The other device closed the connection.";
        case Kind::tooManyFrames: return "The other device sent more messages than were read.";
    }
    return "Frame channel error.";
}

// ---- wire form

std::uint32_t frame::parseHeader(const std::uint8_t (&header)[kHeaderSize]) {
    std::uint32_t length = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                           (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
    if (length > kMaxFrameSize) throw FrameChannelError::frameTooLarge(length);
    return length;
}

Bytes frame::encode(ByteView payload) {
    if (payload.size() > kMaxFrameSize)
        throw FrameChannelError::frameTooLarge(static_cast<std::int64_t>(payload.size()));
    auto length = static_cast<std::uint32_t>(payload.size());
    Bytes out;
    out.reserve(kHeaderSize + payload.size());
    out.push_back(static_cast<std::uint8_t>(length >> 24));
    out.push_back(static_cast<std::uint8_t>(length >> 16));
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(length));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// ---- reader

FrameReader::FrameReader(std::uint32_t maxFrameSize) : maxFrameSize_(std::min(maxFrameSize, frame::kMaxFrameSize)) {}

std::size_t FrameReader::wanted() const {
    return inBody_ ? bodyLength_ - partial_.size() : frame::kHeaderSize - partial_.size();
}

void FrameReader::completeBody(std::vector<Bytes>& frames) {
    frames.push_back(std::move(partial_));
    partial_ = Bytes();
    inBody_ = false;
}

std::optional<FrameChannelError> FrameReader::feed(ByteView bytes, std::vector<Bytes>& frames) {
    std::size_t at = 0;
    while (!error_ && at < bytes.size()) {
        std::size_t take = std::min(wanted(), bytes.size() - at);
        // A body grows by doubling up to its announced length, never beyond it.
        if (inBody_ && partial_.capacity() < partial_.size() + take)
            partial_.reserve(std::min<std::size_t>(bodyLength_, std::max(2 * partial_.capacity(), partial_.size() + take)));
        partial_.insert(partial_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                        bytes.begin() + static_cast<std::ptrdiff_t>(at + take));
        at += take;
        if (inBody_) {
            if (partial_.size() == bodyLength_) completeBody(frames);
            continue;
        }
        if (partial_.size() < frame::kHeaderSize) continue;
        std::uint8_t header[frame::kHeaderSize];
        std::copy(partial_.begin(), partial_.end(), header);
        partial_.clear();
        try {
            bodyLength_ = frame::parseHeader(header);
        } catch (const FrameChannelError& e) {
            // The body of an oversize frame is never read.
            error_ = e;
            break;
        }
        if (bodyLength_ > maxFrameSize_) {
            error_ = FrameChannelError::frameTooLarge(bodyLength_);
            break;
        }
        if (bodyLength_ == 0) frames.emplace_back();
        else inBody_ = true;
    }
    return error_;
}

std::optional<FrameChannelError> FrameReader::feed(Bytes&& bytes, std::vector<Bytes>& frames) {
    if (!error_ && inBody_ && partial_.empty() && bytes.size() == bodyLength_) {
        frames.push_back(std::move(bytes));
        inBody_ = false;
        return std::nullopt;
    }
    // The first piece of a body read in steps becomes its buffer.
    if (!error_ && inBody_ && partial_.empty() && !bytes.empty() && bytes.size() < bodyLength_) {
        partial_ = std::move(bytes);
        return std::nullopt;
    }
    return feed(ByteView(bytes), frames);
}

// ---- channel

struct FrameChannel::Private {};

FrameChannel::FrameChannel(const Private&, net::TcpConnectionPtr connection, Limits limits)
    : frames(AsyncStream<Bytes>::make()),
      connection_(std::move(connection)),
      limits_(limits),
      reader_(limits.maxFrameSize) {}

std::shared_ptr<FrameChannel> FrameChannel::make(net::TcpConnectionPtr connection, Limits limits) {
    auto channel = std::make_shared<FrameChannel>(Private{}, std::move(connection), limits);
    channel->start();
    return channel;
}

std::shared_ptr<FrameChannel> FrameChannel::make(net::TcpConnectionPtr connection, Bytes firstFrame, Limits limits) {
    auto channel = std::make_shared<FrameChannel>(Private{}, std::move(connection), limits);
    if (firstFrame.size() > std::min(limits.maxFrameSize, frame::kMaxFrameSize)) {
        channel->closed_ = true;
        channel->terminalError_ = FrameChannelError::frameTooLarge(static_cast<std::int64_t>(firstFrame.size()));
        channel->endConnection();
        return channel;
    }
    channel->bufferedBytes_ = firstFrame.size() + kFrameOverhead;
    channel->frames->push(firstFrame);
    channel->bufferedFrames_.push_back(std::move(firstFrame));
    channel->start();
    return channel;
}

std::shared_ptr<FrameChannel> FrameChannel::connect(const std::string& host, std::uint16_t port, Limits limits) {
    return make(net::TcpConnection::connect(host, port), limits);
}

std::shared_ptr<FrameChannel> FrameChannel::connect(const net::TcpEndpoint& endpoint) {
    return connect(endpoint.host, endpoint.port);
}

std::shared_ptr<FrameChannel> FrameChannel::connectLocal(std::uint16_t port, Limits limits) {
    return connect("127.0.0.1", port, limits);
}

FrameChannel::~FrameChannel() {
    connection_->cancel();
    frames->finish();
}

void FrameChannel::start() {
    connection_->start();
    requestRead();
}

void FrameChannel::requestRead() {
    // The connection makes room for the whole request up front: a body is asked for in steps.
    std::size_t requested = std::min(reader_.wanted(), std::max(kFirstBodyStep, reader_.bodyReceived()));
    std::weak_ptr<FrameChannel> weak = weak_from_this();
    connection_->receive(requested, [weak, requested](Bytes data, bool endOfStream, std::optional<std::string> error) {
        if (auto self = weak.lock()) self->handleRead(std::move(data), endOfStream, std::move(error), requested);
    });
}

void FrameChannel::handleRead(Bytes data, bool endOfStream, std::optional<std::string> error, std::size_t requested) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
    }
    if (error) {
        bool ended;
        std::function<void()> notifier;
        {
            std::lock_guard lock(mutex_);
            ended = failLocked(FrameChannelError::network(*error));
            if (ended) notifier = notifierLocked();
        }
        if (ended) endConnection();
        notify(notifier);
        return;
    }
    bool complete = data.size() == requested;
    std::vector<Bytes> received;
    auto oversize = reader_.feed(std::move(data), received);
    // The stream gets its own copy only while it still takes frames.
    std::vector<Bytes> forStream;
    if (streamTakesFrames_) forStream = received;

    bool ended = false;
    bool next = false;
    std::function<void()> notifier;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        std::size_t kept = 0;
        for (auto& f : received) {
            if (limits_.endWhenFull && bufferedBytes_ + f.size() + kFrameOverhead > limits_.maxBufferedBytes) {
                ended = failLocked(FrameChannelError::tooManyFrames());
                break;
            }
            bufferedBytes_ += f.size() + kFrameOverhead;
            bufferedFrames_.push_back(std::move(f));
            ++kept;
        }
        received.resize(kept);
        forStream.resize(std::min(forStream.size(), kept));
        if (ended) {
            // Full: nothing more is read.
        } else if (oversize) {
            ended = failLocked(*oversize);
        } else if (!complete || endOfStream) {
            ended = failLocked(FrameChannelError::connectionClosed());
        } else if (bufferedBytes_ >= limits_.maxBufferedBytes) {
            readPaused_ = true;
        } else {
            next = true;
        }
        if (ended || !received.empty()) notifier = notifierLocked();
    }
    for (auto& f : forStream)
        if (!frames->push(std::move(f))) streamTakesFrames_ = false;  // detached or finished: for good
    if (!received.empty()) cv_.notify_all();
    if (ended) endConnection();
    notify(notifier);
    if (next) requestRead();
}

std::function<void()> FrameChannel::notifierLocked() {
    if (!notify_) return {};
    notifying_.push_back({std::this_thread::get_id(), notifierVersion_});
    return notify_;
}

void FrameChannel::notify(const std::function<void()>& notifier) {
    if (!notifier) return;
    struct Done {
        FrameChannel& channel;
        ~Done() {
            {
                std::lock_guard lock(channel.mutex_);
                auto& running = channel.notifying_;
                running.erase(std::find_if(running.begin(), running.end(),
                                           [](const Notifying& n) { return n.thread == std::this_thread::get_id(); }));
            }
            channel.notifiedCv_.notify_all();
        }
    } done{*this};
    notifier();
}

bool FrameChannel::failLocked(FrameChannelError error) {
    if (closed_) return false;
    closed_ = true;
    terminalError_ = std::move(error);
    return true;
}

void FrameChannel::endConnection() {
    connection_->cancel();
    cv_.notify_all();
    frames->finish();
}

void FrameChannel::close() {
    std::function<void()> notifier;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
        notifier = notifierLocked();
    }
    endConnection();
    notify(notifier);
}

bool FrameChannel::ended() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

void FrameChannel::setChangeNotifier(std::function<void()> notify) {
    std::unique_lock lock(mutex_);
    std::function<void()> replaced = std::exchange(notify_, std::move(notify));
    const std::uint64_t version = ++notifierVersion_;
    const auto self = std::this_thread::get_id();
    // From inside a notifier call: its own call is still running, and waiting for another
    // thread's could wait on one that waits for this one.
    const bool inside = std::any_of(notifying_.begin(), notifying_.end(), [&](const Notifying& n) { return n.thread == self; });
    if (!inside)
        notifiedCv_.wait(lock, [&] {
            return std::none_of(notifying_.begin(), notifying_.end(), [&](const Notifying& n) { return n.version < version; });
        });
    lock.unlock();
    // `replaced` is destroyed here, outside the lock.
}

std::size_t FrameChannel::bufferedFrameCount() const {
    std::lock_guard lock(mutex_);
    return bufferedFrames_.size();
}

std::optional<Bytes> FrameChannel::nextFrame(std::optional<double> timeout) {
    if (net::onIoThread()) throw std::logic_error("FrameChannel::nextFrame must not block the network I/O thread");
    Deadline deadline = timeout ? Deadline::after(*timeout) : Deadline::never();
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!bufferedFrames_.empty()) {
            Bytes frame = std::move(bufferedFrames_.front());
            bufferedFrames_.pop_front();
            bufferedBytes_ -= frame.size() + kFrameOverhead;
            bool resume = readPaused_ && !closed_ && bufferedBytes_ < limits_.maxBufferedBytes;
            if (resume) readPaused_ = false;
            lock.unlock();
            if (resume) requestRead();
            return frame;
        }
        if (terminalError_) throw *terminalError_;
        if (closed_) return std::nullopt;
        if (auto at = deadline.at()) {
            if (SteadyClock::now() >= *at) return std::nullopt;
            cv_.wait_until(lock, *at);
        } else {
            cv_.wait(lock);
        }
    }
}

void FrameChannel::send(ByteView payload) { write(frame::encode(payload), true); }

void FrameChannel::write(Bytes wire, bool wait) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) throw FrameChannelError::connectionClosed();
    }
    if (!wait) return connection_->send(std::move(wire), [](std::optional<std::string>) {});
    if (net::onIoThread()) throw std::logic_error("FrameChannel::send must not block the network I/O thread");
    auto done = std::make_shared<std::promise<std::optional<std::string>>>();
    auto result = done->get_future();
    connection_->send(std::move(wire), [done](std::optional<std::string> error) { done->set_value(std::move(error)); });
    if (auto error = result.get()) throw FrameChannelError::network(*error);
}

void FrameChannel::sendEncoded(const std::function<std::string()>& encode, bool wait) {
    std::string text;
    try {
        text = encode();
    } catch (const Error& e) {
        throw FrameChannelError::network("could not encode JSON: " + e.description());
    } catch (const std::exception& e) {
        throw FrameChannelError::network(std::string("could not encode JSON: ") + e.what());
    }
    write(frame::encode(toBytes(text)), wait);
}

void FrameChannel::sendJSON(const json::Json& value) {
    sendEncoded([&] { return json::dumpEscapingSlashes(value); });
}

void FrameChannel::sendJSON(const json::OrderedJson& value) {
    sendEncoded([&] { return json::dumpEscapingSlashes(value); });
}

void FrameChannel::postJSON(const json::OrderedJson& value) {
    sendEncoded([&] { return json::dumpEscapingSlashes(value); }, false);
}

}  // namespace quill
