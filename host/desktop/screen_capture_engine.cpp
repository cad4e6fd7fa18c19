#include "host/desktop/screen_capture_engine.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include <xcb/damage.h>
#include <xcb/shm.h>

#include "host/desktop/x11_connection.h"
#include "quillcore/base/diagnostics.h"

namespace quill::host {

std::string ScreenCaptureError::description() const {
    switch (kind) {
    case Kind::streamStopped: return "Screen capture stopped: " + text;
    case Kind::noDisplay:
        return "This computer listed no displays to capture. Quit and reopen Quillmate Host so Screen Recording "
               "takes effect, and make sure the display is awake";
    case Kind::noStream: return "ScreenCaptureKit did not provide a screen stream";
    }
    return {};
}

namespace {

std::int64_t monotonicNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// One System V segment that the server writes into. Removed from the namespace as soon as
// both sides are attached, so nothing is left behind if the process dies.
struct Segment {
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
    xcb_shm_seg_t xid = 0;
    ~Segment() {
        if (data) shmdt(data);
    }
};

// The segments of one capture. Shared with every PixelBuffer that shows one of them, so the
// memory stays mapped until the last frame is released.
class SegmentPool : public std::enable_shared_from_this<SegmentPool> {
public:
    std::vector<std::unique_ptr<Segment>> segments;

    // A free segment, marked busy; -1 when all are out.
    int acquire() {
        std::lock_guard guard(lock_);
        for (std::size_t i = 0; i < busy_.size(); ++i)
            if (!busy_[i]) {
                busy_[i] = true;
                return int(i);
            }
        return -1;
    }
    void release(int index) {
        std::lock_guard guard(lock_);
        busy_[std::size_t(index)] = false;
    }
    void resize(std::size_t count) { busy_.assign(count, false); }

    PixelBufferPtr frame(int index, int width, int height) {
        struct Return {
            std::shared_ptr<SegmentPool> pool;
            int index;
            void operator()(const void*) const { pool->release(index); }
        };
        Segment& segment = *segments[std::size_t(index)];
        std::shared_ptr<const void> owner(segment.data, Return{shared_from_this(), index});
        return std::make_shared<const PixelBuffer>(width, height, width * 4, std::move(owner), segment.data);
    }

private:
    std::mutex lock_;
    std::vector<bool> busy_;
};

}  // namespace

// The X side of one capture: its own connection, the chosen display's rectangle and the pool.
class ScreenCaptureEngine::Capturer {
public:
    Capturer(const ScreenCaptureOptions& options) : x(options.displayName) {}

    ~Capturer() { dropSharedMemory(); }

    // Detaches on the server; the local mappings live on in the pool while frames do.
    void dropSharedMemory() {
        if (pool && !x.hasError()) {
            for (auto& segment : pool->segments)
                if (segment->xid) xcb_shm_detach(x.get(), segment->xid);
            x.flush();
        }
        pool.reset();
    }

