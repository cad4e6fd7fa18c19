#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "quillcore/base/clock.h"
#include "quillcore/envelope/envelope_receiver.h"
#include "quillcore/identity/device_identity.h"
#include "quillcore/identity/peer_record.h"
#include "quillcore/identity/peer_store.h"
#include "quillcore/signalling/signalling_message.h"
#include "quillcore/transport/frame_channel.h"

namespace quill {

// Sealed signalling messages over a frame channel: every message is one frame holding one
// envelope. What is sent is sealed for one peer with this device's identity; what arrives is
// opened by a receiver of the link's own and queued, in order, for next().
//
// The link ends at the first frame that is not an envelope which opens for this device
// (bad JSON, stale, replayed, unknown sender, bad signature, ...), or when the channel ends.
// Messages queued before that are still handed out; then next() throws that error (or
// returns none when the channel simply ended).
//
// Thread-safe; send(), next() and close() may be called from any thread but the network
// I/O thread. Dropping the link closes it: its channel is closed and its read thread joined.
class EnvelopeLink {
public:
    // Starts reading at once and takes over the channel's frames: its `frames` stream is
    // detached. `clock` stamps sent envelopes and is the time received ones are checked against.
    EnvelopeLink(FrameChannelPtr channel, DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore,
                 std::shared_ptr<WallClock> clock = WallClock::system());
    ~EnvelopeLink();
    EnvelopeLink(const EnvelopeLink&) = delete;
    EnvelopeLink& operator=(const EnvelopeLink&) = delete;

    // Seals `message` for `recipient` and sends it as one frame. Throws what sealing or the
    // channel throws (FrameChannelError::connectionClosed once the channel is closed); a
    // failed send leaves the link as it was.
    void send(const SignallingMessage& message, const PeerRecord& recipient);

    // The oldest received message; none when the time limit passed (the link stays open) or
    // the link is closed without error and nothing is queued. No limit waits until a message
    // comes or the link ends. Throws the error that ended the link once the queue is empty,
    // as often as it is called.
    std::optional<OpenedEnvelope> next(std::optional<double> timeout = std::nullopt);

    // Ends the link and closes its channel; a waiting next() returns none, queued messages
    // stay readable. Idempotent, never throws.
    void close() noexcept;

    const FrameChannelPtr& channel() const { return channel_; }

    // Messages received and opened that no next() took yet.
    std::size_t queuedCount() const;

private:
    // What the read thread shares with the link.
    struct State {
        State(FrameChannelPtr channel, DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore,
              std::shared_ptr<WallClock> clock);

        const FrameChannelPtr channel;
        EnvelopeReceiver receiver;  // used by the read thread only
        const std::shared_ptr<WallClock> clock;

        std::mutex mutex;
        std::condition_variable cv;
        std::deque<OpenedEnvelope> queue;
        std::exception_ptr terminalError;
        bool closed = false;

        void fail(std::exception_ptr error);
    };

    static void readLoop(std::stop_token stop, std::shared_ptr<State> state);

    const FrameChannelPtr channel_;
    const DeviceIdentity identity_;
    const std::shared_ptr<State> state_;
    std::jthread reader_;
};

}  // namespace quill
