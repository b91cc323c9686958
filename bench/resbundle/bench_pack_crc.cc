// myCRC32 over a 256 MiB buffer: the one-table byte form against the
// sixteen-table slicing form the tool uses.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "resbundle/KXPack/store/mycrc32.h"

namespace {

const std::vector<unsigned char>& buffer() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> d(256u << 20);
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < d.size(); i += 8) {
      const uint64_t v = rng();
      for (int k = 0; k < 8; ++k)
        d[i + k] = static_cast<unsigned char>(v >> (8 * k));
    }
    return d;
  }();
  return data;
}

template <uint32_t (*Checksum)(uint32_t, const void*, size_t)>
void BM_Checksum(benchmark::State& state) {
  const auto& data = buffer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(Checksum(0, data.data(), data.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
}

BENCHMARK(BM_Checksum<myCRC32Bytewise>)
    ->Name("myCRC32/bytewise/256MiB")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(BM_Checksum<myCRC32Slicing16>)
    ->Name("myCRC32/slicing16/256MiB")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
