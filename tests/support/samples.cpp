// zebscan's sample documents (see samples.h); mksamples writes them.
#include "samples.h"

#include "docbuilder.h"
#include "wbencoder.h"

namespace zmdoc {
namespace {

// Positions in the library's database (0-based) of the definitions the samples carry.
constexpr int kSatanic = 17;  // Macro.Word.Satanic, macro 1 (AutoOpen) has a signature
constexpr int kWieder = 45;   // Macro.Word.Wieder, macro 1 (AutoOpen) has a signature

std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

// A macro whose body is harmless WordBasic, stored with an XOR key as Word does.
MacroSpec Harmless(const std::string& name) {
  MacroSpec m;
  m.name = name;
  m.body = EncodeWordBasic(HarmlessSource(name));
  m.key = 0x3C;
  return m;
}

DocSpec Named(const std::vector<std::string>& names) {
  DocSpec spec;
  for (const std::string& name : names) spec.macros.push_back(Harmless(name));
  return spec;
}

DocSpec Carrying(int iDef, const std::string& name) {
  DocSpec spec;
  spec.macros.push_back(MacroCarrying(DatabaseSignature(iDef, 1), 0x5A, name));
  return spec;
}

// The Concept names document, cut in the middle of its macro table's name section.
std::vector<uint8_t> Truncated() {
  DocSpec spec = Named({"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"});
  spec.minStreamSize = 8192;  // in regular sectors, so the cut falls inside the stream's sector
  BuildInfo info;
  std::vector<uint8_t> whole = BuildWord6(spec, &info);
  uint32_t lCut = info.tableOffset + info.tableLength - 20;  // inside the name section
  uint32_t lSector = info.chain.at(lCut / kSectorSize);
  spec.truncateTo = (lSector + 1) * kSectorSize + lCut % kSectorSize;
  return whole.empty() ? whole : BuildWord6(spec);
}

}  // namespace

std::string HarmlessSource(const std::string& macroName) {
  return "Sub MAIN\n  MsgBox \"" + macroName + "\"\nEnd Sub\n";
}

std::vector<SampleDocument> SampleDocuments() {
  DocSpec noMacros;
  noMacros.macroTable = false;
  DocSpec word97 = Named({"AutoOpen", "FileSaveAs"});
  word97.word97 = true;
  return {
      {"01-clean-no-macros.doc", BuildWord6(noMacros)},
      {"02-clean-macros.doc", BuildWord6(Named({"FormatLetter", "InsertAddress"}))},
      {"03-concept-names.doc",
       BuildWord6(Named({"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"}))},
      {"04-wieder-confirmed.doc", BuildWord6(Carrying(kWieder, "AutoOpen"))},
      {"05-autoopen-unconfirmed.doc", BuildWord6(Named({"AutoOpen"}))},
      {"06-deep-only.doc", BuildWord6(Carrying(kSatanic, "ShowTip"))},
      {"07-numbered-macros.doc", BuildWord6(Named({"A712", "B813", "C914"}))},
      {"08-truncated.doc", Truncated()},
      {"09-word97.doc", BuildWord6(word97)},
      {"10-plain-text.doc",
       Text("Minutes of the meeting, 3 May 1996.\r\nNot a Word document at all.\r\n")},
  };
}

}  // namespace zmdoc
