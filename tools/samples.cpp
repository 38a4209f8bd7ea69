// zebscan's bundled sample documents: what each one holds, as the report should judge it.
#include "samples.h"

#include <string>

#include "docbuilder.h"

namespace zmsamples {
namespace {

// Positions in the library's database (0-based) of the definitions the samples carry.
constexpr int kSatanic = 17;  // Macro.Word.Satanic, macro 1 (AutoOpen) has a signature
constexpr int kWieder = 45;   // Macro.Word.Wieder, macro 1 (AutoOpen) has a signature

std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

// A macro whose body is plain harmless text, stored with an XOR key as Word does.
zmdoc::MacroSpec Harmless(const std::string& name) {
  zmdoc::MacroSpec m;
  m.name = name;
  m.body = Text("Sub MAIN\r\n  MsgBox \"" + name + "\"\r\nEnd Sub\r\n");
  m.key = 0x3C;
  return m;
}

zmdoc::DocSpec Named(const std::vector<std::string>& names) {
  zmdoc::DocSpec spec;
  for (const std::string& name : names) spec.macros.push_back(Harmless(name));
  return spec;
}

zmdoc::DocSpec Carrying(int iDef, const std::string& name) {
  zmdoc::DocSpec spec;
  spec.macros.push_back(zmdoc::MacroCarrying(zmdoc::DatabaseSignature(iDef, 1), 0x5A, name));
  return spec;
}

// The Concept names document, cut in the middle of its macro table's name section.
std::vector<uint8_t> Truncated() {
  zmdoc::DocSpec spec = Named({"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"});
  spec.minStreamSize = 8192;  // in regular sectors, so the cut falls inside the stream's sector
  zmdoc::BuildInfo info;
  std::vector<uint8_t> whole = zmdoc::BuildWord6(spec, &info);
  uint32_t lCut = info.tableOffset + info.tableLength - 20;  // inside the name section
  uint32_t lSector = info.chain.at(lCut / zmdoc::kSectorSize);
  spec.truncateTo = (lSector + 1) * zmdoc::kSectorSize + lCut % zmdoc::kSectorSize;
  return whole.empty() ? whole : zmdoc::BuildWord6(spec);
}

}  // namespace

std::vector<Sample> BundledSamples() {
  zmdoc::DocSpec noMacros;
  noMacros.macroTable = false;
  zmdoc::DocSpec word97 = Named({"AutoOpen", "FileSaveAs"});
  word97.word97 = true;
  return {
      {"01-clean-no-macros.doc", zmdoc::BuildWord6(noMacros)},
      {"02-clean-macros.doc", zmdoc::BuildWord6(Named({"FormatLetter", "InsertAddress"}))},
      {"03-concept-names.doc",
       zmdoc::BuildWord6(Named({"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"}))},
      {"04-wieder-confirmed.doc", zmdoc::BuildWord6(Carrying(kWieder, "AutoOpen"))},
      {"05-autoopen-unconfirmed.doc", zmdoc::BuildWord6(Named({"AutoOpen"}))},
      {"06-deep-only.doc", zmdoc::BuildWord6(Carrying(kSatanic, "ShowTip"))},
      {"07-numbered-macros.doc", zmdoc::BuildWord6(Named({"A712", "B813", "C914"}))},
      {"08-truncated.doc", Truncated()},
      {"09-word97.doc", zmdoc::BuildWord6(word97)},
      {"10-plain-text.doc",
       Text("Minutes of the meeting, 3 May 1996.\r\nNot a Word document at all.\r\n")},
  };
}

}  // namespace zmsamples
