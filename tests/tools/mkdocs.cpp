// mkdocs: writes a set of documents built by the document builder into a directory, for the
// independent readers (tests/check_olefile.py). For each document NAME.doc it also writes
// NAME.wd, the WordDocument stream's bytes as the builder wrote them, and one line of
// manifest.tsv: NAME, its placement, the macro entries as "key:length" pairs in table order ("-"
// when the document has no Word 6 macro table a reader can find), and "encrypted" or "plain".
#include <cstdio>
#include <string>
#include <vector>

#include "docbuilder.h"

namespace {

struct Sample {
  std::string name;
  zmdoc::DocSpec spec;
};

zmdoc::MacroSpec Plain(const std::string& name, size_t size, uint8_t key, uint8_t seed) {
  zmdoc::MacroSpec m;
  m.name = name;
  m.key = key;
  for (size_t i = 0; i < size; ++i) m.body.push_back(static_cast<uint8_t>(seed + i * 13));
  return m;
}

std::vector<Sample> Samples() {
  std::vector<Sample> v;
  {
    Sample s{"regular_three", {}};
    s.spec.macros = {Plain("AutoOpen", 300, 0x41, 1), Plain("FileSaveAs", 1200, 0, 2),
                     Plain("Payload", 3999, 0xC3, 3)};
    s.spec.minStreamSize = 9000;
    v.push_back(s);
  }
  {
    Sample s{"mini_two", {}};
    s.spec.macros = {Plain("AutoOpen", 150, 0x5A, 4), Plain("AutoClose", 700, 0x11, 5)};
    v.push_back(s);
  }
  {
    Sample s{"mini_reverse_after_others", {}};
    s.spec.macros = {Plain("AutoExec", 90, 0x77, 6)};
    zmdoc::EntrySpec a;
    a.name =
        u"\x01"
        u"CompObj";
    a.data.assign(106, 0x33);
    zmdoc::EntrySpec b;
    b.name =
        u"\x05"
        u"SummaryInformation";
    b.data.assign(1500, 0x44);
    s.spec.extraEntries = {a, b};
    s.spec.wordDocIndex = 3;
    s.spec.miniReverse = true;
    v.push_back(s);
  }
  {
    Sample s{"reverse_chain_fat_at_end", {}};
    s.spec.macros = {Plain("AutoOpen", 500, 0x20, 7), Plain("Macro2", 40, 0x00, 8)};
    s.spec.minStreamSize = 20000;
    s.spec.streamOrder = zmdoc::ChainOrder::kReverse;
    s.spec.fatReversed = true;
    s.spec.minDirSectors = 3;
    s.spec.dirGapSectors = 2;
    v.push_back(s);
  }
  {
    Sample s{"interleaved_1024_sectors", {}};
    s.spec.macros = {Plain("AutoOpen", 64, 0x99, 9)};
    s.spec.macros[0].at = 1024u * 512u - 64u;  // the stream's last bytes
    s.spec.minStreamSize = 1024u * 512u;
    s.spec.streamOrder = zmdoc::ChainOrder::kInterleaved;
    v.push_back(s);
  }
  {
    Sample s{"entry_31_skipped_marks", {}};
    s.spec.macros = {Plain("AutoOpen", 100, 0x01, 10), Plain("Skipped", 50, 0x02, 11),
                     Plain("Third", 10, 0x03, 12)};
    s.spec.macros[1].mark = 0x00;
    s.spec.wordDocIndex = 31;
    for (int i = 0; i < 5; ++i) {
      zmdoc::EntrySpec e;
      e.name = u"Stream" + std::u16string(1, static_cast<char16_t>(u'A' + i));
      e.data.assign(static_cast<size_t>(100 + 900 * i), static_cast<uint8_t>(i));
      s.spec.extraEntries.push_back(e);
    }
    v.push_back(s);
  }
  {
    Sample s{"word97_control", {}};
    s.spec.macros = {Plain("AutoOpen", 100, 0x5A, 13)};
    s.spec.word97 = true;
    s.spec.minStreamSize = 5000;
    v.push_back(s);
  }
  {
    Sample s{"encrypted_regular", {}};  // its table scrambled with the rest
    s.spec.macros = {Plain("AutoOpen", 300, 0x41, 14), Plain("Payload", 90, 0, 15)};
    s.spec.minStreamSize = 9000;
    s.spec.encrypted = true;
    v.push_back(s);
  }
  {
    Sample s{"wieder_mini", {}};
    s.spec.macros = {zmdoc::MacroCarrying(zmdoc::DatabaseSignature(45, 1), 0x5A, "AutoOpen")};
    v.push_back(s);
  }
  {
    // An embedded document (no macro table of its own) in an ObjectPool listed before the root's
    // WordDocument stream: the stream olefile opens is the root's, as the reader's.
    Sample s{"object_pool_first", {}};
    s.spec.macros = {Plain("AutoOpen", 120, 0x3C, 16)};
    zmdoc::DocSpec embedded;
    embedded.macroTable = false;
    embedded.minStreamSize = 5000;
    s.spec.wordDocIndex = 4;
    s.spec.extraEntries = zmdoc::ObjectPoolEntries(1, {zmdoc::WordDocumentEntry(embedded)});
    v.push_back(s);
  }
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mkdocs DIRECTORY\n");
    return 2;
  }
  std::string dir = argv[1];
  std::FILE* pManifest = std::fopen((dir + "/manifest.tsv").c_str(), "w");
  if (pManifest == nullptr) return 1;
  for (const Sample& s : Samples()) {
    zmdoc::BuildInfo info;
    std::vector<uint8_t> file = zmdoc::BuildWord6(s.spec, &info);
    if (file.empty() || !zmdoc::WriteFile(dir + "/" + s.name + ".doc", file) ||
        !zmdoc::WriteFile(dir + "/" + s.name + ".wd", info.wordDocument)) {
      std::fprintf(stderr, "mkdocs: cannot build %s\n", s.name.c_str());
      return 1;
    }
    std::string macros;
    if (info.tableLength == 0 || s.spec.encrypted) macros = "-";
    for (const zmdoc::MacroSpec& m : s.spec.macros) {
      if (macros == "-") break;
      if (!macros.empty()) macros += ",";
      macros += std::to_string(m.key) + ":" +
                std::to_string(m.lengthField.value_or(static_cast<uint32_t>(m.body.size())));
    }
    std::fprintf(pManifest, "%s\t%s\t%s\t%s\n", s.name.c_str(),
                 info.inMiniStream ? "mini" : "regular", macros.c_str(),
                 s.spec.encrypted ? "encrypted" : "plain");
  }
  return std::fclose(pManifest) == 0 ? 0 : 1;
}
