// Screen capture and input injection figures against the X server in $DISPLAY:
//   scripts/harness/x11 ./bench/desktop_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <vector>

#include "host/desktop/platform_permissions.h"
#include "host/desktop/screen_capture_engine.h"
#include "host/desktop/x11_connection.h"
#include "host/desktop/x11_test_support.h"
#include "host/desktop/xtest_event_sink.h"

namespace quill::host {
namespace {

using testing::TestClient;

const char* display() {
    const char* d = std::getenv("DISPLAY");
    return d ? d : "";
}

bool serverReachable(benchmark::State& state) {
    try {
        X11Connection probe(display());
        return true;
    } catch (const X11Error& error) {
        state.SkipWithError(("no X server: " + error.description()).c_str());
        return false;
    }
}

// Capture back to back (no pacing); each frame is released as soon as it arrives, as a video
// source that encodes in time does. Reports the capture time per frame of the main display.
void captureBackToBack(benchmark::State& state, bool sharedMemory) {
    if (!serverReachable(state)) return;
    std::mutex lock;
    std::condition_variable changed;
    std::int64_t received = 0;
    int width = 0, height = 0;
    ScreenCaptureOptions options;
    options.displayName = display();
    options.minimumFrameInterval = 0;
    options.useSharedMemory = sharedMemory;
    ScreenCaptureEngine engine(
        VideoFrameSink{[&](const PixelBufferPtr& frame, std::int64_t) {
                           std::lock_guard guard(lock);
                           width = frame->width();
                           height = frame->height();
                           ++received;
                           changed.notify_all();
                       },
                       {}},
        options);
    engine.start({});
    constexpr int kFrames = 60;
    for (auto _ : state) {
        std::unique_lock guard(lock);
        const std::int64_t target = received + kFrames;
        const auto start = std::chrono::steady_clock::now();
        changed.wait(guard, [&] { return received >= target; });
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kFrames);
    }
    engine.stop();
    state.counters["width"] = width;
    state.counters["height"] = height;
}

void BM_CapturePerFrameSharedMemory(benchmark::State& state) { captureBackToBack(state, true); }
BENCHMARK(BM_CapturePerFrameSharedMemory)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_CapturePerFramePlainGetImage(benchmark::State& state) { captureBackToBack(state, false); }
BENCHMARK(BM_CapturePerFramePlainGetImage)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// What one extra copy of a 1920x1080 BGRx frame would cost, for comparison with handing the
// shared-memory segment on without copying.
void BM_CopyOf1080pFrame(benchmark::State& state) {
    std::vector<std::uint8_t> from(1920 * 1080 * 4, 0x5a), to(from.size());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(from.size()));
}
BENCHMARK(BM_CopyOf1080pFrame)->Unit(benchmark::kMicrosecond);

struct InjectionRig {
    InjectionRig()
        : client(display()),
          connection(std::make_shared<X11Connection>(display())),
          displays(std::make_shared<X11DisplaySource>(connection, 0.5)),
          sink(std::make_shared<XTestEventSink>(connection, "/tmp/desktop_bench.key-repeat")),
          injector(sink, displays) {}
    TestClient client;
    std::shared_ptr<X11Connection> connection;
    std::shared_ptr<X11DisplaySource> displays;
    std::shared_ptr<XTestEventSink> sink;
    InputInjector injector;
};

// A pointer message taken up by the injector until the window under the pointer receives its
// motion event.
void BM_PointerMessageToClientEvent(benchmark::State& state) {
    if (!serverReachable(state)) return;
    InjectionRig rig;
    int i = 0;
    for (auto _ : state) {
        Quillmate_V0_PointerEvent p;
        p.set_display_id(0);
        p.set_x(float(100 + (i++ % 2)) / 1920.0f);
        p.set_y(0.5f);
        rig.client.events.clear();
        rig.injector.injectPointer(p, InputInjector::Clock::now());
        rig.client.collect(5, [](const auto& e) { return !e.empty(); });
    }
}
BENCHMARK(BM_PointerMessageToClientEvent)->Unit(benchmark::kMicrosecond);

// A key message (press) until the focused window receives the key press; the release follows
// outside the timing.
void BM_KeyMessageToClientEvent(benchmark::State& state) {
    if (!serverReachable(state)) return;
    InjectionRig rig;
    Quillmate_V0_KeyEvent key;
    key.set_usb_hid_usage(0x04);
    for (auto _ : state) {
        rig.client.events.clear();
        key.set_down(true);
        rig.injector.injectKey(key);
        rig.client.collect(5, [](const auto& e) { return !e.empty(); });
        state.PauseTiming();
        key.set_down(false);
        rig.injector.injectKey(key);
        rig.client.collect(5, [](const auto& e) { return e.size() >= 2; });
        state.ResumeTiming();
    }
}
BENCHMARK(BM_KeyMessageToClientEvent)->Unit(benchmark::kMicrosecond);

// Both permission probes, as the host's maintenance tick reads them twice a second.
void BM_PermissionProbes(benchmark::State& state) {
    if (!serverReachable(state)) return;
    X11PermissionProbe probe(display());
    for (auto _ : state) {
        bool granted = probe.screenRecordingGranted() && probe.accessibilityGranted();
        benchmark::DoNotOptimize(granted);
    }
}
BENCHMARK(BM_PermissionProbes)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quill::host
