// The document reader's hot paths: the signature matcher over a 3999-byte macro from the database
// head (every signature of the chain tried, none found) and the scan of a typical document with
// ten macros, from the head (job 1) and from a pending record near the tail (job 2).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "docbuilder.h"
#include "docreader.h"
#include "sigdb.h"

namespace {

std::vector<uint8_t> Macro(size_t n) {
  std::mt19937 rng(7);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

void MatchSignatures(benchmark::State& state) {
  const std::vector<uint8_t> ab = Macro(3999);
  char szText[64];
  for (auto _ : state)
    benchmark::DoNotOptimize(
        DOC_MatchSignatures(ab.data(), g_pDatabaseHead, szText, 3999, nullptr));
  state.SetBytesProcessed(state.iterations() * 3999);
}
BENCHMARK(MatchSignatures);

const std::string& TypicalDocument() {
  static const std::string path = [] {
    zmdoc::DocSpec spec;
    std::mt19937 rng(11);
    for (int i = 0; i < 10; ++i) {
      zmdoc::MacroSpec m;
      m.name = "Macro" + std::to_string(i);
      m.body = Macro(300 + rng() % 1500);
      m.key = static_cast<uint8_t>(rng());
      spec.macros.push_back(m);
    }
    spec.minStreamSize = 40000;
    std::string p = "/tmp/zebmacro-bench-typical.doc";
    zmdoc::WriteFile(p, zmdoc::BuildWord6(spec));
    return p;
  }();
  return path;
}

void ScanDocument(benchmark::State& state) {
  const std::string& p = TypicalDocument();
  VirusDef* pStart = &g_aVirusDefs[state.range(0)];
  char szText[64];
  for (auto _ : state)
    benchmark::DoNotOptimize(DOC_ScanDocument(p.c_str(), pStart, szText, nullptr));
}
BENCHMARK(ScanDocument)->Arg(0)->Arg(45);

}  // namespace
