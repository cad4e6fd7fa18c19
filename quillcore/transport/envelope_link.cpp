#include "quillcore/transport/envelope_link.h"

#include "quillcore/crypto/crypto.h"
#include "quillcore/envelope/envelope_sealer.h"

namespace quill {

EnvelopeLink::State::State(FrameChannelPtr channel, DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore,
                           std::shared_ptr<WallClock> clock)
    : channel(std::move(channel)), receiver(std::move(identity), std::move(peerStore)), clock(std::move(clock)) {}

void EnvelopeLink::State::fail(std::exception_ptr error) {
    {
        std::lock_guard lock(mutex);
        if (!closed) {
            closed = true;
            terminalError = std::move(error);
        }
    }
    cv.notify_all();
    channel->close();
}

EnvelopeLink::EnvelopeLink(FrameChannelPtr channel, DeviceIdentity identity, std::shared_ptr<PeerStore> peerStore,
                           std::shared_ptr<WallClock> clock)
    : channel_(channel),
      identity_(identity),
      state_(std::make_shared<State>(std::move(channel), std::move(identity), std::move(peerStore), std::move(clock))) {
    // The link reads every frame through nextFrame(); a second copy in the channel's stream,
    // which nobody reads, would grow until the channel is dropped.
    channel_->frames->detach();
    reader_ = std::jthread(readLoop, state_);
}

EnvelopeLink::~EnvelopeLink() {
    close();
    // The read thread holds only the shared state, never the link, so this never runs there;
    // detach rather than deadlock should that ever change.
    if (reader_.joinable() && reader_.get_id() == std::this_thread::get_id()) reader_.detach();
}

void EnvelopeLink::readLoop(std::stop_token stop, std::shared_ptr<State> state) {
    while (!stop.stop_requested()) {
        std::optional<Bytes> frame;
        try {
            frame = state->channel->nextFrame();
        } catch (...) {
            return state->fail(std::current_exception());
        }
        // Closed from this side: end without touching the link.
        if (stop.stop_requested()) return;
        if (!frame) return state->fail(nullptr);

        std::optional<OpenedEnvelope> opened;
        try {
            // A frame that is not a sealed envelope for this device is never skipped: it ends
            // the link.
            opened.emplace(state->receiver.open(Envelope::decode(ByteView(*frame)), state->clock->now()));
        } catch (...) {
            return state->fail(std::current_exception());
        }
        {
            std::lock_guard lock(state->mutex);
            state->queue.push_back(std::move(*opened));
        }
        state->cv.notify_all();
    }
}

void EnvelopeLink::send(const SignallingMessage& message, const PeerRecord& recipient) {
    Envelope envelope =
        EnvelopeSealer::seal(message, identity_, recipient, state_->clock->now(), crypto::randomBytes16());
    channel_->sendJSON(envelope.toJSON());
}

std::optional<OpenedEnvelope> EnvelopeLink::next(std::optional<double> timeout) {
    Deadline deadline = timeout ? Deadline::after(*timeout) : Deadline::never();
    std::unique_lock lock(state_->mutex);
    for (;;) {
        if (!state_->queue.empty()) {
            OpenedEnvelope opened = std::move(state_->queue.front());
            state_->queue.pop_front();
            return opened;
        }
        if (state_->terminalError) std::rethrow_exception(state_->terminalError);
        if (state_->closed) return std::nullopt;
        if (auto at = deadline.at()) {
            if (SteadyClock::now() >= *at) return std::nullopt;
            state_->cv.wait_until(lock, *at);
        } else {
            state_->cv.wait(lock);
        }
    }
}

std::size_t EnvelopeLink::queuedCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->queue.size();
}

void EnvelopeLink::close() noexcept {
    {
        std::lock_guard lock(state_->mutex);
        state_->closed = true;
    }
    state_->cv.notify_all();
    reader_.request_stop();
    // Wakes the read thread, which is waiting for a frame.
    channel_->close();
}

}  // namespace quill
