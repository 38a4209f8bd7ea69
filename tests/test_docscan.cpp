// The document scan driver and jobs 1 and 2 end to end: MACRO_Handler (ENG_iHandler) ->
// DOC_ScanDocument over documents built by the document builder, in regular sectors and in the
// mini-stream; every way out closes the document and releases the DocReader; and the driver's drive
// and directory moves, with real drives of the Wine prefix (skipped on POSIX, which has no drive
// letters).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "docbuilder.h"
#include "docreader.h"
#include "drive.h"
#include "engine.h"
#include "host.h"
#include "hostfake.h"
#include "tempdir.h"

namespace {

using Bytes = std::vector<uint8_t>;

const int kWieder = 45, kKillDll = 48, kPolite = 40, kDmv = 46;  // positions in g_aVirusDefs

// A macro whose body carries the first signature of definition iDef's macro iMacro.
zmdoc::MacroSpec Carrying(int iDef, int iMacro = 0, uint8_t key = 0x5A) {
  return zmdoc::MacroCarrying(zmdoc::DatabaseSignature(iDef, iMacro), key);
}
zmdoc::MacroSpec Clean(size_t n = 120, uint8_t key = 0x21) {
  return zmdoc::MacroCarrying({}, key, "Clean", n);
}

// A definition's macro names as currently stored, each followed by '&'.
std::string StoredList(const VirusDef* pDef) {
  std::string s;
  for (int i = 0; i < pDef->nMacros; ++i) s += std::string(pDef->pMacros[i].szName) + "&";
  return s;
}

std::string Cwd() {
  char sz[ZM_CWD_AREA] = "";
  uint32_t n = g_zmHost.pfnGetCurrentDirectory(sizeof sz, sz);
  return n > 0 && n < sizeof sz ? sz : "<none>";
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

struct Call {
  int32_t iRet;
  std::string sResult, sMacros;
};

Call Handle(int32_t iJob, const std::string& sPath, const char* szList = "x&") {
  char szResult[256] = "untouched", szMacros[256] = "untouched";
  int32_t r = ENG_iHandler(iJob, sPath.c_str(), szList, szResult, "", szMacros);
  return {r, szResult, szMacros};
}

class Scan : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pPendingVerify = nullptr;
    m_sStartDir = Cwd();
  }
  void TearDown() override {
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_EQ(fake.Blocks(), 0);
    g_zmHost.pfnSetCurrentDirectory(m_sStartDir.c_str());
    g_pPendingVerify = nullptr;
  }
  std::string Write(const zmdoc::DocSpec& spec, const std::string& sName = "") {
    Bytes file = zmdoc::BuildWord6(spec);
    EXPECT_FALSE(file.empty());
    std::string sPath = dir.Path(sName.empty() ? "d" + std::to_string(nFiles++) + ".doc" : sName);
    EXPECT_TRUE(zmdoc::WriteFile(sPath, file));
    return sPath;
  }
  static zmdoc::DocSpec Spec(std::vector<zmdoc::MacroSpec> macros, bool bMini) {
    zmdoc::DocSpec spec;
    spec.macros = std::move(macros);
    spec.minStreamSize = bMini ? 0 : 6000;
    return spec;
  }

  HostFake fake;
  TempDir dir;
  int nFiles = 0;
  std::string m_sStartDir;
};

// ---------------------------------------------------------------------------------------------
// Jobs 1 and 2 through MACRO_Handler

// A file that no scan could read is not answered like a clean one.
TEST_F(Scan, Job1OnAPlainTextFileSaysItCouldNotRead) {
  Call c = Handle(1, dir.Write("notes.txt", "Dear reader, no macros here.\r\n"));
  EXPECT_EQ(c.iRet, 0);
  EXPECT_EQ(c.sResult, "MACRO_ERROR_OPENING_OLE2");
  EXPECT_EQ(c.sMacros, "untouched");
  c = Handle(1, dir.Path("missing.doc"));
  EXPECT_EQ(c.iRet, 0);
  EXPECT_EQ(c.sResult, "MACRO_ERROR_OPENING_OLE2");
}

