// Property: for any file content, the front end's name reader gives the file one kind, reads a
// macro table only from a Word 6/95 document (or one cut short), names no more macros than the
// table takes (named + unnamed = taken, no name over 255 bytes), and gives back every handle and
// block; its walk of the same bytes taken as a table keeps those counts too. A listing of the
// macros read with their bodies lists each macro once, within its caps (macros, bytes of bodies
// and of source), a digest for exactly the bodies read whole, and crosses the workers' channel
// unchanged.
#include <cstdint>

#include "fuzzsupport.h"
#include "macrolist.h"
#include "namereader.h"
#include "wire.h"

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

  zm::File f;
  std::string sError;
  FZ_CHECK(zm::OpenFile(nullptr, szPath, true, false, &f, &sError));
  zm::MacroBytes bytes;
  bytes.bKeep = true;
  zm::FileResult r;
  r.doc = zm::ReadDocumentNames(f, nullptr, &bytes);
  FZ_CHECK(r.doc.kind == names.kind && r.doc.table.nMacros == names.table.nMacros);
  r.listing = zm::ListMacros(bytes, zm::MacroDetail::kBodies);
  const zm::MacroListing& l = r.listing;
  if (l.detail != zm::MacroDetail::kNone)
    FZ_CHECK(l.records.size() + l.nLeftOut == names.table.nMacros);
  FZ_CHECK(l.records.size() <= zm::MacroBytes::kMaxMacros);
  size_t cbBodies = 0, cchSource = 0;
  for (const zm::MacroRecord& m : l.records) {
    FZ_CHECK(m.body.size() == m.cbRead && m.cbRead <= m.cbSize);
    FZ_CHECK(m.sDescription.size() <= zm::kMaxDescriptionBytes);
    cbBodies += m.cbRead;
    cchSource += m.sSource.size();
  }
  FZ_CHECK(cbBodies <= zm::MacroBytes::kMaxBodyBytes);
  FZ_CHECK(cchSource <= zm::kMaxListedSourceBytes);
  zm::FileResult back;
  const std::string sWire = zm::EncodeResult(r);
  FZ_CHECK(zm::DecodeResult(sWire, &back) && zm::EncodeResult(back) == sWire);
  f.Close();
  FZ_CheckGivenBack();
  return 0;
}
