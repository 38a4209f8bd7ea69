// The digests of a listing's bodies, one at a time and sixteen a pass: 2,000 bodies of 100 to
// 2,100 bytes under random keys, as the benchmark corpus's documents hold them.
#include <benchmark/benchmark.h>

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
  for (auto _ : state) {
    wordbasic::BodySha256Many(s_bodies.refs.data(), s_bodies.refs.size(),
                              reinterpret_cast<uint8_t(*)[wordbasic::kSha256Bytes]>(digests.data()),
                              state.range(0) != 0);
    benchmark::DoNotOptimize(digests.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s_bodies.cb));
}
BENCHMARK(Digests)->ArgName("at_once")->Arg(0)->Arg(1);

}  // namespace
