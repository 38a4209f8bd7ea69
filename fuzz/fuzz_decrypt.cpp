// Property: for any text, MACRO_DecryptDef writes exactly the source's length and a NUL and
// answers that count, turns each of the 64 pair bytes into its plain character and keeps every
// other byte, decodes in place to the same text as into a separate buffer, and writes nothing
// past the decoded text.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "decrypt.h"
#include "fuzzsupport.h"
#include "zebmacro.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  std::string sSource = FZ_Texts(pb, cb).first;
  char achPlain[256];
  for (int i = 0; i < 256; ++i) achPlain[i] = static_cast<char>(i);
  for (const auto& pair : g_aDecryptPairs) achPlain[pair.bSource] = pair.chPlain;

  std::vector<char> abOut(sSource.size() + 64, '\x5A');
  int32_t n = MACRO_DecryptDef(sSource.c_str(), abOut.data());
  FZ_CHECK(n == static_cast<int32_t>(sSource.size()) + 1);
  for (size_t i = 0; i < sSource.size(); ++i)
    FZ_CHECK(abOut[i] == achPlain[static_cast<uint8_t>(sSource[i])]);
  FZ_CHECK(abOut[sSource.size()] == '\0');
  for (size_t i = sSource.size() + 1; i < abOut.size(); ++i) FZ_CHECK(abOut[i] == '\x5A');

  std::vector<char> abInPlace(sSource.begin(), sSource.end());
  abInPlace.push_back('\0');
  FZ_CHECK(MACRO_DecryptDef(abInPlace.data(), abInPlace.data()) == n);
  FZ_CHECK(std::memcmp(abInPlace.data(), abOut.data(), static_cast<size_t>(n)) == 0);
  return 0;
}
