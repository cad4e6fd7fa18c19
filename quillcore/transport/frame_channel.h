#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quillcore/base/async_stream.h"
#include "quillcore/base/bytes.h"
#include "quillcore/base/error.h"
#include "quillcore/base/json.h"
#include "quillcore/net/tcp_connection.h"

namespace quill {

// Failures of a frame channel.
class FrameChannelError : public Error {
public:
    enum class Kind { frameTooLarge, network, connectionClosed, tooManyFrames };

    static FrameChannelError frameTooLarge(std::int64_t length) { return {Kind::frameTooLarge, length, {}}; }
    static FrameChannelError network(std::string text) { return {Kind::network, 0, std::move(text)}; }
    static FrameChannelError connectionClosed() { return {Kind::connectionClosed, 0, {}}; }
    // More unread frames than a channel that ends when full may hold.
    static FrameChannelError tooManyFrames() { return {Kind::tooManyFrames, 0, {}}; }

    std::string description() const override;
    bool operator==(const FrameChannelError&) const = default;

    Kind kind;
    std::int64_t length = 0;  // frameTooLarge: the refused payload length
    std::string text;         // network: what went wrong

private:
    FrameChannelError(Kind kind, std::int64_t length, std::string text)
        : kind(kind), length(length), text(std::move(text)) {}
};

// The wire form: a four-byte big-endian payload length, then the payload.
namespace frame {

inline constexpr std::size_t kHeaderSize = 4;
inline constexpr std::uint32_t kMaxFrameSize = 1'048'576;
inline constexpr std::size_t kMaxBufferedBytes = 4 * 1024 * 1024;

// The announced payload length of a header, or frameTooLarge when it is over the limit.
std::uint32_t parseHeader(const std::uint8_t (&header)[kHeaderSize]);

// Header and payload in one buffer; frameTooLarge when the payload is over the limit.
Bytes encode(ByteView payload);

}  // namespace frame

// Cuts a byte stream into frames. The channel drives it with reads of exactly wanted()
// bytes; it also takes a stream cut anywhere.
class FrameReader {
public:
    // Refuses headers that announce more than `maxFrameSize` (at most frame::kMaxFrameSize).
    explicit FrameReader(std::uint32_t maxFrameSize = frame::kMaxFrameSize);

    // Bytes still missing from the current header or body; never zero.
    std::size_t wanted() const;
    // Bytes of the current body received so far.
    std::size_t bodyReceived() const { return inBody_ ? partial_.size() : 0; }

    // Consumes `bytes` and appends every frame it completes to `frames`. An oversize header
    // ends the stream: the error is returned (now and on every later call) and nothing after
    // the header is consumed.
    std::optional<FrameChannelError> feed(ByteView bytes, std::vector<Bytes>& frames);
    // As feed(), without a copy when `bytes` is exactly the rest of a body.
    std::optional<FrameChannelError> feed(Bytes&& bytes, std::vector<Bytes>& frames);

    // True while part of a header or body has been consumed.
    bool midFrame() const { return !partial_.empty() || inBody_; }

private:
    void completeBody(std::vector<Bytes>& frames);

    std::uint32_t maxFrameSize_;
    bool inBody_ = false;
    std::uint32_t bodyLength_ = 0;
    Bytes partial_;  // header bytes, or body bytes so far
    std::optional<FrameChannelError> error_;
};

// What one channel takes from its peer. The defaults suit a session; a peer that must wait its
// turn (a pairing before its user decided) gets a channel that takes less and ends when full.
struct FrameChannelLimits {
    // Larger frames end the channel from their header (frameTooLarge); at most frame::kMaxFrameSize.
    std::uint32_t maxFrameSize = frame::kMaxFrameSize;
    // Received frames waiting for nextFrame(), each counted with FrameChannel::kFrameOverhead.
    std::size_t maxBufferedBytes = frame::kMaxBufferedBytes;
    // Beyond maxBufferedBytes: false pauses reading from the socket until a reader catches up;
    // true ends the channel with tooManyFrames (the frame that did not fit is dropped).
    bool endWhenFull = false;
};

// A two-way channel of discrete messages (frames) over one TCP connection.
//
// Every received frame is delivered twice: into the `frames` stream and to nextFrame() (kept
// until a reader takes it). Frames already received are handed out by nextFrame() before
// the error that ended the channel is thrown, so a peer's last message before it closes is
// never lost. The consumer of `frames` may detach it, after which nothing is buffered
// there.
//
// Thread-safe and blocking; never call it on the network I/O thread. Reached through a
// shared_ptr; dropping the last reference closes the connection and finishes `frames`.
class FrameChannel : public std::enable_shared_from_this<FrameChannel> {
public:
    using Limits = FrameChannelLimits;
    static constexpr std::uint32_t maxFrameSize = frame::kMaxFrameSize;
    // Received frames waiting for nextFrame() beyond this many bytes (counting a small
    // overhead per frame) pause reading from the socket until a reader catches up, so a
    // peer can make the channel hold only a bounded amount of memory (by default; see Limits).
    static constexpr std::size_t kMaxBufferedBytes = frame::kMaxBufferedBytes;
    static constexpr std::size_t kFrameOverhead = 64;
    // A body is read in steps that grow with what arrived, from this size on, so a header
    // alone never makes the channel allocate the body it announces.
    static constexpr std::size_t kFirstBodyStep = 64 * 1024;

