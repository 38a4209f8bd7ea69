// Property: for any ExtensionFilter and file name, the split keeps one slot per ';'-separated
// pattern with every '*' dropped (or refuses more than 64 patterns, leaving no slot in use), and
// the match answers 1 exactly when some pattern occurs in the name, both upper-cased (ASCII only).
//
// Input: the filter (cut to 255 characters), a NUL, the file name (cut to 259).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "filelist.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  auto [sFilter, sName] = FZ_Texts(pb, cb);
  sFilter = sFilter.substr(0, ZM_TEXT_AREA - 1);
  sName = sName.substr(0, ZM_MAX_PATH - 1);

  std::vector<std::string> patterns(1);
  for (char ch : sFilter) {
    if (ch == ';')
      patterns.emplace_back();
    else if (ch != '*')
      patterns.back() += ch;
  }

  int32_t iLast = iSplitFilter(sFilter.c_str());
  if (patterns.size() > ZM_FILTER_SLOTS) {
    FZ_CHECK(iLast == -1);
    return 0;
  }
  FZ_CHECK(iLast == static_cast<int32_t>(patterns.size()) - 1);
  for (int32_t i = 0; i <= iLast; ++i) FZ_CHECK(patterns[i] == g_aszFilterSlots[i]);

  bool bExpected = false;
  for (const auto& p : patterns)
    bExpected |= FZ_Upper(sName).find(FZ_Upper(p)) != std::string::npos;
  char szName[ZM_MAX_PATH];
  std::memcpy(szName, sName.c_str(), sName.size() + 1);
  FZ_CHECK(iMatchFilter(szName) == (bExpected ? 1 : 0));
  FZ_CHECK(FZ_Upper(sName) == szName);
  for (int32_t i = 0; i <= iLast; ++i) FZ_CHECK(FZ_Upper(patterns[i]) == g_aszFilterSlots[i]);
  return 0;
}
