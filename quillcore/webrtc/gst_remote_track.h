#pragma once

#include <atomic>

#include "quillcore/webrtc/peer_connection.h"

namespace quill::gst {

// The peer's video, decoded. A slow consumer keeps at most kMaxPending frames waiting.
class GstRemoteTrack final : public RemoteVideoTrack {
public:
    static constexpr std::size_t kMaxPending = 3;

    explicit GstRemoteTrack(std::string id) : id_(std::move(id)), frames_(AsyncStream<PixelBufferPtr>::make()) {}

    std::string trackId() const override { return id_; }
    AsyncStreamPtr<PixelBufferPtr> frames() const override { return frames_; }
    std::uint64_t decodedFrameCount() const override { return decoded_.load(); }

    void deliver(PixelBufferPtr frame) {
        decoded_.fetch_add(1);
        if (frames_->pending() < kMaxPending) frames_->push(std::move(frame));
    }
    void finish() { frames_->finish(); }

private:
    std::string id_;
    AsyncStreamPtr<PixelBufferPtr> frames_;
    std::atomic<std::uint64_t> decoded_{0};
};

}  // namespace quill::gst
