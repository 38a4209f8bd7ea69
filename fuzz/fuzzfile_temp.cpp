// Fuzz inputs as temporary files, for platforms without in-memory files; removed at exit.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "fuzzsupport.h"

namespace {
std::string g_asPath[8];
void RemoveAll() {
  for (const auto& s : g_asPath)
    if (!s.empty()) std::remove(s.c_str());
}
}  // namespace

const char* FZ_szFile(int iSlot, const uint8_t* pb, size_t cb) {
  std::string& s = g_asPath[iSlot & 7];
  if (s.empty()) {
    static bool s_bHooked = (std::atexit(RemoveAll), true);
    (void)s_bHooked;
    auto dir = std::filesystem::temp_directory_path();
    // A name of this process's own: replays run side by side (ctest -j) share the directory, and
    // an unseeded rand() gives every process the same number.
    static const std::string s_sRun =
        std::to_string(std::random_device{}()) + "-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    s = (dir / ("zebmacro-fuzz-" + s_sRun + "-" + std::to_string(iSlot & 7) + ".doc")).string();
  }
  FILE* f = std::fopen(s.c_str(), "wb");
  FZ_CHECK(f != nullptr);
  FZ_CHECK(std::fwrite(pb, 1, cb, f) == cb);
  std::fclose(f);
  return s.c_str();
}
