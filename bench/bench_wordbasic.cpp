// The digests of a listing's bodies, one at a time and sixteen a pass: 2,000 bodies of 100 to
// 2,100 bytes under random keys, as the benchmark corpus's documents hold them, in groups of 70
// (a worker's batch) and all at once.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "wordbasic.h"

namespace {

struct Bodies {
  std::vector<std::vector<uint8_t>> stored;
  std::vector<wordbasic::BodyRef> refs;
  size_t cb = 0;
  Bodies() {
    std::mt19937 rng(20261209);
    stored.resize(2000);
    for (std::vector<uint8_t>& b : stored) {
      b.resize(100 + rng() % 2000);
      for (uint8_t& c : b) c = static_cast<uint8_t>(rng());
      refs.push_back({b.data(), b.size(), static_cast<uint8_t>(rng())});
      cb += b.size();
    }
  }
};

void Digests(benchmark::State& state) {
  static const Bodies s_bodies;
  std::vector<std::array<uint8_t, wordbasic::kSha256Bytes>> digests(s_bodies.refs.size());
  // In groups, as a worker's results of one batch come (some seventy bodies on the corpus).
  const size_t nGroup = static_cast<size_t>(state.range(1));
  const size_t n = s_bodies.refs.size();
  for (auto _ : state) {
    for (size_t at = 0; at < n; at += nGroup)
      wordbasic::BodySha256Many(
          s_bodies.refs.data() + at, std::min(nGroup, n - at),
          reinterpret_cast<uint8_t(*)[wordbasic::kSha256Bytes]>(digests.data() + at),
          state.range(0) != 0);
    benchmark::DoNotOptimize(digests.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s_bodies.cb));
}
BENCHMARK(Digests)->ArgNames({"at_once", "group"})->ArgsProduct({{0, 1}, {70, 2000}});

}  // namespace
