#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "host/desktop/display_info.h"
#include "quillcore/base/error.h"
#include "quillcore/base/pixel_buffer.h"

namespace quill::host {

class ScreenCaptureError : public Error {
public:
    enum class Kind { streamStopped, noDisplay, noStream };
    explicit ScreenCaptureError(Kind kind, std::string text = {}) : kind(kind), text(std::move(text)) {}
    static ScreenCaptureError streamStopped(std::string text) { return ScreenCaptureError(Kind::streamStopped, std::move(text)); }
    static ScreenCaptureError noDisplay() { return ScreenCaptureError(Kind::noDisplay); }
    static ScreenCaptureError noStream() { return ScreenCaptureError(Kind::noStream); }
    std::string description() const override;
    bool operator==(const ScreenCaptureError&) const = default;

    Kind kind;
    std::string text;  // streamStopped only
};

// Where captured frames go: the running session's video source, and its close when capture
// dies. Both are called on the capture thread.
struct VideoFrameSink {
    std::function<void(const PixelBufferPtr& frame, std::int64_t timeStampNs)> sendVideoFrame;
    std::function<void(const std::string& reason)> close;
};

struct ScreenCaptureOptions {
    std::string displayName;                       // empty: $DISPLAY
    std::function<std::int64_t()> monotonicNs;     // empty: CLOCK_MONOTONIC
    // Frames keep this interval on average (the session's frame rate) and come at most half of
    // it early.
    double minimumFrameInterval = 1.0 / 60.0;
    // Frames that may be in flight downstream at once; a frame is dropped while all are held.
    int queueDepth = 5;
    bool useSharedMemory = true;                   // false forces plain GetImage
};

// Captures the main display of the X server on a thread of its own and hands each frame,
// BGRx with a strictly increasing monotonic time stamp, to the sink. A frame is read only when
// the server reported a change on that display since the last one (X damage), as soon as the
// frame interval allows, so a still screen costs next to nothing and sends nothing and a change
// waits for no clock tick; the pointer is not part of the image. Frames live in a small
// pool of shared-memory segments that the X server fills directly; a segment is reused only
// once the PixelBuffer that shows it has been released everywhere, so the sink may keep
// frames as long as it needs (even beyond the engine's life).
class ScreenCaptureEngine {
public:
    explicit ScreenCaptureEngine(VideoFrameSink session, ScreenCaptureOptions options = {});
    ~ScreenCaptureEngine();
    ScreenCaptureEngine(const ScreenCaptureEngine&) = delete;
    ScreenCaptureEngine& operator=(const ScreenCaptureEngine&) = delete;

    // Chooses the display, sets up capture and returns once an image was read from the
    // server; the capture thread runs from then on. Throws ScreenCaptureError::noDisplay, or
    // the X11Error of the step that failed. X offers no per-window exclusion from a screen
    // image, so window IDs are not honoured; the host never passes any.
    // After stop() (also one that came while this start was under way) it returns without
    // capturing: the session it was for has ended.
    void start(const std::set<std::uint32_t>& excludingWindowIDs);
    // Ends capture for good and waits for the capture thread. Idempotent; may be called from
    // any thread, also while start() runs on another.
    void stop();

    // Frames handed to the session since the last start.
    std::int64_t frames() const;
    // The display being captured (valid after a successful start).
    DisplayDescriptor capturedDisplay() const;
    // The larger of now and the previous stamp + 1.
    std::int64_t nextTimestampNs();

    class Capturer;

private:
    void run(std::stop_token stop);
    void endCapture();  // with control_ held

    const VideoFrameSink session_;
    const ScreenCaptureOptions options_;

    mutable std::mutex lock_;
    std::shared_ptr<Capturer> stream_;  // guarded by lock_
    std::int64_t lastTimestampNs_ = 0;  // guarded by lock_
    std::int64_t frames_ = 0;           // guarded by lock_
    DisplayDescriptor display_;         // guarded by lock_
    bool stopped_ = false;              // guarded by lock_
    // Orders start() and stop() when they come from different threads; guards thread_. Never
    // taken by the capture thread.
    std::mutex control_;
    std::jthread thread_;
};

}  // namespace quill::host
