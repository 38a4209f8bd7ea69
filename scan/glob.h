// Shell-style name patterns for --include, --exclude and --exclude-dir, as fnmatch(3) reads them
// on one name: '*' any run, '?' one character, '[...]' a set ('!' or '^' negates, ranges a-z),
// '\' quotes the next character where it is no path separator. Characters are UTF-8 sequences
// where the bytes form one, single bytes otherwise.
#pragma once
#include <string>

namespace zm {

// True when the whole of sName matches sPattern. bFoldCase ignores the case of ASCII letters (the
// Windows builds pass true: their file systems ignore case).
bool GlobMatch(const std::string& sPattern, const std::string& sName, bool bFoldCase);

}  // namespace zm
