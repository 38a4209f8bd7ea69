// Scanning one document, and listing a directory, through the loaded library's exports.
#include "scanner.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "platform.h"
#include "textutil.h"

namespace zebscan {
namespace {

constexpr size_t kMaxLibraryText = 255;  // every text argument of an export
const char kConfirm[] = "MACRO_CHECK_FALSE_ALARMS";

// The fixed answers ("MACRO_NO_VIRUS_FOUND", "MACRO_ERROR_...") as opposed to a virus name.
bool IsStatusText(const std::string& s) { return s.compare(0, 6, "MACRO_") == 0; }

const char* KindReason(DocKind kind) {
  switch (kind) {
    case DocKind::kUnreadable:
      return "Unreadable";
    case DocKind::kNotWord6:
      return "Not a Word 6/95 document";
    case DocKind::kTruncated:
      return "Truncated document";
    case DocKind::kTooLarge:
      return "Document too large";
    case DocKind::kDamaged:
      return "Damaged document";
    case DocKind::kWord6:
      break;
  }
  return "";
}

// A file from MakeTempFile: removed when it goes out of scope, or by an interrupt before that.
struct TempFile {
  explicit TempFile(std::string s) : sPath(std::move(s)) {}
  ~TempFile() {
    RemoveOnInterrupt("");
    if (!sPath.empty()) std::remove(sPath.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::string sPath;
};

}  // namespace

Scanner::Answer Scanner::Call(int32_t iJob, const std::string& sPath, const std::string& sList) {
  char szResult[256] = "";
  char szMacros[256] = "";
  int32_t iReturn = m_api.MACRO_Handler(iJob, sPath.c_str(), sList.c_str(), szResult, "", szMacros);
  szResult[255] = szMacros[255] = '\0';
  return {iReturn, szResult, szMacros};
}

// Job 0 on each list the names need; job 2 confirms a "MACRO_CHECK_FALSE_ALARMS" at once, before
// the next list can replace the pending record. Job 1 runs when asked for, or when names are
// missing (no name section, a cut table, ids that name nothing, names no call can carry) or
// split over several calls, since then the names alone cannot be trusted to identify. Jobs 1 and 2
// need the path in 255 characters; a longer one is an error where they must run.
void Scanner::ScanNames(FileResult* pR) {
  const MacroTable& t = pR->doc.table;
  std::vector<std::string> lists = BuildMacroLists(t.names, &pR->nLeftOut);
  pR->nCalls = lists.size();
  // Names split over several calls are scored apart, so they too may miss what one call finds.
  pR->bFallback = t.nUnnamed > 0 || t.bCut || pR->nLeftOut > 0 || lists.size() > 1;
  bool bPathFits = pR->sPath.size() <= kMaxLibraryText;
  auto found = [pR](const Answer& a, const char* szBy) {
    pR->outcome = Outcome::kFound;
    pR->sVirus = a.sResult;
    pR->sFoundBy = szBy;
    pR->sResultMacros = a.sMacros;
  };
  auto pathTooLong = [pR] {
    pR->outcome = Outcome::kError;
    pR->sReason = "Path too long";
  };
  for (const std::string& sList : lists) {
    Answer a = Call(0, bPathFits ? pR->sPath : std::string(), sList);
    if (a.sResult == kConfirm) {
      if (!bPathFits) return pathTooLong();
      a = Call(2, pR->sPath, sList);
      if (a.iReturn == 1) return found(a, "signature");
      pR->bUnconfirmed = true;
    } else if (!IsStatusText(a.sResult)) {
      return found(a, "names");
    }
  }
  if (!(m_options.bDeep || pR->bFallback || lists.empty())) return;
  if (!bPathFits) return pathTooLong();
  Answer a = Call(1, pR->sPath, lists.empty() ? std::string("&") : lists.front());
  if (a.iReturn == 1 && !IsStatusText(a.sResult)) found(a, "deep scan");
}

FileResult Scanner::ScanFile(const std::string& sPath) {
  FileResult r;
  r.sPath = sPath;
  if (!m_options.sRawName.empty()) {
    if (!std::ifstream(sPath, std::ios::binary)) {
      r.outcome = Outcome::kError;
      r.sReason = KindReason(DocKind::kUnreadable);
    } else if (m_api.MACRO_ScanRaw(sPath.c_str(), m_options.sRawName.c_str()) == 1) {
      r.outcome = Outcome::kFound;
      r.sVirus = m_options.sRawName;
      r.sFoundBy = "raw scan";
    }
    return r;
  }
  r.doc = ReadDocumentNames(sPath);
  if (r.doc.kind == DocKind::kWord6 || r.doc.kind == DocKind::kTruncated) {
    if (r.doc.table.nMacros > 0) ScanNames(&r);
  }
  if (r.outcome == Outcome::kOk && r.doc.kind != DocKind::kWord6) {
    r.outcome = Outcome::kError;
    r.sReason = KindReason(r.doc.kind);
  }
  return r;
}

bool Scanner::ListDirectory(const std::string& sDir, std::vector<std::string>* pPaths,
                            std::string* psError) {
  TempFile list(MakeTempFile());
  if (list.sPath.empty()) {
    *psError = "Cannot create a list file";
    return false;
  }
  // The start spec keeps the separator the caller wrote, so the listed paths read as given.
  const std::string sSeps = PathSeparators();
  size_t iLastSep = sDir.find_last_of(sSeps);
  char chSep = iLastSep == std::string::npos ? sSeps[0] : sDir[iLastSep];
  std::string sSpec = sDir;
  while (sSpec.size() > 1 && sSeps.find(sSpec.back()) != std::string::npos) sSpec.pop_back();
  if (sSeps.find(sSpec.back()) == std::string::npos) sSpec += chSep;
  sSpec += "*.*";
  if (sSpec.size() > kMaxLibraryText || list.sPath.size() > kMaxLibraryText ||
      m_options.sFilter.size() > kMaxLibraryText) {
    *psError = "Path too long";
    return false;
  }
  if (m_api.MACRO_CallTraverse(sSpec.c_str(), list.sPath.c_str(), m_options.sFilter.c_str(), 0) <
      0) {
    *psError = "Directory walk failed";
    return false;
  }
  std::ifstream in(list.sPath, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string s; std::getline(in, s);) {
    if (!s.empty() && s.back() == '\r') s.pop_back();
    if (!s.empty()) lines.push_back(s);
  }
  std::sort(lines.begin(), lines.end());
  lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
  for (const std::string& s : lines) {
    std::vector<std::string> files = ResolveListedPath(s);
    if (files.empty()) files.push_back(s);  // gone since the walk: reported as unreadable
    pPaths->insert(pPaths->end(), files.begin(), files.end());
  }
  std::sort(pPaths->begin(), pPaths->end());
  return true;
}

}  // namespace zebscan