// Job 1 answers the definition found, with that definition's macro names as stored (not the
// database head's), in both kinds of stream.
TEST_F(Scan, Job1FindsASignatureAndListsTheDefinitionsMacros) {
  for (bool bMini : {false, true}) {
    SCOPED_TRACE(bMini);
    for (int iDef : {kWieder, kKillDll, kPolite}) {
      SCOPED_TRACE(iDef);
      Call c = Handle(1, Write(Spec({Clean(), Carrying(iDef)}, bMini)));
      EXPECT_EQ(c.iRet, 1);
      EXPECT_EQ(c.sResult, g_aVirusDefs[iDef].szName);
      EXPECT_EQ(c.sMacros, StoredList(&g_aVirusDefs[iDef]));
    }
    Call c = Handle(1, Write(Spec({Clean(), Clean(300, 0)}, bMini)));
    EXPECT_EQ(c.iRet, 0);
    EXPECT_EQ(c.sResult, "MACRO_NO_VIRUS_FOUND");
    EXPECT_EQ(c.sMacros, "untouched");
  }
}

// Job 0 on 'AutoOpen&' asks for confirmation (Wieder); job 2 on a document carrying Wieder's
// signature confirms it, listing Wieder's names, upper-cased by job 0.
TEST_F(Scan, Job0ThenJob2Confirms) {
  for (bool bMini : {false, true}) {
    SCOPED_TRACE(bMini);
    std::string sPath = Write(Spec({Carrying(kWieder, 1), Clean()}, bMini));
    Call c0 = Handle(0, sPath, "AutoOpen&");
    EXPECT_EQ(c0.sResult, "MACRO_CHECK_FALSE_ALARMS");
    ASSERT_EQ(g_pPendingVerify, &g_aVirusDefs[kWieder]);
    Call c2 = Handle(2, sPath);
    EXPECT_EQ(c2.iRet, 1);
    EXPECT_EQ(c2.sResult, "Macro.Word.Wieder");
    EXPECT_EQ(c2.sMacros, "AUTOCLOSE&AUTOOPEN&");
    EXPECT_EQ(g_pPendingVerify, nullptr);
    // The record was taken: a second job 2 has nothing to confirm.
    Call again = Handle(2, sPath);
    EXPECT_EQ(again.iRet, 0);
    EXPECT_EQ(again.sResult, "MACRO_NO_VIRUS_FOUND");
  }
}

// Job 2 scans from the pending record to the chain's end: a later definition is reported (with
// the pending record's names), an earlier one never.
TEST_F(Scan, Job2ReportsADefinitionLaterThanThePendingRecord) {
  std::string sLater = Write(Spec({Carrying(kKillDll)}, true));
  std::string sEarlier = Write(Spec({Carrying(kPolite)}, true));
  ASSERT_EQ(Handle(0, sLater, "AutoOpen&").sResult, "MACRO_CHECK_FALSE_ALARMS");
  Call c = Handle(2, sLater);
  EXPECT_EQ(c.iRet, 1);
  EXPECT_EQ(c.sResult, "Macro.Word.KillDll");
  EXPECT_EQ(c.sMacros, "AUTOCLOSE&AUTOOPEN&");

  ASSERT_EQ(Handle(0, sEarlier, "AutoOpen&").sResult, "MACRO_CHECK_FALSE_ALARMS");
  c = Handle(2, sEarlier);
  EXPECT_EQ(c.iRet, 0);
  EXPECT_EQ(c.sResult, "MACRO_NO_VIRUS_FOUND");
  EXPECT_EQ(c.sMacros, "untouched");
}

TEST_F(Scan, AWord97DocumentIsNotReadAsWord6) {
  zmdoc::DocSpec spec = Spec({Carrying(kWieder)}, false);
  spec.word97 = true;
  Call c = Handle(1, Write(spec));
  EXPECT_EQ(c.iRet, 0);
  EXPECT_EQ(c.sResult, "MACRO_ERROR_OPENING_OLE2");
}

// ---------------------------------------------------------------------------------------------
// The driver

struct ScanResult {
  int32_t iRet;
  std::string sText;
  VirusDef* pFound;
};

ScanResult ScanDoc(const std::string& sPath, VirusDef* pStart = g_pDatabaseHead) {
  char szText[64] = "untouched";
  VirusDef* pFound = &g_aVirusDefs[0];
  int32_t r = DOC_ScanDocument(sPath.c_str(), pStart, szText, &pFound);
  return {r, szText, pFound};
}

// The macros are examined from the last to the first: of macros 0 and 2, both carrying
// signatures, macro 2's definition is reported although macro 0's is nearer the chain's head.
TEST_F(Scan, TheLastMacroIsExaminedFirst) {
  ScanResult r = ScanDoc(Write(Spec({Carrying(kWieder), Clean(), Carrying(kKillDll)}, false)));
  EXPECT_EQ(r.iRet, 1);
  EXPECT_EQ(r.sText, "Macro.Word.KillDll");
  EXPECT_EQ(r.pFound, &g_aVirusDefs[kKillDll]);
}

