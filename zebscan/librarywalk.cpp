// The library's walk as a front end drives it: a start spec, a list file, the lines read back.
#include "librarywalk.h"

#include <algorithm>
#include <fstream>

#include "platform.h"
#include "zm_abi.h"

namespace zebscan {

bool LibraryWalk(const ZmApi& api, const std::string& sDir, const std::string& sFilter,
                 std::vector<std::string>* pPaths, std::string* psError) {
  zm::TempFile list;
  if (list.Path().empty()) {
    *psError = "Cannot create a list file";
    return false;
  }
  // The start spec keeps the separator the caller wrote, so the listed paths read as given.
  const std::string sSeps = zm::PathSeparators();
  size_t iLastSep = sDir.find_last_of(sSeps);
  char chSep = iLastSep == std::string::npos ? sSeps[0] : sDir[iLastSep];
  std::string sSpec = sDir;
  while (sSpec.size() > 1 && sSeps.find(sSpec.back()) != std::string::npos) sSpec.pop_back();
  if (sSeps.find(sSpec.back()) == std::string::npos) sSpec += chSep;
  sSpec += "*.*";
  if (sSpec.size() > ZM_MAX_TEXT || list.Path().size() > ZM_MAX_TEXT ||
      sFilter.size() > ZM_MAX_TEXT) {
    *psError = "Path too long";
    return false;
  }
  if (api.MACRO_CallTraverse(sSpec.c_str(), list.Path().c_str(), sFilter.c_str(), 0) < 0) {
    *psError = "Directory walk failed";
    return false;
  }
  std::ifstream in(list.Path(), std::ios::binary);
  std::vector<std::string> lines;
  for (std::string s; std::getline(in, s);) {
    if (!s.empty() && s.back() == '\r') s.pop_back();
    if (!s.empty()) lines.push_back(s);
  }
  std::sort(lines.begin(), lines.end());
  lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
  for (const std::string& s : lines) {
    std::vector<std::string> files = zm::ResolveListedPath(s);
    if (files.empty()) files.push_back(s);  // gone since the walk: reported as unreadable
    pPaths->insert(pPaths->end(), files.begin(), files.end());
  }
  std::sort(pPaths->begin(), pPaths->end());
  return true;
}

}  // namespace zebscan
