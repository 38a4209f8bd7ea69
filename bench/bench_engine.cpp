// Job 0 on typical macro-name lists: the identification walk over the whole database.
#include <benchmark/benchmark.h>

#include "engine.h"

namespace {

void Job0(benchmark::State& state, const char* szList) {
  char szResult[256], szMacros[256];
  for (auto _ : state) {
    benchmark::DoNotOptimize(ENG_iHandler(0, "", szList, szResult, "", szMacros));
    benchmark::ClobberMemory();
  }
}

BENCHMARK_CAPTURE(Job0, clean, "AutoExec&FileSave&Document_Close&ToolsOptions&");
BENCHMARK_CAPTURE(Job0, identified_head,
                  "AutoExec&AutoOpen&DAT1&DAT2&DAT3&DAT4&DAT5&DAT6&DAT7&DAT8&DAT9&DAT10&DAT11&"
                  "DAT12&DAT13&DAT14&DAT15&DAT16&DAT17&DAT18&");
BENCHMARK_CAPTURE(Job0, identified_tail, "Gangsterz&Paradise&");
BENCHMARK_CAPTURE(Job0, confirm, "AutoOpen&");
BENCHMARK_CAPTURE(Job0, heuristic, "AutoOpen&A712&B813&C914&");

}  // namespace