// If extracting macro 3 of 5 fails, macros 2, 1 and 0 are not examined.
TEST_F(Scan, AFailedExtractionStopsTheScan) {
  std::vector<zmdoc::MacroSpec> macros = {Clean(), Carrying(kDmv), Clean(), Clean(), Clean()};
  macros[3].offsetField = 0x00200000;  // beyond the stream's chain
  ScanResult r = ScanDoc(Write(Spec(macros, false)));
  EXPECT_EQ(r.iRet, 0);
  EXPECT_EQ(r.sText, "MACRO_NO_VIRUS_FOUND");
  EXPECT_EQ(r.pFound, nullptr);
  macros[4] = Carrying(kDmv);  // examined before the failure
  r = ScanDoc(Write(Spec(macros, false)));
  EXPECT_EQ(r.iRet, 1);
  EXPECT_EQ(r.sText, "Macro.Word.DMV");
}

// Every result text of the driver, and every way out: the document closed, the DocReader
// released, the directory as it was.
TEST_F(Scan, EveryWayOutClosesAndReleases) {
  zmdoc::DocSpec loop = Spec({Carrying(kWieder)}, false);
  loop.streamChainLoop = true;
  zmdoc::DocSpec miniLoop = Spec({Carrying(kWieder)}, true);
  miniLoop.miniChainLoop = true;
  zmdoc::DocSpec rootShort = Spec({Clean(), Carrying(kWieder)}, true);
  rootShort.minStreamSize = 3000;
  rootShort.rootChainSectors = 1;
  zmdoc::DocSpec sizeLie = Spec({Carrying(kWieder)}, true);
  sizeLie.sizeField = 100;
  zmdoc::DocSpec noTable = Spec({Carrying(kWieder)}, false);
  noTable.tableSection = 0x02;
  zmdoc::DocSpec noUsable = Spec({Carrying(kWieder)}, false);
  noUsable.macros[0].mark = 0x00;
  std::vector<zmdoc::MacroSpec> failing = {Carrying(kWieder), Clean()};
  failing[1].offsetField = 0x00200000;

  const struct {
    const char* szName;
    std::string sPath;
    int32_t iRet;
    const char* szText;
  } kCases[] = {
      {"missing", dir.Path("missing.doc"), 0, "MACRO_ERROR_OPENING_OLE2"},
      {"not a compound file", dir.Write("t.txt", std::string(3000, 'x')), 0,
       "MACRO_ERROR_OPENING_OLE2"},
      {"broken chain", Write(loop), 0, "MACRO_ERROR_OPENING_OLE2"},
      {"mini-chain loop", Write(miniLoop), 0, "MACRO_ERROR_OPENING_OLE2"},
      {"container chain ends early", Write(rootShort), 0, "MACRO_ERROR_OPENING_OLE2"},
      {"size that lies", Write(sizeLie), 0, "MACRO_ERROR_OPENING_OLE2"},
      {"table without 0xFF 0x01", Write(noTable), 0, "MACRO_ERROR_OPENING_OLE2"},
      {"no usable macro", Write(noUsable), 0, "MACRO_ERROR_OPENING_OLE2"},
      {"failed extraction", Write(Spec(failing, false)), 0, "MACRO_NO_VIRUS_FOUND"},
      {"nothing found", Write(Spec({Clean()}, true)), 0, "MACRO_NO_VIRUS_FOUND"},
      {"found", Write(Spec({Carrying(kWieder)}, true)), 1, "Macro.Word.Wieder"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szName);
    int nOpens = fake.Calls(kCallOpen), nCommits = fake.Calls(kCallCommit);
    ScanResult r = ScanDoc(c.sPath);
    EXPECT_EQ(r.iRet, c.iRet);
    EXPECT_EQ(r.sText, c.szText);
    EXPECT_EQ(fake.Calls(kCallCommit) - nCommits, 1);
    EXPECT_EQ(fake.Calls(kCallOpen) - nOpens, 1);
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_EQ(fake.Blocks(), 0);
    EXPECT_EQ(Cwd(), m_sStartDir);
    Call job1 = Handle(1, c.sPath);
    EXPECT_EQ(job1.iRet, c.iRet);
    EXPECT_EQ(job1.sResult, c.szText);
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_EQ(fake.Blocks(), 0);
  }
}

