#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace quill {

// One captured frame: BGRx, 4 bytes per pixel, rows `stride` bytes apart. Immutable and
// shared without copying; `owner` keeps the memory alive (a vector, a shared-memory segment).
class PixelBuffer {
public:
    PixelBuffer(int width, int height, int stride, std::shared_ptr<const void> owner, const std::uint8_t* data)
        : width_(width), height_(height), stride_(stride), owner_(std::move(owner)), data_(data) {}

    // A buffer that owns a copy-free vector of width*height*4 bytes (stride = width*4).
    static std::shared_ptr<const PixelBuffer> fromVector(int width, int height, std::vector<std::uint8_t> bgrx) {
        auto store = std::make_shared<const std::vector<std::uint8_t>>(std::move(bgrx));
        const std::uint8_t* p = store->data();
        return std::make_shared<const PixelBuffer>(width, height, width * 4, std::move(store), p);
    }

    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return stride_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t byteCount() const { return static_cast<std::size_t>(stride_) * static_cast<std::size_t>(height_); }
    const std::shared_ptr<const void>& owner() const { return owner_; }

private:
    int width_;
    int height_;
    int stride_;
    std::shared_ptr<const void> owner_;
    const std::uint8_t* data_;
};

using PixelBufferPtr = std::shared_ptr<const PixelBuffer>;

}  // namespace quill
