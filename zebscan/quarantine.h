// --copy=DIR and --move=DIR: a file found infected is put below DIR under its path as reported,
// without its root, drive and "." parts, each ".." taking back the part before it by name alone,
// so that nothing lands outside DIR and files of one name in different directories stay apart.
// Nothing there is ever replaced: a name that is taken gets ".1", ".2", ... added. What is put away
// is the file that was scanned: its identity is checked first, and a copy is made from the open
// file where zebscan still holds it (stdin).
#pragma once
#include <string>

#include "fsys.h"
#include "scanner.h"

namespace zebscan {

// What --copy or --move did with a file found infected.
struct Placement {
  const char* szDone = "";  // "copied", "moved"
  std::string sDest;        // where it went; empty when it could not be put there
  std::string sError;       // why not
};

// The path below sDir that sPath is put at, before any ".N" is added.
std::string QuarantinePath(const std::string& sDir, const std::string& sPath);

class Quarantine {
 public:
  Quarantine(std::string sDir, bool bMove) : m_sDir(std::move(sDir)), m_bMove(bMove) {}
  // Puts away the file of r (found infected): through pOpen when zebscan holds it open (then it is
  // copied, since nothing names it), else by its path. What was done, or why not.
  Placement Place(const zm::FileResult& r, const zm::File* pOpen) const;

 private:
  std::string m_sDir;
  bool m_bMove;
};

}  // namespace zebscan