// No DocReader: the text is not written, nothing is opened, the directory is set back.
TEST_F(Scan, WithoutAWorkingStateNothingIsWritten) {
  std::string sPath = Write(Spec({Carrying(kWieder)}, true));
  fake.FailNth(kCallCommit, 1);
  int nOpens = fake.Calls(kCallOpen);
  ScanResult r = ScanDoc(sPath);
  EXPECT_EQ(r.iRet, 0);
  EXPECT_EQ(r.sText, "untouched");
  EXPECT_EQ(r.pFound, nullptr);
  EXPECT_EQ(fake.Calls(kCallOpen), nOpens);
  EXPECT_EQ(Cwd(), m_sStartDir);
  fake.FailNth(kCallCommit, 1);
  Call c = Handle(1, sPath);
  EXPECT_EQ(c.iRet, 0);
  EXPECT_EQ(c.sResult, "MACRO_NO_VIRUS_FOUND");
}

// Failed reads while the macros are read: the scan ends cleanly whatever read fails.
TEST_F(Scan, AFailedReadAnywhereEndsCleanly) {
  std::string sPath = Write(Spec({Clean(), Carrying(kWieder), Clean()}, true));
  fake.FailNth(kCallRead, 0);
  int nReads = fake.Calls(kCallRead);
  ASSERT_EQ(ScanDoc(sPath).iRet, 1);
  int nPerScan = fake.Calls(kCallRead) - nReads;
  for (int n = 1; n <= nPerScan; ++n) {
    SCOPED_TRACE(n);
    fake.FailNth(kCallRead, n);
    ScanResult r = ScanDoc(sPath);
    EXPECT_TRUE(r.sText == "Macro.Word.Wieder" || r.sText == "MACRO_NO_VIRUS_FOUND" ||
                r.sText == "MACRO_ERROR_OPENING_OLE2")
        << r.sText;
    EXPECT_EQ(fake.OpenFiles(), 0);
    EXPECT_EQ(fake.Blocks(), 0);
  }
}

// ---------------------------------------------------------------------------------------------
// Drive and directory, before, during and after the scan

// Records the current directory each time a file is opened: where the scan stood.
std::string g_sCwdAtOpen;
int32_t (*g_pfnOpenBefore)(const char*, int32_t);
int32_t OpenRecordingCwd(const char* szPath, int32_t iMode) {
  g_sCwdAtOpen = Cwd();
  return g_pfnOpenBefore(szPath, iMode);
}

class ScanDir : public Scan {
 protected:
  void SetUp() override {
    Scan::SetUp();
    g_pfnOpenBefore = g_zmHost.pfnOpen;
    g_zmHost.pfnOpen = OpenRecordingCwd;
    g_sCwdAtOpen.clear();
  }
  void TearDown() override {
    g_zmHost.pfnOpen = g_pfnOpenBefore;
    Scan::TearDown();
  }
  static bool HasDriveLetters() { return g_chPathSep == '\\' && iGetCurrentDrive() != 0; }
  // The document's directory as the scan makes it current: the path up to its last separator.
  static std::string DirOf(const std::string& sPath) {
    return sPath.substr(0, sPath.find_last_of("\\/"));
  }
};

// A relative path changes neither drive nor directory; the file is opened relative to the
// current directory. Both platforms.
TEST_F(ScanDir, ARelativePathChangesNothing) {
  std::string sPath = Write(Spec({Carrying(kWieder)}, true), "rel.doc");
  ASSERT_TRUE(g_zmHost.pfnSetCurrentDirectory(dir.Root().c_str()));
  std::string sHere = Cwd();
  int32_t iDrive = iGetCurrentDrive();
  ScanResult r = ScanDoc("rel.doc");
  EXPECT_EQ(r.sText, "Macro.Word.Wieder");
  EXPECT_EQ(g_sCwdAtOpen, sHere);
  EXPECT_EQ(Cwd(), sHere);
  EXPECT_EQ(iGetCurrentDrive(), iDrive);
  r = ScanDoc(std::string("sub") + g_chPathSep + "none.doc");
  EXPECT_EQ(r.sText, "MACRO_ERROR_OPENING_OLE2");
  EXPECT_EQ(Cwd(), sHere);
}

