// Generates the corpus of bench/compare with the Word 6 document builder: N documents (80%
// without macros, 15% with harmless macros, 5% carrying database signatures; 3-200 KB) in
// folders of 1000, and a raw file with one raw signature near its end. Prints a JSON manifest.
// With "wordbasic" the harmless macros' bodies are WordBasic as Word stores it (tokens, from lines
// drawn from a list of statements), not random bytes: a corpus to time their source on.
//
//   mkcorpus DIR DOCS RAW_MIB [wordbasic]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "docbuilder.h"
#include "rawscan.h"
#include "sigdb.h"
#include "wbencoder.h"

namespace {

// Slots of the database that carry a signature: (definition, macro, slot).
struct Slot {
  int iDef, iMacro, iSlot;
};

std::vector<Slot> SignatureSlots() {
  std::vector<Slot> v;
  for (int d = 0; d < ZM_DEFINITIONS; ++d)
    for (int m = 0; m < g_aVirusDefs[d].nMacros; ++m)
      for (int s = 0; s < ZM_SIG_SLOTS && g_aVirusDefs[d].pMacros[m].apszSignature[s]; ++s)
        v.push_back({d, m, s});
  return v;
}

std::vector<uint8_t> Filler(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

const char* const kHarmless[] = {"FileSave",   "ToolsOptions", "Macro1",        "FormatLetter",
                                 "InsertDate", "AutoOpen",     "PrintEnvelope", "UpdateFields"};

// A harmless macro in WordBasic: "Sub MAIN", some lines drawn from these, "End Sub".
std::vector<uint8_t> WordBasicBody(std::mt19937& rng, size_t nLines) {
  static const char* const kLines[] = {
      "  MsgBox \"Letter ready\", \"Letters\", 64",
      "  FileOpen .Name = \"C:\\LETTERS\\HEAD.DOT\"",
      "  EditGoTo .Destination = \"Address\"",
      "  Insert \"Dear \" + Name$ + \",\"",
      "  If CountWindows() > 1 Then WindowList 1",
      "  For i = 1 To 10",
      "    CharRight 1, 1",
      "  Next i",
      "  REM fill in the date",
      "  InsertDateTime .DateTimePic = \"d MMMM yyyy\", .InsertAsField = 0",
      "  Dim dlg As FileSaveAs",
      "  GetCurValues dlg",
      "  dlg.Name = \"C:\\LETTERS\\\" + Name$",
      "  Dialog dlg",
      "  ' keep the printer's setting",
      "  FilePrint .NumCopies = 2, .Range = 0",
      "  x = x + 1.5 * y",
      "  While n < 20: n = n + 1: Wend",
      "  Print #1, \"done\"; n",
      "  ToolsOptionsSave .FastSaves = 1",
  };
  std::string s = "Sub MAIN\n";
  for (size_t i = 0; i < nLines; ++i) s += std::string(kLines[rng() % std::size(kLines)]) + "\n";
  s += "End Sub\n";
  return zmdoc::EncodeWordBasic(s);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && !(argc == 5 && std::string(argv[4]) == "wordbasic")) {
    std::fprintf(stderr, "usage: mkcorpus DIR DOCS RAW_MIB [wordbasic]\n");
    return 2;
  }
  const bool bWordBasic = argc == 5;
  namespace fs = std::filesystem;
  const fs::path dir = argv[1];
  const int nDocs = std::atoi(argv[2]);
  const uint64_t cbRaw = static_cast<uint64_t>(std::atoi(argv[3])) << 20;
  std::mt19937 rng(20261208);
  const std::vector<Slot> slots = SignatureSlots();
  uint64_t cbTotal = 0;
  std::string sCarriers;

  for (int i = 0; i < nDocs; ++i) {
    zmdoc::DocSpec spec;
    const int iKind = static_cast<int>(rng() % 100);  // <80 plain, <95 harmless, else carrier
    if (iKind < 80) {
      spec.macroTable = false;
    } else {
      const int nMacros = 1 + static_cast<int>(rng() % 10);
      for (int m = 0; m < nMacros; ++m) {
        zmdoc::MacroSpec ms;
        ms.name = kHarmless[rng() % 8] + std::to_string(m);
        ms.body = bWordBasic ? WordBasicBody(rng, 3 + rng() % 60) : Filler(rng, 100 + rng() % 2000);
        ms.key = static_cast<uint8_t>(rng());
        spec.macros.push_back(ms);
      }
      if (iKind >= 95) {
        const Slot& s = slots[rng() % slots.size()];
        const std::vector<uint8_t> sig = zmdoc::DatabaseSignature(s.iDef, s.iMacro, s.iSlot);
        auto& body = spec.macros[rng() % spec.macros.size()].body;
        const size_t at = rng() % (body.size() - sig.size());
        std::copy(sig.begin(), sig.end(), body.begin() + static_cast<long>(at));
      }
    }
    spec.minStreamSize = 3000 + rng() % 197000;
    const std::vector<uint8_t> file = zmdoc::BuildWord6(spec);
    char szRel[64];
    std::snprintf(szRel, sizeof szRel, "d%03d/doc%05d.doc", i / 1000, i);
    fs::create_directories(dir / "docs" / fs::path(szRel).parent_path());
    if (file.empty() || !zmdoc::WriteFile((dir / "docs" / szRel).string(), file)) {
      std::fprintf(stderr, "mkcorpus: cannot build or write %s\n", szRel);
      return 1;
    }
    cbTotal += file.size();
    if (iKind >= 95) sCarriers += std::string(sCarriers.empty() ? "" : ", ") + "\"" + szRel + "\"";
  }

  // The raw file: pseudo-random bytes with the first raw signature 4 KiB before the end.
  const std::vector<uint8_t> sig = zmdoc::HexBytes(g_aRawSignatures[0].szSignature);
  std::ofstream raw(dir / "raw.bin", std::ios::binary | std::ios::trunc);
  std::vector<uint64_t> block(1 << 16);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (uint64_t done = 0; done < cbRaw; done += block.size() * 8) {
    for (auto& w : block) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      w = x;
    }
    const uint64_t cb = std::min<uint64_t>(block.size() * 8, cbRaw - done);
    if (done + cb == cbRaw && cb >= 4096)
      std::copy(sig.begin(), sig.end(), reinterpret_cast<uint8_t*>(block.data()) + cb - 4096);
    raw.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(cb));
  }
  if (!raw) {
    std::fprintf(stderr, "mkcorpus: cannot write the raw file\n");
    return 1;
  }
  std::printf(
      "{\"documents\": %d, \"bytes\": %llu, \"raw_signature\": \"%s\", \"carriers\": [%s]}\n",
      nDocs, static_cast<unsigned long long>(cbTotal), g_aRawSignatures[0].szName,
      sCarriers.c_str());
  return 0;
}
