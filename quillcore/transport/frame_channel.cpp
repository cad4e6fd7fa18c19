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
    return feed(ByteView(bytes), frames);
}

// ---- channel

struct FrameChannel::Private {};

FrameChannel::FrameChannel(const Private&, net::TcpConnectionPtr connection)
    : frames(AsyncStream<Bytes>::make()), connection_(std::move(connection)) {}

std::shared_ptr<FrameChannel> FrameChannel::make(net::TcpConnectionPtr connection) {
    auto channel = std::make_shared<FrameChannel>(Private{}, std::move(connection));
    channel->start();
    return channel;
}

std::shared_ptr<FrameChannel> FrameChannel::make(net::TcpConnectionPtr connection, Bytes firstFrame) {
    auto channel = std::make_shared<FrameChannel>(Private{}, std::move(connection));
    channel->bufferedBytes_ = firstFrame.size() + kFrameOverhead;
    channel->frames->push(firstFrame);
    channel->bufferedFrames_.push_back(std::move(firstFrame));
    channel->start();
    return channel;
}

std::shared_ptr<FrameChannel> FrameChannel::connect(const std::string& host, std::uint16_t port) {
    return make(net::TcpConnection::connect(host, port));
}

std::shared_ptr<FrameChannel> FrameChannel::connect(const net::TcpEndpoint& endpoint) {
    return connect(endpoint.host, endpoint.port);
}

std::shared_ptr<FrameChannel> FrameChannel::connectLocal(std::uint16_t port) { return connect("127.0.0.1", port); }

FrameChannel::~FrameChannel() {
    connection_->cancel();
    frames->finish();
}

void FrameChannel::start() {
    connection_->start();
    requestRead();
}

void FrameChannel::requestRead() {
    std::size_t requested = reader_.wanted();
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
        std::function<void()> notify;
        {
            std::lock_guard lock(mutex_);
            ended = failLocked(FrameChannelError::network(*error));
            notify = notify_;
        }
        if (ended) endConnection();
        if (ended && notify) notify();
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
    std::function<void()> notify;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        notify = notify_;
        for (auto& f : received) {
            bufferedBytes_ += f.size() + kFrameOverhead;
            bufferedFrames_.push_back(std::move(f));
        }
        if (oversize) ended = failLocked(*oversize);
        else if (!complete || endOfStream) ended = failLocked(FrameChannelError::connectionClosed());
        else if (bufferedBytes_ >= kMaxBufferedBytes) readPaused_ = true;
        else next = true;
    }
    for (auto& f : forStream)
        if (!frames->push(std::move(f))) streamTakesFrames_ = false;  // detached or finished: for good
    if (!received.empty()) cv_.notify_all();
    if (ended) endConnection();
    if (notify && (ended || !received.empty())) notify();
    if (next) requestRead();
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
    std::function<void()> notify;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
        notify = notify_;
    }
    endConnection();
    if (notify) notify();
}

bool FrameChannel::ended() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

void FrameChannel::setChangeNotifier(std::function<void()> notify) {
    std::lock_guard lock(mutex_);
    notify_ = std::move(notify);
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
            bool resume = readPaused_ && !closed_ && bufferedBytes_ < kMaxBufferedBytes;
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
