#include "host/desktop/screen_capture_engine.h"

#include <condition_variable>
#include <deque>
#include <map>

#include <gtest/gtest.h>

#include "host/desktop/x11_test_support.h"
#include "quillcore/base/diagnostics.h"

namespace quill::host {
namespace {

using testing::TestClient;
using testing::XvfbServer;

// Keeps the newest `keep` frames the engine hands over, as a session's video source would.
struct FrameCollector {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<PixelBufferPtr> frames;
    std::vector<std::int64_t> stamps;
    std::size_t keep = 2;
    std::vector<std::string> closes;

    VideoFrameSink sink() {
        return {[this](const PixelBufferPtr& frame, std::int64_t stamp) {
                    std::lock_guard guard(lock);
                    frames.push_back(frame);
                    stamps.push_back(stamp);
                    if (frames.size() > keep) frames.pop_front();
                    changed.notify_all();
                },
                [this](const std::string& reason) {
                    std::lock_guard guard(lock);
                    closes.push_back(reason);
                    changed.notify_all();
                }};
    }
    bool waitFor(const std::function<bool()>& pred) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10), pred);
    }
    std::size_t count() {
        std::lock_guard guard(lock);
        return stamps.size();
    }
};

ScreenCaptureOptions on(const std::string& display) {
    ScreenCaptureOptions options;
    options.displayName = display;
    return options;
}

std::uint32_t pixelAt(const PixelBuffer& frame, int x, int y) {
    const std::uint8_t* p = frame.data() + y * frame.stride() + x * 4;
    return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];  // BGRx
}

struct Screen {
    const char* size;
    int w, h;
    std::vector<std::string> extra;  // Xvfb arguments
};

class CaptureTest : public ::testing::TestWithParam<Screen> {};

// Through shared memory, and plainly on a server without it; at the screen's own size.
TEST_P(CaptureTest, FramesShowTheScreenAndComeOnlyWhenItChanges) {
    const auto& [size, w, h, extra] = GetParam();
    XvfbServer server(size, extra);
    QUILL_REQUIRE_XVFB(server);
    TestClient client(server.display());
    client.fill(0, 0, w / 2, h / 2, 0xff0000);
    client.fill(w / 2, 0, w / 2, h / 2, 0x00ff00);
    client.fill(0, h / 2, w / 2, h / 2, 0x0000ff);
    client.fill(w - 10, h - 10, 10, 10, 0x123456);
    FrameCollector collector;
    ScreenCaptureEngine engine(collector.sink(), on(server.display()));
    engine.start({});
    EXPECT_EQ(engine.capturedDisplay().bounds, (DisplayRect{0, 0, double(w), double(h)}));
    ASSERT_TRUE(collector.waitFor([&] { return !collector.frames.empty(); }));
    {
        std::lock_guard guard(collector.lock);
        const PixelBuffer& f = *collector.frames.back();
        EXPECT_EQ(std::tuple(f.width(), f.height(), f.stride() >= w * 4), std::tuple(w, h, true));
        const std::pair<int, int> at[] = {{10, 10}, {w / 2 - 1, h / 2 - 1}, {w / 2, 10}, {10, h - 10}, {w - 20, h - 20}, {w - 1, h - 1}};
        const std::uint32_t colour[] = {0xff0000, 0xff0000, 0x00ff00, 0x0000ff, 0, 0x123456};
        for (int i = 0; i < 6; ++i) EXPECT_EQ(pixelAt(f, at[i].first, at[i].second), colour[i]) << i;
    }
    // Once the last frame went out again, a still screen sends nothing for half a second (30
    // ticks); a change after it arrives.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::size_t still = collector.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(collector.count(), still);
    // A screen changing far faster than the frame rate, then still: frames keep within the
    // session video's frame-rate limit (2% over the rate, a burst of two), which drops none of
    // them, so the last change arrives.
    for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        client.fill(0, 0, 10, 10, i % 2 ? 0x111111 : 0x222222);
    client.fill(w - 40, h - 40, 20, 20, 0xabcdef);
    ASSERT_TRUE(collector.waitFor([&] { return pixelAt(*collector.frames.back(), w - 35, h - 35) == 0xabcdefu; }));
    engine.stop();
    std::lock_guard guard(collector.lock);
    EXPECT_EQ(engine.frames(), std::int64_t(collector.stamps.size()));
    EXPECT_TRUE(std::is_sorted(collector.stamps.begin(), collector.stamps.end(), std::less_equal<>()));
    EXPECT_GT(collector.stamps.size(), still + 5);
    double tokens = 2;
    for (std::size_t i = still + 1; i < collector.stamps.size(); ++i) {
        tokens = std::min(2.0, tokens + double(collector.stamps[i] - collector.stamps[i - 1]) * 60 * 1.02 / 1e9);
        EXPECT_GE(tokens, 1.0) << "frame " << i << " comes too soon";
        tokens -= 1;
    }
}