    void checkPixelFormat() {
        const xcb_setup_t* setup = xcb_get_setup(x.get());
        const xcb_screen_t* screen = x.screen();
        bool formatOK = false;
        for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it))
            if (it.data->depth == screen->root_depth) formatOK = it.data->bits_per_pixel == 32;
        bool visualOK = false;
        for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem > 0; xcb_depth_next(&d))
            for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v))
                if (v.data->visual_id == screen->root_visual)
                    visualOK = v.data->red_mask == 0xff0000 && v.data->green_mask == 0xff00 && v.data->blue_mask == 0xff;
        if (!formatOK || !visualOK || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST ||
            (screen->root_depth != 24 && screen->root_depth != 32))
            throw X11Error("the display's pixel format (depth " + std::to_string(screen->root_depth) +
                           ") cannot be captured as BGRx");
    }

    void setUpSharedMemory(int depth) {
        pool = std::make_shared<SegmentPool>();
        const std::size_t size = std::size_t(width) * std::size_t(height) * 4;
        for (int i = 0; i < depth; ++i) {
            auto segment = std::make_unique<Segment>();
            int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
            if (id < 0) throw X11Error("creating a shared-memory segment failed");
            void* mapped = shmat(id, nullptr, 0);
            if (mapped == reinterpret_cast<void*>(-1)) {
                shmctl(id, IPC_RMID, nullptr);
                throw X11Error("mapping a shared-memory segment failed");
            }
            segment->data = static_cast<std::uint8_t*>(mapped);
            segment->size = size;
            Segment& attached = *segment;
            pool->segments.push_back(std::move(segment));
            xcb_shm_seg_t xid = xcb_generate_id(x.get());
            XcbReply<xcb_generic_error_t> error(
                xcb_request_check(x.get(), xcb_shm_attach_checked(x.get(), xid, std::uint32_t(id), 0)));
            shmctl(id, IPC_RMID, nullptr);
            if (error || x.hasError()) throw X11Error(describeXError("attaching shared memory to the X server", error.get()));
            attached.xid = xid;
        }
        pool->resize(pool->segments.size());
    }

    // One image of the display; null when every pool segment is still held downstream.
    // Throws X11Error when the server refuses.
    PixelBufferPtr grab() {
        if (!pool) return grabWithoutSharedMemory();
        int index = pool->acquire();
        if (index < 0) return nullptr;
        PixelBufferPtr frame = pool->frame(index, width, height);  // returns the segment on failure too
        forgetChanges();
        xcb_generic_error_t* rawError = nullptr;
        XcbReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
            x.get(),
            xcb_shm_get_image(x.get(), x.root(), std::int16_t(originX), std::int16_t(originY), std::uint16_t(width),
                              std::uint16_t(height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                              pool->segments[std::size_t(index)]->xid, 0),
            &rawError));
        XcbReply<xcb_generic_error_t> error(rawError);
        if (!reply || reply->size < std::uint32_t(width) * std::uint32_t(height) * 4)
            throw X11Error(describeXError("reading the screen image", error.get()));
        return frame;
    }

    PixelBufferPtr grabWithoutSharedMemory() {
        forgetChanges();
        xcb_generic_error_t* rawError = nullptr;
        auto* raw = xcb_get_image_reply(
            x.get(),
            xcb_get_image(x.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, x.root(), std::int16_t(originX), std::int16_t(originY),
                          std::uint16_t(width), std::uint16_t(height), ~0u),
            &rawError);
        XcbReply<xcb_generic_error_t> error(rawError);
        std::shared_ptr<xcb_get_image_reply_t> reply(raw, FreeDeleter{});
        if (!reply || xcb_get_image_data_length(reply.get()) < width * height * 4)
            throw X11Error(describeXError("reading the screen image", error.get()));
        const std::uint8_t* data = xcb_get_image_data(reply.get());
        return std::make_shared<const PixelBuffer>(width, height, width * 4, std::move(reply), data);
    }

    // Asks the server to report changes on the screen, when it can.
    void watchDamage() {
        xcb_connection_t* c = x.get();
        if (!x.hasExtension(&xcb_damage_id)) return;
        XcbReply<xcb_damage_query_version_reply_t> version(
            xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
        if (!version) return;
        const xcb_damage_damage_t id = xcb_generate_id(c);
        XcbReply<xcb_generic_error_t> error(xcb_request_check(
            c, xcb_damage_create_checked(c, id, x.root(), XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX)));
        if (error) return;
        damage = id;
        damageNotify = std::uint8_t(xcb_get_extension_data(c, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY);
    }

    // Reads the events the server sent, without waiting; whether the captured rectangle changed
    // since the last call (always true when the server cannot say). A report of a change
    // elsewhere is answered at once, so that the server reports the next change; one within the
    // rectangle is answered by forgetChanges() just before the image is read.
    bool takeChanges() {
        if (!damage) return true;
        xcb_connection_t* c = x.get();
        bool reported = false, changed = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            if ((event->response_type & 0x7f) == damageNotify) {
                reported = true;
                const xcb_rectangle_t& r = reinterpret_cast<xcb_damage_notify_event_t*>(event)->area;
                changed = changed || (r.x < originX + width && r.x + r.width > originX && r.y < originY + height &&
                                      r.y + r.height > originY);
            }
            std::free(event);
        }
        damaged = damaged || reported;
        if (reported && !changed) forgetChanges(), x.flush();
        return changed;
    }

    // Empties the server's record of changes. Done in the same flush as the read of the next
    // image, so every change after that read is reported again and none before it is.
    void forgetChanges() {
        if (damage && std::exchange(damaged, false)) xcb_damage_subtract(x.get(), damage, XCB_NONE, XCB_NONE);
    }

    X11Connection x;
    std::shared_ptr<SegmentPool> pool;
    int originX = 0, originY = 0, width = 0, height = 0;
    xcb_damage_damage_t damage = 0;
    std::uint8_t damageNotify = 0;
    bool damaged = false;  // the server reported changes it still keeps a record of
};

