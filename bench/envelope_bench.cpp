// Envelopes sealed and opened per second on one core, with a typical ICE candidate as payload.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "quillcore/crypto/crypto.h"
#include "quillcore/envelope/envelope_receiver.h"
#include "quillcore/envelope/envelope_sealer.h"

namespace {

using namespace quill;

struct Peers {
    DeviceIdentity host{StoredIdentityKeys(Bytes(32, 0x11), Bytes(32, 0x12))};
    DeviceIdentity controller{StoredIdentityKeys(Bytes(32, 0x21), Bytes(32, 0x22))};
    SignallingMessage message =
        Candidate("5b0e9f3c-2d4a-4c1e-9a57-0f3c2b1d4e6f",
                  "candidate:842163049 1 udp 1677729535 192.168.1.20 54321 typ srflx raddr 0.0.0.0 rport 0",
                  std::string("0"), 0);

    static PeerRecord recordOf(const DeviceIdentity& identity) {
        PeerRecord record;
        record.fingerprint = identity.fingerprint();
        record.signingPublicKey = identity.signingPublicKey();
        record.agreementPublicKey = identity.agreementPublicKey();
        record.name = "peer";
        record.permissions = PeerPermissions::defaults();
        return record;
    }
};

void BM_EnvelopeSeal(benchmark::State& state) {
    const Peers peers;
    const PeerRecord recipient = Peers::recordOf(peers.host);
    const SystemTime now = std::chrono::system_clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(EnvelopeSealer::seal(peers.message, peers.controller, recipient, now));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnvelopeSeal);

// Opening against a replay record of a given size: the cost must not grow with it (0 and
// 100,000 identifiers remembered within 1.2x).
void BM_EnvelopeOpen(benchmark::State& state) {
    const Peers peers;
    const PeerRecord recipient = Peers::recordOf(peers.host);
    auto store = std::make_shared<InMemoryPeerStore>(std::vector{Peers::recordOf(peers.controller)});
    const auto remembered = static_cast<std::size_t>(state.range(0));
    const SystemTime now = std::chrono::system_clock::now();
    // Every envelope is opened once, as on a link. Sealing, and a new receiver holding
    // `remembered` identifiers for each batch, are kept out of the timing, so the record holds
    // between `remembered` and `remembered` + kBatch identifiers while opens are timed.
    constexpr std::size_t kBatch = 256;
    std::unique_ptr<EnvelopeReceiver> receiver;
    std::vector<std::string> batch;
    std::size_t next = kBatch;
    for (auto _ : state) {
        if (next == kBatch) {
            state.PauseTiming();
            receiver = std::make_unique<EnvelopeReceiver>(peers.host, store);
            for (std::size_t i = 0; i < remembered; ++i) receiver->checkReplay(crypto::randomBytes16(), now);
            batch.clear();
            for (std::size_t i = 0; i < kBatch; ++i) {
                batch.push_back(EnvelopeSealer::seal(peers.message, peers.controller, recipient, now).encode());
            }
            next = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(receiver->open(Envelope::decode(batch[next++]), now));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnvelopeOpen)->Arg(0)->Arg(100'000);

void BM_EnvelopeSealAndOpen(benchmark::State& state) {
    const Peers peers;
    const PeerRecord recipient = Peers::recordOf(peers.host);
    auto store = std::make_shared<InMemoryPeerStore>(std::vector{Peers::recordOf(peers.controller)});
    EnvelopeReceiver receiver(peers.host, store);
    const SystemTime now = std::chrono::system_clock::now();
    for (auto _ : state) {
        const std::string frame = EnvelopeSealer::seal(peers.message, peers.controller, recipient, now).encode();
        benchmark::DoNotOptimize(receiver.open(Envelope::decode(frame), now));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnvelopeSealAndOpen);

}  // namespace
