// The wordbasic module: SHA-256 against published and hashlib vectors; statements that round-trip
// encoder -> document builder -> the library's reader -> table walk -> de-tokeniser; the samples'
// macros, and both as the scan core lists them; hostile bodies; the table walk's sections, texts
// and byte-scan judgements; the name tables' invariants.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "docbuilder.h"
#include "docreader.h"
#include "samples.h"
#include "scanner.h"
#include "tempdir.h"
#include "wbencoder.h"
#include "wordbasic.h"
#include "zmapi.h"

namespace {

using Bytes = std::vector<uint8_t>;
using wordbasic::ByteScan;

std::string Hex(const uint8_t* pb) {
  char ach[2 * wordbasic::kSha256Bytes + 1];
  wordbasic::Sha256Hex(pb, ach);
  return ach;
}

std::string Sha(const Bytes& b) {
  wordbasic::Sha256 sha;
  wordbasic::Sha256Init(&sha);
  wordbasic::Sha256Update(&sha, b.data(), b.size());
  uint8_t ab[wordbasic::kSha256Bytes];
  wordbasic::Sha256Final(&sha, ab);
  return Hex(ab);
}

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

Bytes Str(const std::string& s) { return {s.begin(), s.end()}; }

// FIPS 180-4's examples, and around the padding's edges digests from Python's hashlib.
TEST(Sha256, KnownDigests) {
  const struct {
    Bytes input;
    const char* szDigest;
  } kCases[] = {
      {{}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {Str("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {Str("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {Str("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopq"
           "r"
           "lmnopqrsmnopqrstnopqrstu"),
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {Bytes(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {Pattern(55), "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
      {Pattern(56), "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
      {Pattern(63), "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
      {Pattern(64), "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
      {Pattern(65), "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
      {Pattern(119), "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
      {Pattern(120), "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5"},
      {Pattern(1000), "1e9bc38cbf860b9ec31918b065f9b52476c549a782e0e7990bed8ce3868d2371"},
  };
  for (const auto& c : kCases) EXPECT_EQ(Sha(c.input), c.szDigest) << c.input.size() << " bytes";
}

// The two block functions, the processor's SHA instructions and the portable code, agree on any
// run of blocks from any state, with any key (where the processor has none, both calls take the
// portable code).
TEST(Sha256, BlockFunctionsAgree) {
  const Bytes b = Pattern(64 * 40);
  uint32_t alHardware[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  uint32_t alPortable[8];
  std::memcpy(alPortable, alHardware, sizeof alPortable);
  for (size_t n = 0, at = 0; at + 64 * n <= b.size(); at += 64 * n, ++n) {
    const uint8_t key = static_cast<uint8_t>(n * 37);
    wordbasic::Sha256Blocks(alHardware, b.data() + at, n, true, key);
    wordbasic::Sha256Blocks(alPortable, b.data() + at, n, false, key);
    ASSERT_EQ(std::memcmp(alHardware, alPortable, sizeof alPortable), 0) << n << " blocks";
  }
  if (!wordbasic::Sha256Hardware()) GTEST_SKIP() << "no SHA instructions here: portable code only";
}

// Fed in two pieces split anywhere, and from stored bytes with a key, the digest is the same.
TEST(Sha256, PiecesAndKeys) {
  Bytes b = Pattern(150);
  std::string whole = Sha(b);
  for (size_t cut = 0; cut <= b.size(); ++cut) {
    wordbasic::Sha256 sha;
    wordbasic::Sha256Init(&sha);
    wordbasic::Sha256Update(&sha, b.data(), cut);
    wordbasic::Sha256Update(&sha, b.data() + cut, b.size() - cut);
    uint8_t ab[wordbasic::kSha256Bytes];
    wordbasic::Sha256Final(&sha, ab);
    ASSERT_EQ(Hex(ab), whole) << "cut at " << cut;
  }
  Bytes big = Pattern(1000);
  for (uint8_t key : {0x00, 0x5A, 0xFF}) {
    Bytes stored(big.size());
    wordbasic::DecryptBody(big.data(), big.size(), key, stored.data());  // XOR both ways
    uint8_t ab[wordbasic::kSha256Bytes];
    wordbasic::BodySha256(stored.data(), stored.size(), key, ab);
    EXPECT_EQ(Hex(ab), Sha(big)) << int{key};
    // Stored bytes in pieces as a document's sectors give them: any first piece, then 512s.
    for (size_t first : {1, 63, 64, 65, 200, 511}) {
      wordbasic::Sha256 sha;
      wordbasic::Sha256Init(&sha);
      for (size_t at = 0, n = first; at < stored.size(); at += n, n = 512)
        wordbasic::Sha256UpdateStored(&sha, stored.data() + at, std::min(n, stored.size() - at),
                                      key);
      wordbasic::Sha256Final(&sha, ab);
      EXPECT_EQ(Hex(ab), Sha(big)) << int{key} << " first piece " << first;
    }
  }
}

// Many bodies at once give each the digest it has alone: lengths on every side of a block and of
// the padding's room, stored under keys, in sets that fill the lanes, leave some idle, and end
// with fewer bodies than lanes (where the processor has no such pass, both take one at a time).
TEST(Sha256, ManyBodiesAtOnce) {
  const size_t kLengths[] = {0,   1,   55,  56,  63,  64,  65,   119,  120,  127,  128,
                             129, 500, 511, 512, 700, 999, 1000, 2048, 4095, 20000};
  Bytes pool = Pattern(20000);
  for (size_t nBodies : {1, 7, 8, 9, 16, 17, 31, 100}) {
    std::vector<Bytes> stored(nBodies);
    std::vector<wordbasic::BodyRef> refs(nBodies);
    for (size_t i = 0; i < nBodies; ++i) {
      const size_t cb = kLengths[(i * 7 + nBodies) % std::size(kLengths)];
      const uint8_t key = static_cast<uint8_t>(i * 37);
      stored[i].resize(cb);
      wordbasic::DecryptBody(pool.data() + i, cb, key, stored[i].data());
      refs[i] = {stored[i].data(), cb, key};
    }
    std::vector<std::array<uint8_t, wordbasic::kSha256Bytes>> many(nBodies), one(nBodies);
    using Digests = uint8_t(*)[wordbasic::kSha256Bytes];
    wordbasic::BodySha256Many(refs.data(), nBodies, reinterpret_cast<Digests>(many.data()));
    wordbasic::BodySha256Many(refs.data(), nBodies, reinterpret_cast<Digests>(one.data()), false);
    for (size_t i = 0; i < nBodies; ++i) {
      EXPECT_EQ(Hex(many[i].data()), Hex(one[i].data())) << nBodies << " bodies, #" << i;
      EXPECT_EQ(Hex(one[i].data()), Sha(Bytes(pool.begin() + static_cast<long>(i),
                                              pool.begin() + static_cast<long>(i + refs[i].cb))));
    }
  }
  if (!wordbasic::Sha256ManyAtOnce()) GTEST_SKIP() << "no 16-lane pass here: one at a time only";
}

std::string Source(const Bytes& body, wordbasic::SourceInfo* pInfo = nullptr) {
  wordbasic::SourceInfo probe = wordbasic::Detokenise(body.data(), body.size(), nullptr, 0);
  std::string s(probe.cchSource + 1, '\0');
  wordbasic::SourceInfo info = wordbasic::Detokenise(body.data(), body.size(), &s[0], s.size());
  EXPECT_EQ(info.cchWritten, probe.cchSource);
  EXPECT_FALSE(info.bTruncated);
  // Every byte is the header's, decoded, or shown as unknown, cut, or not decoded.
  EXPECT_EQ(info.cbHeader + info.cbDecoded + info.nUnknownTokens + info.cbCut + info.cbNotDecoded,
            body.size());
  s.resize(info.cchWritten);
  if (pInfo) *pInfo = info;
  return s;
}

// One statement per row, in the form the de-tokeniser prints (the source when expected is null).
// Together they use every token class of the module.
const struct Statement {
  const char* szSource;
  const char* szExpected;
} kStatements[] = {
    {"Sub MAIN", nullptr},
    {"End Sub", nullptr},
    {"MsgBox \"Hello, world\"", nullptr},
    {"FileSaveAs .Name = \"C:\\TEMP\\X.DOC\", .Format = 1", nullptr},
    {"Dim dlg As FileSaveAs", nullptr},
    {"GetCurValues dlg", nullptr},
    {"Dialog dlg", nullptr},
    {"dlg.Password = \"secret\"", nullptr},
    {"dlg.MyField = 1", nullptr},
    {"MacroCopy FileName$() + \":AutoOpen\", \"Global:AutoOpen\"", nullptr},
    {"If CountMacros(0) > 0 Then Goto Done", nullptr},
    {"Done:", nullptr},
    {"100 Beep", nullptr},
    {"For i = 1 To CountMacros(1) Step 2", nullptr},
    {"Next i", nullptr},
    {"While x < 10: x = x + 1: Wend", nullptr},
    {"y = -x * (2 - 3) / 4 Mod 5", nullptr},
    {"If a <> b And c <= d Or Not e >= f Then b = a Else b = 0", nullptr},
    {"ElseIf a = 2 Then", nullptr},
    {"EndIf", nullptr},
    {"Pi = 3.14159", nullptr},
    {"n = 70000", nullptr},
    {"x = -1.5", nullptr},
    {"On Error Goto Trap", nullptr},
    {"On Error Resume Next", nullptr},
    {"REM a remark", nullptr},
    {"' a comment", nullptr},
    {"a = 1 ' set a", nullptr},
    {"    Kill \"C:\\AUTOEXEC.BAT\"", nullptr},
    {"\tShell \"command.com /c del *.*\", 0", nullptr},
    {"a =  1", nullptr},
    {"a=1", "a = 1"},
    {"Print #1, \"x\"; y", nullptr},
    {"Open \"C:\\LOG.TXT\" For Append As #2", nullptr},
    {"Line Input #2, a$", nullptr},
    {"Close #2", nullptr},
    {"a$ = \"Größe\"", nullptr},
    {"b$ = \"Ελλάδα\"", nullptr},
    {"' コメント", nullptr},
    {"Select Case x", nullptr},
    {"Case Is > 5", nullptr},
    {"End Select", nullptr},
    {"Call Payload", nullptr},
    {"Let a = 1", nullptr},
    {"Redim arr$(10)", nullptr},
    {"Declare Sub Foo Lib \"x.dll\" (a As Integer, b As Double)", nullptr},
    {"Begin Dialog UserDialog 320, 120, \"Title\"", nullptr},
    {"OKButton 10, 10, 88, 21", nullptr},
    {"End Dialog", nullptr},
    {"x = Shell(\"calc.exe\")", nullptr},
    {"ToolsMacro .Name = \"AutoOpen\", .Show = 1, .Delete", nullptr},
    {"Organizer .Copy, .Source = a$, .Destination = b$, .Name = \"AutoOpen\", .Tab = 3", nullptr},
    {"CharRight 1, 1", nullptr},
    {"x = InStr(a$, \"b\") + Len(a$)", nullptr},
    {"If InStr(Environ$(\"PATH\"), \"DOS\") Then SetAttr \"C:\\IO.SYS\", 0", nullptr},
    {"SetProfileString \"Virus\", \"Count\", Str$(n)", nullptr},
    {"FileOpen .Name = a$", nullptr},
};

// The documents' macros read as zebscan will read them: the stream through the library's reader,
// the table from FIB 0x118 / 0x11C, each body decrypted.
struct ReadMacro {
  wordbasic::Entry entry;
  std::string name;
  Bytes body;  // in the clear
};

// Stream bytes up to the first that the reader cannot reach or that lies past the file's end
// (the reader would take those as zeros), a sector or mini-sector at a time.
Bytes ReadStream(DocReader* p, uint32_t lPos, uint32_t cb, uint64_t cbFile) {
  const uint32_t cbGranule = p->bInMiniStream ? ZM_MINI_SECTOR : ZM_SECTOR;
  Bytes v;
  for (uint32_t done = 0; done < cb;) {
    uint32_t pos = lPos + done;
    uint64_t lFile = DOC_lFileOffsetOf(p, pos);
    if (lFile == 0 || lFile >= cbFile) break;
    uint32_t n = static_cast<uint32_t>(
        std::min<uint64_t>({cb - done, cbGranule - pos % cbGranule, cbFile - lFile}));
    if (!DOC_iReadAt(p, pos, static_cast<int32_t>(n))) break;
    v.insert(v.end(), p->abImage, p->abImage + n);
    done += n;
  }
  return v;
}

bool ReadMacros(const std::string& sPath, uint64_t cbFile, wordbasic::Table* pTable,
                std::vector<ReadMacro>* pv) {
  DocReader* p = DOC_pOpenDocument(sPath.c_str());
  if (!p) return false;
  Bytes fib = ReadStream(p, ZM_FIB_MACRO_TABLE, 8, cbFile);
  bool bOk = fib.size() == 8;
  if (bOk) {
    uint32_t lAt = fib[0] | fib[1] << 8 | fib[2] << 16 | uint32_t(fib[3]) << 24;
    uint32_t cb = fib[4] | fib[5] << 8 | fib[6] << 16 | uint32_t(fib[7]) << 24;
    Bytes table = lAt ? ReadStream(p, lAt, cb, cbFile) : Bytes();
    std::vector<wordbasic::Entry> entries(256);
    *pTable = wordbasic::ReadTable(table.data(), table.size(), entries.data(), entries.size());
    for (size_t i = 0; i < pTable->nStored; ++i) {
      const wordbasic::Entry& e = entries[i];
      ReadMacro m;
      m.entry = e;
      char ach[256];
      wordbasic::TextToUtf8(table.data(), table.size(), e.name, ach, sizeof ach);
      m.name = ach;
      m.body = ReadStream(p, e.lOffset, e.lLength, cbFile);
      wordbasic::DecryptBody(m.body.data(), m.body.size(), e.bKey, m.body.data());
      pv->push_back(m);
    }
  }
  DOC_CloseDocument(p);
  return bOk;
}

// The listing of a document's macros that the scan core makes for zebscan.
zm::MacroListing Listing(const std::string& sPath, zm::MacroDetail detail) {
  zm::ScanOptions options;
  options.macros = detail;
  return zm::Scanner(ZmCompiledInApi(), options).ScanPath(sPath).listing;
}

TEST(WordBasic, StatementsRoundTripThroughADocument) {
  zmdoc::DocSpec spec;
  std::vector<std::string> expected;
  for (size_t i = 0; i < std::size(kStatements); ++i) {
    const Statement& s = kStatements[i];
    std::string sError;
    zmdoc::MacroSpec m;
    m.name = "Row" + std::to_string(i);
    m.body = zmdoc::EncodeWordBasic(std::string(s.szSource) + "\n", &sError);
    ASSERT_FALSE(m.body.empty()) << s.szSource << ": " << sError;
    m.key = static_cast<uint8_t>(i * 37);  // key 0 (stored plain) among them
    spec.macros.push_back(m);
    expected.push_back(std::string(s.szExpected ? s.szExpected : s.szSource) + "\n");
  }
  TempDir dir;
  std::string sPath = dir.Path("rows.doc");
  Bytes file = zmdoc::BuildWord6(spec);
  ASSERT_TRUE(zmdoc::WriteFile(sPath, file));
  wordbasic::Table table;
  std::vector<ReadMacro> macros;
  ASSERT_TRUE(ReadMacros(sPath, file.size(), &table, &macros));
  ASSERT_EQ(macros.size(), std::size(kStatements));
  EXPECT_FALSE(table.bCut);
  for (size_t i = 0; i < macros.size(); ++i) {
    const ReadMacro& m = macros[i];
    SCOPED_TRACE(kStatements[i].szSource);
    EXPECT_EQ(m.name, "Row" + std::to_string(i));
    EXPECT_EQ(m.entry.Encrypted(), m.entry.bKey != 0);
    wordbasic::SourceInfo info;
    EXPECT_EQ(Source(m.body, &info), expected[i]);
    EXPECT_EQ(info.nUnknownTokens + info.nUnknownCalls + info.nUnknownFields + info.nTextTokens +
                  info.cbCut,
              0u);
    EXPECT_EQ(info.wHeader, zmdoc::kWordBasicHeader[0] | zmdoc::kWordBasicHeader[1] << 8);
    EXPECT_EQ(info.nLines, 1u);
  }
  // The same document through the scan core, as zebscan --source lists it.
  const zm::MacroListing l = Listing(sPath, zm::MacroDetail::kSource);
  ASSERT_EQ(l.records.size(), macros.size());
  for (size_t i = 0; i < macros.size(); ++i) {
    SCOPED_TRACE(kStatements[i].szSource);
    EXPECT_EQ(l.records[i].sSource, expected[i]);
    EXPECT_EQ(l.records[i].nUnknown, 0u);
    EXPECT_EQ(zm::Sha256Text(l.records[i]), Sha(macros[i].body));
  }
}

// The harmless macros of the samples read back as their source; bodies of other bytes (the
// carriers of signatures) never read as clean source.
TEST(WordBasic, SamplesMacros) {
  const struct {
    const char* szPrefix;
    bool bTable, bCut;
    std::vector<std::string> harmless;  // in table order; empty: other bytes
  } kSamples[] = {
      {"01-", false, false, {}},
      {"02-", true, false, {"FormatLetter", "InsertAddress"}},
      {"03-", true, false, {"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"}},
      {"04-", true, false, {}},
      {"05-", true, false, {"AutoOpen"}},
      {"06-", true, false, {}},
      {"07-", true, false, {"A712", "B813", "C914"}},
      {"08-", true, true, {"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"}},
      {"09-", false, false, {}},  // Word 97: FIB 0x118 names no table in this stream
      {"10-", false, false, {}},  // no compound file
  };
  std::vector<zmdoc::SampleDocument> docs = zmdoc::SampleDocuments();
  ASSERT_EQ(docs.size(), std::size(kSamples));
  TempDir dir;
  for (size_t d = 0; d < docs.size(); ++d) {
    const zmdoc::SampleDocument& doc = docs[d];
    const auto& want = kSamples[d];
    SCOPED_TRACE(doc.name);
    ASSERT_EQ(doc.name.rfind(want.szPrefix, 0), 0u);
    std::string sPath = dir.Path(doc.name);
    ASSERT_TRUE(zmdoc::WriteFile(sPath, doc.bytes));
    wordbasic::Table table;
    std::vector<ReadMacro> macros;
    ReadMacros(sPath, doc.bytes.size(), &table, &macros);
    EXPECT_EQ(table.bTable, want.bTable);
    EXPECT_EQ(table.bCut, want.bCut);
    const zm::MacroListing l = Listing(sPath, zm::MacroDetail::kBodies);
    if (!want.bTable) {
      EXPECT_EQ(l.detail, zm::MacroDetail::kNone);
      continue;
    }
    // The scan core lists what this reading finds: name, key, digest, body and source.
    ASSERT_EQ(l.records.size(), macros.size());
    for (size_t i = 0; i < macros.size(); ++i) {
      const zm::MacroRecord& m = l.records[i];
      EXPECT_EQ(m.sName, macros[i].name);
      EXPECT_EQ(m.bKey, macros[i].entry.bKey);
      EXPECT_EQ(zm::Sha256Text(m), Sha(macros[i].body));
      EXPECT_EQ(m.body, std::string(macros[i].body.begin(), macros[i].body.end()));
      EXPECT_EQ(m.sSource, Source(macros[i].body));
    }
    ASSERT_FALSE(macros.empty());
    for (size_t i = 0; i < macros.size(); ++i) {
      wordbasic::SourceInfo info;
      std::string s = Source(macros[i].body, &info);
      if (want.harmless.empty()) {
        EXPECT_GT(info.nUnknownTokens + info.nUnknownCalls + info.nUnknownFields + info.cbCut, 0u)
            << s;
        continue;
      }
      ASSERT_EQ(macros.size(), want.harmless.size());
      EXPECT_EQ(s, zmdoc::HarmlessSource(want.harmless[i]));
      // The cut name section names none of them.
      EXPECT_EQ(macros[i].name, want.bCut ? "" : want.harmless[i]);
      EXPECT_EQ(macros[i].entry.eByteScan, ByteScan::kTaken);
    }
  }
}

Bytes Body(std::initializer_list<uint8_t> tokens) {
  Bytes b(zmdoc::kWordBasicHeader, zmdoc::kWordBasicHeader + 2);
  b.insert(b.end(), tokens);
  return b;
}

// n bytes of no known token, then tail (tokens), and the source of the n: "[token 0x00] ...".
Bytes UnknownThen(size_t n, std::initializer_list<uint8_t> tail) {
  Bytes b = Body({});
  b.insert(b.end(), n, 0x00);
  b.insert(b.end(), tail);
  return b;
}
std::string UnknownMarkers(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += i ? " [token 0x00]" : "[token 0x00]";
  return s;
}

// Bodies that no encoder writes: what is not known shows as such, and every byte is accounted.
TEST(WordBasic, HostileBodies) {
  const struct {
    const char* szWhat;
    Bytes body;
    std::string sExpected;
    size_t nUnknown;  // [token ..] + [cmd ..] + .[field ..] + [token .. "..."]
    size_t cbCut;
    size_t cbNotDecoded = 0;
  } kCases[] = {
      {"empty body", {}, "", 0, 0},
      {"header only, cut", {0x01}, "", 0, 0},
      {"unknown bytes", Body({0x00, 0x13, 0xFF}), "[token 0x00] [token 0x13] [token 0xFF]", 3, 0},
      {"whitespace the peer is not sure of", Body({0x51, 0x52}), "[token 0x51] [token 0x52]", 2, 0},
      {"unknown command", Body({0x67, 0xFF, 0x7F}), "[cmd 0x7FFF]", 1, 0},
      {"byte-swapped MsgBox", Body({0x67, 0x80, 0x2B}), "[cmd 0x2B80]", 1, 0},
      {"unknown field", Body({0x69, 1, 'd', 0x73, 0xFF, 0x7F}), "d.[field 0x7FFF]", 1, 0},
      {"text token of unknown meaning", Body({0x6D, 2, 'a', 'b'}), "[token 0x6D \"ab\"]", 1, 0},
      {"identifier past the end", Body({0x69, 5, 'A'}), "[cut 0x69 0x05 0x41]", 0, 3},
      {"identifier without its length", Body({0x69}), "[cut 0x69]", 0, 1},
      {"command cut", Body({0x64, 0x67, 0x2B}), "\n[cut 0x67 0x2B]", 0, 2},
      {"double cut", Body({0x68, 1, 2, 3}), "[cut 0x68 0x01 0x02 0x03]", 0, 4},
      {"wide string past the end", Body({0x79, 0xFF, 0xFF, 'a', 0}),
       "[cut 0x79 0xFF 0xFF 0x61 0x00]", 0, 5},
      {"wide comment cut", Body({0x7C, 2, 'a', 0}), "[cut 0x7C 0x02 0x61 0x00]", 0, 4},
      {"a long cut shows its start and its length",
       Body({0x79, 0xFF, 0xFF, 'a', 0, 'b', 0, 'c', 0, 'd', 0}),
       "[cut 0x79 0xFF 0xFF 0x61 0x00 0x62 0x00 0x63 ... 11 bytes]", 0, 11},
      {"lone surrogate kept as WTF-8", Body({0x79, 1, 0, 0x00, 0xD8}), "\"\xED\xA0\x80\"", 0, 0},
      {"surrogate pair", Body({0x79, 2, 0, 0x3D, 0xD8, 0x00, 0xDE}), "\"\xF0\x9F\x98\x80\"", 0, 0},
      {"Windows-1252, unassigned bytes as C1", Body({0x6A, 3, 0x80, 0x81, 0xE9}),
       "\"\xE2\x82\xAC\xC2\x81\xC3\xA9\"", 0, 0},
      {"not a number", Body({0x68, 0, 0, 0, 0, 0, 0, 0xF8, 0x7F}), "nan", 0, 0},
      {"runs of spaces and tabs", Body({0x6E, 3, 0x6F, 2, 0x69, 1, 'x'}), "   \t\tx", 0, 0},
      {"a label without text", Body({0x65, 0}), ":", 0, 0},
      {"newline bytes inside a comment stay bytes", Body({0x6B, 2, '\n', 'x'}), "'\nx", 0, 0},
      // A line of unknown bytes is no token stream: the rest is counted, not shown a byte each.
      {"a line of unknown bytes ends the decoding", UnknownThen(16, {0x69, 1, 'x', 0x64}),
       UnknownMarkers(16) + " [not decoded: 4 bytes]", 16, 0, 4},
      {"so many unknown bytes at the end leave nothing", UnknownThen(16, {}), UnknownMarkers(16),
       16, 0},
      {"a line end starts the count again", UnknownThen(15, {0x64, 0x00, 0x69, 1, 'x'}),
       UnknownMarkers(15) + "\n[token 0x00] x", 16, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    wordbasic::SourceInfo info;
    EXPECT_EQ(Source(c.body, &info), c.sExpected);
    EXPECT_EQ(info.nUnknownTokens + info.nUnknownCalls + info.nUnknownFields + info.nTextTokens,
              c.nUnknown);
    EXPECT_EQ(info.cbCut, c.cbCut);
    EXPECT_EQ(info.cbNotDecoded, c.cbNotDecoded);
  }
}

// A million runs of 255 spaces: the text it stands for is counted, the buffer holds its start,
// and the pass stays one pass.
TEST(WordBasic, MillionSpaceRuns) {
  Bytes body(zmdoc::kWordBasicHeader, zmdoc::kWordBasicHeader + 2);
  for (int i = 0; i < 1000000; ++i) body.insert(body.end(), {0x6E, 0xFF});
  std::string out(4096, 'x');
  wordbasic::SourceInfo info = wordbasic::Detokenise(body.data(), body.size(), &out[0], out.size());
  EXPECT_EQ(info.cchSource, 255000000u);
  EXPECT_LE(info.cchSource, wordbasic::kMaxExpansion * body.size());
  EXPECT_EQ(info.cchWritten, out.size() - 1);
  EXPECT_TRUE(info.bTruncated);
  EXPECT_EQ(out.find_first_not_of(' '), out.size() - 1);  // spaces, then the NUL
  EXPECT_EQ(info.cbDecoded, body.size() - 2);
}

// Any buffer holds a prefix of the same text, NUL-terminated; none is written past its size.
TEST(WordBasic, SmallBuffersHoldAPrefix) {
  Bytes body = zmdoc::EncodeWordBasic(zmdoc::HarmlessSource("Größe") + "' コメント\n");
  ASSERT_FALSE(body.empty());
  std::string whole = Source(body);
  for (size_t cch = 0; cch <= whole.size() + 2; ++cch) {
    std::string buf(cch + 4, '#');
    wordbasic::SourceInfo info = wordbasic::Detokenise(body.data(), body.size(), &buf[0], cch);
    EXPECT_EQ(info.cchSource, whole.size());
    size_t n = cch == 0 ? 0 : std::min(cch - 1, whole.size());
    EXPECT_EQ(info.cchWritten, n);
    EXPECT_EQ(info.bTruncated, n < whole.size());
    EXPECT_EQ(buf.substr(0, n), whole.substr(0, n));
    if (cch > 0) {
      EXPECT_EQ(buf[n], '\0');
    }
    EXPECT_EQ(buf.substr(cch), "####");
  }
}

// The encoder refuses what it cannot write instead of writing something else.
TEST(WordBasic, EncoderRefuses) {
  for (const char* sz : {"a = \"unclosed", "\xCE\xB1 = 1", "x = 1 @ 2", "a = \"\xFF\""}) {
    std::string sError;
    EXPECT_TRUE(zmdoc::EncodeWordBasic(sz, &sError).empty()) << sz;
    EXPECT_FALSE(sError.empty()) << sz;
  }
}

// ---- The table walk ----

struct TableRead {
  wordbasic::Table t;
  std::vector<wordbasic::Entry> entries;
  Bytes bytes;
  std::string Text(const wordbasic::TextRef& r) const {
    char ach[512];
    wordbasic::TextToUtf8(bytes.data(), bytes.size(), r, ach, sizeof ach);
    return r.bPresent ? ach : "<none>";
  }
};

TableRead ReadBuilt(const zmdoc::DocSpec& spec, size_t cEntries = 16) {
  zmdoc::BuildInfo info;
  EXPECT_FALSE(zmdoc::BuildWord6(spec, &info).empty());
  TableRead r;
  r.bytes.assign(info.wordDocument.begin() + info.tableOffset,
                 info.wordDocument.begin() + info.tableOffset + info.tableLength);
  r.entries.resize(cEntries);
  r.t = wordbasic::ReadTable(r.bytes.data(), r.bytes.size(), r.entries.data(), cEntries);
  r.entries.resize(r.t.nStored);
  return r;
}

zmdoc::MacroSpec Macro(const std::string& name, uint32_t length = 10) {
  zmdoc::MacroSpec m;
  m.name = name;
  m.body.assign(length, 0x64);
  return m;
}

TEST(WordBasicTable, EntriesWithTheirTexts) {
  for (bool bWide : {false, true}) {
    SCOPED_TRACE(bWide ? "UTF-16 texts" : "8-bit texts");
    zmdoc::DocSpec spec;
    spec.wideTexts = bWide;
    spec.macros = {Macro("AutoOpen"), Macro("Payload"), Macro("FileSaveAs")};
    spec.macros[0].description = "Opens things";
    spec.macros[0].key = 0x41;
    spec.macros[0].state = 0x12345678;
    spec.macros[1].menuText = "&Tools Payload";
    spec.macros[2].description = "Saves";
    spec.macros[2].menuText = "Save &As...";
    spec.macros[2].nameId = 7;
    TableRead r = ReadBuilt(spec);
    ASSERT_EQ(r.entries.size(), 3u);
    EXPECT_TRUE(r.t.bTable && r.t.bNameSection);
    EXPECT_FALSE(r.t.bCut);
    EXPECT_EQ(r.t.nTexts, 4u);
    EXPECT_EQ(r.t.nNames, 3u);
    const struct {
      const char *szName, *szDescription, *szMenu;
    } kWant[] = {{"AutoOpen", "Opens things", "<none>"},
                 {"Payload", "<none>", "&Tools Payload"},
                 {"FileSaveAs", "Saves", "Save &As..."}};
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(r.Text(r.entries[i].name), kWant[i].szName);
      EXPECT_EQ(r.Text(r.entries[i].description), kWant[i].szDescription);
      EXPECT_EQ(r.Text(r.entries[i].menuText), kWant[i].szMenu);
      EXPECT_EQ(r.entries[i].description.bUtf16, bWide && r.entries[i].description.bPresent);
      EXPECT_EQ(r.entries[i].eByteScan, ByteScan::kTaken);
      EXPECT_EQ(r.entries[i].lLength, 10u);
    }
    EXPECT_TRUE(r.entries[0].Encrypted());
    EXPECT_FALSE(r.entries[1].Encrypted());
    EXPECT_EQ(r.entries[0].lState, 0x12345678u);
    EXPECT_EQ(r.entries[2].wNameId, 7u);
    // Sections in the order met: 0x01, 0x05, 0x10, 0x11, 0x40.
    const uint8_t kIds[] = {0x01, 0x05, 0x10, 0x11, 0x40};
    ASSERT_EQ(r.t.nSections, std::size(kIds));
    uint32_t lNext = 1;
    for (size_t s = 0; s < r.t.nSections; ++s) {
      EXPECT_EQ(r.t.aSections[s].bId, kIds[s]);
      EXPECT_EQ(r.t.aSections[s].lAt, lNext);  // each starts where the one before ends
      lNext += r.t.aSections[s].cb;
    }
    EXPECT_EQ(lNext, r.bytes.size());
    EXPECT_EQ(r.t.aSections[1].nRecords, 2u);
  }
}

// What the library's byte scan takes of each entry, and why not.
TEST(WordBasicTable, ByteScanJudgement) {
  zmdoc::DocSpec spec;
  spec.macros = {Macro("Taken"), Macro("Unmarked"), Macro("Empty", 0), Macro("Long", 4000),
                 Macro("Longest", 3999)};
  spec.macros[1].mark = 0x54;
  for (int i = 0; i < 64; ++i) spec.macros.push_back(Macro("M" + std::to_string(i), 1));
  TableRead r = ReadBuilt(spec, 100);
  ASSERT_EQ(r.entries.size(), 69u);
  EXPECT_EQ(r.t.nMarked, 68u);
  EXPECT_EQ(r.entries[0].eByteScan, ByteScan::kTaken);
  EXPECT_EQ(r.entries[1].eByteScan, ByteScan::kNotMarked);
  EXPECT_EQ(r.entries[2].eByteScan, ByteScan::kEmpty);
  EXPECT_EQ(r.entries[3].eByteScan, ByteScan::kTooLong);
  EXPECT_EQ(r.entries[4].eByteScan, ByteScan::kTaken);
  EXPECT_EQ(r.entries[66].eByteScan, ByteScan::kTaken);  // the 64th taken
  EXPECT_EQ(r.entries[67].eByteScan, ByteScan::kBeyondCap);
  EXPECT_EQ(r.entries[68].eByteScan, ByteScan::kBeyondCap);

  // A table that begins with another section: the byte scan lists nothing.
  Bytes namesFirst = {0xFF, 0x11, 1, 0, 0, 0, 1, 'A', 0, 0x01, 1, 0};
  namesFirst.resize(namesFirst.size() + 24, 0);
  namesFirst[12] = 0x55, namesFirst[12 + 0x0C] = 10;
  wordbasic::Entry e;
  wordbasic::Table t = wordbasic::ReadTable(namesFirst.data(), namesFirst.size(), &e, 1);
  ASSERT_EQ(t.nStored, 1u);
  EXPECT_EQ(e.eByteScan, ByteScan::kNotFirst);
  EXPECT_TRUE(e.name.bPresent);

  // Entries cut by the table's end: the reading fails as a whole.
  zmdoc::DocSpec cut;
  cut.macros = {Macro("A"), Macro("B")};
  cut.countField = 3;
  cut.nameSection = false;
  TableRead r3 = ReadBuilt(cut);
  EXPECT_TRUE(r3.t.bCut);
  ASSERT_EQ(r3.entries.size(), 2u);
  EXPECT_EQ(r3.entries[0].eByteScan, ByteScan::kCut);
}

// The caller's array bounds what is stored, not what is counted or judged on it.
TEST(WordBasicTable, CallerCapacity) {
  zmdoc::DocSpec spec;
  for (int i = 0; i < 5; ++i) spec.macros.push_back(Macro("M" + std::to_string(i)));
  for (size_t cap : {0u, 1u, 4u, 5u, 9u}) {
    TableRead r = ReadBuilt(spec, cap);
    EXPECT_EQ(r.t.nEntries, 5u);
    EXPECT_EQ(r.t.nStored, std::min<size_t>(cap, 5));
    for (size_t i = 0; i < r.t.nStored; ++i)
      EXPECT_EQ(r.Text(r.entries[i].name), "M" + std::to_string(i));
  }
}

// Extra sections are stepped over and listed; hostile layouts end the walk, cut or not.
TEST(WordBasicTable, Sections) {
  const struct {
    const char* szWhat;
    Bytes section;
    bool bCut, bNames;
    uint32_t nRecords;
  } kCases[] = {
      {"0x03 with both kinds of records",
       {0x03, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 1, 0, 0, 0, 0, 0},
       false,
       true,
       2},
      {"0x03 whose second count is 0 and no 0x02", {0x03, 0, 0, 0x07}, false, false, 0},
      {"0x10 whose size lies inside its own field", {0x10, 1, 0}, true, false, 0},
      {"0x10 with a text cut inside it", {0x10, 6, 0, 9, 'a', 'b', 0}, false, true, 0},
      {"0x05 claiming more records than there are", {0x05, 0xFF, 0xFF, 0}, true, false, 0},
      {"0x12 ends the walk", {0x12}, false, false, 0},
      {"an unknown id ends the walk", {0x99}, false, false, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    zmdoc::DocSpec spec;
    spec.macros = {Macro("AutoOpen")};
    spec.extraSections = {c.section};
    TableRead r = ReadBuilt(spec);
    ASSERT_GE(r.t.nSections, 2u);
    EXPECT_EQ(r.t.aSections[1].bId, c.section[0]);
    EXPECT_EQ(r.t.aSections[1].bCut, c.bCut);
    EXPECT_EQ(r.t.bCut, c.bCut);
    EXPECT_EQ(r.t.aSections[1].nRecords, c.nRecords);
    EXPECT_EQ(r.t.bNameSection, c.bNames);
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.Text(r.entries[0].name), c.bNames ? "AutoOpen" : "<none>");
  }
}

// Not a table, and a table of many sections: the walk ends at kMaxSections.
TEST(WordBasicTable, NotATableAndSectionCap) {
  wordbasic::Entry e[1];
  for (const Bytes& b : {Bytes{}, Bytes{0x00, 0x01}}) {
    wordbasic::Table t = wordbasic::ReadTable(b.data(), b.size(), e, 1);
    EXPECT_FALSE(t.bTable);
    EXPECT_EQ(t.nSections, 0u);
  }
  Bytes many = {0xFF};
  for (int i = 0; i < 200; ++i) many.insert(many.end(), {0x05, 0, 0});
  wordbasic::Table t = wordbasic::ReadTable(many.data(), many.size(), e, 1);
  EXPECT_EQ(t.nSections, wordbasic::kMaxSections);
  EXPECT_FALSE(t.bCut);
}

// Many names for one id, and many entries of one id: each resolution is done once.
TEST(WordBasicTable, CrossReferencesStayCheap) {
  Bytes b = {0xFF, 0x01, 0xFF, 0x7F};  // 32767 entries, all of name id 1
  for (int i = 0; i < 0x7FFF; ++i) {
    Bytes e(24, 0);
    e[0] = 0x55, e[2] = 1, e[0x0C] = 10;
    b.insert(b.end(), e.begin(), e.end());
  }
  b.insert(b.end(), {0x11, 0xFF, 0xFF});  // 65535 names, all for id 1
  for (int i = 0; i < 0xFFFF; ++i) b.insert(b.end(), {1, 0, 1, 'n', 0});
  std::vector<wordbasic::Entry> entries(0x7FFF);
  wordbasic::Table t = wordbasic::ReadTable(b.data(), b.size(), entries.data(), entries.size());
  EXPECT_EQ(t.nStored, 0x7FFFu);
  EXPECT_EQ(t.nNames, 0xFFFFu);
  for (const wordbasic::Entry& e : entries) ASSERT_EQ(e.name.lAt, 4u + 24u * 0x7FFF + 3u + 3u);
  EXPECT_EQ(entries[64].eByteScan, ByteScan::kBeyondCap);
}

// ---- The name tables ----

TEST(WordBasicNames, TablesHoldTogether) {
  using wordbasic::Source;
  const struct {
    const char* szTable;
    const wordbasic::NameRow* (*pfnRows)(size_t*);
  } kTables[] = {{"commands", wordbasic::CommandRows},
                 {"fields", wordbasic::FieldRows},
                 {"symbols", wordbasic::SymbolRows}};
  for (const auto& table : kTables) {
    SCOPED_TRACE(table.szTable);
    size_t n;
    const wordbasic::NameRow* rows = table.pfnRows(&n);
    ASSERT_GT(n, 0u);
    for (size_t i = 0; i < n; ++i) {
      SCOPED_TRACE(rows[i].szName);
      EXPECT_TRUE(i == 0 || rows[i - 1].wId < rows[i].wId);  // sorted, one name an id
      ASSERT_NE(rows[i].szName, nullptr);
      EXPECT_GT(std::strlen(rows[i].szName), 0u);
      EXPECT_LE(std::strlen(rows[i].szName), 40u);
      for (const char* p = rows[i].szName; *p; ++p) EXPECT_TRUE(*p > ' ' && *p < 0x7F);
      bool bMsDoc = rows[i].eSource <= Source::kMsDocWw7AndPeer;
      EXPECT_TRUE(table.pfnRows == wordbasic::CommandRows || !bMsDoc);
      // MS-DOC's rows: the Fci numbers below 0x049D and the cursor block; the 0x80xx functions
      // come from elsewhere.
      uint16_t w = rows[i].wId;
      EXPECT_TRUE(!bMsDoc || w < 0x049D || (w >= 0x0FA0 && w <= 0x1010) || w >= 0xC000);
      EXPECT_TRUE(!bMsDoc || w < 0x8000 || w >= 0xC000);
    }
  }
  // Spot checks of facts that public descriptions name, each from its source.
  const struct {
    uint16_t wId;
    const char* szName;
  } kKnown[] = {{0x0001, "Help"},       {0x0009, "HelpAbout"},   {0x000C, "ShrinkFont"},
                {0x0050, "FileOpen"},   {0x0054, "FileSaveAs"},  {0x00D7, "ToolsMacro"},
                {0x00DE, "Organizer"},  {0x007A, "EditGoTo"},    {0x80C2, "MacroCopy"},
                {0x80B8, "MacroName$"}, {0x80B7, "CountMacros"}, {0x8025, "FileName$"},
                {0x802B, "MsgBox"},     {0x802D, "Shell"},       {0x80AB, "Kill"},
                {0xC000, "CharLeft"}};
  for (const auto& k : kKnown) EXPECT_STREQ(wordbasic::CommandName(k.wId), k.szName);
  for (uint16_t wId : {0x8053, 0xC004, 0x2B80, 0x049D, 0x1388})
    EXPECT_EQ(wordbasic::CommandName(wId), nullptr);
  EXPECT_STREQ(wordbasic::FieldName(0x0001), "Name");
  EXPECT_STREQ(wordbasic::TokenText(0x54), "EndIf");
  EXPECT_EQ(wordbasic::TokenText(0x64), nullptr);  // the line end is a token of its own
}

}  // namespace
