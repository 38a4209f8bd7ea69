// --library-walk: the tree walked by the library's own MACRO_CallTraverse, with its rules (name
// filter by substring, directories beginning with '.' not entered, subtrees past 260 characters
// left out, names upper-cased in the list), for hosts that want exactly its behaviour.
#pragma once
#include <string>
#include <vector>

#include "zmapi.h"

namespace zebscan {

// Walks the tree under sDir into a temporary list file (removed on every way out) and answers the
// listed files, each as spelled on disk, in byte order of their paths. False with a reason in
// *psError when the walk cannot be made.
bool LibraryWalk(const ZmApi& api, const std::string& sDir, const std::string& sFilter,
                 std::vector<std::string>* pPaths, std::string* psError);

}  // namespace zebscan
