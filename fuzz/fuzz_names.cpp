// Property: for any file content, the front end's name reader gives the file one kind, reads a
// macro table only from a Word 6/95 document (or one cut short), names no more macros than the
// table takes (named + unnamed = taken, no name over 255 bytes), and gives back every handle and
// block; its walk of the same bytes taken as a table keeps those counts too.
#include <cstdint>

#include "fuzzsupport.h"
#include "namereader.h"

namespace {

void CheckTable(const zm::MacroTable& t, size_t cbBytes) {
  FZ_CHECK(t.names.size() + t.nUnnamed == t.nMacros);
  FZ_CHECK(t.nMacros <= cbBytes / 24);
  for (const auto& s : t.names) FZ_CHECK(s.size() <= 255);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  CheckTable(zm::ParseMacroTable(pb, cb), cb);

  const char* szPath = FZ_szFile(0, pb, cb);
  FZ_Begin();
  zm::DocNames names = zm::ReadDocumentNames(szPath);
  using zm::DocKind;
  FZ_CHECK(names.kind >= DocKind::kUnreadable && names.kind <= DocKind::kWord6);
  if (names.kind != DocKind::kWord6 && names.kind != DocKind::kTruncated)
    FZ_CHECK(names.table.nMacros == 0 && !names.table.bNameSection);
  CheckTable(names.table, cb);
  FZ_CheckGivenBack();
  return 0;
}
