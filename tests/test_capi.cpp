// libzmscan, called as a C caller calls it: the records are the scan core's own (zebscan's), a
// buffer scans as the file does, options of another size are read or refused, the walk hands on
// every entry once and in order, a pool gives the records of a scan in this process, scanners in
// several threads take turns, and nothing crashes on a null.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "docbuilder.h"
#include "fsys.h"
#include "platform.h"
#include "record.h"
#include "samples.h"
#include "scanner.h"
#include "tarball.h"
#include "tempdir.h"
#include "textutil.h"
#include "zmapi.h"
#include "zmscan.h"

namespace {

std::string Take(ZmsResult* p) {
  EXPECT_NE(p, nullptr);
  if (p == nullptr) return "";
  std::string s = ZMS_pszRecord(p);
  ZMS_FreeResult(p);
  return s;
}

ZmsScanner* Open(bool bDeep) {
  ZmsOptions o;
  ZMS_InitOptions(&o);
  o.bDeep = bDeep;
  char szError[256] = "";
  ZmsScanner* p = ZMS_pOpenScanner(&o, szError, sizeof szError);
  EXPECT_NE(p, nullptr) << szError;
  return p;
}

// The record the scan core makes of the file at sPath with the library beside the tests, as
// zebscan prints it (without its line end).
std::string CoreRecord(const std::string& sPath, bool bDeep) {
  ZmApi api;
  EXPECT_GT(ZmLoadApi((zm::ExecutableDirectory() + ZmLibraryName()).c_str(), &api), 0);
  zm::ScanOptions options;
  options.bDeep = bDeep;
  zm::Scanner scanner(api, options);
  std::string s = zm::JsonLine(zm::JsonRecord(scanner.ScanPath(sPath)));
  s.pop_back();
  return s;
}

struct Samples {
  TempDir dir;
  std::vector<std::string> paths;
  Samples() {
    for (const zmdoc::SampleDocument& d : zmdoc::SampleDocuments())
      paths.push_back(dir.Write("samples/" + d.name, std::string(d.bytes.begin(), d.bytes.end())));
  }
};

TEST(Capi, RecordsAreTheScanCoresAndABufferScansAsItsFile) {
  Samples s;
  for (bool bDeep : {false, true}) {
    ZmsScanner* pScanner = Open(bDeep);
    ASSERT_NE(pScanner, nullptr);
    for (const std::string& sPath : s.paths) {
      SCOPED_TRACE(sPath + (bDeep ? " deep" : ""));
      const std::string sRecord = Take(ZMS_pScanPath(pScanner, sPath.c_str()));
      EXPECT_EQ(sRecord, CoreRecord(sPath, bDeep));
      const std::string sBytes = s.dir.Read(sPath.substr(s.dir.Root().size() + 1));
      EXPECT_EQ(Take(ZMS_pScanBuffer(pScanner, sBytes.data(), sBytes.size(), sPath.c_str())),
                sRecord);
    }
    ZMS_CloseScanner(pScanner);
  }
}

// A table of ZMS_pScanPathsColumns, read as its layout says: each column's kind, and its
// numbers, texts and indexes (or counts) as they lie.
struct Table {
  uint64_t nRows = 0;
  std::map<std::string, char> kinds;
  std::map<std::string, std::vector<int64_t>> ints;
  std::map<std::string, std::vector<int32_t>> codes;
  std::map<std::string, std::vector<uint8_t>> flags;
  std::map<std::string, std::vector<std::string>> texts;
};

Table ReadTable(const std::string& s) {
  Table t;
  auto get = [&](size_t at, auto* pv) { std::memcpy(pv, s.data() + at, sizeof *pv); };
  auto align = [](size_t at) { return (at + 7) / 8 * 8; };
  EXPECT_EQ(s.substr(0, 4), "ZMC1");
  uint32_t nColumns = 0;
  get(4, &nColumns);
  get(8, &t.nRows);
  const size_t n = static_cast<size_t>(t.nRows);
  size_t at = 16;
  for (uint32_t c = 0; c < nColumns && at < s.size(); ++c) {
    uint32_t cch = 0;
    get(at, &cch);
    const std::string sName = s.substr(at + 4, cch);
    const char kind = s[at + 4 + cch];
    const size_t start = align(at + 5 + cch) + 8;
    uint64_t cb = 0;
    get(start - 8, &cb);
    at = align(start + static_cast<size_t>(cb));
    t.kinds[sName] = kind;
    size_t from = start;  // where its texts begin
    if (kind == 'i' || kind == 'I') {
      t.ints[sName].resize(n);
      if (n) std::memcpy(t.ints[sName].data(), s.data() + start, 8 * n);
    } else if (kind == 'b' || kind == 'B') {
      t.flags[sName].assign(s.begin() + static_cast<ptrdiff_t>(start),
                            s.begin() + static_cast<ptrdiff_t>(start + n));
    } else if (kind == 's' || kind == 'l') {
      from += kind == 's' ? 8 : 0;
      t.codes[sName].resize(n);
      if (n) std::memcpy(t.codes[sName].data(), s.data() + from, 4 * n);
      from += 4 * n;
    }
    if (kind == 's' || kind == 'l' || kind == 't' || kind == 'j') {
      std::vector<std::string>& v = t.texts[sName];
      for (size_t i = from, end; i < start + cb; i = end + 1) {
        end = s.find('\xFF', i);
        v.push_back(s.substr(i, end - i));
      }
    }
  }
  EXPECT_EQ(at, s.size());
  return t;
}

// Many files in one call: the records of one call a file, as JSON Lines, each under its name.
// A plain file's record line is written without building the object: the same bytes as the
// object's dump, for every field and every character that needs an escape.
TEST(Capi, RecordLinesAreTheObjectsDump) {
  auto found = [](const std::string& sPath, const std::string& sMacros) {
    zm::FileResult r = zm::ResultOf(sPath, zm::Outcome::kOk, "");
    r.outcome = zm::Outcome::kFound;
    r.sVirus = "Macro.Word.\"Odd\\Name\"";
    r.foundBy = zm::FoundBy::kNames;
    r.sResultMacros = sMacros;
    return r;
  };
  std::vector<zm::FileResult> results = {
      zm::ResultOf("/a/plain.doc", zm::Outcome::kOk, ""),
      zm::ResultOf("/a/q\"uote\\back\b\f\n\r\t\x01\x1f\x7f.doc", zm::Outcome::kOk, ""),
      zm::ResultOf("/a/caf\xE9.doc", zm::Outcome::kError, "Permission denied\nand more"),
      zm::ResultOf("/a/\xC3\xA9t\xC3\xA9.doc", zm::Outcome::kSkipped, "Not a Word 6/95 document"),
      zm::ResultOf("", zm::Outcome::kError, "\xFF"),
      // Unicode line ends, escaped so that no reader splits the line; and their near misses.
      zm::ResultOf("/a/\xE2\x80\xA8x\xC2\x85\xE2\x80\xA9\xC2\xA0\xE2\x80\xA6\xE2\x80\xA9",
                   zm::Outcome::kSkipped, "\xC2\x85"),
      found("/a/found.doc", "AutoOpen&FileSave\x80&"),
      found("/a/found-no-macros.doc", ""),
  };
  results.push_back(found("/a/odd-virus.doc", "A&"));
  results.back().sVirus = "Macro.\xE2\x82.\xFF";
  zm::FileResult named = zm::ResultOf("/a/named.doc", zm::Outcome::kOk, "");
  named.doc.table.nMacros = 3;
  named.doc.table.names = {"AutoOpen", "Caf\xE9", "\x81"};
  named.doc.table.nUnnamed = 1;
  named.doc.table.bCut = true;
  named.nLeftOut = 2;
  named.bFallback = true;
  named.bUnconfirmed = true;
  results.push_back(named);
  for (const zm::FileResult& r : results) {
    SCOPED_TRACE(r.sPath);
    const std::string sLine = zm::RecordLine(r);
    EXPECT_EQ(sLine, zm::JsonLine(zm::JsonRecord(r)));
    for (const char* psz : {"\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"})
      EXPECT_EQ(sLine.find(psz), std::string::npos);
    if (zm::IsUtf8(r.sPath)) {
      EXPECT_EQ(nlohmann::json::parse(sLine)["path"], r.sPath);
    }
  }
}

TEST(Capi, ScanPathsGivesTheRecordsOfOneCallAFile) {
  Samples s;
  ZmsScanner* pScanner = Open(true);
  ASSERT_NE(pScanner, nullptr);
  // Beside the samples, paths whose directory is not there, or is a file, or is named again
  // after one that was not there: each record is the one its path alone gives.
  const size_t cut = s.paths[0].find_last_of("/\\");
  const std::string sDir = s.paths[0].substr(0, cut), sSep = s.paths[0].substr(cut, 1);
  std::vector<std::string> paths = s.paths;
  for (const std::string& sMore :
       {sDir + sSep + "missing.doc", sDir + sSep + "nodir" + sSep + "x.doc",
        sDir + sSep + "nodir" + sSep + "y.doc", s.paths[0], sDir, sDir + sSep,
        s.paths[1] + sSep + "x.doc", sDir + sSep + "." + sSep + s.paths[2].substr(cut + 1),
        s.paths[3].substr(cut + 1)})
    paths.push_back(sMore);
  std::vector<const char*> apszPaths, apszNames;
  std::vector<std::string> names;
  std::string sWant;
  for (const std::string& sPath : paths) names.push_back("copy/" + sPath);
  for (size_t i = 0; i < paths.size(); ++i) {
    apszPaths.push_back(paths[i].c_str());
    apszNames.push_back(names[i].c_str());
    ZmsResult* p = ZMS_pScanPath(pScanner, paths[i].c_str());
    sWant += ZMS_pszRecord(p) + std::string("\n");
    ZMS_FreeResult(p);
  }
  size_t cb = 0;
  char* psz = ZMS_pszScanPaths(pScanner, apszPaths.data(), nullptr, apszPaths.size(), &cb);
  ASSERT_NE(psz, nullptr);
  EXPECT_EQ(std::string(psz, cb), sWant);
  ZMS_FreeText(psz);
  psz = ZMS_pszScanPaths(pScanner, apszPaths.data(), apszNames.data(), apszPaths.size(), &cb);
  ASSERT_NE(psz, nullptr);
  std::string sNamed(psz, cb);
  ZMS_FreeText(psz);
  // The same records but for their paths.
  std::string sWantNamed;
  for (size_t i = 0, at = 0; i < paths.size(); ++i) {
    const size_t end = sWant.find('\n', at);
    nlohmann::json j = nlohmann::json::parse(sWant.substr(at, end - at));
    j["path"] = names[i];
    sWantNamed += zm::JsonLine(j);
    at = end + 1;
  }
  EXPECT_EQ(sNamed, sWantNamed);
  // As a table: a row a file, its record and fields those of its line.
  psz = ZMS_pScanPathsColumns(pScanner, apszPaths.data(), apszNames.data(), apszPaths.size(), &cb);
  ASSERT_NE(psz, nullptr);
  const Table table = ReadTable(std::string(psz, cb));
  ZMS_FreeText(psz);
  ASSERT_EQ(table.nRows, paths.size());
  std::string sRecords;
  for (const std::string& sRecord : table.texts.at("record")) sRecords += sRecord + "\n";
  EXPECT_EQ(sRecords, sNamed);
  EXPECT_EQ(table.texts.at("path"), names);
  EXPECT_EQ(table.kinds.size(), 25u);
  for (size_t i = 0, at = 0; i < paths.size(); ++i) {
    const size_t end = sNamed.find('\n', at);
    const nlohmann::json j = nlohmann::json::parse(sNamed.substr(at, end - at));
    at = end + 1;
    EXPECT_EQ(table.ints.at("macros")[i], j["macros"].get<int64_t>());
    const int32_t iCode = table.codes.at("reason")[i];
    EXPECT_EQ(iCode >= 0 ? table.texts.at("reason")[static_cast<size_t>(iCode)] : "(none)",
              j.value("reason", "(none)"));
  }
  psz = ZMS_pScanPathsColumns(pScanner, nullptr, nullptr, 0, &cb);
  ASSERT_NE(psz, nullptr);
  EXPECT_EQ(ReadTable(std::string(psz, cb)).nRows, 0u);
  ZMS_FreeText(psz);
  psz = ZMS_pszScanPaths(pScanner, nullptr, nullptr, 0, &cb);
  EXPECT_EQ(std::string(psz, cb), "");
  ZMS_FreeText(psz);
  apszNames[1] = nullptr;
  EXPECT_EQ(ZMS_pszScanPaths(pScanner, apszPaths.data(), apszNames.data(), 2, &cb), nullptr);
  EXPECT_EQ(ZMS_pszScanPaths(pScanner, apszPaths.data(), nullptr, 2, nullptr), nullptr);
  ZMS_CloseScanner(pScanner);
}

// A table's rows that are taken from their records read back (documents whose macros are listed)
// hold what those records hold: the listing as its JSON, the names Word runs by itself counted,
// the template flag absent where the record has none.
TEST(Capi, TableRowsOfListingsAreTheirRecords) {
  Samples s;
  ZmsOptions o;
  ZMS_InitOptions(&o);
  o.bDeep = 1;
  o.iMacros = 2;
  ZmsScanner* pScanner = ZMS_pOpenScanner(&o, nullptr, 0);
  ASSERT_NE(pScanner, nullptr);
  std::vector<const char*> apszPaths;
  for (const std::string& sPath : s.paths) apszPaths.push_back(sPath.c_str());
  size_t cb = 0;
  char* psz = ZMS_pScanPathsColumns(pScanner, apszPaths.data(), nullptr, apszPaths.size(), &cb);
  ASSERT_NE(psz, nullptr);
  const Table table = ReadTable(std::string(psz, cb));
  ZMS_FreeText(psz);
  ASSERT_EQ(table.nRows, s.paths.size());
  size_t nListed = 0;
  for (size_t i = 0; i < s.paths.size(); ++i) {
    SCOPED_TRACE(s.paths[i]);
    const nlohmann::json j = nlohmann::json::parse(table.texts.at("record")[i]);
    const std::string& sListing = table.texts.at("macro_records")[i];
    EXPECT_EQ(sListing.empty() ? nlohmann::json() : nlohmann::json::parse(sListing),
              j.value("macro_records", nlohmann::json()));
    EXPECT_EQ(table.codes.at("auto_macros")[i],
              j.contains("auto_macros") ? static_cast<int32_t>(j["auto_macros"].size()) : -1);
    EXPECT_EQ(table.flags.at("template")[i], j.contains("template") ? j["template"] ? 1 : 0 : 2);
    EXPECT_EQ(table.texts.at("path")[i], j["path"]);
    nListed += !sListing.empty();
  }
  EXPECT_GE(nListed, 3u);
  ZMS_CloseScanner(pScanner);
}

#ifndef _WIN32
// A file below a directory whose path is longer than the system takes whole, which a walk reaches
// through its directories, is scanned by its path all the same: the directory opened in pieces.
TEST(Capi, ScanPathsReachesPastTheLongestPath) {
  Samples s;
  TempDir dir;
  const std::string sPart(200, 'd');
  std::vector<int> fds = {open(dir.Root().c_str(), O_RDONLY | O_DIRECTORY)};
  std::string sPath = dir.Root();
  while (sPath.size() < 5000) {
    ASSERT_EQ(mkdirat(fds.back(), sPart.c_str(), 0700), 0);
    fds.push_back(openat(fds.back(), sPart.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(fds.back(), 0);
    sPath += "/" + sPart;
  }
  std::ifstream in(s.paths[2], std::ios::binary);
  const std::string sBytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const int fd = openat(fds.back(), "x.doc", O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_EQ(write(fd, sBytes.data(), sBytes.size()), static_cast<ssize_t>(sBytes.size()));
  close(fd);
  ZmsScanner* pScanner = Open(true);
  const std::string sFile = sPath + "/x.doc";
  const char* apszPaths[] = {sFile.c_str(), s.paths[2].c_str()};
  size_t cb = 0;
  char* psz = ZMS_pszScanPaths(pScanner, apszPaths, nullptr, 2, &cb);
  ASSERT_NE(psz, nullptr);
  const std::string sText(psz, cb);
  ZMS_FreeText(psz);
  ZMS_CloseScanner(pScanner);
  nlohmann::json deep = nlohmann::json::parse(sText.substr(0, sText.find('\n')));
  const nlohmann::json sample = nlohmann::json::parse(sText.substr(sText.find('\n') + 1));
  EXPECT_EQ(deep["path"], sFile);
  deep["path"] = sample["path"];
  EXPECT_EQ(deep, sample);  // FOUND, as the sample itself
  unlinkat(fds.back(), "x.doc", 0);
  for (size_t i = fds.size() - 1; i > 0; --i) {
    close(fds[i]);
    unlinkat(fds[i - 1], sPart.c_str(), AT_REMOVEDIR);
  }
  close(fds[0]);
}
#endif

// The hot fields beside the record, each sample's as the README's report and --deep say.
TEST(Capi, FieldsSayTheOutcome) {
  Samples s;
  ZmsScanner* pScanner = Open(true);
  ASSERT_NE(pScanner, nullptr);
  struct Case {
    size_t iSample;
    int32_t iOutcome;
    const char* szVirus;
    const char* szReason;
  };
  const Case cases[] = {
      {0, ZMS_OK, "", ""},
      {2, ZMS_FOUND, "Macro.Word.Concept.a", ""},
      {5, ZMS_FOUND, "Macro.Word.Satanic", ""},  // found by the deep scan alone
      {7, ZMS_ERROR, "", "Truncated document"},
      {8, ZMS_SKIPPED, "", "Not a Word 6/95 document"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(s.paths[c.iSample]);
    ZmsResult* p = ZMS_pScanPath(pScanner, s.paths[c.iSample].c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ZMS_iOutcome(p), c.iOutcome);
    EXPECT_STREQ(ZMS_pszVirus(p), c.szVirus);
    EXPECT_STREQ(ZMS_pszReason(p), c.szReason);
    EXPECT_EQ(ZMS_pszPath(p), s.paths[c.iSample]);
    ZMS_FreeResult(p);
  }
  // What cannot be read is a result saying why; a buffer without a name is clamd's "stream".
  ZmsResult* p = ZMS_pScanPath(pScanner, s.dir.Path("missing.doc").c_str());
  EXPECT_EQ(ZMS_iOutcome(p), ZMS_ERROR);
  EXPECT_STRNE(ZMS_pszReason(p), "");
  ZMS_FreeResult(p);
  p = ZMS_pScanPath(pScanner, s.dir.Root().c_str());  // a directory is not walked here
  EXPECT_EQ(ZMS_iOutcome(p), ZMS_ERROR);
  EXPECT_STRNE(ZMS_pszReason(p), "");
  ZMS_FreeResult(p);
  p = ZMS_pScanBuffer(pScanner, "", 0, nullptr);
  EXPECT_STREQ(ZMS_pszPath(p), "stream");
  EXPECT_EQ(ZMS_iOutcome(p), ZMS_SKIPPED);
  ZMS_FreeResult(p);
  // A container: its document's finding, or where this build opens no archive an ERROR that
  // says what to do, as zebscan and zebmacrod answer; never OK.
  const std::string sTar = Tar({{"c.doc", s.dir.Read(s.paths[2].substr(s.dir.Root().size() + 1))}});
  p = ZMS_pScanBuffer(pScanner, sTar.data(), sTar.size(), "c.tar");
  if (container::Supported(container::Kind::kTar)) {
    EXPECT_EQ(ZMS_iOutcome(p), ZMS_FOUND);
    EXPECT_STREQ(ZMS_pszVirus(p), "Macro.Word.Concept.a");
  } else {
    EXPECT_EQ(ZMS_iOutcome(p), ZMS_ERROR);
    EXPECT_STREQ(ZMS_pszReason(p),
                 "Archive support not in this build (extract it and scan the folder, or use the "
                 "Linux build)");
  }
  ZMS_FreeResult(p);
  ZMS_CloseScanner(pScanner);
}

TEST(Capi, KnownResultsAreRecordedAsScannedOnesAre) {
  EXPECT_EQ(Take(ZMS_pKnownResult("x.doc", ZMS_ERROR, "Timed out")),
            R"({"deep_fallback":false,"macros":0,"names":[],"names_left_out":0,"path":"x.doc",)"
            R"("reason":"Timed out","result":"ERROR","schema":1,"table_cut":false,)"
            R"("unconfirmed_alarm":false,"unnamed":0})");
  ZmsResult* p = ZMS_pKnownResult("\xe9.doc", ZMS_SKIPPED, nullptr);
  EXPECT_NE(std::string(ZMS_pszRecord(p)).find(R"("path_bytes":"6S5kb2M=")"), std::string::npos);
  EXPECT_EQ(ZMS_iOutcome(p), ZMS_SKIPPED);
  ZMS_FreeResult(p);
  for (int32_t iOutcome : {ZMS_OK, ZMS_FOUND, 4, -1})
    EXPECT_EQ(ZMS_pKnownResult("x", iOutcome, "why"), nullptr) << iOutcome;
}

// A caller built with an older, shorter ZmsOptions gets the defaults past it; one built with a
// longer one than this library knows is refused, as is a library that is not there.
TEST(Capi, OptionsOfAnotherSize) {
  struct Case {
    uint32_t cbSize;
    const char* szLibrary;
    bool bOpens;
    const char* szError;
    int32_t iMacros;
  };
  const Case cases[] = {
      {sizeof(ZmsOptions), nullptr, true, "", 2},
      {sizeof(uint32_t), nullptr, true, "", 7},  // a field it does not reach
      {sizeof(ZmsOptions) + 8, nullptr, false, "options of", 0},
      {0, nullptr, false, "options of", 0},
      {sizeof(ZmsOptions), "/nonexistent/libzebmacro.so", false, "cannot load", 0},
      {sizeof(ZmsOptions), nullptr, false, "macros 3", 3},
      {sizeof(ZmsOptions), nullptr, false, "macros -1", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cbSize);
    ZmsOptions o[2];
    ZMS_InitOptions(&o[0]);
    o[0].cbSize = c.cbSize;
    o[0].bDeep = 1;
    o[0].pszLibrary = c.szLibrary;
    o[0].iMacros = c.iMacros;
    char szError[64] = "unset";
    ZmsScanner* p = ZMS_pOpenScanner(&o[0], szError, sizeof szError);
    EXPECT_EQ(p != nullptr, c.bOpens);
    if (!c.bOpens) {
      EXPECT_EQ(std::string(szError).rfind(c.szError, 0), 0u) << szError;
    }
    ZMS_CloseScanner(p);
  }
  // A short error buffer gets what fits, NUL-ended; none at all is fine.
  ZmsOptions o;
  ZMS_InitOptions(&o);
  o.pszLibrary = "/nonexistent/libzebmacro.so";
  char sz[8];
  EXPECT_EQ(ZMS_pOpenScanner(&o, sz, sizeof sz), nullptr);
  EXPECT_STREQ(sz, "cannot ");
  EXPECT_EQ(ZMS_pOpenScanner(&o, nullptr, 0), nullptr);
}

TEST(Capi, EngineFacts) {
  ZmsScanner* p = ZMS_pOpenScanner(nullptr, nullptr, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(ZMS_pszEngineVersion(p), ZMS_pszVersion());
  EXPECT_EQ(ZMS_iDefinitions(p), 59);
  EXPECT_STRNE(ZMS_pszEngineDate(p), "unknown");
  EXPECT_NE(std::string(ZMS_pszLibrary(p)).find(ZmLibraryName()), std::string::npos);
  ZMS_CloseScanner(p);
}

// Null where a scanner, a result or a path belongs: an answer, no crash.
TEST(Capi, MisuseIsAnswered) {
  char ab[4] = "";
  EXPECT_EQ(ZMS_pScanPath(nullptr, "x"), nullptr);
  EXPECT_EQ(ZMS_pScanBuffer(nullptr, ab, 4, nullptr), nullptr);
  ZmsScanner* p = ZMS_pOpenScanner(nullptr, nullptr, 0);
  EXPECT_EQ(ZMS_pScanPath(p, nullptr), nullptr);
  EXPECT_EQ(ZMS_pScanBuffer(p, nullptr, 4, nullptr), nullptr);
  ZMS_CloseScanner(p);
  ZMS_CloseScanner(nullptr);
  EXPECT_EQ(ZMS_iOutcome(nullptr), -1);
  EXPECT_STREQ(ZMS_pszPath(nullptr), "");
  EXPECT_STREQ(ZMS_pszRecord(nullptr), "");
  ZMS_FreeResult(nullptr);
  EXPECT_EQ(ZMS_nWalk("x", nullptr, nullptr), -1);
  ZmsResult* pResult = nullptr;
  EXPECT_EQ(ZMS_iPoolNext(nullptr, 0, &pResult), -1);
  ZMS_InitOptions(nullptr);
  ZMS_ClosePool(nullptr);
}

struct Walked {
  std::vector<std::string> entries;
  size_t nCalls = 0, nStopAfter = SIZE_MAX;
};

int32_t ZM_CALL Collect(void* pv, const char* pch, size_t cb) {
  auto* p = static_cast<Walked*>(pv);
  ++p->nCalls;
  EXPECT_TRUE(cb > 0 && pch[cb - 1] == '\0');  // whole entries only
  for (size_t i = 0; i < cb; i += std::strlen(pch + i) + 1) p->entries.emplace_back(pch + i);
  return p->nCalls < p->nStopAfter;
}

TEST(Capi, WalkHandsOnEveryEntryInOrder) {
  TempDir dir;
  dir.Write("t/b.doc", "b");
  dir.Write("t/a/z.doc", "z");
  const std::string sLong(200, 'n');
  for (int i = 0; i < 400; ++i) dir.Write("t/c/" + std::to_string(1000 + i) + sLong, "");
  Walked w;
  EXPECT_EQ(ZMS_nWalk(nullptr, Collect, &w), -1);
  ASSERT_EQ(ZMS_nWalk(dir.Path("t").c_str(), Collect, &w), 402);
  ASSERT_EQ(w.entries.size(), 402u);
  EXPECT_EQ(w.entries[0], "F" + dir.Path("t/a/z.doc"));
  EXPECT_EQ(w.entries[1], "F" + dir.Path("t/b.doc"));
  EXPECT_EQ(w.entries[401], "F" + dir.Path("t/c/1399" + sLong));
  EXPECT_GE(w.nCalls, 2u);  // some 90 KB of paths: more than one batch
  // A path that is not there is the walk's own record; a sink that says stop ends the walk.
  Walked missing;
  EXPECT_EQ(ZMS_nWalk(dir.Path("none").c_str(), Collect, &missing), 1);
  ASSERT_EQ(missing.entries.size(), 1u);
  EXPECT_EQ(missing.entries[0].rfind("R{", 0), 0u);
  EXPECT_NE(missing.entries[0].find(R"("result":"ERROR")"), std::string::npos);
  Walked stopped;
  stopped.nStopAfter = 1;
  ZMS_nWalk(dir.Path("t").c_str(), Collect, &stopped);
  EXPECT_EQ(stopped.nCalls, 1u);
  EXPECT_LT(stopped.entries.size(), 402u);
}

std::vector<std::string> PoolRecords(const std::vector<std::string>& paths, uint32_t nJobs,
                                     uint32_t* pnWorkers) {
  std::vector<const char*> apsz;
  for (const std::string& s : paths) apsz.push_back(s.c_str());
  ZmsOptions o;
  ZMS_InitOptions(&o);
  o.bDeep = 1;
  ZmsPool* pPool = ZMS_pOpenPool(&o, nJobs, apsz.data(), apsz.size(), nullptr, 0);
  EXPECT_NE(pPool, nullptr);
  std::vector<std::string> records;
  if (pPool == nullptr) return records;
  *pnWorkers = ZMS_uPoolWorkers(pPool);
  ZmsResult* p = nullptr;
  while (ZMS_iPoolNext(pPool, -1, &p) == 1) records.push_back(Take(p));
  EXPECT_EQ(ZMS_iPoolNext(pPool, 0, &p), -1);  // and stays so
  ZMS_ClosePool(pPool);
  return records;
}

TEST(Capi, PoolGivesTheRecordsOfAScanHere) {
  Samples s;
  for (int i = 0; i < 200; ++i) s.dir.Write("samples/more/" + std::to_string(i) + ".doc", "x");
  ZmsScanner* pScanner = Open(true);
  std::vector<std::string> want;
  Walked w;
  ZMS_nWalk(s.dir.Path("samples").c_str(), Collect, &w);
  for (const std::string& e : w.entries) want.push_back(Take(ZMS_pScanPath(pScanner, &e[1])));
  ZMS_CloseScanner(pScanner);
  for (uint32_t nJobs : {1u, 2u}) {
    SCOPED_TRACE(nJobs);
    uint32_t nWorkers = 0;
    EXPECT_EQ(PoolRecords({s.dir.Path("samples")}, nJobs, &nWorkers), want);
    EXPECT_EQ(nWorkers, nJobs);
  }
  // A file met twice is given once; a path that is not there is a record of its own.
  uint32_t nWorkers = 0;
  const std::vector<std::string> twice =
      PoolRecords({s.paths[2], s.paths[2], s.dir.Path("none")}, 2, &nWorkers);
  ASSERT_EQ(twice.size(), 2u);
  EXPECT_EQ(twice[0], want[2]);
  EXPECT_NE(twice[1].find(R"("result":"ERROR")"), std::string::npos);
}

// Closed at once, or after its first result, a pool ends: its walk and its workers with it.
TEST(Capi, PoolEndsWhenClosed) {
  TempDir dir;
  for (int i = 0; i < 1000; ++i) dir.Write("many/" + std::to_string(i) + ".doc", "x");
  const char* apsz[] = {dir.Root().c_str()};
  for (bool bTakeOne : {false, true}) {
    ZmsPool* pPool = ZMS_pOpenPool(nullptr, 2, apsz, 1, nullptr, 0);
    ASSERT_NE(pPool, nullptr);
    ZmsResult* p = nullptr;
    if (bTakeOne) {
      ASSERT_EQ(ZMS_iPoolNext(pPool, -1, &p), 1);
      ZMS_FreeResult(p);
    }
    ZMS_ClosePool(pPool);
  }
}

// Scanners of several threads at once: each scan is whole and right, as the library's one caller
// at a time is kept behind them.
TEST(Capi, ScannersInThreadsTakeTurns) {
  Samples s;
  std::vector<std::string> want;
  ZmsScanner* pShared = Open(true);
  for (const std::string& sPath : s.paths)
    want.push_back(Take(ZMS_pScanPath(pShared, sPath.c_str())));
  std::atomic<int> nWrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      ZmsScanner* pOwn = t % 2 ? Open(true) : pShared;
      for (int round = 0; round < 20; ++round)
        for (size_t i = 0; i < s.paths.size(); ++i) {
          ZmsResult* p = ZMS_pScanPath(pOwn, s.paths[i].c_str());
          nWrong += ZMS_pszRecord(p) != want[i];
          ZMS_FreeResult(p);
        }
      if (pOwn != pShared) ZMS_CloseScanner(pOwn);
    });
  for (std::thread& t : threads) t.join();
  ZMS_CloseScanner(pShared);
  EXPECT_EQ(nWrong.load(), 0);
}

}  // namespace
