#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "quillcore/webrtc/peer_connection.h"

namespace quill::gst {

// The peer's video, decoded. A slow consumer keeps at most kMaxPending frames waiting.
class GstRemoteTrack final : public RemoteVideoTrack {
public:
    static constexpr std::size_t kMaxPending = 3;
    static constexpr std::size_t kKeptStores = 4;

    explicit GstRemoteTrack(std::string id) : id_(std::move(id)), frames_(AsyncStream<PixelBufferPtr>::make()) {}

    std::string trackId() const override { return id_; }
    AsyncStreamPtr<PixelBufferPtr> frames() const override { return frames_; }
    std::uint64_t decodedFrameCount() const override { return decoded_.load(); }

    void deliver(PixelBufferPtr frame) {
        decoded_.fetch_add(1);
        if (frames_->pending() < kMaxPending) frames_->push(std::move(frame));
    }
    void finish() { frames_->finish(); }

    // Storage for a decoded frame: one the consumer has let go of, else a new one. Allocating
    // and clearing 8 MB for every 1080p frame cost more than converting it. Called on the
    // decoding thread only: a store nobody else holds stays free until it is handed out.
    std::shared_ptr<std::vector<std::uint8_t>> storage(std::size_t bytes) {
        for (auto& s : stores_)
            if (s.use_count() == 1 && s->size() == bytes) return s;
        auto fresh = std::make_shared<std::vector<std::uint8_t>>(bytes);
        if (stores_.size() == kKeptStores) stores_.erase(stores_.begin());
        stores_.push_back(fresh);
        return fresh;
    }

private:
    std::string id_;
    AsyncStreamPtr<PixelBufferPtr> frames_;
    std::atomic<std::uint64_t> decoded_{0};
    std::vector<std::shared_ptr<std::vector<std::uint8_t>>> stores_;
};

}  // namespace quill::gst
