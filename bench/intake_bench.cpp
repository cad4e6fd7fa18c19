// A stranger's connection churn against the host binary: at each rate, new connections from 64
// addresses that never send (each closed after 50 ms) while a paired controller sends a fresh
// offer every half second. Reported per rate: the churn reached, the slowest first reply to the
// controller and the share of offers answered within 1 s. The highest rate whose share stays 1
// is the sustained churn the host withstands. Run it inside scripts/harness/webrtc and
// scripts/harness/x11: the host needs a display and a private network.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include "quillcore/webrtc/peer_connection_factory.h"
#include "tests/host_process.h"

using namespace quill;
using namespace quill::hostprocess;

namespace {

void Churn(benchmark::State& state) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    PeerConnectionFactory::shared();
    HostProcess host;
    const double rate = static_cast<double>(state.range(0));
    constexpr int kThreads = 4, kProbes = 10;
    double reached = 0, slowest = 0;
    int answered = 0;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::vector<std::future<std::size_t>> churners;
        for (int i = 0; i < kThreads; ++i)
            churners.push_back(std::async(std::launch::async, [&] { return churn(host.port, 64, rate / kThreads, stop); }));
        const auto began = Clock::now();
        std::this_thread::sleep_for(1s);
        for (int probe = 0; probe < kProbes; ++probe) {
            CapturedOffer offer = captureOffer(host);
            const auto sent = Clock::now();
            const bool replied = replies(host.port, offer.frame, 5);
            const double seconds = std::chrono::duration<double>(Clock::now() - sent).count();
            offer.session->close("done");
            slowest = std::max(slowest, replied ? seconds : 5.0);
            answered += replied && seconds <= 1.0 ? 1 : 0;
            std::this_thread::sleep_until(sent + 500ms);
        }
        stop = true;
        std::size_t made = 0;
        for (auto& c : churners) made += c.get();
        reached = static_cast<double>(made) / std::chrono::duration<double>(Clock::now() - began).count();
    }
    if (!host.running()) state.SkipWithError("the host died");
    state.counters["churn_per_s"] = reached;
    state.counters["slowest_reply_s"] = slowest;
    state.counters["answered_within_1s"] = static_cast<double>(answered) / kProbes;
    state.counters["host_fds"] = static_cast<double>(host.descriptors());
}
BENCHMARK(Churn)->Arg(1000)->Arg(5000)->Arg(10000)->Arg(20000)->Arg(40000)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
