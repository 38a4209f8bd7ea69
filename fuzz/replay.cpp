// Replays a fuzz target's checked-in corpus (every file under the given directories) as an
// ordinary test, so regressions show up without a fuzzing toolchain.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int nRun = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(argv[i], ec)) {
      if (!e.is_regular_file()) continue;
      std::ifstream in(e.path(), std::ios::binary);
      std::vector<uint8_t> ab((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(ab.data(), ab.size());
      ++nRun;
    }
  }
  std::printf("%d inputs replayed\n", nRun);
  return nRun > 0 ? 0 : 1;
}
