// A controller's offer to a running session on loopback, through both session roles: TCP
// for the sealed signalling, WebRTC (GStreamer) for the media and data channels. Run it
// inside the WebRTC harness (a private network namespace with loopback up).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include "quillcore/envelope/envelope_test_support.h"
#include "quillcore/net/tcp_listener.h"
#include "quillcore/session/controller_session.h"
#include "quillcore/session/host_session.h"
#include "quillcore/webrtc/peer_connection_factory.h"

namespace quill {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double secondsBetween(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// The host's listening port, with every accepted connection queued.
struct HostPort {
    net::TcpListenerPtr listener = net::TcpListener::create();
    AsyncStreamPtr<net::TcpConnectionPtr> accepted = AsyncStream<net::TcpConnectionPtr>::make();
    std::uint16_t port = 0;

    HostPort() {
        auto ready = std::make_shared<std::promise<std::uint16_t>>();
        auto future = ready->get_future();
        auto once = std::make_shared<std::once_flag>();
        listener->setStateHandler([ready, once](const net::TcpListener::StateUpdate& u) {
            if (u.state == net::TcpListener::State::ready) std::call_once(*once, [&] { ready->set_value(*u.port); });
        });
        listener->setConnectionHandler([q = accepted](net::TcpConnectionPtr c) { q->push(std::move(c)); });
        listener->start();
        port = future.get();
    }
};

struct Devices {
    DeviceIdentity host = testing::makeIdentity(1);
    DeviceIdentity controller = testing::makeIdentity(3);
    PeerRecord hostRecord = testing::recordOf(host, "Host");
    PeerRecord controllerRecord = testing::recordOf(controller, "Controller");
    std::shared_ptr<PeerStore> hostStore = std::make_shared<InMemoryPeerStore>(std::vector{controllerRecord});
    std::shared_ptr<PeerStore> controllerStore = std::make_shared<InMemoryPeerStore>(std::vector{hostRecord});
};

SessionConfiguration benchConfiguration(int width, int height) {
    return SessionConfiguration({}, SessionMode::control, 8'000'000, 30, width, height, 10, 15, 20);
}

PixelBufferPtr grey(int w, int h) {
    return PixelBuffer::fromVector(w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h * 4, 0x80));
}

// One session per iteration: the controller's start (offer out, answer back, both data
// channels open) is the measured time; the first decoded frame and the close are counters.
void BM_ControllerOfferToRunningSession(benchmark::State& state) {
    PeerConnectionFactory::shared();
    static HostPort hostPort;
    Devices devices;
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const SessionConfiguration configuration = benchConfiguration(width, height);
    const PixelBufferPtr frame = grey(width, height);

    for (auto _ : state) {
        const auto making = Clock::now();
        auto host = HostSession::make(devices.host, devices.hostStore, configuration);
        auto controller =
            ControllerSession::make(devices.hostRecord, devices.controller, devices.controllerStore, configuration);
        state.counters["make_ms"] = 1000 * secondsBetween(making, Clock::now());
        Clock::time_point hostDone;
        // The host's core enters connecting when it starts answering the Offer it received.
        std::optional<Clock::time_point> offerReceived;
        std::thread watcher([&, states = host->states] {
            while (auto s = states->next()) {
                if (!offerReceived && s->is(SessionConnectionState::Kind::connecting)) offerReceived = Clock::now();
            }
        });
        auto run = std::async(std::launch::async, [&] {
            auto connection = hostPort.accepted->next(10.0);
            if (!connection.hasItem()) throw std::runtime_error("no connection");
            host->run(*connection.value);
            hostDone = Clock::now();
        });

        const auto started = Clock::now();
        try {
            controller->start(hostPort.port);
            run.get();
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            host->close("failed");
            watcher.join();
            break;
        }
        const auto running = Clock::now();
        state.SetIterationTime(secondsBetween(started, running));
        state.counters["host_run_ms"] = 1000 * secondsBetween(started, hostDone);

        // Time to the first decoded frame, feeding frames as a capture would.
        std::atomic<bool> feeding{true};
        std::thread feeder([&] {
            std::int64_t ts = 0;
            while (feeding) {
                host->sendVideoFrame(frame, ts);
                ts += 33'333'333;
                std::this_thread::sleep_for(33ms);
            }
        });
        std::shared_ptr<RemoteVideoTrack> track;
        while (!track && Clock::now() - running < 10s) {
            track = controller->remoteVideoTrack();
            if (!track) std::this_thread::sleep_for(1ms);
        }
        bool decoded = track && track->frames()->next(10.0).hasItem();
        const auto firstFrame = Clock::now();
        feeding = false;
        feeder.join();
        if (!decoded) {
            state.SkipWithError("no decoded frame");
            break;
        }
        state.counters["first_frame_ms"] = 1000 * secondsBetween(running, firstFrame);

        const auto closing = Clock::now();
        controller->close("done");
        host->close("done");
        state.counters["close_ms"] = 1000 * secondsBetween(closing, Clock::now());
        watcher.join();  // the host's states end with its close
        // From the controller's start to the host holding its Offer (offer made, gathered,
        // sealed, sent over TCP, opened).
        if (offerReceived) state.counters["offer_at_host_ms"] = 1000 * secondsBetween(started, *offerReceived);
        controller.reset();
        host.reset();
    }
}
// The first repetition holds the process's first session; the median is of later ones.
BENCHMARK(BM_ControllerOfferToRunningSession)
    ->Args({640, 480})
    ->Args({1920, 1080})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(9)
    ->ReportAggregatesOnly();

}  // namespace
}  // namespace quill
