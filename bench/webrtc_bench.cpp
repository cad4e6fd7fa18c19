// WebRTC session figures on loopback. Run inside a network namespace with loopback up:
//   unshare -n bash -c 'ip link set lo up; ./bench/webrtc_bench'
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <numeric>

#include "tests/webrtc_support.h"

namespace quill {
namespace {

using namespace webrtctest;

double msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

// Offer made to both channels open on both sides.
double offerToOpenMs() {
    const auto start = std::chrono::steady_clock::now();
    auto p = connectPair(configuration(640, 360));
    const double ms = msSince(start);
    p.closeAll();
    return ms;
}

// The first session of the process (the factory, and with it the DTLS certificate, is made
// before the clock starts, as the host does at start-up).
void BM_FirstSessionOfferToOpen(benchmark::State& state) {
    PeerConnectionFactory::shared();
    for (auto _ : state) state.SetIterationTime(offerToOpenMs() / 1000.0);
}
BENCHMARK(BM_FirstSessionOfferToOpen)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_LaterSessionOfferToOpen(benchmark::State& state) {
    PeerConnectionFactory::shared();
    for (auto _ : state) state.SetIterationTime(offerToOpenMs() / 1000.0);
}
BENCHMARK(BM_LaterSessionOfferToOpen)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

// Capture time stamp to decoded frame at the controller, and the time to the first decoded
// frame, both peers in this process.
void BM_CaptureToDecoded(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    for (auto _ : state) {
        auto p = connectPair(configuration(width, height, 30));
        std::vector<PixelBufferPtr> frames;
        for (std::uint32_t n = 1; n <= 150; ++n) frames.push_back(codedFrame(width, height, n));
        std::map<std::uint32_t, std::int64_t> sentAt;
        std::mutex mutex;
        std::atomic<bool> stop{false};
        const auto started = std::chrono::steady_clock::now();
        std::thread feeder([&] {
            auto next = std::chrono::steady_clock::now();
            for (std::uint32_t n = 1; n <= 150 && !stop; ++n) {
                {
                    std::lock_guard l(mutex);
                    sentAt[n] = nowNs();
                }
                p.host->sendVideoFrame(frames[n - 1], nowNs());
                next += 33ms;
                std::this_thread::sleep_until(next);
            }
        });
        std::shared_ptr<RemoteVideoTrack> track;
        while (!(track = p.controller->remoteVideoTrack()) && msSince(started) < 5000) std::this_thread::sleep_for(1ms);
        std::vector<double> latencies;
        double firstMs = -1;
        while (track) {
            auto f = track->frames()->next(2.0);
            if (!f.hasItem()) break;
            const auto at = nowNs();
            const std::uint32_t n = readCode(**f.value);
            std::lock_guard l(mutex);
            auto it = sentAt.find(n);
            if (it == sentAt.end()) continue;
            if (firstMs < 0) firstMs = msSince(started);
            latencies.push_back(static_cast<double>(at - it->second) / 1e6);
            if (n == 150) break;
        }
        stop = true;
        feeder.join();
        p.closeAll();
        if (latencies.empty()) {
            state.SkipWithError("no decoded frames");
            return;
        }
        std::sort(latencies.begin(), latencies.end());
        state.counters["first_frame_ms"] = firstMs;
        state.counters["latency_mean_ms"] = std::accumulate(latencies.begin(), latencies.end(), 0.0) / latencies.size();
        state.counters["latency_p95_ms"] = latencies[latencies.size() * 95 / 100];
        state.counters["decoded_of_150"] = static_cast<double>(latencies.size());
    }
}
BENCHMARK(BM_CaptureToDecoded)->Args({1280, 720})->Iterations(1)->Unit(benchmark::kMillisecond);

// The host in a process of its own sends changing frames at 60 fps for four seconds: the
// frame rate decoded here, and the host's CPU time per frame sent.
void BM_SustainedFps(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    for (auto _ : state) {
        PeerProcess host(QUILL_WEBRTC_TEST_PEER, "host", {std::to_string(width), std::to_string(height), "60"});
        auto controller = SessionCore::make(configuration(width, height, 60), true);
        host.send(controller->makeOffer());
        controller->setRemote({SdpType::answer, host.receive()});
        controller->waitUntilConnected();
        std::shared_ptr<RemoteVideoTrack> track;
        const auto start = std::chrono::steady_clock::now();
        while (!(track = controller->remoteVideoTrack()) && msSince(start) < 5000) std::this_thread::sleep_for(1ms);
        if (!track) {
            state.SkipWithError("no video track");
            return;
        }
        // Count from the first decoded frame, over four seconds.
        track->frames()->next(5.0);
        const auto first = track->decodedFrameCount();
        const auto from = std::chrono::steady_clock::now();
        while (msSince(from) < 4000) track->frames()->next(0.1);
        const double fps = static_cast<double>(track->decodedFrameCount() - first) / (msSince(from) / 1000.0);
        host.endInput();
        std::string report = host.readLine();
        long frames = 0, cpuUs = 0;
        std::sscanf(report.c_str(), "frames %ld cpu_us %ld", &frames, &cpuUs);
        host.wait();
        controller->close();
        state.counters["controller_fps"] = fps;
        state.counters["host_frames_sent"] = static_cast<double>(frames);
        state.counters["host_cpu_ms_per_frame"] = frames > 0 ? static_cast<double>(cpuUs) / 1000.0 / frames : 0;
    }
}
BENCHMARK(BM_SustainedFps)->Args({1280, 720})->Args({1920, 1080})->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quill
