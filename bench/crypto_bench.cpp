#include <benchmark/benchmark.h>

#include "quillcore/crypto/crypto.h"

namespace {

using namespace quill;
using namespace quill::crypto;

void BM_Ed25519Sign(benchmark::State& state) {
    const auto key = Ed25519::PrivateKey::generate();
    const Bytes message(200, 0x5a);
    for (auto _ : state) {
        benchmark::DoNotOptimize(key.sign(message));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Ed25519Sign);

void BM_Ed25519Verify(benchmark::State& state) {
    const auto key = Ed25519::PrivateKey::generate();
    const Bytes message(200, 0x5a);
    const Bytes signature = key.sign(message);
    const Bytes publicKey = key.publicKey();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Ed25519::verify(signature, message, publicKey));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Ed25519Verify);

void BM_HpkeSeal1KiB(benchmark::State& state) {
    const auto recipient = X25519::PrivateKey::generate();
    const Bytes publicKey = recipient.publicKey();
    const Bytes plaintext(1024, 0x33);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Hpke::seal(publicKey, {}, {}, plaintext));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(plaintext.size()));
}
BENCHMARK(BM_HpkeSeal1KiB);

void BM_HpkeOpen1KiB(benchmark::State& state) {
    const auto recipient = X25519::PrivateKey::generate();
    const Bytes privateKey = recipient.raw();
    const Bytes plaintext(1024, 0x33);
    const Hpke::Sealed sealed = Hpke::seal(recipient.publicKey(), {}, {}, plaintext);
    for (auto _ : state) {
        benchmark::DoNotOptimize(Hpke::open(privateKey, sealed.encapsulatedKey, {}, {}, sealed.ciphertext));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(plaintext.size()));
}
BENCHMARK(BM_HpkeOpen1KiB);

}  // namespace
