// What --list-definitions prints is the database zebscan was built with (the library's tables as
// they ship): no export tells a definition, and the exports cannot show the whole of one. The
// letter case of names (every job folds it), verify 1 beside 2 (the jobs treat them alike), which
// of a definition's macros carries a signature, a signature that zebscan's database lacks, and a
// definition that earlier ones shadow in every answer (the second Macro.Word.Alliance) are seen
// by no caller. So the listing is printed only for the very library zebscan was built with, its
// file's SHA-256 recorded by the build; and only when that library also answers, through its
// exports, every question below as the database does: the number of definitions; job 0 on every
// prefix of each definition's names (its name, its macro names, its threshold, and with job 2 on a
// document carrying every signature, whether it asks for confirmation); job 1 on a document whose
// macro is each signature, and each cut by a byte at either end (the signature, the definition it
// names, and nothing shorter inside it); MACRO_ScanRaw on each raw signature and its cuts. Any
// other library is refused, with the answers that differ or, where none does, with what its
// exports could not show.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "zmapi.h"

namespace zebscan {

struct Confirmation {
  bool bSameLibrary = false;  // the loaded library's file is the one zebscan was built with
  std::string sDigest;        // its SHA-256, or why it could not be read
  size_t nAnswers = 0;        // answers compared
  struct Difference {
    std::string sQuestion, sLibrary, sDatabase;  // the question, and the two answers
  };
  std::vector<Difference> differences;
  // Parts of the database that no question could reach; each a sentence.
  std::vector<std::string> unreached;
  bool Confirmed() const { return bSameLibrary && differences.empty(); }
};

// Compares the file of the loaded library (whose exports loaded holds) with sBuiltWithDigest, and
// puts every question to it and to the database zebscan was built with (compiled), answer for
// answer. Call it before anything else asks the compiled database (job 0 folds its names in place).
Confirmation ConfirmDatabase(const ZmApi& loaded, const ZmApi& compiled,
                             const std::string& sBuiltWithDigest);

}  // namespace zebscan
