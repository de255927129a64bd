// hximg_encode against the memory operations it must keep pace with, in one
// run so that both sides see the same machine state:
//   random data   vs memcpy of the same bytes (target: at least 0.9 times);
//   zero and fill vs memcmp of the part against itself shifted by one byte
//                    (target: at least as fast).
// Parts are 64 MiB, larger than any cache, as real parts are.
//
//   build/bench/hximg_bench

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "imaging/hximg.h"

namespace halvex {
namespace {

constexpr size_t kPart = 64 * 1048576;

const std::vector<uint8_t>& random_part() {
  static const std::vector<uint8_t> part = [] {
    std::vector<uint8_t> p(kPart);
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < kPart; i += 8) {
      const uint64_t v = rng();
      std::memcpy(&p[i], &v, 8);
    }
    return p;
  }();
  return part;
}

const std::vector<uint8_t>& uniform_part(uint8_t value) {
  static const std::vector<uint8_t> zero(kPart, 0x00), fill(kPart, 0xA5);
  return value == 0 ? zero : fill;
}

void encode(benchmark::State& state, const std::vector<uint8_t>& part) {
  for (auto _ : state) {
    uint64_t length = 0;
    PartBuffer out = hximg_encode(part.data(), part.size(), &length);
    benchmark::DoNotOptimize(out.get());
    if (!out) state.SkipWithError("encode failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * part.size()));
}

void BM_HximgEncodeRandom(benchmark::State& state) { encode(state, random_part()); }
void BM_HximgEncodeZero(benchmark::State& state) { encode(state, uniform_part(0x00)); }
void BM_HximgEncodeFill(benchmark::State& state) { encode(state, uniform_part(0xA5)); }

// The copy into a buffer that is already mapped: the strict baseline.
void BM_Memcpy(benchmark::State& state) {
  const std::vector<uint8_t>& part = random_part();
  std::vector<uint8_t> out(part.size(), 1);
  for (auto _ : state) {
    std::memcpy(out.data(), part.data(), part.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * part.size()));
}

// The copy into a newly allocated buffer, as hximg_encode must do: it shows
// how much of the gap to BM_Memcpy is the fresh pages rather than the
// encoder.
void BM_MemcpyNewBuffer(benchmark::State& state) {
  const std::vector<uint8_t>& part = random_part();
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[part.size()]);
    std::memcpy(out.get(), part.data(), part.size());
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * part.size()));
}

void BM_MemcmpShiftedByOne(benchmark::State& state) {
  const std::vector<uint8_t>& part = uniform_part(static_cast<uint8_t>(state.range(0)));
  for (auto _ : state) {
    int diff = std::memcmp(part.data(), part.data() + 1, part.size() - 1);
    benchmark::DoNotOptimize(diff);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * part.size()));
}

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyNewBuffer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HximgEncodeRandom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcmpShiftedByOne)->Arg(0x00)->Arg(0xA5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HximgEncodeZero)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HximgEncodeFill)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace halvex

BENCHMARK_MAIN();
