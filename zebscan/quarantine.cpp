// --copy and --move, over the file system calls of fsys.h.
#include "quarantine.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform.h"

namespace zebscan {

using zm::EntryInfo;
using zm::EntryType;
using zm::File;
using zm::FileResult;

namespace {

// Names tried below the directory: the path itself, then ".1" to ".999".
constexpr int kMaxTries = 1000;

}  // namespace

std::string QuarantinePath(const std::string& sDir, const std::string& sPath) {
  const char* szSeps = zm::PathSeparators();
  const bool bDrives = std::strchr(szSeps, '\\') != nullptr;  // "C:" is a drive there
  std::vector<std::string> parts;
  for (size_t i = 0; i <= sPath.size();) {
    size_t j = std::min(sPath.find_first_of(szSeps, i), sPath.size());
    std::string sPart = sPath.substr(i, j - i);
    i = j + 1;
    if (bDrives) sPart.erase(std::remove(sPart.begin(), sPart.end(), ':'), sPart.end());
    if (sPart == "..") {
      if (!parts.empty()) parts.pop_back();  // by the name alone: nothing leads above sDir
    } else if (!sPart.empty() && sPart != "." && !(bDrives && sPart == "?")) {
      parts.push_back(std::move(sPart));
    }
  }
  if (parts.empty()) parts.push_back("file");
  std::string s = sDir;
  for (const std::string& sPart : parts) s = zm::JoinPath(s, sPart);
  return s;
}

Placement Quarantine::Place(const FileResult& r, const File* pOpen) const {
  const bool bMove = m_bMove && pOpen == nullptr;  // an open file that nothing names is copied
  Placement p;
  p.szDone = bMove ? "moved" : "copied";
  const std::string sBase = QuarantinePath(m_sDir, r.sPath);
  size_t iSep = sBase.find_last_of(zm::PathSeparators());
  if (iSep != std::string::npos && iSep > 0 &&
      !zm::MakeDirectories(sBase.substr(0, iSep), &p.sError))
    return p;
  // The path must still name the file that was scanned; a move takes the file itself, not a link
  // to it.
  File opened;
  if (pOpen == nullptr) {
    EntryInfo info;
    if (!zm::StatEntry(nullptr, r.sPath, false, &info, &p.sError)) return p;
    if (bMove && info.type == EntryType::kLink) {
      p.sError = "it is reached through a symbolic link";
      return p;
    }
    if (!zm::OpenFile(nullptr, r.sPath, true, false, &opened, &p.sError)) return p;
    if (!(opened.id == r.id)) {
      p.sError = "it has changed since it was scanned";
      return p;
    }
    pOpen = &opened;
  }
  for (int n = 0; n < kMaxTries; ++n) {
    std::string sDest = n == 0 ? sBase : sBase + "." + std::to_string(n);
    int iDone;
    if (bMove) {
      bool bCopyInstead = false;
      iDone = zm::MoveNoReplace(r.sPath, sDest, &bCopyInstead, &p.sError);
      if (iDone < 0 && bCopyInstead) {
        iDone = zm::CopyToNew(*pOpen, sDest, &p.sError);
        if (iDone == 1 && !zm::RemoveFile(r.sPath, &p.sError)) p.szDone = "copied";  // not moved
      }
    } else {
      iDone = zm::CopyToNew(*pOpen, sDest, &p.sError);
    }
    if (iDone < 0) return p;
    if (iDone == 1) {
      p.sDest = sDest;
      p.sError.clear();
      return p;
    }
  }
  p.sError = "every name up to ." + std::to_string(kMaxTries - 1) + " is taken";
  return p;
}

}  // namespace zebscan