    // Wraps a connection that was not started yet (e.g. one a listener accepted) and starts
    // it.
    static std::shared_ptr<FrameChannel> make(net::TcpConnectionPtr connection, Limits limits = {});
    // Wraps a started connection whose first frame was already read: that frame is the
    // channel's first, for nextFrame() and `frames` alike (one over the limits ends the channel
    // at once with frameTooLarge).
    static std::shared_ptr<FrameChannel> make(net::TcpConnectionPtr connection, Bytes firstFrame, Limits limits = {});
    // A client channel to host:port. Connecting happens in the background; a connection that
    // fails surfaces as a `network` error of the reads (and of sends).
    static std::shared_ptr<FrameChannel> connect(const std::string& host, std::uint16_t port, Limits limits = {});
    static std::shared_ptr<FrameChannel> connect(const net::TcpEndpoint& endpoint);
    // A client channel to 127.0.0.1 at `port`.
    static std::shared_ptr<FrameChannel> connectLocal(std::uint16_t port, Limits limits = {});

    ~FrameChannel();
    FrameChannel(const FrameChannel&) = delete;
    FrameChannel& operator=(const FrameChannel&) = delete;

    // Writes one frame and waits until the connection took it. frameTooLarge for a payload
    // over maxFrameSize (nothing written), connectionClosed once the channel is closed or
    // failed, network when the write fails (the channel stays open).
    void send(ByteView payload);

    // The next frame; none when the channel is closed (after what was buffered) or the
    // timeout ran out (the channel stays open). No timeout waits without limit. Throws the
    // error that ended the channel once no received frame is left.
    std::optional<Bytes> nextFrame(std::optional<double> timeout = std::nullopt);

    // Sends the JSON text of one value as one frame. A value that cannot be encoded throws
    // network("could not encode JSON: " + why) and writes nothing.
    void sendJSON(const json::Json& value);
    void sendJSON(const json::OrderedJson& value);
    // As sendJSON(), without waiting until the connection took it: a write that fails ends
    // nothing here (later sends and reads see the connection's end). Frames keep their order.
    void postJSON(const json::OrderedJson& value);

    // Ends the channel from this side: a waiting reader returns none, buffered frames stay
    // readable, sends throw connectionClosed, `frames` finishes. Idempotent.
    void close();

    // Every received frame in order; finished when the channel closes or fails.
    const AsyncStreamPtr<Bytes> frames;

    // Frames waiting for nextFrame().
    std::size_t bufferedFrameCount() const;
    // Closed from either side or failed: no frame comes any more.
    bool ended() const;
    // Called after frames arrived (on the network thread) or the channel ended (there, or on the
    // thread that closed it); none: no longer. It must not block or call into the channel: it may
    // only post. Once this returns, the notifier it replaced runs no more, so what it captured
    // may go; called from inside the notifier, it waits for nobody.
    void setChangeNotifier(std::function<void()> notify);

    // The peer, as the connection knows it.
    std::optional<net::TcpEndpoint> remoteEndpoint() const { return connection_->remoteEndpoint(); }

    // Use make()/connect().
    struct Private;
    FrameChannel(const Private&, net::TcpConnectionPtr connection, Limits limits);

private:
    void start();
    // With the lock held: a copy of the notifier to call once it is released (none if there is
    // none), counted as running until notify() returns.
    std::function<void()> notifierLocked();
    void notify(const std::function<void()>& notifier);
    void sendEncoded(const std::function<std::string()>& encode, bool wait = true);
    // Writes one encoded frame; `wait`: until the connection took it.
    void write(Bytes wire, bool wait);
    void requestRead();
    void handleRead(Bytes data, bool endOfStream, std::optional<std::string> error, std::size_t requested);
    // With the lock held; returns whether this call ended the channel.
    bool failLocked(FrameChannelError error);
    void endConnection();

    const net::TcpConnectionPtr connection_;
    const Limits limits_;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool closed_ = false;
    std::optional<FrameChannelError> terminalError_;
    std::deque<Bytes> bufferedFrames_;
    std::size_t bufferedBytes_ = 0;
    bool readPaused_ = false;  // too much buffered: no read outstanding until a reader drains
    FrameReader reader_;       // touched only by the read cycle (one read at a time)
    bool streamTakesFrames_ = true;  // read cycle only: false once `frames` refused a frame
    std::function<void()> notify_;   // under mutex_
    // Notifier calls running now, with the version of the notifier each copied; a replacement
    // waits until those of older versions have returned.
    struct Notifying {
        std::thread::id thread;
        std::uint64_t version;
    };
    std::vector<Notifying> notifying_;
    std::uint64_t notifierVersion_ = 0;
    std::condition_variable notifiedCv_;
};

using FrameChannelPtr = std::shared_ptr<FrameChannel>;

}  // namespace quill
