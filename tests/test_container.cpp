// The container layer: the sniff on bytes made here; then every kind of archive and mail, built by
// tests/container_inputs.py (Python's zipfile, tarfile, email and mailbox; 7z, gcab, zstd and
// genisoimage; Outlook's stores by tests/pstwriter.py), walked with a scan function that reads
// each document back through the path it was given and knows the samples by their bytes; nesting,
// names, encryption, damage, the bombs and the limits, and the memory a walk of the bombs takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cfb.h"
#include "container.h"
#include "docbuilder.h"
#include "docreader.h"
#include "samples.h"
#include "tempdir.h"

#if defined(ZM_TEST_GMIME)
#include <random>

#include "base64.h"
#endif

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using container::Kind;
using container::Limit;
using container::Outcome;
using container::Why;
using Bytes = std::vector<uint8_t>;

Bytes Str(const std::string& s) { return {s.begin(), s.end()}; }

// ---------------------------------------------------------------------------------------------
// The sniff and the names: pure, on every platform
// ---------------------------------------------------------------------------------------------

Bytes TarHeader(const char* szMagic, bool bGoodSum) {
  Bytes b(512, 0);
  std::memcpy(b.data(), "readme.txt", 10);
  std::memcpy(b.data() + 100, "0000644", 7);
  std::memcpy(b.data() + 124, "00000000012", 11);
  std::memcpy(b.data() + 257, szMagic, std::strlen(szMagic));
  std::memset(b.data() + 148, ' ', 8);
  unsigned sum = 0;
  for (uint8_t c : b) sum += c;
  std::snprintf(reinterpret_cast<char*>(b.data()) + 148, 8, "%06o", sum + (bGoodSum ? 0 : 1));
  b[155] = ' ';
  return b;
}

// The head of Outlook's store: "!BDN", the client's mark, the version, the sentinel at its place.
Bytes PstHead(const char* szClient, uint16_t wVer, size_t atSentinel, size_t cb = 564) {
  Bytes b(cb, 0);
  std::memcpy(b.data(), "!BDN", 4);
  std::memcpy(b.data() + 8, szClient, 2);
  b[10] = static_cast<uint8_t>(wVer);
  b[11] = static_cast<uint8_t>(wVer >> 8);
  if (atSentinel < cb) b[atSentinel] = 0x80;
  return b;
}

Bytes IsoHead() {
  Bytes b(0x8006 + 10, 0);
  b[0x8000] = 1;
  std::memcpy(b.data() + 0x8001, "CD001", 5);
  return b;
}

