// Frame channel on loopback TCP: throughput for small and large frames, and the round trip of
// a small frame through an echoing peer.
#include <benchmark/benchmark.h>

#include <future>
#include <thread>

#include "quillcore/net/tcp_listener.h"
#include "quillcore/transport/frame_channel.h"

using namespace quill;

namespace {

struct Pair {
    FrameChannelPtr client;
    FrameChannelPtr server;
};

Pair connectPair() {
    auto listener = net::TcpListener::create();
    std::promise<std::uint16_t> port;
    std::promise<net::TcpConnectionPtr> accepted;
    listener->setStateHandler([&](const net::TcpListener::StateUpdate& u) {
        if (u.state == net::TcpListener::State::ready) port.set_value(*u.port);
    });
    listener->setConnectionHandler([&](net::TcpConnectionPtr c) { accepted.set_value(std::move(c)); });
    listener->start();
    Pair pair;
    pair.client = FrameChannel::connectLocal(port.get_future().get());
    pair.server = FrameChannel::make(accepted.get_future().get());
    listener->setConnectionHandler(nullptr);
    // Only nextFrame() reads here; the stream would keep a second copy of every frame.
    pair.client->frames->detach();
    pair.server->frames->detach();
    return pair;
}

void Throughput(benchmark::State& state) {
    auto size = static_cast<std::size_t>(state.range(0));
    auto batch = static_cast<int>(state.range(1));
    auto pair = connectPair();
    Bytes payload(size, 0x5A);
    for (auto _ : state) {
        std::thread sender([&] {
            for (int i = 0; i < batch; ++i) pair.client->send(payload);
        });
        for (int i = 0; i < batch; ++i) benchmark::DoNotOptimize(pair.server->nextFrame());
        sender.join();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * batch * static_cast<std::int64_t>(size));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * batch);
    pair.client->close();
    pair.server->close();
}
BENCHMARK(Throughput)->Args({1024, 4096})->Args({1024 * 1024, 32})->Unit(benchmark::kMillisecond)->UseRealTime();

void RoundTrip100Bytes(benchmark::State& state) {
    auto pair = connectPair();
    std::thread echo([&] {
        try {
            while (auto f = pair.server->nextFrame()) pair.server->send(*f);
        } catch (const FrameChannelError&) {
        }
    });
    Bytes payload(100, 0x42);
    for (auto _ : state) {
        pair.client->send(payload);
        benchmark::DoNotOptimize(pair.client->nextFrame());
    }
    pair.client->close();
    pair.server->close();
    echo.join();
}
BENCHMARK(RoundTrip100Bytes)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