INSTANTIATE_TEST_SUITE_P(SharedMemoryAndPlain, CaptureTest,
                         ::testing::Values(Screen{"1920x1080x24", 1920, 1080, {}},
                                           Screen{"1024x768x24", 1024, 768, {"-extension", "MIT-SHM"}}),
                         [](const auto& info) { return info.param.extra.empty() ? "SharedMemory" : "Plain"; });

TEST(ScreenCapture, AFrameHeldDownstreamIsNeverOverwrittenAndOutlivesTheEngine) {
    XvfbServer server;
    QUILL_REQUIRE_XVFB(server);
    TestClient client(server.display());
    FrameCollector collector;
    collector.keep = 1000;  // hold everything
    ScreenCaptureOptions options = on(server.display());
    options.queueDepth = 3;
    auto engine = std::make_unique<ScreenCaptureEngine>(collector.sink(), options);
    engine->start({});
    std::uint32_t colour = 0;
    for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(15)))
        client.fill(0, 0, 1920, 1080, colour += 0x010101);
    PixelBufferPtr first;
    std::uint32_t firstColour;
    {
        // With every buffer held, capture drops frames instead of reusing one.
        std::lock_guard guard(collector.lock);
        std::map<const std::uint8_t*, const PixelBuffer*> shownBy;
        for (auto& frame : collector.frames)
            EXPECT_EQ(shownBy.try_emplace(frame->data(), frame.get()).first->second, frame.get()) << "reused while held";
        EXPECT_EQ(shownBy.size(), 3u);
        first = collector.frames.front();
        firstColour = pixelAt(*first, 100, 100);
        const PixelBufferPtr last = collector.frames.back();
        EXPECT_NE(pixelAt(*last, 100, 100), colour);
        std::erase(collector.frames, last);  // one buffer back
        collector.keep = 1;
    }
    ASSERT_TRUE(collector.waitFor([&] { return pixelAt(*collector.frames.back(), 100, 100) == colour; }));
    engine.reset();  // stops and releases the X side
    server.kill();
    EXPECT_EQ(pixelAt(*first, 100, 100), firstColour);
}

TEST(ScreenCapture, AStopBeforeOrWhileStartingLeavesNothingCapturingAndALostServerEndsTheSessionOnce) {
    XvfbServer server("640x480x24");
    QUILL_REQUIRE_XVFB(server);
    FrameCollector collector;
    {
        // The session ended before its capture was started.
        ScreenCaptureEngine stoppedFirst(collector.sink(), on(server.display()));
        stoppedFirst.stop();
        stoppedFirst.start({});
        EXPECT_EQ(stoppedFirst.frames(), 0);
    }
    // The session ends while capture is coming up on a worker thread.
    for (int i = 0; i < 5; ++i) {
        ScreenCaptureEngine engine(collector.sink(), on(server.display()));
        std::thread starter([&] { engine.start({}); });
        engine.stop();
        const std::size_t atStop = collector.count();
        starter.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        EXPECT_EQ(collector.count(), atStop) << "round " << i;
    }
    std::vector<std::string> lines;
    setDiagnosticSink([&](std::string_view line) { lines.emplace_back(line); });  // one capture thread writes
    struct Restore {
        ~Restore() { setDiagnosticSink({}); }
    } restore;  // also when a check ends the test early
    ScreenCaptureEngine engine(collector.sink(), on(server.display()));
    engine.start({});
    server.kill();
    ASSERT_TRUE(collector.waitFor([&] { return !collector.closes.empty(); }));
    engine.stop();
    setDiagnosticSink({});
    EXPECT_EQ(collector.closes, std::vector<std::string>{"Screen capture stopped on the host"});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("Quillmate Host: screen capture stopped: ")) << lines[0];
}

}  // namespace
}  // namespace quill::host