TEST(ContainerSniff, KindsByContent) {
  const struct {
    Bytes head;
    Kind kind;
  } kCases[] = {
      {Str(std::string("PK\x03\x04\x14\x00", 6)), Kind::kZip},
      {Str(std::string("PK\x05\x06", 4) + std::string(18, '\0')), Kind::kZip},
      {Str(std::string("PK\x07\x08PK\x03\x04", 8)), Kind::kZip},
      {Str(std::string("\x1F\x8B\x08\x00", 4)), Kind::kGzip},
      {Str(std::string("BZh91AY&SY", 10)), Kind::kBzip2},
      {Str(std::string("BZh9\x17\x72\x45\x38\x50\x90", 10)), Kind::kBzip2},
      {Str(std::string("BZh0"
                       "1AY&SY",
                       10)),
       Kind::kNone},  // no block size 0
      {Str(std::string("\xFD"
                       "7zXZ\x00\x00",
                       7)),
       Kind::kXz},
      {Str(std::string("\x28\xB5\x2F\xFD\x00", 5)), Kind::kZstd},
      {Str(std::string("7z\xBC\xAF\x27\x1C\x00\x04", 8)), Kind::k7z},
      {Str(std::string("MSCF\0\0\0\0\x10\x00", 10)), Kind::kCab},
      {Str(std::string("MSCF\0\0\0\1", 8)), Kind::kNone},
      {Str(std::string("Rar!\x1A\x07\x00", 7)), Kind::kRar},
      {Str(std::string("Rar!\x1A\x07\x01\x00", 8)), Kind::kRar},
      {Str(std::string("\x78\x9F\x3E\x22\x01\x00", 6)), Kind::kTnef},
      {PstHead("SM", 23, 512), Kind::kPst},        // Unicode
      {PstHead("SM", 14, 460), Kind::kPst},        // ANSI: the sentinel where it keeps it
      {PstHead("SO", 36, 512), Kind::kPst},        // an offline store of 4 KiB pages
      {PstHead("SM", 23, 460), Kind::kNone},       // Unicode with ANSI's sentinel
      {PstHead("SM", 15, 512), Kind::kNone},       // and the other way round
      {PstHead("AB", 23, 512), Kind::kNone},       // an address book: no mail
      {PstHead("SM", 19, 512), Kind::kNone},       // no layout of that version
      {PstHead("SM", 23, 512, 512), Kind::kNone},  // cut before the sentinel
      {Str("!BDNxxxxSM"), Kind::kNone},            // cut before the version
      {TarHeader("ustar", true), Kind::kTar},
      {TarHeader("ustar  ", true), Kind::kTar},
      {TarHeader("", true), Kind::kTar},  // old tar: the checksum alone
      {TarHeader("ustar", false), Kind::kNone},
      {Bytes(512, 0), Kind::kNone},
      {IsoHead(), Kind::kIso9660},
      {Bytes(0x8006, 0), Kind::kNone},
      {Str("From: alice@example.org\r\nTo: bob@example.org\r\nSubject: hi\r\n\r\nbody"),
       Kind::kMail},
      {Str("Received: from x by y\n\tid 1; Mon, 1 Jan 1996\nSubject: hi\n\nbody"), Kind::kMail},
      {Str("MIME-Version: 1.0\nContent-Type: application/msword\n\n0M8R4KGxGuEAAAAA"), Kind::kMail},
      {Str("Subject: one weak field\n\nbody"), Kind::kNone},
      {Str("name: value\ncolour: red\n\n"), Kind::kNone},
      {Str("From: a\nnot a header line\nTo: b\n\n"), Kind::kNone},
      {Str(" From: a\nTo: b\n\n"), Kind::kNone},
      {Str("From alice@example.org Mon Jan  1 00:00:00 1996\nFrom: alice@example.org\n"
           "Subject: hi\n\nbody\n"),
       Kind::kMbox},
      {Str("From here to there\nwe walked.\n"), Kind::kNone},
      // BinHex 4.0: its banner at a line's start, then blank lines up to the ':' of its data.
      {Str("(This file must be converted with BinHex 4.0)\r\n\r\n:$f*TEQKPH#jdCA0d,R0TG!"),
       Kind::kBinhex},
      {Str("Here it is.\n\n(This file must be converted with BinHex 4.0)\n:$f*TEQKP"),
       Kind::kBinhex},
      {Str("(This file must be converted with BinHex 4.0)\nnot data\n:$f*TEQKP"), Kind::kNone},
      {Str("(This file must be converted with BinHex 4.0)\n\n"), Kind::kNone},
      {Str("Quoted: (This file must be converted with BinHex 4.0)\n:$f*TEQKP"), Kind::kNone},
      {Str("From: a\nSubject: b\n\n(This file must be converted with BinHex 4.0)\n:$f*"),
       Kind::kMail},
      {Str("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1PK\x03\x04"), Kind::kNone},  // a document
      {Str("plain text"), Kind::kNone},
      {Bytes(), Kind::kNone},
  };
  size_t i = 0;
  for (const auto& c : kCases) {
    EXPECT_EQ(container::Sniff(c.head.data(), c.head.size()), c.kind)
        << "case " << i << ": kind " << container::KindName(c.kind);
    ++i;
  }
  Bytes iso = IsoHead();
  EXPECT_EQ(container::Sniff(iso.data(), 0x8005), Kind::kNone) << "the mark cut: no ISO image";
  Bytes doc = Str("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
  EXPECT_TRUE(container::IsCompoundFile(doc.data(), doc.size()));
  EXPECT_FALSE(container::IsCompoundFile(doc.data(), 7));
  Bytes eicar = Str("X5O!P%@AP[4\\PZX54(P^)7CC)7}$");
  EXPECT_TRUE(container::MayBeTestFile(eicar.data(), eicar.size()));
  eicar.resize(129, ' ');
  EXPECT_FALSE(container::MayBeTestFile(eicar.data(), eicar.size())) << "longer than it may be";
  EXPECT_FALSE(container::MayBeTestFile(eicar.data(), 8));
}

// A stored zip of one member after prefix (a program, or none): its offsets from the zip's start,
// or (adjusted, as zip -A leaves them) from the file's; the end record's comment, then trailing.
Bytes ZipAfter(const Bytes& prefix, bool bAdjusted, size_t cbComment = 0, size_t cbTrailing = 0) {
  auto le = [](Bytes* p, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p->push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  const std::string sName = "a.doc", sData = "hello";
  const uint64_t base = bAdjusted ? prefix.size() : 0;
  Bytes b = prefix;
  const uint64_t atLocal = b.size() - prefix.size() + base;
  b.insert(b.end(), {'P', 'K', 3, 4});
  le(&b, 10, 2), le(&b, 0, 2), le(&b, 0, 2), le(&b, 0, 4), le(&b, 0, 4);
  le(&b, sData.size(), 4), le(&b, sData.size(), 4), le(&b, sName.size(), 2), le(&b, 0, 2);
  b.insert(b.end(), sName.begin(), sName.end());
  b.insert(b.end(), sData.begin(), sData.end());
  const uint64_t atCentral = b.size() - prefix.size() + base;
  b.insert(b.end(), {'P', 'K', 1, 2});
  le(&b, 10, 2), le(&b, 10, 2), le(&b, 0, 2), le(&b, 0, 2), le(&b, 0, 4), le(&b, 0, 4);
  le(&b, sData.size(), 4), le(&b, sData.size(), 4), le(&b, sName.size(), 2), le(&b, 0, 2);
  le(&b, 0, 2), le(&b, 0, 2), le(&b, 0, 2), le(&b, 0, 4), le(&b, atLocal, 4);
  b.insert(b.end(), sName.begin(), sName.end());
  const uint64_t cbCentral = b.size() - prefix.size() + base - atCentral;
  b.insert(b.end(), {'P', 'K', 5, 6});
  le(&b, 0, 2), le(&b, 0, 2), le(&b, 1, 2), le(&b, 1, 2), le(&b, cbCentral, 4);
  le(&b, atCentral, 4), le(&b, cbComment, 2);
  b.resize(b.size() + cbComment + cbTrailing, 'c');
  return b;
}

// Told by the end: a program (MZ, ELF, "#!") whose end holds a zip's end record, with or without
// its offsets adjusted, a signature after it, the longest comment; never another head, a compound
// file, a program with no zip, a zip library's empty record or a record that lies.
TEST(ContainerSniff, ZipsByTheirEnd) {
  Bytes mz = Str(std::string("MZ\x90\x00", 4));
  mz.resize(30 * 1024, 0x90);
  const Bytes elf =
      Str(std::string("\x7F"
                      "ELF\x02\x01\x01",
                      7));
  const Bytes script = Str("#!/usr/bin/env python3\n");
  const Bytes jpeg = Str(std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10));
  const Bytes doc =
      Str(std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(504, '\0'));
  Bytes lying = ZipAfter(mz, true);
  lying[lying.size() - 3] = 0x7F;  // the directory's offset past the record
  Bytes cut = ZipAfter(mz, false);
  cut[mz.size() + 40] = 'X';  // the directory does not begin with an entry
  Bytes empty = mz;
  const Bytes record = Str(std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  empty.insert(empty.end(), record.begin(), record.end());
  const size_t cbZip = ZipAfter({}, false).size();
  const struct {
    const char* szCase;
    Bytes file;
    Kind kind;
    uint64_t cbPrefix;
    uint64_t cbZip;  // where the zip ends (0: the file's end)
  } kCases[] = {
      {"MZ stub, offsets from the zip", ZipAfter(mz, false), Kind::kZip, mz.size(), 0},
      {"MZ stub, zip -A", ZipAfter(mz, true), Kind::kZip, 0, 0},
      {"ELF", ZipAfter(elf, false), Kind::kZip, elf.size(), 0},
      {"#! script (zipapp)", ZipAfter(script, false), Kind::kZip, script.size(), 0},
      {"a signature after it", ZipAfter(mz, true, 0, 20000), Kind::kZip, 0, mz.size() + cbZip},
      {"the longest comment", ZipAfter(mz, true, 65535), Kind::kZip, 0, 0},
      {"a plain zip", ZipAfter({}, false), Kind::kZip, 0, 0},
      {"the record further back than any comment", ZipAfter(mz, true, 0, 65536), Kind::kNone, 0, 0},
      {"no program: JPEG", ZipAfter(jpeg, false), Kind::kNone, 0, 0},
      {"a compound file", ZipAfter(doc, false), Kind::kNone, 0, 0},
      {"a program alone", mz, Kind::kNone, 0, 0},
      {"an empty zip's record", empty, Kind::kNone, 0, 0},
      {"a directory past its record", lying, Kind::kNone, 0, 0},
      {"no entry where the directory begins", cut, Kind::kNone, 0, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szCase);
    const Bytes& f = c.file;
    const container::ReadAtFunction readAt = [&f](uint64_t at, uint8_t* pb, size_t cb) {
      if (cb > f.size() || at > f.size() - cb) return int64_t{-1};
      std::memcpy(pb, f.data() + at, cb);
      return static_cast<int64_t>(cb);
    };
    const size_t cbHead = f.size() < container::kSniffBytes ? f.size() : container::kSniffBytes;
    EXPECT_EQ(container::SniffFile(f.data(), cbHead, f.size(), readAt), c.kind);
    container::ZipEnd end;
    if (c.kind != Kind::kZip) continue;
    ASSERT_TRUE(container::FindZipEnd(f.size(), readAt, &end));
    EXPECT_EQ(end.cbPrefix, c.cbPrefix);
    EXPECT_EQ(end.nEntries, 1u);
    EXPECT_EQ(end.cbZip, c.cbZip ? c.cbZip : f.size());
  }
}

// The verdict of the whole from its records: a document's virus before any heuristic name, a
// heuristic name before a problem, a problem before OK; SKIPPED documents change nothing.
TEST(ContainerNames, VerdictOfTheRecords) {
  auto rec = [](Why why, Outcome outcome, const char* szText) {
    container::Member m;
    m.why = why;
    m.outcome = outcome;
    (outcome == Outcome::kFound ? m.sVirus : m.sReason) = szText;
    return m;
  };
  const container::Member limit = rec(Why::kLimit, Outcome::kError, "Archive limit exceeded");
  const container::Member alert = rec(Why::kLimit, Outcome::kFound, "Heuristics.Limits.X");
  const container::Member virus = rec(Why::kDocument, Outcome::kFound, "Macro.Word.Wieder");
  const container::Member skipped = rec(Why::kDocument, Outcome::kSkipped, "Encrypted document");
  const container::Member clean = rec(Why::kDocument, Outcome::kOk, "");
  const struct {
    std::vector<container::Member> members;
    Outcome outcome;
    const char* szText;
  } kCases[] = {
      {{}, Outcome::kOk, ""},
      {{clean, skipped}, Outcome::kOk, ""},
      {{clean, limit}, Outcome::kError, "Archive limit exceeded"},
      {{limit, alert}, Outcome::kFound, "Heuristics.Limits.X"},
      {{alert, limit, virus}, Outcome::kFound, "Macro.Word.Wieder"},
  };
  for (const auto& c : kCases) {
    container::Verdict v = container::VerdictOf(c.members);
    EXPECT_EQ(v.outcome, c.outcome) << c.szText;
    EXPECT_EQ(v.outcome == Outcome::kFound ? v.sVirus : v.sReason, c.szText);
  }
}

TEST(ContainerNames, DisplayAndStreamNames) {
  EXPECT_EQ(container::DisplayPath("dir/a.zip", {"b.tar.gz"}, "x.doc"), "dir/a.zip!b.tar.gz!x.doc");
  EXPECT_EQ(container::DisplayPath("a!b.zip", {}, "c!d.doc"), "a\\x21b.zip!c\\x21d.doc");
  EXPECT_EQ(container::DisplayPath("C:\\in\\a.zip", {"x\\y.zip"}, "z.doc"),
            "C:\\in\\a.zip!x\\x5cy.zip!z.doc");
  EXPECT_EQ(container::DisplayPath("a.zip", {}, "../\x01/x.doc"), "a.zip!../\x01/x.doc");

  const struct {
    const char* szStored;
    const char* szContainer;
    const char* szName;
  } kStream[] = {
      {"concept.doc", "x.gz", "concept.doc"},
      {"", "dir/report.doc.gz", "report.doc"},
      {"", "a.TGZ", "a.tar"},
      {"", "C:\\in\\b.doc.bz2", "b.doc"},
      {"", "c.xz", "c"},
      {"", "d.zst", "d"},
      {"", ".gz", "data"},
      {"", "", "data"},
      {"", "noext", "data"},
  };
  for (const auto& c : kStream)
    EXPECT_EQ(container::StreamMemberName(c.szStored, c.szContainer), c.szName) << c.szContainer;

  container::Limits limits;
  EXPECT_EQ(container::LimitReason(Limit::kMaxFiles, limits),
            "Archive limit exceeded: MaxFiles 10000");
  EXPECT_EQ(container::LimitReason(Limit::kMaxScanSize, limits),
            "Archive limit exceeded: MaxScanSize 400M");
  EXPECT_EQ(container::LimitReason(Limit::kMaxRecursion, limits),
            "Archive limit exceeded: MaxRecursion 17");
  limits.cbMaxFileSize = 1536 * 1024;
  EXPECT_EQ(container::LimitValue(Limit::kMaxFileSize, limits), "1536K");
  limits.cbMaxFileSize = 1000;
  EXPECT_EQ(container::LimitValue(Limit::kMaxFileSize, limits), "1000");
  EXPECT_EQ(container::LimitVirusName(Limit::kMaxFileSize),
            "Heuristics.Limits.Exceeded.MaxFileSize");
  EXPECT_EQ(container::EncryptedVirusName(Kind::kZip), "Heuristics.Encrypted.Zip");
  EXPECT_EQ(container::EncryptedVirusName(Kind::kRar), "Heuristics.Encrypted.RAR");
  EXPECT_EQ(container::EncryptedVirusName(Kind::k7z), "Heuristics.Encrypted.7Zip");
}

#if defined(ZM_TEST_GMIME)
// The mail reader's base64 decoder gives GMime's bytes for any characters, in pieces of any size:
// clean lines (its fast path), CRLF, junk between quartets, '=' where it ends the stream or not.
TEST(ContainerBase64, DecodesAsGmimeDoes) {
  g_mime_init();
  std::mt19937 rng(1996);
  const std::string kClean = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string kAny = kClean + "\r\n=*- \t\x80\xFF";
  for (int nCase = 0; nCase < 400; ++nCase) {
    const std::string& sFrom = nCase % 2 ? kClean : kAny;
    std::string s;
    size_t cb = rng() % 3000;
    for (size_t i = 0; i < cb; ++i) {
      s += sFrom[rng() % sFrom.size()];
      if (rng() % 77 == 0) s += nCase % 4 == 1 ? "\r\n" : "\n";
    }
    if (nCase % 8 == 3) s += "==";
    const uint8_t* pIn = reinterpret_cast<const uint8_t*>(s.data());
    std::vector<uint8_t> want(s.size() + 8), got(s.size() + 8);
    int state = 0;
    guint32 save = 0;
    want.resize(g_mime_encoding_base64_decode_step(pIn, s.size(), want.data(), &state, &save));
    container::detail::Base64Decoder decoder;
    size_t cbGot = 0;
    for (size_t at = 0; at < s.size();) {
      size_t n = std::min<size_t>(s.size() - at, 1 + rng() % 300);
      cbGot += decoder.Step(pIn + at, n, got.data() + cbGot);
      at += n;
    }
    got.resize(cbGot);
    ASSERT_EQ(got, want) << "case " << nCase << ": " << s.substr(0, 200);
  }
}
#endif

// ---------------------------------------------------------------------------------------------
// Compound files: the reader and the storage walk on files the document builder lays out, and
// the writer's files read back by the library's reader and by the walk's own. Pure: every build.
// ---------------------------------------------------------------------------------------------

container::ReadAtFunction ReadOf(const Bytes& file) {
  return [&file](uint64_t at, uint8_t* pb, size_t cb) -> int64_t {
    if (at >= file.size()) return 0;
    const size_t n = std::min<size_t>(cb, file.size() - static_cast<size_t>(at));
    std::memcpy(pb, file.data() + at, n);
    return static_cast<int64_t>(n);
  };
}

Bytes StreamOf(container::cfb::File* pFile, uint32_t iEntry, uint64_t lSkip = 0) {
  container::cfb::File::Stream s(pFile, iEntry);
  Bytes out;
  if (!s.Skip(lSkip)) return out;
  uint8_t ab[777];  // reads that cross (mini-)sectors
  for (ptrdiff_t n; (n = s.Read(ab, sizeof ab)) > 0;) out.insert(out.end(), ab, ab + n);
  return out;
}

// What a walk met, one line an object: type, name, and for a file its bytes' size.
class Met : public container::cfb::Visitor {
 public:
  explicit Met(container::cfb::File* pFile) : m_pFile(pFile) {}
  void Meet(const container::cfb::Object& o) override {
    static const char* const kTypes[] = {"document", "payload", "message"};
    std::string s = std::string(kTypes[static_cast<int>(o.type)]) + " " + o.sName;
    if (o.type == container::cfb::Object::Type::kPayload) {
      s += " " + std::to_string(StreamOf(m_pFile, o.iEntry, o.lOffset).size() >= o.cb ? o.cb : 0);
    }
    lines.push_back(s);
  }
  void Problem(const std::string& sReason) override { lines.push_back("problem " + sReason); }
  std::vector<std::string> lines;

 private:
  container::cfb::File* m_pFile;
};

zmdoc::EntrySpec Entry(const char16_t* szName, uint8_t type, int index, int parent,
                       Bytes data = {}) {
  zmdoc::EntrySpec e;
  e.name = szName;
  e.type = type;
  e.index = index;
  e.parent = parent;
  e.data = std::move(data);
  return e;
}

TEST(CompoundFile, TheWalkMeetsWhatStoragesHold) {
  zmdoc::DocSpec word6;
  word6.macros.push_back(zmdoc::MacroCarrying({1, 2, 3}, 0x21, "AutoOpen"));
  zmdoc::DocSpec word97 = word6;
  word97.word97 = true;
  const Bytes wd6 = zmdoc::WordDocumentEntry(word6).data,
              wd97 = zmdoc::WordDocumentEntry(word97).data;
  Bytes package = {0, 0, 0, 0, 2, 0};  // the size patched below
  for (const char* sz : {"report.doc", "C:\\report.doc"})
    package.insert(package.end(), sz, sz + std::strlen(sz) + 1);
  package.insert(package.end(),
                 {0, 0, 3, 0, 2, 0, 0, 0, 'x', 0, 5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'});
  package[0] = static_cast<uint8_t>(package.size() - 4);
  const Bytes name = {'a', 0, '.', 0, 'z', 0, 'i', 0, 'p', 0, 0, 0};
  const struct {
    const char* szWhat;
    std::vector<zmdoc::EntrySpec> entries;
    bool bRoot;  // a WordDocument stream of its own at the root
    std::vector<std::string> met;
  } kCases[] = {
      {"a plain document", {}, true, {}},
      {"a Word 6 object, then a Word 97 one (not met, walked as a storage)",
       {Entry(u"ObjectPool", 1, 1, 0), Entry(u"_1", 1, 2, 1), Entry(u"WordDocument", 2, 3, 2, wd6),
        Entry(u"_2", 1, 4, 1), Entry(u"WordDocument", 2, 5, 4, wd97)},
       true,
       {"document ObjectPool/_1"}},
      {"a package in an object",
       {Entry(u"ObjectPool", 1, 1, 0), Entry(u"_9", 1, 2, 1),
        Entry(u"\x01Ole10Native", 2, 3, 2, package)},
       true,
       {"payload ObjectPool/_9/report.doc 5"}},
      {"a mail's attachments: data, an attached mail, an object",
       {Entry(u"__attach_version1.0_#00000000", 1, 1, 0),
        Entry(u"__substg1.0_3707001F", 2, 2, 1, name),
        Entry(u"__substg1.0_37010102", 2, 3, 1, Bytes(5000, 7)),
        Entry(u"__attach_version1.0_#00000001", 1, 4, 0), Entry(u"__substg1.0_3701000D", 1, 5, 4),
        Entry(u"__properties_version1.0", 2, 6, 5, Bytes(32, 0)),
        Entry(u"__attach_version1.0_#00000002", 1, 7, 0), Entry(u"__substg1.0_3701000D", 1, 8, 7),
        Entry(u"WordDocument", 2, 9, 8, wd6)},
       false,
       {"payload a.zip 5000", "message __attach_version1.0_#00000001",
        "document __attach_version1.0_#00000002"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    zmdoc::DocSpec spec = word6;
    if (!c.bRoot) spec.streamName.clear();
    spec.wordDocIndex = 10;
    spec.extraEntries = c.entries;
    Bytes file = zmdoc::BuildWord6(spec);
    ASSERT_FALSE(file.empty());
    container::cfb::File f;
    ASSERT_TRUE(f.Open(ReadOf(file), file.size())) << f.Error();
    Met met(&f);
    container::cfb::WalkLevel(&f, 0, &met);
    EXPECT_EQ(met.lines, c.met);
    EXPECT_EQ(container::CompoundHoldsObjects(ReadOf(file), file.size()), !c.met.empty());
  }
  // Damage: a tree that loops is a problem; a directory chain that loops or leaves the file, and a
  // cut header, fail the open; a file that is no compound file holds nothing.
  zmdoc::DocSpec spec = word6;
  spec.wordDocIndex = 4;
  spec.extraEntries = zmdoc::ObjectPoolEntries(1, {zmdoc::WordDocumentEntry(word6)});
  zmdoc::BuildInfo info;
  const Bytes file = zmdoc::BuildWord6(spec, &info);
  const size_t lDir = (info.dirStart + 1) * 512;
  auto patched = [&](size_t at, uint32_t l) {
    Bytes b = file;
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(l >> 8 * k);
    return b;
  };
  Bytes loop = patched(lDir + 2 * 128 + 0x4C, 1);  // _1234's child: ObjectPool
  container::cfb::File f;
  ASSERT_TRUE(f.Open(ReadOf(loop), loop.size()));
  Met met(&f);
  container::cfb::WalkLevel(&f, 0, &met);
  EXPECT_EQ(met.lines.back(), "problem its directory's tree loops or leaves the directory");
  const size_t lFat = 512;  // the first FAT sector is sector 0
  // A FAT whose sector is the free marker, which once matched the empty cache's number.
  for (const Bytes& bad :
       {patched(lFat + 4 * info.dirStart, info.dirStart), patched(0x30, 0x7FFFFFF0u),
        patched(0x4C, 0xFFFFFFFFu), Bytes(file.begin(), file.begin() + 300)}) {
    container::cfb::File g;
    EXPECT_FALSE(g.Open(ReadOf(bad), bad.size()));
    EXPECT_TRUE(container::CompoundHoldsObjects(ReadOf(bad), bad.size()));
  }
  const Bytes text(4096, 'x');
  EXPECT_FALSE(container::CompoundHoldsObjects(ReadOf(text), text.size()));
}

// The writer's file, around any size of stream: the library's reader opens it and reads the
// stream back (mini-stream below 4096 bytes, regular sectors from there, the DIFAT past 109 FAT
// sectors, which only the walk's reader follows), as does the walk's own reader.
TEST(CompoundFile, TheWriterLaysOutWhatTheLibraryReads) {
  TempDir dir;
  for (uint64_t cb : {1ull, 600ull, 4095ull, 4096ull, 70000ull, 8ull << 20}) {
    SCOPED_TRACE(cb);
    Bytes stream(static_cast<size_t>(cb));
    for (size_t i = 0; i < stream.size(); ++i)
      stream[i] = zmdoc::PatternByte(static_cast<uint32_t>(i));
    container::cfb::Frame frame = container::cfb::FrameFor(cb);
    Bytes file(static_cast<size_t>(frame.lTailAt + frame.tail.size()));
    std::copy(frame.header.begin(), frame.header.end(), file.begin());
    std::copy(stream.begin(), stream.end(), file.begin() + container::cfb::kFrameDataAt);
    std::copy(frame.tail.begin(), frame.tail.end(),
              file.begin() + static_cast<ptrdiff_t>(frame.lTailAt));
    container::cfb::File f;
    ASSERT_TRUE(f.Open(ReadOf(file), file.size())) << f.Error();
    ASSERT_GE(f.Entries().size(), 2u);
    EXPECT_EQ(f.Entries()[1].sName, "WordDocument");
    EXPECT_EQ(StreamOf(&f, 1), stream);
    if (cb > 7000000) continue;  // past the header's FAT list: beyond the library's reader
    const std::string sPath = dir.Write("w.doc", std::string(file.begin(), file.end()));
    int32_t iWhy = 0;
    DocReader* p = DOC_pOpenDocument(sPath.c_str(), &iWhy);
    // The library refuses a FIB whose table position is past its limit, not the layout.
    ASSERT_TRUE(p != nullptr || iWhy == DOC_WHY_FIB) << iWhy;
    if (p == nullptr) continue;
    EXPECT_EQ(p->lStreamSize, cb);
    EXPECT_EQ(p->bInMiniStream != 0, cb < 4096);
    Bytes back;
    for (uint32_t at = 0; at < cb; at += 1024) {
      const int32_t n = static_cast<int32_t>(std::min<uint64_t>(1024, cb - at));
      ASSERT_TRUE(DOC_iReadAt(p, at, n)) << at;
      back.insert(back.end(), p->abImage, p->abImage + n);
    }
    EXPECT_EQ(back, stream);
    DOC_CloseDocument(p);
  }
}

// ---------------------------------------------------------------------------------------------
// Walks of the inputs
// ---------------------------------------------------------------------------------------------

Bytes ReadAll(const std::string& sPath) {
  std::ifstream in(sPath, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Inputs {
 public:
  Inputs() {
    for (const zmdoc::SampleDocument& d : zmdoc::SampleDocuments()) {
      m_samples.Write(d.name, std::string(d.bytes.begin(), d.bytes.end()));
      m_verdicts[d.bytes] = VerdictOf(d.name);
    }
    // The EICAR test file, in two halves as the scanner keeps it.
    m_verdicts[Str(std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") +
                   "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*")] = {Outcome::kFound,
                                                                   "Eicar-Test-Signature", ""};
    if (!container::Supported(Kind::kZip)) return;
    std::string sCmd = "/usr/bin/python3 " ZM_SOURCE_DIR "/tests/container_inputs.py " +
                       m_samples.Root() + " " + m_out.Root() + " > " + m_out.Path("missing.txt");
    m_bMade = std::system(sCmd.c_str()) == 0;
    std::ifstream in(m_out.Path("missing.txt"));
    for (std::string s; std::getline(in, s);)
      if (s.rfind("missing ", 0) == 0) m_missing.insert(s.substr(8));
  }
  static container::Verdict VerdictOf(const std::string& sSample) {
    static const std::map<std::string, container::Verdict> kKnown = {
        {"03-concept-names.doc", {Outcome::kFound, "Macro.Word.Concept.a", ""}},
        {"04-wieder-confirmed.doc", {Outcome::kFound, "Macro.Word.Wieder", ""}},
        {"07-numbered-macros.doc", {Outcome::kFound, "Macro.Word.Outlaw", ""}},
        {"08-truncated.doc", {Outcome::kError, "", "Truncated document"}},
        {"09-word97.doc", {Outcome::kSkipped, "", "Not a Word 6/95 document"}},
    };
    auto it = kKnown.find(sSample);
    return it == kKnown.end() ? container::Verdict{} : it->second;
  }
  // The scan function: the document read back through its path must be a sample, whole.
  container::Verdict Judge(const container::MemberFile& f) {
    Bytes b = ReadAll(f.sPath);
    ++m_nJudged;
    if (b.size() != f.cb) return {Outcome::kError, "", "size differs from the path's"};
    auto it = m_verdicts.find(b);
    if (it == m_verdicts.end()) return {Outcome::kError, "", "bytes of no sample"};
    return it->second;
  }
  bool Made() const { return m_bMade; }
  bool Missing(const std::string& s) const { return m_missing.count(s) != 0; }
  std::string Path(const std::string& s) const { return m_out.Path(s); }
  int m_nJudged = 0;

 private:
  TempDir m_samples, m_out;
  std::map<Bytes, container::Verdict> m_verdicts;
  std::set<std::string> m_missing;
  bool m_bMade = false;
};

Inputs* g_pInputs = nullptr;

class ContainerWalk : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!g_pInputs) g_pInputs = new Inputs;
  }
  void SetUp() override {
    if (!container::Supported(Kind::kZip)) GTEST_SKIP() << "no container support in this build";
    ASSERT_TRUE(g_pInputs->Made()) << "tests/container_inputs.py failed";
  }

  static container::Result Walk(const std::string& sName, const container::Options& options = {},
                                Kind* pKind = nullptr) {
    std::string sPath = g_pInputs->Path(sName);
    std::FILE* f = std::fopen(sPath.c_str(), "rb");
    EXPECT_NE(f, nullptr) << sPath;
    if (!f) return {};
    Bytes head(container::kSniffBytes);
    head.resize(std::fread(head.data(), 1, head.size(), f));
    uint64_t cb = std::filesystem::file_size(sPath);
    Kind kind =
        container::SniffFile(head.data(), head.size(), cb, [f](uint64_t at, uint8_t* pb, size_t n) {
          if (std::fseek(f, static_cast<long>(at), SEEK_SET) != 0) return int64_t{-1};
          return static_cast<int64_t>(std::fread(pb, 1, n, f));
        });
    if (pKind) *pKind = kind;
    container::Result r =
        container::Scan(fileno(f), cb, kind, sName, options,
                        [](const container::MemberFile& m) { return g_pInputs->Judge(m); });
    std::fclose(f);
    return r;
  }
};

std::string Describe(const container::Result& r) {
  std::string s = "verdict " + std::to_string(static_cast<int>(r.verdict.outcome)) + " '" +
                  r.verdict.sVirus + r.verdict.sReason + "'; members looked at " +
                  std::to_string(r.nMembers) + ":";
  for (const container::Member& m : r.members)
    s += "\n  " + container::DisplayPath("F", m.chain, m.sName) + ": " +
         std::to_string(static_cast<int>(m.outcome)) + " " + m.sVirus + m.sReason;
  return s;
}

// Each kind with the infected sample inside is FOUND, and the one with a clean sample is OK; the
// document's record names it as its container gives it.
TEST_F(ContainerWalk, EveryKindFoundAndClean) {
  const struct {
    const char* szStem;
    Kind kind;
    const char* szDoc;  // the document's display path below the file "F"
    uint64_t nMembers;
  } kCases[] = {
      {"%s.zip", Kind::kZip, "F!letters/concept.doc", 2},
      {"%s-zip64.zip", Kind::kZip, "F!letters/concept.doc", 2},
      {"%s-ustar.tar", Kind::kTar, "F!letters/concept.doc", 2},
      {"%s-pax.tar", Kind::kTar, "F!letters/concept.doc", 2},
      {"%s-gnu.tar", Kind::kTar,
       "F!d/long-name-long-name-long-name-long-name-long-name-long-name-long-name-long-name-long-"
       "name-long-name-long-name-long-name-.doc",
       1},
      {"%s.tar.gz", Kind::kGzip, "F!letters/concept.doc", 2},
      {"%s.tar.bz2", Kind::kBzip2, "F!letters/concept.doc", 2},
      {"%s.tar.xz", Kind::kXz, "F!letters/concept.doc", 2},
      {"%s.tar.zst", Kind::kZstd, "F!letters/concept.doc", 2},
      {"%s.doc.gz", Kind::kGzip, "F!concept.doc", 1},
      {"%s-noname.doc.gz", Kind::kGzip, "F!%s-noname.doc", 1},
      {"%s.doc.bz2", Kind::kBzip2, "F!%s.doc", 1},
      {"%s.doc.xz", Kind::kXz, "F!%s.doc", 1},
      {"%s.doc.zst", Kind::kZstd, "F!%s.doc", 1},
      {"%s.7z", Kind::k7z, "F!concept.doc", 2},
      {"%s.cab", Kind::kCab, "F!concept.doc", 2},
      {"%s.iso", Kind::kIso9660, "F!concept.doc", 2},
      {"%s-base64.eml", Kind::kMail, "F!concept.doc", 2},
      {"%s-qp.eml", Kind::kMail, "F!concept.doc", 2},
      {"%s-uuencode.eml", Kind::kMail, "F!concept.doc", 2},
      {"%s-inline-uu.eml", Kind::kMail, "F!concept.doc", 2},
      {"%s-rfc822.eml", Kind::kMail, "F!forwarded.eml!concept.doc", 4},
      {"%s.mbox", Kind::kMbox, "F!message-2!concept.doc", 7},
      {"%s.tnef", Kind::kTnef, "F!concept.doc", 2},
      {"%s-tnef.eml", Kind::kMail, "F!winmail.dat!concept.doc", 3},
      // BinHex (the resource fork a member too), yEnc parts and blocks in a text.
      {"%s.hqx", Kind::kBinhex, "F!concept.doc", 2},
      {"%s-binhex.eml", Kind::kMail, "F!concept.hqx!concept.doc", 3},
      {"%s-yenc.eml", Kind::kMail, "F!concept.doc", 2},
      {"%s-inline-yenc.eml", Kind::kMail, "F!concept.doc", 3},
      // Messages after the closing delimiter, in a plain-text body, and an mbox without its
      // first "From " line (as rspamd hands it on): the messages found are message-N.
      {"%s-epilogue.eml", Kind::kMail, "F!message-1!concept.doc", 5},
      {"%s-text-message.eml", Kind::kMail, "F!message-1!concept.doc", 4},
      {"%s-rspamd.eml", Kind::kMail, "F!message-1!concept.doc", 6},
      // An mbox's "From " lines that are not separators: inside an open multipart (its text
      // then holds a message of its own), and before the end a Content-Length gives.
      {"%s-mboxo-from.mbox", Kind::kMbox, "F!message-2!concept.doc", 9},
      {"%s-mboxcl2.mbox", Kind::kMbox, "F!message-2!concept.zip!concept.doc", 8},
      // Outlook's stores: the folder, the message and its two attachments counted.
      {"%s.pst", Kind::kPst, "F!Inbox/message-1!minutes.doc", 4},
      {"%s.ost", Kind::kPst, "F!Inbox/message-1!minutes.doc", 4},
      {"%s-permute.pst", Kind::kPst, "F!Inbox/message-1!minutes.doc", 5},
      {"%s-pst.zip", Kind::kZip, "F!mail.pst!Inbox/message-1!minutes.doc", 5},
  };
  for (const auto& c : kCases) {
    for (const char* szTag : {"infected", "clean"}) {
      char achName[96], achDoc[256];
      std::snprintf(achName, sizeof achName, c.szStem, szTag);
      std::snprintf(achDoc, sizeof achDoc, c.szDoc, szTag);
      if (g_pInputs->Missing(achName)) {
        std::printf("skipped %s: the tool that makes it is missing\n", achName);
        continue;
      }
      Kind kind = Kind::kNone;
      container::Result r = Walk(achName, {}, &kind);
      SCOPED_TRACE(std::string(achName) + ": " + Describe(r));
      EXPECT_EQ(kind, c.kind);
      bool bInfected = szTag[0] == 'i';
      EXPECT_EQ(r.verdict.outcome, bInfected ? Outcome::kFound : Outcome::kOk);
      EXPECT_EQ(r.verdict.sVirus, bInfected ? "Macro.Word.Concept.a" : "");
      EXPECT_EQ(r.nMembers, c.nMembers);
      EXPECT_EQ(r.nDocuments, 1u);
      ASSERT_EQ(r.members.size(), 1u);
      EXPECT_EQ(container::DisplayPath("F", r.members[0].chain, r.members[0].sName), achDoc);
      EXPECT_EQ(r.members[0].why, Why::kDocument);
    }
  }
}

// Where documents lie and what they are called: mail parts deep in multiparts, names from
// filename*= and name=, part-N without a name; five containers deep; names that are paths,
// hold control characters or '!'; all found, none written anywhere under its name.
TEST_F(ContainerWalk, PlacesAndNames) {
  const struct {
    const char* szFile;
    std::vector<std::string> docs;  // display paths below "F", in order
    const char* szVirus;
  } kCases[] = {
      {"nested-multipart.eml", {"F!deep.doc"}, "Macro.Word.Concept.a"},
      {"rfc2231.eml", {"F!\xE2\x82\xAC-r\xC3\xA9sum\xC3\xA9\\x21.doc"}, "Macro.Word.Concept.a"},
      {"name-only.eml", {"F!by-name.doc"}, "Macro.Word.Concept.a"},
      {"no-name.eml", {"F!part-2"}, "Macro.Word.Wieder"},
      {"nest5.zip", {"F!n1.tar.gz!n2.7z!n3.eml!n4.zip!x.doc"}, "Macro.Word.Concept.a"},
      {"recursion-5.zip", {"F!r01.zip!r02.zip!r03.zip!r04.zip!r05.doc"}, "Macro.Word.Concept.a"},
      {"names.zip",
       {"F!../../up.doc", "F!/abs/path.doc", "F!ctl\x01\x1b[31m.doc", "F!bang\\x21name.doc"},
       "Macro.Word.Concept.a"},
      {"names.tar",
       {"F!../../up.doc", "F!/abs/path.doc", "F!ctl\x01\x1b[31m.doc", "F!bang\\x21name.doc"},
       "Macro.Word.Concept.a"},
      {"utf8-names.zip", {"F!r\xC3\xA9sum\xC3\xA9.doc"}, "Macro.Word.Concept.a"},
      {"eicar.zip", {"F!eicar.com"}, "Eicar-Test-Signature"},
      {"latin1-names.tar", {"F!r\xE9sum\xE9.doc"}, "Macro.Word.Concept.a"},
      // mbox splitting at its edges: a Content-Length that ends inside an open multipart is not
      // followed, nor one that is wrong; a multipart that never closes ends at the next message.
      {"cl-inside-multipart.mbox", {"F!message-1!concept.doc"}, "Macro.Word.Concept.a"},
      {"lying-cl.mbox", {"F!message-3!concept.doc"}, "Macro.Word.Concept.a"},
      {"unclosed-multipart.mbox", {"F!message-2!concept.doc"}, "Macro.Word.Concept.a"},
      {"unclosed-many.mbox", {"F!message-60!concept.doc"}, "Macro.Word.Concept.a"},
      {"mboxcl2-binary.mbox", {"F!message-1!concept.doc"}, "Macro.Word.Concept.a"},
      // A data fork whose CRC does not hold: judged all the same (and the damage recorded);
      // BinHex on one line of any length.
      {"binhex-badcrc.hqx", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      {"binhex-one-line.hqx", {"F!one-line.doc"}, "Macro.Word.Concept.a"},
      // Self-extracting: a program with a zip after it, alone or a member.
      {"sfx.exe", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      {"sfx-adjusted.exe", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      {"sfx-elf.bin", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      {"sfx-script.pyz", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      {"sfx-signed.exe", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      {"sfx-in.zip", {"F!setup.exe!concept.doc"}, "Macro.Word.Concept.a"},
      {"sfx-in.tar", {"F!setup.exe!concept.doc"}, "Macro.Word.Concept.a"},
      // Left out of the central directory, found by the local headers.
      {"hidden-first.zip", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      {"hidden-middle.zip", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      {"hidden-last.zip", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      {"hidden-descriptor.zip", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      {"hidden-two.zip", {"F!a.doc", "F!b.doc"}, "Macro.Word.Wieder"},
      {"hidden-sfx.exe", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      // MaxFiles as clamd counts: 10,000 parts of 3 bytes are none; one zip's entries past
      // MaxFiles end that zip, not its parent.
      {"attachments-10000-tiny.eml", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      {"zip-10001-then-doc.zip", {"F!concept.doc"}, "Macro.Word.Concept.a"},
      // A store's folders by name (the top of its folders nameless, as Outlook shows it), its
      // messages by number, attachments by long name, else short, else attachment-N; what
      // lies outside its folders as orphan-N.
      {"places.pst",
       {"F!Inbox/Archive/message-1!OLD.DOC", "F!Inbox/folder-1/message-1!nameless.doc",
        "F!Inbox/message-1!minutes.doc", "F!Inbox/message-1!attachment-3!inner.doc",
        "F!Inbox/message-1!docs.zip!zipped.doc", "F!Inbox/message-1!r\xC3\xA9sum\xC3\xA9\\x21.doc",
        "F!Inbox/message-2!unlisted.doc", "F!orphan-1!parentless.doc", "F!orphan-2!orphan.doc"},
       "Macro.Word.Concept.a"},
  };
  for (const auto& c : kCases) {
    if (g_pInputs->Missing(c.szFile)) continue;
    container::Result r = Walk(c.szFile);
    SCOPED_TRACE(std::string(c.szFile) + ": " + Describe(r));
    EXPECT_EQ(r.verdict.outcome, Outcome::kFound);
    EXPECT_EQ(r.verdict.sVirus, c.szVirus);
    std::vector<std::string> docs;
    for (const container::Member& m : r.members)
      if (m.why == Why::kDocument) docs.push_back(container::DisplayPath("F", m.chain, m.sName));
    EXPECT_EQ(docs, c.docs);
  }
  // Every document of names.zip judged, each by its own verdict; no file appeared under a name.
  container::Result r = Walk("names.zip");
  ASSERT_EQ(r.members.size(), 4u);
  EXPECT_EQ(r.members[1].sVirus, "Macro.Word.Wieder");
  EXPECT_EQ(r.members[2].sVirus, "Macro.Word.Outlaw");
  EXPECT_EQ(r.members[3].outcome, Outcome::kOk);
  EXPECT_FALSE(std::filesystem::exists("/abs/path.doc"));
  EXPECT_FALSE(std::filesystem::exists(g_pInputs->Path("../../up.doc")));
}

// Encrypted members, damaged and truncated archives, and the bombs: never OK, what could be read
// judged, every limit named (or, asked for, its heuristic name).
TEST_F(ContainerWalk, NeverOkForWhatWasNotRead) {
  container::Options alert;
  alert.bAlertEncrypted = true;
  alert.bAlertExceedsMax = true;
  container::Options tight;
  tight.limits.nMaxFiles = 3;
  container::Options hundred;
  hundred.limits.nMaxFiles = 100;
  container::Options shallow;
  shallow.limits.nMaxRecursion = 2;
  container::Options unlimited;
  unlimited.limits = {0, 0, 0, 0};
  unlimited.limits.cbMaxScanSize = 64ull << 20;  // the 10 GiB member: stopped here, not by size
  const struct {
    const char* szFile;
    container::Options options;
    Outcome outcome;
    const char* szText;  // the virus, or the start of the reason
    Limit limit;
  } kCases[] = {
      {"encrypted.zip", {}, Outcome::kError, "Encrypted archive member", Limit::kNone},
      {"encrypted.zip", alert, Outcome::kFound, "Heuristics.Encrypted.Zip", Limit::kNone},
      {"encrypted-aes.zip", {}, Outcome::kError, "Encrypted archive member", Limit::kNone},
      {"encrypted.7z", {}, Outcome::kError, "Encrypted archive member", Limit::kNone},
      {"encrypted.7z", alert, Outcome::kFound, "Heuristics.Encrypted.7Zip", Limit::kNone},
      {"encrypted-headers.7z", {}, Outcome::kError, "Encrypted archive member", Limit::kNone},
      {"truncated.zip", {}, Outcome::kFound, "Macro.Word.Concept.a", Limit::kNone},
      {"truncated-early.zip", {}, Outcome::kError, "Damaged zip: ", Limit::kNone},
      {"truncated.tar.gz", {}, Outcome::kFound, "Macro.Word.Concept.a", Limit::kNone},
      {"truncated.7z", {}, Outcome::kError, "Damaged 7z: ", Limit::kNone},
      {"damaged.zip", {}, Outcome::kError, "Damaged zip: ", Limit::kNone},
      {"zeros-10g.zip",
       {},
       Outcome::kError,
       "Archive limit exceeded: MaxFileSize 100M",
       Limit::kMaxFileSize},
      {"zeros-10g.zip", alert, Outcome::kFound, "Heuristics.Limits.Exceeded.MaxFileSize",
       Limit::kMaxFileSize},
      {"zeros-10g.zip", unlimited, Outcome::kError, "Archive limit exceeded: MaxScanSize 64M",
       Limit::kMaxScanSize},
      {"zeros-10g.gz",
       {},
       Outcome::kError,
       "Archive limit exceeded: MaxFileSize 100M",
       Limit::kMaxFileSize},
      {"many.zip", {}, Outcome::kError, "Archive limit exceeded: MaxFiles 10000", Limit::kMaxFiles},
      {"many.zip", alert, Outcome::kFound, "Heuristics.Limits.Exceeded.MaxFiles", Limit::kMaxFiles},
      // clamd's count stops before the document too: the file, the text, 9,998 attachments.
      {"attachments-10000.eml",
       {},
       Outcome::kError,
       "Archive limit exceeded: MaxFiles 10000",
       Limit::kMaxFiles},
      {"zip-10001.zip",
       {},
       Outcome::kError,
       "Archive limit exceeded: MaxFiles 10000",
       Limit::kMaxFiles},
      // Parts too small to count, but more than 64 times MaxFiles of them.
      {"attachments-10000-tiny.eml", hundred, Outcome::kError,
       "Archive limit exceeded: MaxFiles 100", Limit::kMaxFiles},
      {"infected.zip", tight, Outcome::kFound, "Macro.Word.Concept.a", Limit::kNone},
      {"recursion-20.zip",
       {},
       Outcome::kError,
       "Archive limit exceeded: MaxRecursion 17",
       Limit::kMaxRecursion},
      // The zip that contains itself: stopped at MaxRecursion, and at the layer's own bound
      // when MaxRecursion sets none.
      {"self.zip",
       {},
       Outcome::kError,
       "Archive limit exceeded: MaxRecursion 17",
       Limit::kMaxRecursion},
      {"self.zip", unlimited, Outcome::kError, "Archive limit exceeded: MaxRecursion 64",
       Limit::kMaxRecursion},
      {"self.zip", alert, Outcome::kFound, "Heuristics.Limits.Exceeded.MaxRecursion",
       Limit::kMaxRecursion},
      // Checksums that do not hold, a BinHex cut short, more part delimiters than MaxFiles allows.
      {"binhex-badcrc.hqx", {}, Outcome::kFound, "Macro.Word.Concept.a", Limit::kNone},
      {"binhex-badcrc-clean.hqx",
       {},
       Outcome::kError,
       "Damaged binhex: the data fork's CRC does not match",
       Limit::kNone},
      {"binhex-truncated.hqx",
       {},
       Outcome::kError,
       "Damaged binhex: the data fork ends early",
       Limit::kNone},
      {"yenc-badcrc.eml",
       {},
       Outcome::kError,
       "Damaged mail: a yEnc block's CRC-32 does not match",
       Limit::kNone},
      {"delimiters.eml",
       {},
       Outcome::kError,
       "Archive limit exceeded: MaxFiles 10000",
       Limit::kMaxFiles},
      // Outlook's stores: damage, loops, a declared size that is not there, and the limits
      // (a message is a level, an attached message one more).
      {"truncated.pst",
       {},
       Outcome::kError,
       "Damaged pst: a B-tree page lies past the end",
       Limit::kNone},
      {"header-crc.pst",
       {},
       Outcome::kError,
       "Damaged pst: mismatch in file header checksum",
       Limit::kNone},
      {"loop.pst",
       {},
       Outcome::kError,
       "Damaged pst: a B-tree page stands at the wrong level",
       Limit::kNone},
      {"shared.pst",
       {},
       Outcome::kError,
       "Damaged pst: a B-tree leads to more pages than",
       Limit::kNone},
      {"array-loop.pst",
       {},
       Outcome::kError,
       "Damaged pst: a block tree leads to a block",
       Limit::kNone},
      {"huge.pst",
       {},
       Outcome::kError,
       "Damaged pst: the data of an attachment of 20000 bytes cannot be read",
       Limit::kNone},
      {"places.pst", shallow, Outcome::kFound, "Macro.Word.Concept.a", Limit::kMaxRecursion},
      {"places.pst", tight, Outcome::kError, "Archive limit exceeded: MaxFiles 3",
       Limit::kMaxFiles},
  };
  for (const auto& c : kCases) {
    if (g_pInputs->Missing(c.szFile)) continue;
    container::Result r = Walk(c.szFile, c.options);
    SCOPED_TRACE(std::string(c.szFile) + ": " + Describe(r));
    EXPECT_EQ(r.verdict.outcome, c.outcome);
    const std::string& sText = c.outcome == Outcome::kFound ? r.verdict.sVirus : r.verdict.sReason;
    EXPECT_EQ(sText.substr(0, std::strlen(c.szText)), c.szText);
    EXPECT_EQ(r.firstLimit, c.limit);
  }
  // The 10 GiB member through gzip has no size to check first: read to MaxFileSize, then passed
  // over within MaxScanSize, and both said.
  container::Result r = Walk("zeros-10g.gz");
  ASSERT_EQ(r.members.size(), 2u) << Describe(r);
  EXPECT_EQ(r.members[0].limit, Limit::kMaxFileSize);
  EXPECT_EQ(r.members[1].limit, Limit::kMaxScanSize);
  EXPECT_LE(r.cbRead, (400ull << 20) + 65536);
  // MaxFiles: the member one too many is named, and nothing after it is looked at.
  r = Walk("many.zip");
  EXPECT_EQ(r.nMembers, 10000u);
  ASSERT_EQ(r.members.size(), 1u);
  EXPECT_EQ(r.members[0].sName, "f010000.txt");
}

// Damage seen once a member was read whole (a CRC) is a record of its own beside the document's
// verdict; texts that merely quote headers hold no message, and a digest's messages lie side by
// side, never one inside another (MaxRecursion), each counted.
TEST_F(ContainerWalk, ChecksumsAndQuotedHeaders) {
  container::Result r = Walk("binhex-badcrc.hqx");
  ASSERT_EQ(r.members.size(), 2u) << Describe(r);
  EXPECT_EQ(r.members[0].why, Why::kDocument);
  EXPECT_EQ(r.members[1].why, Why::kDamaged);
  EXPECT_EQ(r.members[1].sName, "concept.doc");
  r = Walk("yenc-badcrc.eml");
  ASSERT_EQ(r.members.size(), 2u) << Describe(r);
  EXPECT_EQ(r.members[0].outcome, Outcome::kOk);
  EXPECT_EQ(r.members[1].why, Why::kDamaged);

  r = Walk("quoted-headers.eml");
  EXPECT_EQ(r.verdict.outcome, Outcome::kOk) << Describe(r);
  EXPECT_EQ(r.nMembers, 1u);
  r = Walk("digest.eml");
  EXPECT_EQ(r.verdict.outcome, Outcome::kOk) << Describe(r);
  EXPECT_EQ(r.nMembers, 1u + 300 * 2);
  EXPECT_TRUE(r.members.empty());
}

// Programs are opened as zips only where their end holds one; others stay what they were.
TEST_F(ContainerWalk, ProgramsWithoutAZip) {
  const struct {
    const char* szFile;
    Kind kind;
  } kCases[] = {
      {"sfx.exe", Kind::kZip},
      {"program.exe", Kind::kNone},
      {"program-empty-zip.exe", Kind::kNone},
      {"program-zip-inside.exe", Kind::kNone},  // a zip before other bytes: clamd finds it
      {"zip-after-jpeg.jpg", Kind::kNone},      // no program: its end is not read
  };
  for (const auto& c : kCases) {
    Kind kind = Kind::kZip;
    container::Result r = Walk(c.szFile, {}, &kind);
    EXPECT_EQ(kind, c.kind) << c.szFile << ": " << Describe(r);
  }
  // A program that is a member and holds no zip is read through, as any member is.
  container::Result r = Walk("sfx-in.zip");
  EXPECT_EQ(r.nMembers, 3u) << Describe(r);
}

// A member that the central directory leaves out is walked and noted (Why::kHidden, OK) before
// its own records: a virus found, a clean one OK (an entry an update left behind). Zips whose
// directory lists every member have no such note, their layouts whatever they are.
TEST_F(ContainerWalk, WhatTheCentralDirectoryLeavesOut) {
  using Rec = std::tuple<std::string, Why, Outcome>;
  const struct {
    const char* szFile;
    Outcome outcome;
    std::vector<Rec> records;
  } kCases[] = {
      {"hidden-middle.zip",
       Outcome::kFound,
       {Rec{"F!concept.doc", Why::kHidden, Outcome::kOk},
        Rec{"F!concept.doc", Why::kDocument, Outcome::kFound}}},
      {"hidden-two.zip",
       Outcome::kFound,
       {Rec{"F!a.doc", Why::kHidden, Outcome::kOk}, Rec{"F!a.doc", Why::kDocument, Outcome::kFound},
        Rec{"F!b.doc", Why::kHidden, Outcome::kOk},
        Rec{"F!b.doc", Why::kDocument, Outcome::kFound}}},
      {"hidden-clean.zip",
       Outcome::kOk,
       {Rec{"F!old.doc", Why::kHidden, Outcome::kOk},
        Rec{"F!old.doc", Why::kDocument, Outcome::kOk}}},
      {"infected.zip",
       Outcome::kFound,
       {Rec{"F!letters/concept.doc", Why::kDocument, Outcome::kFound}}},
      {"infected-zip64.zip",
       Outcome::kFound,
       {Rec{"F!letters/concept.doc", Why::kDocument, Outcome::kFound}}},
      {"sfx.exe", Outcome::kFound, {Rec{"F!concept.doc", Why::kDocument, Outcome::kFound}}},
      {"sfx-adjusted.exe",
       Outcome::kFound,
       {Rec{"F!concept.doc", Why::kDocument, Outcome::kFound}}},
      {"encrypted.zip", Outcome::kError, {Rec{"F!concept.doc", Why::kEncrypted, Outcome::kError}}},
  };
  for (const auto& c : kCases) {
    if (g_pInputs->Missing(c.szFile)) continue;
    container::Result r = Walk(c.szFile);
    SCOPED_TRACE(std::string(c.szFile) + ": " + Describe(r));
    EXPECT_EQ(r.verdict.outcome, c.outcome);
    std::vector<Rec> records;
    for (const container::Member& m : r.members)
      records.emplace_back(container::DisplayPath("F", m.chain, m.sName), m.why, m.outcome);
    EXPECT_EQ(records, c.records);
  }
  // Neither the bombs, the zip that contains itself, nor a damaged or cut zip has a hidden member.
  for (const char* szFile : {"zeros-10g.zip", "many.zip", "self.zip", "names.zip", "damaged.zip",
                             "truncated.zip", "nest5.zip", "eicar.zip", "utf8-names.zip"}) {
    container::Result r = Walk(szFile);
    for (const container::Member& m : r.members)
      EXPECT_NE(m.why, Why::kHidden) << szFile << ": " << Describe(r);
  }
}

// MaxFiles as clamd counts: the file itself, then every member of more than 5 bytes at every
// depth, containers too, an mbox's messages not; and no more than MaxFiles entries of one zip.
// The least MaxFiles at which clamd (clamscan --max-files, 1.4) reaches each document is the
// least at which it is found here; one less is the limit.
TEST_F(ContainerWalk, MaxFilesCountsAsClamdCounts) {
  const struct {
    const char* szFile;
    uint32_t nClamd;
  } kCases[] = {
      {"count-zip.zip", 5},           {"count-zip-tiny.zip", 12}, {"count-zip-in-zip.zip", 5},
      {"count-zip-after-zip.zip", 3}, {"count-tar-tiny.tar", 2},  {"count-tar.tar.gz", 6},
      {"count-mail-tiny.eml", 3},     {"count-rfc822.eml", 5},    {"count.mbox", 7},
  };
  for (const auto& c : kCases) {
    container::Options options;
    options.limits.nMaxFiles = c.nClamd;
    container::Result r = Walk(c.szFile, options);
    EXPECT_EQ(r.verdict.sVirus, "Macro.Word.Concept.a") << c.szFile << ": " << Describe(r);
    options.limits.nMaxFiles = c.nClamd - 1;
    r = Walk(c.szFile, options);
    EXPECT_EQ(r.verdict.outcome, Outcome::kError) << c.szFile << ": " << Describe(r);
    EXPECT_EQ(r.firstLimit, Limit::kMaxFiles) << c.szFile;
  }
}

// The options: archives or mail not opened when turned off (SKIPPED, not OK); the walk stops at
// the first virus when not every match is wanted.
TEST_F(ContainerWalk, Options) {
  container::Options noArchive;
  noArchive.bScanArchive = false;
  container::Result r = Walk("infected.zip", noArchive);
  EXPECT_EQ(r.verdict.outcome, Outcome::kSkipped);
  EXPECT_EQ(r.verdict.sReason, "Archive scanning turned off");
  container::Options noMail;
  noMail.bScanMail = false;
  r = Walk("infected-base64.eml", noMail);
  EXPECT_EQ(r.verdict.sReason, "Mail scanning turned off");
  r = Walk("infected.pst", noMail);
  EXPECT_EQ(r.verdict.sReason, "Mail scanning turned off") << "a store of mail follows ScanMail";
  // A mail inside a zip without mail scanning: a member like any other, counted.
  r = Walk("nest5.zip", noMail);
  EXPECT_EQ(r.verdict.outcome, Outcome::kOk) << Describe(r);
  EXPECT_EQ(r.nDocuments, 0u);

  container::Options first;
  first.bAllMatch = false;
  r = Walk("names.zip", first);
  EXPECT_EQ(r.verdict.sVirus, "Macro.Word.Concept.a");
  EXPECT_EQ(r.nDocuments, 1u);
  r = Walk("names.zip");
  EXPECT_EQ(r.nDocuments, 4u);
}

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
// The bombs are streamed: a process that walks the 10 GiB member and all 100,000 entries of a
// zip keeps under 64 MB at its peak (not measured under Valgrind, whose own memory counts).
TEST_F(ContainerWalk, BombsInBoundedMemory) {
  const char* szPreload = std::getenv("LD_PRELOAD");
  const bool bValgrind = szPreload != nullptr && std::strstr(szPreload, "vgpreload") != nullptr;
  for (const char* szFile : {"zeros-10g.zip", "zeros-10g.gz", "many.zip", "self.zip"}) {
    int afd[2];
    ASSERT_EQ(pipe(afd), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      container::Options options;
      options.limits.nMaxFiles = 0;      // every entry
      options.limits.nMaxRecursion = 0;  // as deep as the layer goes
      options.limits.cbMaxFileSize = 0;
      options.limits.cbMaxScanSize = 1ull << 30;
      container::Result r = Walk(szFile, options);
      struct rusage ru;
      getrusage(RUSAGE_SELF, &ru);
      long kb[2] = {ru.ru_maxrss, static_cast<long>(r.nMembers)};
      (void)!write(afd[1], kb, sizeof kb);
      _exit(0);
    }
    close(afd[1]);
    long kb[2] = {0, 0};
    ASSERT_EQ(read(afd[0], kb, sizeof kb), static_cast<ssize_t>(sizeof kb)) << szFile;
    close(afd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!bValgrind) {
      EXPECT_LT(kb[0], 64 * 1024) << szFile << ": peak resident kB";
    }
    EXPECT_GE(kb[1], 1) << szFile;
    std::printf("%s: peak %ld kB, %ld members\n", szFile, kb[0], kb[1]);
  }
}
#endif

}  // namespace
