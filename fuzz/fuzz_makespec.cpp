// Property: for any directory list text, TUL_szMakeSpec builds the search spec of its first entry
// (the text before the first ';', possibly empty): the entry and "*.*", with a separator between
// them unless the entry holds one; it answers the spec's length + 1, or 0 with an empty spec when
// the whole text is empty or the spec would not fit 255 characters, and never writes past the
// 256-byte spec area.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzzsupport.h"
#include "host.h"
#include "zebmacro.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  std::string sPath = FZ_Texts(pb, cb).first;
  std::string sEntry = sPath.substr(0, sPath.find(';'));
  bool bSep = false;
  for (char ch : sEntry) bSep |= iIsPathSep(ch) != 0;
  std::string sExpected = sEntry + (bSep ? "" : std::string(1, g_chPathSep)) + "*.*";
  if (sPath.empty() || sExpected.size() > ZM_TEXT_AREA - 1) sExpected.clear();

  char achSpec[ZM_TEXT_AREA + 64];
  std::memset(achSpec, 0x5A, sizeof achSpec);
  int32_t n = TUL_szMakeSpec(sPath.c_str(), achSpec);
  FZ_CHECK(sExpected == achSpec);
  FZ_CHECK(n == (sExpected.empty() ? 0 : static_cast<int32_t>(sExpected.size()) + 1));
  for (size_t i = ZM_TEXT_AREA; i < sizeof achSpec; ++i) FZ_CHECK(achSpec[i] == '\x5A');
  return 0;
}