// Without drives (POSIX) a path has no drive part: "c:/docs/a.doc" names the directory "c:"
// below the current one, and nothing moves for any path.
TEST_F(ScanDir, WithoutDrivesNothingMoves) {
  if (iHasDriveLetters()) GTEST_SKIP() << "paths here carry drive letters";
  std::string sPath = Write(Spec({Carrying(kWieder)}, true));
  dir.MakeDir("c:/docs");
  Write(Spec({Carrying(kWieder)}, false), "c:/docs/a.doc");
  ASSERT_TRUE(g_zmHost.pfnSetCurrentDirectory(dir.Root().c_str()));
  const std::string sHere = Cwd();
  const struct {
    std::string sPath, sText;
  } kCases[] = {
      {sPath, "Macro.Word.Wieder"},
      {"c:/docs/a.doc", "Macro.Word.Wieder"},
      {"C:/docs/a.doc", "MACRO_ERROR_OPENING_OLE2"},  // another name: no such directory
      {"c:" + sPath, "MACRO_ERROR_OPENING_OLE2"},
      {"c:a.doc", "MACRO_ERROR_OPENING_OLE2"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.sPath);
    g_sCwdAtOpen.clear();
    ScanResult r = ScanDoc(c.sPath);
    EXPECT_EQ(r.sText, c.sText);
    EXPECT_EQ(g_sCwdAtOpen, sHere);
    EXPECT_EQ(Cwd(), sHere);
  }
}

// 'c:\...' (lower case) moves to drive C and into the document's directory for the scan; the
// process ends on drive C, in the directory that was current on C before the call.
TEST_F(ScanDir, ALowerCaseDriveMovesToTheDriveAndBack) {
  if (!HasDriveLetters()) GTEST_SKIP() << "no drive letters on this platform";
  std::string sPath = Write(Spec({Carrying(kWieder)}, true));
  if (sPath.size() < 3 || std::toupper(static_cast<unsigned char>(sPath[0])) != 'C' ||
      sPath[1] != ':')
    GTEST_SKIP() << "the temporary directory is not on drive C: " << sPath;
  // Start elsewhere than C (the test's own directory, on Z: under Wine), and learn C's own
  // directory as the drive change itself finds it.
  std::string sStart = Cwd();
  ASSERT_TRUE(g_zmHost.pfnSetDrive('C'));
  std::string sOnC = Cwd();
  ASSERT_TRUE(g_zmHost.pfnSetCurrentDirectory(sStart.c_str()));

  std::string sLower = sPath;
  sLower[0] = 'c';
  ScanResult r = ScanDoc(sLower);
  EXPECT_EQ(r.iRet, 1);
  EXPECT_EQ(r.sText, "Macro.Word.Wieder");
  EXPECT_EQ(Lower(g_sCwdAtOpen), Lower(DirOf(sPath)));
  EXPECT_EQ(iGetCurrentDrive(), 3);
  EXPECT_EQ(Lower(Cwd()), Lower(sOnC));

  // Through MACRO_Handler the same.
  ASSERT_TRUE(g_zmHost.pfnSetCurrentDirectory(sStart.c_str()));
  Call c = Handle(1, sLower);
  EXPECT_EQ(c.sResult, "Macro.Word.Wieder");
  EXPECT_EQ(iGetCurrentDrive(), 3);
  EXPECT_EQ(Lower(Cwd()), Lower(sOnC));
}

// 'C:\...' (upper case): the drive change is refused, the document's directory is current during
// the scan, and afterwards the process is where it began.
TEST_F(ScanDir, AnUpperCaseDriveLeavesTheProcessWhereItBegan) {
  if (!HasDriveLetters()) GTEST_SKIP() << "no drive letters on this platform";
  std::string sPath = Write(Spec({Carrying(kWieder)}, true));
  if (sPath.size() < 3 || std::toupper(static_cast<unsigned char>(sPath[0])) != 'C' ||
      sPath[1] != ':')
    GTEST_SKIP() << "the temporary directory is not on drive C: " << sPath;
  std::string sUpper = sPath;
  sUpper[0] = 'C';
  std::string sStart = Cwd();
  int32_t iStartDrive = iGetCurrentDrive();
  ScanResult r = ScanDoc(sUpper);
  EXPECT_EQ(r.sText, "Macro.Word.Wieder");
  EXPECT_EQ(Lower(g_sCwdAtOpen), Lower(DirOf(sPath)));
  EXPECT_EQ(Cwd(), sStart);
  EXPECT_EQ(iGetCurrentDrive(), iStartDrive);
  // A document that cannot be read is set back just the same.
  r = ScanDoc(sUpper + ".missing");
  EXPECT_EQ(r.sText, "MACRO_ERROR_OPENING_OLE2");
  EXPECT_EQ(Cwd(), sStart);
}

}  // namespace
