// WebRTC session figures on loopback, run inside the WebRTC harness:
//   scripts/harness/webrtc build/bench/webrtc_bench
// Each benchmark repeats and reports the median of its repetitions.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>

#include "bench/webrtc_peer.h"

namespace quill {
namespace {

using namespace webrtctest;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// A controller connected to a host in a process of its own that has made its factory (as the
// host application does at start-up); nothing when the host did not come up.
std::shared_ptr<SessionCore> connectTo(PeerProcess& host, double* offerToOpenMs = nullptr) {
    if (host.receive() != "ready") return nullptr;
    auto controller = SessionCore::make(configuration(1920, 1080, 60), true);
    const auto start = Clock::now();
    host.send(controller->makeOffer());
    controller->setRemote({SdpType::answer, host.receive()});
    controller->waitUntilConnected();
    if (offerToOpenMs) *offerToOpenMs = msSince(start);
    return controller;
}

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Offer made to both channels open at the controller, against a host in a process of its own
// that has had no session yet.
void BM_FirstSessionOfferToOpen(benchmark::State& state) {
    PeerConnectionFactory::shared();
    connectPair(configuration(320, 240)).closeAll();  // the controller side is warm
    for (auto _ : state) {
        PeerProcess host(QUILL_WEBRTC_BENCH_PEER, "host", {"1920", "1080", "60"});
        double ms = 0;
        auto controller = connectTo(host, &ms);
        if (!controller) return state.SkipWithError("no host");
        state.SetIterationTime(ms / 1000.0);
        controller->close();
    }
}
BENCHMARK(BM_FirstSessionOfferToOpen)->Iterations(1)->Repetitions(7)->ReportAggregatesOnly()->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The same for later sessions, both sides in this process, with the time of each step.
void BM_LaterSessionOfferToOpen(benchmark::State& state) {
    PeerConnectionFactory::shared();
    connectPair(configuration(1920, 1080, 60)).closeAll();
    for (auto _ : state) {
        const auto config = configuration(1920, 1080, 60);
        auto controller = SessionCore::make(config, true);
        auto host = SessionCore::make(config, false);
        const auto start = Clock::now();
        const auto offer = controller->makeOffer();
        state.counters["offer_ms"] = msSince(start);
        const auto answered = Clock::now();
        const auto answer = host->answer(offer);
        state.counters["answer_ms"] = msSince(answered);
        const auto applied = Clock::now();
        controller->setRemote({SdpType::answer, answer});
        auto hostWait = std::async(std::launch::async, [&] { host->waitUntilConnected(); });
        controller->waitUntilConnected();
        state.counters["open_ms"] = msSince(applied);
        state.SetIterationTime(msSince(start) / 1000.0);
        hostWait.get();
        controller->close();
        host->close();
    }
}
BENCHMARK(BM_LaterSessionOfferToOpen)->Iterations(1)->Repetitions(15)->ReportAggregatesOnly()->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Capture time stamp to decoded frame at the controller, at 1920x1080 and 60 fps of content
// that changes every frame, both peers in this process: the median over four seconds.
void BM_CaptureToDecoded(benchmark::State& state) {
    const int width = 1920, height = 1080;
    constexpr std::uint32_t kDistinct = 16;  // a code comes back every 267 ms, far beyond any latency
    std::vector<PixelBufferPtr> frames;
    for (std::uint32_t n = 1; n <= kDistinct; ++n) frames.push_back(codedFrame(width, height, n));
    for (auto _ : state) {
        auto p = connectPair(configuration(width, height, 60));
        std::map<std::uint32_t, std::int64_t> sentAt;
        std::mutex mutex;
        std::atomic<bool> stop{false};
        std::thread feeder([&] {
            auto next = Clock::now();
            for (std::uint32_t k = 0; !stop; ++k) {
                const std::uint32_t code = k % kDistinct + 1;
                const auto at = nowNs();
                {
                    std::lock_guard l(mutex);
                    sentAt[code] = at;
                }
                p.host->sendVideoFrame(frames[code - 1], at);
                next += std::chrono::nanoseconds(16'666'667);
                std::this_thread::sleep_until(next);
            }
        });
        auto track = trackOf(*p.controller);
        std::vector<double> latencies;
        const auto from = Clock::now();
        while (track && msSince(from) < 4000) {
            auto f = track->frames()->next(2.0);
            if (!f.hasItem()) break;
            const auto at = nowNs();
            std::lock_guard l(mutex);
            auto it = sentAt.find(readCode(**f.value));
            if (it != sentAt.end() && msSince(from) > 500) latencies.push_back(static_cast<double>(at - it->second) / 1e6);
        }
        stop = true;
        feeder.join();
        p.closeAll();
        if (latencies.empty()) return state.SkipWithError("no decoded frames");
        state.SetIterationTime(median(latencies) / 1000.0);
        state.counters["decoded_fps"] = static_cast<double>(latencies.size()) / 3.5;
    }
}
BENCHMARK(BM_CaptureToDecoded)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly()->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The host in a process of its own sends changing 1920x1080 frames at 60 fps for four seconds:
// the frame rate decoded here, and the host's CPU time and page faults per frame sent. The
// reported time is the four seconds; the figures are counters.
void BM_SustainedFps(benchmark::State& state) {
    for (auto _ : state) {
        PeerProcess host(QUILL_WEBRTC_BENCH_PEER, "host", {"1920", "1080", "60"});
        auto controller = connectTo(host);
        auto track = controller ? trackOf(*controller) : nullptr;
        if (!track) return state.SkipWithError("no host or no video track");
        // Count from the first decoded frame, over four seconds.
        track->frames()->next(5.0);
        const auto first = track->decodedFrameCount();
        const auto from = Clock::now();
        while (msSince(from) < 4000) track->frames()->next(0.1);
        const double fps = static_cast<double>(track->decodedFrameCount() - first) / (msSince(from) / 1000.0);
        host.endInput();
        long frames = 0, cpuUs = 0, faults = 0;
        std::sscanf(host.readLine().c_str(), "frames %ld cpu_us %ld minflt %ld", &frames, &cpuUs, &faults);
        host.wait();
        controller->close();
        state.SetIterationTime(4);
        state.counters["decoded_fps"] = fps;
        state.counters["host_cpu_ms_per_frame"] = frames > 0 ? static_cast<double>(cpuUs) / 1000.0 / frames : 0;
        state.counters["host_faults_per_frame"] = frames > 0 ? static_cast<double>(faults) / frames : 0;
    }
}
BENCHMARK(BM_SustainedFps)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly()->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace quill
