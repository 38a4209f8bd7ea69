// mkseeds: writes the fuzz targets' seed inputs into CORPUS/<target>/, documents made by the
// document builder. Among them the malformed files that broke other compound-file readers: chain
// loops in the FAT, the mini-FAT and the mini-stream, a directory that starts past the file's
// end, sector numbers past the file, a huge macro count, lengths and offsets that wrap, files cut
// or padded to a length that is no whole number of sectors.
//   mkseeds CORPUS
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "docbuilder.h"
#include "rawscan.h"
#include "wbencoder.h"
#include "wire.h"

namespace {

using zmdoc::DocSpec;
using Bytes = std::vector<uint8_t>;

void Put32(Bytes* pb, size_t at, uint32_t v) {
  if (at + 4 > pb->size()) return;
  for (int i = 0; i < 4; ++i) (*pb)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const Bytes& b, size_t at) {
  return at + 4 > b.size() ? 0
                           : b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// A few ordinary macros, one carrying Wieder's AutoOpen signature.
DocSpec Infected(uint32_t minStream = 0) {
  DocSpec s;
  s.macros.push_back(zmdoc::MacroCarrying(zmdoc::DatabaseSignature(45, 1), 0x5A, "AutoOpen"));
  s.macros.push_back(zmdoc::MacroCarrying({0x10, 0x20, 0x30}, 0x11, "FileSave", 300));
  s.minStreamSize = minStream;
  return s;
}

struct Doc {
  const char* name;
  std::function<Bytes()> make;
};

Bytes Build(const DocSpec& s) { return zmdoc::BuildWord6(s); }

// The file after the FAT entry of the WordDocument stream's first sector is set to v.
Bytes WithFatEntry(DocSpec s, uint32_t v) {
  zmdoc::BuildInfo info;
  Bytes b = zmdoc::BuildWord6(s, &info);
  uint32_t lFat = (Get32(b, 0x4C) + 1) * zmdoc::kSectorSize;
  if (!info.chain.empty()) Put32(&b, lFat + 4 * info.chain.front(), v);
  return b;
}

const Doc kDocs[] = {
    {"mini-infected", [] { return Build(Infected()); }},
    {"regular-infected", [] { return Build(Infected(9000)); }},
    {"no-table",
     [] {
       DocSpec s;
       s.macroTable = false;
       return Build(s);
     }},
    {"word97-control",
     [] {
       DocSpec s = Infected(5000);
       s.word97 = true;
       return Build(s);
     }},
    {"fat-chain-loop",
     [] {
       DocSpec s = Infected(9000);
       s.streamChainLoop = true;
       return Build(s);
     }},
    {"fat-entry-to-itself",
     [] {
       zmdoc::BuildInfo info;
       DocSpec s = Infected(9000);
       zmdoc::BuildWord6(s, &info);
       return WithFatEntry(s, info.chain.empty() ? 0 : info.chain.front());
     }},
    {"minifat-chain-loop",
     [] {
       DocSpec s = Infected();
       s.miniFatChainLoop = true;
       return Build(s);
     }},
    {"mini-chain-loop",
     [] {
       DocSpec s = Infected();
       s.miniChainLoop = true;
       return Build(s);
     }},
    {"container-chain-loop",
     [] {
       DocSpec s = Infected();
       s.rootChainLoop = true;
       return Build(s);
     }},
    {"container-chain-short",
     [] {
       DocSpec s = Infected();
       s.rootChainSectors = 1;
       return Build(s);
     }},
    {"directory-past-end",
     [] {
       Bytes b = Build(Infected());
       Put32(&b, 0x30, 0x00FFFFF0u);
       return b;
     }},
    {"directory-at-end-marker",
     [] {
       Bytes b = Build(Infected());
       Put32(&b, 0x30, zmdoc::kEndOfChain);
       return b;
     }},
    {"start-sector-past-file",
     [] {
       DocSpec s = Infected(9000);
       s.startField = 0x7FFFFF00u;
       return Build(s);
     }},
    {"chain-sector-past-file", [] { return WithFatEntry(Infected(9000), 0x00100000u); }},
    {"fat-sector-past-file",
     [] {
       Bytes b = Build(Infected(9000));
       Put32(&b, 0x4C, 0x00ABCDEFu);
       return b;
     }},
    {"minifat-start-past-file",
     [] {
       Bytes b = Build(Infected());
       Put32(&b, 0x3C, 0x7FFFFFFFu);
       return b;
     }},
    {"huge-macro-count",
     [] {
       DocSpec s = Infected();
       s.countField = 0xFFFF;
       return Build(s);
     }},
    {"length-wraps",
     [] {
       DocSpec s = Infected(9000);
       s.macros[0].lengthField = 0xFFFFFFF0u;
       s.macros[1].offsetField = 0xFFFFFF00u;
       s.macros[1].lengthField = 0x200u;
       return Build(s);
     }},
    {"table-position-wraps",
     [] {
       DocSpec s = Infected();
       s.fibMacroTable = 0xFFFFFFF8u;
       s.fibMacroLength = 0x10u;
       return Build(s);
     }},
    {"table-length-huge",
     [] {
       DocSpec s = Infected();
       s.fibMacroLength = 0xFFFFFFFFu;
       return Build(s);
     }},
    {"entry-size-huge",
     [] {
       DocSpec s = Infected(9000);
       s.sizeField = 0xFFFFFFFFu;
       return Build(s);
     }},
    {"entry-size-below-table",
     [] {
       DocSpec s = Infected(9000);
       s.sizeField = 0x200u;
       return Build(s);
     }},
    {"cut-mid-sector",
     [] {
       Bytes b = Build(Infected(9000));
       b.resize(b.size() - 300);
       return b;
     }},
    {"padded-past-sector",
     [] {
       Bytes b = Build(Infected());
       b.insert(b.end(), 37, 0xEE);
       return b;
     }},
    {"header-only",
     [] {
       Bytes b = Build(Infected());
       b.resize(512);
       return b;
     }},
    {"big-stream-in-mini",
     [] {
       DocSpec s = Infected(9000);
       s.placement = zmdoc::Placement::kMini;
       return Build(s);
     }},
    {"small-stream-regular",
     [] {
       DocSpec s = Infected();
       s.placement = zmdoc::Placement::kRegular;
       return Build(s);
     }},
    {"cutoff-zero",
     [] {
       DocSpec s = Infected();
       s.miniCutoff = 0;
       return Build(s);
     }},
    {"names-cut-and-odd",
     [] {
       DocSpec s = Infected();
       s.macros[1].nameId = 0x7FFF;
       s.macros[0].mark = 0x00;
       s.nameSection = false;
       return Build(s);
     }},
};

bool Write(const std::filesystem::path& p, const Bytes& b) {
  std::filesystem::create_directories(p.parent_path());
  return zmdoc::WriteFile(p.string(), b);
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
// A literal with its inner NULs.
template <size_t N>
std::string Lit(const char (&a)[N]) {
  return std::string(a, N - 1);
}

// The wordbasic target reads its input both as a macro body and as a macro table: bodies the
// encoder writes and hostile ones, and the tables of built documents with every kind of section.
bool WordBasicSeeds(const std::filesystem::path& dir) {
  const std::pair<const char*, const char*> kSources[] = {
      {"body-virus-like",
       "Sub MAIN\n  On Error Goto Z\n  F$ = FileName$()\n  MacroCopy F$ + \":AutoOpen\", "
       "\"Global:AutoOpen\"\n  Dim dlg As FileSaveAs\n  GetCurValues dlg\n  Dialog dlg\n"
       "  If dlg.Format = 0 Then dlg.Format = 1\n  FileSaveAs dlg\nZ:\nEnd Sub\n"},
      {"body-numbers-labels",
       "100 x = -1.5 * 70000 Mod 3\nREM remark\nPrint #1, \"a\"; 2 ' note\n\tShell \"x\", 0\n"},
      {"body-wide-texts", "a$ = \"\xCE\x95\xCE\xBB\"\n' \xE3\x82\xB3\n"},
  };
  bool bOk = true;
  for (const auto& src : kSources)
    bOk &= Write(dir / src.first, zmdoc::EncodeWordBasic(src.second));
  const std::pair<const char*, Bytes> kBodies[] = {
      {"body-unknown-and-cut",
       {0x01, 0x00, 0x00, 0x67, 0xFF, 0x7F, 0x73, 0xFF, 0x7F, 0x6D, 1, 'x', 0x79, 0xFF, 0xFF, 'a'}},
      {"body-space-runs", {0x01, 0x00, 0x6E, 0xFF, 0x6F, 0xFF, 0x6E, 0xFF, 0x64}},
      {"body-surrogates", {0x01, 0x00, 0x79, 3, 0, 0x00, 0xD8, 0x3D, 0xD8, 0x00, 0xDE}},
  };
  for (const auto& b : kBodies) bOk &= Write(dir / b.first, b.second);
  zmdoc::DocSpec spec;
  for (const char* name : {"AutoOpen", "Payload", "FileSaveAs"}) {
    zmdoc::MacroSpec m;
    m.name = name;
    m.body = zmdoc::EncodeWordBasic(std::string("MsgBox \"") + name + "\"\n");
    m.key = 0x5A;
    spec.macros.push_back(m);
  }
  spec.macros[0].description = "Runs when a document opens";
  spec.macros[1].menuText = "&Payload";
  spec.macros[2].mark = 0x00;
  spec.extraSections = {
      {0x03, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0, 2, 1, 0, 0, 0, 0, 0}};
  for (bool bWide : {false, true}) {
    spec.wideTexts = bWide;
    zmdoc::BuildInfo info;
    if (zmdoc::BuildWord6(spec, &info).empty()) return false;
    Bytes table(info.wordDocument.begin() + info.tableOffset,
                info.wordDocument.begin() + info.tableOffset + info.tableLength);
    bOk &= Write(dir / (bWide ? "table-wide-texts" : "table-texts-menus"), table);
  }
  return bOk;
}

}  // namespace

// The wire target: byte 0 picks the decoder (0 a reply, 1 a batch, 2 a result) and, in its upper
// six bits, the results awaited or the descriptors passed; then a message as the encoders write it.
bool WireSeeds(const std::filesystem::path& dir) {
  zm::FileResult found;
  found.outcome = zm::Outcome::kFound;
  found.sVirus = "Macro.Word.Concept.a";
  found.foundBy = zm::FoundBy::kNames;
  found.doc.kind = zm::DocKind::kWord6;
  found.doc.table.nMacros = 2;
  found.doc.table.names = {"AutoOpen", "PayLoad"};
  found.id = {7, 42};
  found.nLinks = 1;
  zm::FileResult archive;
  archive.containerKind = container::Kind::kZip;
  archive.nMembers = 2;
  container::Member m;
  m.kind = container::Kind::kGzip;
  m.outcome = container::Outcome::kFound;
  m.sName = "a.doc";
  m.sVirus = found.sVirus;
  m.chain = {"inner.zip", "a.doc.gz"};
  archive.members = {container::Member(), m};
  zm::MacroRecord rec;
  rec.bNamed = true;
  rec.sName = "AutoOpen";
  rec.eBody = zm::BodyRead::kWhole;
  rec.body = std::string("\x01\x00\x64", 3);
  rec.sSource = "Sub MAIN\n";
  archive.listing.detail = zm::MacroDetail::kBodies;
  archive.listing.records = {rec};
  archive.memberListings = {{1, archive.listing}};
  zm::ReplyWriter reply;
  reply.Add(found);
  reply.Add(archive);
  const std::string sReply = reply.Reply();
  zm::BatchWriter batch(3, 3);
  batch.Add(zm::Reach::kPassedFile, 0, false, false, "", "/d/a.doc");
  batch.Add(zm::Reach::kInDirectory, 1, true, true, "b.doc", "/d/b.doc");
  batch.Add(zm::Reach::kByPath, 0, false, true, "c/c.doc", "c/c.doc");
  const std::pair<const char*, std::string> kSeeds[] = {
      {"reply-two", std::string(1, 2 << 2 | 0) + sReply},
      {"reply-none", std::string(1, 1 << 2 | 0) + Lit("\0\0\0\0")},
      {"batch-three-ways", std::string(1, 2 << 2 | 1) + batch.Request()},
      {"result-found", std::string(1, 2) + zm::EncodeResult(found)},
      {"result-archive", std::string(1, 2) + zm::EncodeResult(archive)},
  };
  bool bOk = true;
  for (const auto& s : kSeeds) bOk &= Write(dir / s.first, Text(s.second));
  return bOk;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mkseeds CORPUS\n");
    return 2;
  }
  std::filesystem::path root = argv[1];
  bool bOk = true;
  for (const Doc& d : kDocs) {
    Bytes b = d.make();
    bOk &= !b.empty() && Write(root / "docscan" / d.name, b) && Write(root / "names" / d.name, b);
  }
  // MACRO_Handler sequences: job byte (job + 1), document byte, list, NUL.
  const std::string kHandler[][2] = {
      {"job0-then-job2", Lit("\x01\x00"
                             "AutoOpen&\0"
                             "\x03\x00"
                             "AutoOpen&")},
      {"job0-fold-then-list", Lit("\x01\x00"
                                  "autoopen&fileSave&\0"
                                  "\x01\x00"
                                  "AUTOOPEN&")},
      {"job1-each-document", Lit("\x02\x00x&\0\x02\x01x&\0\x02\x02x&\0\x02\x03x&\0\x02\x04x&")},
      {"job0-numbered", Lit("\x01\x00"
                            "Macro1&Macro2&Macro3&")},
      {"invalid-and-dividing", Lit("\x04\x00x&\0\x00\x00nothing\0\x03\x00")},
      {"list-too-long", "\x01\x00" + std::string(40, 'A') + "&"},
      // A job 2 whose list is refused leaves the pending record for the next job 2.
      {"job2-refused-list", Lit("\x01\x00"
                                "AutoOpen&\0"
                                "\x03\x00") +
                                std::string(40, 'A') +
                                Lit("&\0"
                                    "\x03\x00"
                                    "AutoOpen&")},
  };
  for (const auto& h : kHandler) bOk &= Write(root / "handler" / h[0], Text(h[1]));
  // MACRO_ScanRaw: byte 0 picks the name (bit 7: plant at bytes 1-4), then the file.
  for (int i = 0; i < 5; ++i) {
    Bytes b = {static_cast<uint8_t>(0x80 | i), 0xF8, 0xEF, 0, 0};  // across the first block edge
    b.resize(64, 0x41);
    bOk &= Write(root / "scanraw" / (std::string(g_aRawSignatures[i].szName) + "-edge"), b);
  }
  bOk &= Write(root / "scanraw" / "wrong-case", Bytes{5, 0, 0, 0, 0, 'x'});
  const std::pair<const char*, std::string> kText[] = {
      {"filter/doc-dot", Lit("*.doc;*.dot\0report.doc")},
      {"filter/empty-patterns", Lit(";;*\0a")},
      {"filter/many", std::string(70, ';') + Lit("\0x")},
      {"decrypt/pairs", Lit("\x80\x81\x9F\xA0\xFE\xFF#*Az09")},
      {"instr/case", Lit("\x01\0\0\0Word.Macro\0mac")},
      {"instr/past-end", Lit("\x20\0\0\0abc\0")},
      {"makespec/list", "C:\\DOCS;D:\\X"},
      {"makespec/no-separator", "docs"},
      {"makespec/long", std::string(300, 'a')},
      // zebmacrod's protocol: byte 0 local (bit 0) and the stream limit, 0xFE k ends a read,
      // 0xFD a read the client paused after; a last 0xFC or 0xFB: a timeout or a stop.
      {"protocol/session", Lit("\x01zIDSESSION\0zPING\0zSCAN /d\0nVERSION\nzEND\0")},
      {"protocol/instream", Lit("\x3FzINSTREAM\0\0\0\0\x05hello\0\0\0\x02hi\0\0\0\0")},
      {"protocol/session-instream",
       Lit("\x3FzIDSESSION\0zINSTREAM\0\0\0\0\x01x\0\0\0\0zPING\0zEND\0")},
      {"protocol/fildes", Lit("\x01zFILDES\0\xFE\x01\0")},
      {"protocol/fildes-with-command", Lit("\x01\xFE\x01zFILDES\0")},
      {"protocol/bare", Lit("\x00PING\n")},
      {"protocol/bare-in-session", Lit("\x01zIDSESSION\0PING\n")},
      {"protocol/too-long", Lit("\x00zSCAN /") + std::string(100, 'a') + Lit("\0")},
      {"protocol/bare-paused", Lit("\x00SCAN /a\r\xFDPING\n")},
      {"protocol/crlf-nul", Lit("\x00nSCAN /f\0junk\r\n")},
      {"protocol/session-timed-out", Lit("\x01zIDSESSION\0zPING\0nPI\xFC")},
      {"protocol/session-stopped", Lit("\x01nIDSESSION\nzSCAN /d\0zPI\xFB")},
  };
  for (const auto& t : kText) bOk &= Write(root / t.first, Text(t.second));
  bOk &= WordBasicSeeds(root / "wordbasic");
  bOk &= WireSeeds(root / "wire");
  {
    // The walk of a compound file's contents: an embedded document, its storages' tree looping,
    // its directory's chain looping.
    DocSpec s = Infected();
    s.wordDocIndex = 4;
    s.extraEntries = zmdoc::ObjectPoolEntries(1, {zmdoc::WordDocumentEntry(Infected())});
    zmdoc::BuildInfo info;
    const Bytes b = zmdoc::BuildWord6(s, &info);
    Bytes loop = b, dirLoop = b;
    Put32(&loop, (info.dirStart + 1) * zmdoc::kSectorSize + 2 * 128 + 0x4C, 1);
    Put32(&dirLoop, zmdoc::kSectorSize + 4 * info.dirStart, info.dirStart);
    bOk &= Write(root / "compound" / "object-pool", b) &&
           Write(root / "compound" / "tree-loop", loop) &&
           Write(root / "compound" / "directory-loop", dirLoop);
  }
  if (!bOk) std::fprintf(stderr, "mkseeds: cannot write every seed\n");
  return bOk ? 0 : 1;
}
