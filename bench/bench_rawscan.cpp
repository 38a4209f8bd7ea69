// MACRO_ScanRaw over a 64 MiB file held in the page cache (the signature is absent, so the whole
// file is searched), beside a plain read of the same file in 64 KiB blocks.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "rawscan.h"

namespace {

const std::string& File() {
  static const std::string path = [] {
    std::string p = "/tmp/zebmacro-bench-raw.bin";
    std::vector<uint64_t> block(1 << 16);
    uint64_t x = 0x2545F4914F6CDD1Dull;
    FILE* f = std::fopen(p.c_str(), "wb");
    for (int i = 0; f && i < 128; ++i) {
      for (auto& w : block) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        w = x;
      }
      std::fwrite(block.data(), 8, block.size(), f);
    }
    if (f) std::fclose(f);
    return p;
  }();
  return path;
}

void ScanRaw(benchmark::State& state) {
  const std::string& p = File();
  for (auto _ : state) benchmark::DoNotOptimize(RAW_iScanRaw(p.c_str(), "SaverSex"));
  state.SetBytesProcessed(state.iterations() * (int64_t{64} << 20));
}
BENCHMARK(ScanRaw)->Unit(benchmark::kMillisecond);

void PlainRead(benchmark::State& state) {
  const std::string& p = File();
  static char ab[1 << 16];
  for (auto _ : state) {
    int fd = open(p.c_str(), O_RDONLY);
    while (read(fd, ab, sizeof ab) > 0) {
    }
    close(fd);
  }
  state.SetBytesProcessed(state.iterations() * (int64_t{64} << 20));
}
BENCHMARK(PlainRead)->Unit(benchmark::kMillisecond);

}  // namespace
