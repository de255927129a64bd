// The cost of keeping every sent frame valid UTF-8: utf8_sanitize on large
// texts (valid ASCII, valid with accented names, with a bad byte near the
// start, which forces the rewrite), next to json_print of a directory-tree
// sized message, which now includes that scan.
//
//   build/bench/utf8_bench

#include <benchmark/benchmark.h>

#include <string>

#include "core/json.h"
#include "core/util.h"

namespace {

constexpr size_t kTextBytes = 32 << 20;

std::string text_of(const std::string& piece) {
  std::string text;
  text.reserve(kTextBytes + piece.size());
  while (text.size() < kTextBytes) text += piece;
  return text;
}

void run_sanitize(benchmark::State& state, const std::string& text) {
  for (auto _ : state) benchmark::DoNotOptimize(halvex::utf8_sanitize(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}

void BM_SanitizeAscii(benchmark::State& state) {
  run_sanitize(state, text_of("{\"name\":\"IMG_0001.JPG\",\"size\":123456,\"dir\":false},"));
}
void BM_SanitizeAccented(benchmark::State& state) {
  run_sanitize(state, text_of("{\"name\":\"caf\xC3\xA9 \xE2\x82\xAC.jpg\",\"size\":1},"));
}
void BM_SanitizeRewrite(benchmark::State& state) {
  run_sanitize(state,
               "\xFF" + text_of("{\"name\":\"IMG_0001.JPG\",\"size\":123456,\"dir\":false},"));
}

// 400 000 entries print to about 24 MB.
void BM_JsonPrintTree(benchmark::State& state) {
  halvex::Json entries = halvex::json_array();
  for (int i = 0; i < 400000; i++) {
    halvex::Json entry = halvex::json_object();
    halvex::json_add_string(entry.get(), "name", "DCIM/100MEDIA/IMG_" + std::to_string(i) + ".JPG");
    halvex::json_add_number(entry.get(), "size", 1234567);
    halvex::json_append(entries.get(), std::move(entry));
  }
  size_t bytes = 0;
  for (auto _ : state) {
    std::string printed = halvex::json_print(entries.get());
    bytes = printed.size();
    benchmark::DoNotOptimize(printed);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

BENCHMARK(BM_SanitizeAscii)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SanitizeAccented)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SanitizeRewrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JsonPrintTree)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
