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

// Keeps what the engine hands over, as a session's video source would.
struct FrameCollector {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::pair<PixelBufferPtr, std::int64_t>> frames;
    std::size_t keep = 2;  // the newest frames are kept, older ones released
    std::size_t received = 0;
    std::vector<std::string> closes;

    VideoFrameSink sink() {
        return VideoFrameSink{[this](const PixelBufferPtr& frame, std::int64_t stamp) {
                                  std::lock_guard guard(lock);
                                  frames.emplace_back(frame, stamp);
                                  ++received;
                                  while (frames.size() > keep) frames.pop_front();
                                  changed.notify_all();
                              },
                              [this](const std::string& reason) {
                                  std::lock_guard guard(lock);
                                  closes.push_back(reason);
                                  changed.notify_all();
                              }};
    }
    template <class Pred>
    bool waitFor(Pred pred, double seconds = 10) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::duration<double>(seconds), [&] { return pred(); });
    }
    std::size_t count() {
        std::lock_guard guard(lock);
        return received;
    }
};

std::uint32_t pixelAt(const PixelBuffer& frame, int x, int y) {
    const std::uint8_t* p = frame.data() + y * frame.stride() + x * 4;
    return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];  // BGRx
}

struct Screen {
    const char* size;
    int width, height;
    std::vector<std::string> extra;  // Xvfb arguments
};

class CaptureTest : public ::testing::TestWithParam<Screen> {};

// Through shared memory, and plainly on a server without it; at the screen's own size.
TEST_P(CaptureTest, FramesShowTheScreenAndComeOnlyWhenItChanges) {
    const Screen& screen = GetParam();
    const int w = screen.width, h = screen.height;
    XvfbServer server(screen.size, screen.extra);
    QUILL_REQUIRE_XVFB(server);
    TestClient client(server.display());
    client.fill(0, 0, w / 2, h / 2, 0xff0000);
    client.fill(w / 2, 0, w / 2, h / 2, 0x00ff00);
    client.fill(0, h / 2, w / 2, h / 2, 0x0000ff);
    client.fill(w - 10, h - 10, 10, 10, 0x123456);

    FrameCollector collector;
    ScreenCaptureEngine engine(collector.sink(), {server.display()});
    engine.start({});
    EXPECT_EQ(engine.capturedDisplay().bounds, (DisplayRect{0, 0, double(w), double(h)}));
    ASSERT_TRUE(collector.waitFor([&] { return collector.received >= 1; }));
    {
        std::lock_guard guard(collector.lock);
        const PixelBuffer& frame = *collector.frames.back().first;
        EXPECT_EQ(std::pair(frame.width(), frame.height()), std::pair(w, h));
        EXPECT_GE(frame.stride(), w * 4);
        EXPECT_EQ(pixelAt(frame, 10, 10), 0xff0000u);
        EXPECT_EQ(pixelAt(frame, w / 2 - 1, h / 2 - 1), 0xff0000u);
        EXPECT_EQ(pixelAt(frame, w / 2, 10), 0x00ff00u);
        EXPECT_EQ(pixelAt(frame, 10, h - 10), 0x0000ffu);
        EXPECT_EQ(pixelAt(frame, w - 20, h - 20), 0x000000u);
        EXPECT_EQ(pixelAt(frame, w - 1, h - 1), 0x123456u);
    }
    // Once the last frame went out again, a still screen sends nothing for half a second (30
    // ticks); a change after it arrives.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::size_t still = collector.count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(collector.count(), still);
    client.fill(w - 40, h - 40, 20, 20, 0xabcdef);
    ASSERT_TRUE(collector.waitFor([&] {
        return collector.received > still && pixelAt(*collector.frames.back().first, w - 35, h - 35) == 0xabcdefu;
    }));

    engine.stop();
    std::lock_guard guard(collector.lock);
    EXPECT_EQ(engine.frames(), std::int64_t(collector.received));
    EXPECT_GT(collector.frames.back().second, collector.frames.front().second);
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
    ScreenCaptureOptions options{server.display()};
    options.queueDepth = 3;
    auto engine = std::make_unique<ScreenCaptureEngine>(collector.sink(), options);
    engine->start({});
    std::uint32_t colour = 0;
    for (int i = 0; i < 20; ++i) {
        client.fill(0, 0, 1920, 1080, colour += 0x010101);
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    PixelBufferPtr first;
    std::uint32_t firstColour;
    {
        // With every buffer held, capture drops frames instead of reusing one.
        std::lock_guard guard(collector.lock);
        std::map<const std::uint8_t*, const PixelBuffer*> shownBy;
        for (auto& [frame, stamp] : collector.frames)
            EXPECT_EQ(shownBy.try_emplace(frame->data(), frame.get()).first->second, frame.get()) << "reused while held";
        EXPECT_EQ(shownBy.size(), 3u);
        first = collector.frames.front().first;
        firstColour = pixelAt(*first, 100, 100);
        const PixelBufferPtr last = collector.frames.back().first;
        EXPECT_NE(pixelAt(*last, 100, 100), colour);
        std::erase_if(collector.frames, [&](const auto& f) { return f.first == last; });  // one buffer back
        collector.keep = 1;
    }
    ASSERT_TRUE(collector.waitFor([&] { return pixelAt(*collector.frames.back().first, 100, 100) == colour; }));
    engine.reset();  // stops and releases the X side
    server.kill();
    EXPECT_EQ(pixelAt(*first, 100, 100), firstColour);
}

TEST(ScreenCapture, ALostServerEndsTheSessionOnceWithOneLine) {
    XvfbServer server;
    QUILL_REQUIRE_XVFB(server);
    std::mutex linesLock;
    std::vector<std::string> lines;
    setDiagnosticSink([&](std::string_view line) {
        std::lock_guard guard(linesLock);
        lines.emplace_back(line);
    });
    FrameCollector collector;
    ScreenCaptureEngine engine(collector.sink(), {server.display()});
    engine.start({});
    ASSERT_TRUE(collector.waitFor([&] { return collector.received >= 1; }));
    server.kill();
    ASSERT_TRUE(collector.waitFor([&] { return !collector.closes.empty(); }));
    engine.stop();
    engine.stop();
    setDiagnosticSink({});
    EXPECT_EQ(collector.closes, std::vector<std::string>{"Screen capture stopped on the host"});
    std::lock_guard guard(linesLock);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Quillmate Host: screen capture stopped: ", 0), 0u) << lines[0];
}

TEST(ScreenCapture, AStopBeforeOrWhileStartingLeavesNothingCapturing) {
    XvfbServer server("640x480x24");
    QUILL_REQUIRE_XVFB(server);
    // The session ended before its capture was started.
    FrameCollector early;
    ScreenCaptureEngine stoppedFirst(early.sink(), {server.display()});
    stoppedFirst.stop();
    stoppedFirst.start({});

    // The session ends while capture is coming up on a worker thread.
    FrameCollector racing;
    for (int i = 0; i < 5; ++i) {
        ScreenCaptureEngine engine(racing.sink(), {server.display()});
        std::thread starter([&] { engine.start({}); });
        engine.stop();
        const std::size_t atStop = racing.count();
        starter.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        EXPECT_EQ(racing.count(), atStop) << "round " << i;
    }
    EXPECT_EQ(early.count(), 0u);
    EXPECT_EQ(stoppedFirst.frames(), 0);
}

}  // namespace
}  // namespace quill::host