ScreenCaptureEngine::ScreenCaptureEngine(VideoFrameSink session, ScreenCaptureOptions options)
    : session_(std::move(session)), options_(std::move(options)) {}

ScreenCaptureEngine::~ScreenCaptureEngine() {
    // Dropped from inside its own close callback: the thread cannot join itself, and it
    // touches nothing of the engine once the callback returns.
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) thread_.detach();
    stop();
}

void ScreenCaptureEngine::start(const std::set<std::uint32_t>&) {
    std::lock_guard order(control_);
    {
        std::lock_guard guard(lock_);
        if (stopped_) return;
    }
    auto capturer = std::make_shared<Capturer>(options_);
    auto connection = std::shared_ptr<X11Connection>(capturer, &capturer->x);

    DisplayList list = X11DisplaySource(connection).currentDisplays();
    const DisplayDescriptor* chosen = list.main();
    if (!chosen) throw ScreenCaptureError::noDisplay();
    DisplaySize size = chosen->mode.value_or(DisplaySize{int(chosen->bounds.width), int(chosen->bounds.height)});
    if (size.width <= 0 || size.height <= 0) throw ScreenCaptureError::noDisplay();

    capturer->checkPixelFormat();
    // Never read past the root window, whatever the mode says.
    const xcb_screen_t* screen = capturer->x.screen();
    capturer->originX = int(chosen->bounds.x);
    capturer->originY = int(chosen->bounds.y);
    capturer->width = std::min(size.width, int(screen->width_in_pixels) - capturer->originX);
    capturer->height = std::min(size.height, int(screen->height_in_pixels) - capturer->originY);
    if (capturer->width <= 0 || capturer->height <= 0) throw ScreenCaptureError::noDisplay();

    if (options_.useSharedMemory && capturer->x.hasExtension(&xcb_shm_id)) {
        try {
            capturer->setUpSharedMemory(std::max(1, options_.queueDepth));
        } catch (const X11Error&) {
            // A server on another machine cannot attach our memory: read images plainly.
            capturer->dropSharedMemory();
            capturer->x.checkConnection("setting up screen capture");
        }
    }
    // Watched from before the first image, so no change is missed.
    capturer->watchDamage();
    // Capture has started once the server has handed over one image.
    capturer->grab();

    endCapture();
    {
        std::lock_guard guard(lock_);
        // A stop() that came while this start was setting up: the session has gone.
        if (stopped_) return;
        stream_ = capturer;
        lastTimestampNs_ = 0;
        frames_ = 0;
        display_ = *chosen;
    }
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

void ScreenCaptureEngine::stop() {
    {
        std::lock_guard guard(lock_);
        stopped_ = true;
    }
    std::lock_guard order(control_);
    endCapture();
}

void ScreenCaptureEngine::endCapture() {
    std::shared_ptr<Capturer> stream;
    {
        std::lock_guard guard(lock_);
        stream = std::move(stream_);
        stream_.reset();
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.request_stop();
        thread_.join();
    }
}

std::int64_t ScreenCaptureEngine::frames() const {
    std::lock_guard guard(lock_);
    return frames_;
}

DisplayDescriptor ScreenCaptureEngine::capturedDisplay() const {
    std::lock_guard guard(lock_);
    return display_;
}

std::int64_t ScreenCaptureEngine::nextTimestampNs() {
    const std::int64_t now = options_.monotonicNs ? options_.monotonicNs() : monotonicNow();
    std::lock_guard guard(lock_);
    lastTimestampNs_ = std::max(now, lastTimestampNs_ + 1);
    return lastTimestampNs_;
}

void ScreenCaptureEngine::run(std::stop_token stop) {
    pthread_setname_np(pthread_self(), "host.capture");
    std::shared_ptr<Capturer> capturer;
    {
        std::lock_guard guard(lock_);
        capturer = stream_;
    }
    if (!capturer) return;

    // Waits for the server's next event, a stop, or `until` (nanoseconds on the stamp clock).
    struct Descriptor {
        int fd;
        ~Descriptor() {
            if (fd >= 0) close(fd);
        }
    } const wakeFd{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};  // outlives the callback that writes it
    const int wake = wakeFd.fd;
    std::stop_callback wakeOnStop(stop, [wake] {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = write(wake, &one, sizeof one);
    });
    auto clock = [this] { return options_.monotonicNs ? options_.monotonicNs() : monotonicNow(); };
    auto wait = [&](std::optional<std::int64_t> until) {
        pollfd fds[] = {{xcb_get_file_descriptor(capturer->x.get()), POLLIN, 0}, {wake, POLLIN, 0}};
        timespec timeout{0, 10'000'000};  // without a wake-up descriptor, a stop is seen within 10 ms
        if (until) {
            const std::int64_t ns = std::max<std::int64_t>(0, *until - clock());
            timeout = {time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
        }
        ppoll(fds, wake >= 0 ? 2 : 1, until || wake < 0 ? &timeout : nullptr, nullptr);
    };

    // A change is read as soon as the server reports it, paced to the session's frame rate. Reads
    // keep the interval on average and come at most half an interval early: within the session
    // video's frame-rate limit (a burst of two frames) with a margin, so no frame is dropped
    // there, and a dropped change would stay unseen on a screen that then keeps still. Both allow
    // 2% over the rate: pacing at exactly the rate of a screen that changes at that rate, a read
    // that once had to wait would keep every later one waiting as long. The stamp is the read's
    // time.
    const auto interval = std::int64_t(std::max(0.0, options_.minimumFrameInterval) * 1e9 / 1.02);
    const std::int64_t earlyBy = interval / 2;
    std::int64_t next = 0;  // when the next read is due (it may come earlyBy before)
    std::int64_t retryAt = 0;
    int failures = 0;
    std::string failure;
    // A still screen is not read again: the session's video has its last image already.
    bool changed = true;
    while (!stop.stop_requested()) {
        changed = capturer->takeChanges() || changed;
        if (capturer->x.hasError()) {
            failure = "the connection to the X server was lost";
            break;
        }
        if (!changed) {
            wait(std::nullopt);
            continue;
        }
        const std::int64_t readAt = std::max(next - earlyBy, retryAt);
        if (clock() < readAt) {
            wait(readAt);
            continue;
        }
        const std::int64_t stamp = nextTimestampNs();
        PixelBufferPtr frame;
        try {
            frame = capturer->grab();
            failures = 0;
        } catch (const X11Error& error) {
            // A lost server is final; a refused read may be a display being reconfigured.
            if (capturer->x.hasError() || ++failures >= 30) {
                failure = error.description();
                break;
            }
        }
        // Refused, or every buffer is still downstream: the change is read again an interval on.
        if (!frame) {
            retryAt = stamp + interval;
            continue;
        }
        changed = false;
        next = std::max(next, stamp) + interval;
        {
            std::lock_guard guard(lock_);
            ++frames_;
        }
        if (session_.sendVideoFrame) session_.sendVideoFrame(frame, stamp);
    }
    if (!failure.empty() && !stop.stop_requested()) {
        diagnostic("Quillmate Host: screen capture stopped: " + failure);
        // A copy: closing the session may drop the last reference to this engine.
        if (auto close = session_.close) close("Screen capture stopped on the host");
    }
}

}  // namespace quill::host
