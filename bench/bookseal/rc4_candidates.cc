// Compares the two RC4 implementations the sealing tool can link (Nettle's
// arcfour and libcrypto's RC4) on the same in-place transform over buffers
// of book-like sizes, so the faster one can be picked with figures.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <nettle/arcfour.h>
#include <openssl/rc4.h>

#include <cstdint>
#include <vector>

namespace {

constexpr char kKey[] = "0123456789abcdef0123456789abcdef";
constexpr int kKeyLength = sizeof(kKey) - 1;

void BM_NettleArcfour(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5a);
  for (auto _ : state) {
    arcfour_ctx ctx;
    arcfour_set_key(&ctx, kKeyLength, reinterpret_cast<const uint8_t*>(kKey));
    arcfour_crypt(&ctx, data.size(), data.data(), data.data());
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_LibcryptoRC4(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5a);
  for (auto _ : state) {
    RC4_KEY key;
    RC4_set_key(&key, kKeyLength, reinterpret_cast<const uint8_t*>(kKey));
    RC4(&key, data.size(), data.data(), data.data());
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_NettleArcfour)->Arg(4 << 10)->Arg(1 << 20)->Arg(16 << 20);
BENCHMARK(BM_LibcryptoRC4)->Arg(4 << 10)->Arg(1 << 20)->Arg(16 << 20);
BENCHMARK_MAIN();
