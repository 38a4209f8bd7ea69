// The exports as a front end sees them: the built zebmacro.dll / libzebmacro.so loaded at run
// time and every export looked up by its undecorated name.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "docbuilder.h"
#include "rawscan.h"
#include "stackthread.h"
#include "zmapi.h"

namespace {

class Exports : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_nFound = ZmLoadApi(ZM_LIBRARY_PATH, &s_api); }
  // The DLL: drive letters, '\' paths and a Windows directory exist.
  static bool Windows() { return ZmLibraryName().find(".dll") != std::string::npos; }
  static std::string Sep() { return Windows() ? "\\" : "/"; }
  // A fresh directory of our own (the three builds may run these at the same time), or "".
  static std::string FreshDir() {
    std::string sTemp = std::filesystem::temp_directory_path().string();
    while (!sTemp.empty() && (sTemp.back() == '/' || sTemp.back() == '\\')) sTemp.pop_back();
    static int s_nNext = 0;
    const std::string sDir =
        sTemp + Sep() + "zm-exports-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() & 0xFFFFFFF) +
        "-" + std::to_string(s_nNext++);
    return std::filesystem::create_directory(sDir) ? sDir : "";
  }
  static ZmApi s_api;
  static int s_nFound;
};
ZmApi Exports::s_api;
int Exports::s_nFound;

// Every name of the export list resolves in the built library (ZmLoadApi counts those it found);
// each one is then called below.
TEST_F(Exports, EveryNameOfTheListResolves) { EXPECT_EQ(s_nFound, kZmExports); }

TEST_F(Exports, SignaturesAnswers59OnEveryCall) {
  ASSERT_NE(s_api.MACRO_Signatures, nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(s_api.MACRO_Signatures(), 59);
}

TEST_F(Exports, HandlerIdentifiesThroughTheLibrary) {
  ASSERT_NE(s_api.MACRO_Handler, nullptr);
  char szResult[256], szMacros[256];
  EXPECT_EQ(s_api.MACRO_Handler(0, "", "AutoOpen&DateiSpeichernUnter&", szResult, "", szMacros), 1);
  EXPECT_STREQ(szResult, "Macro.Word.PCW");
  EXPECT_STREQ(szMacros, "AUTOOPEN&DATEISPEICHERNUNTER&");
  EXPECT_EQ(s_api.MACRO_Signatures(), 59);
}

// Jobs 1 and 2 judge the root storage's WordDocument stream, not an embedded document's whose
// storages come first in the directory.
TEST_F(Exports, HandlerScansTheRootDocumentOfAFile) {
  ASSERT_EQ(s_nFound, kZmExports);
  zmdoc::DocSpec clean;
  clean.macros.push_back(zmdoc::MacroCarrying({0x01, 0x02, 0x03}, 0x21, "AutoOpen"));
  zmdoc::DocSpec spec;
  spec.macros.push_back(zmdoc::MacroCarrying(zmdoc::DatabaseSignature(45, 1), 0x5A, "AutoOpen"));
  spec.wordDocIndex = 4;
  spec.extraEntries = zmdoc::ObjectPoolEntries(1, {zmdoc::WordDocumentEntry(clean)});
  const std::string sDir = FreshDir();
  ASSERT_FALSE(sDir.empty());
  const std::string sDoc = sDir + Sep() + "embeds.doc";
  ASSERT_TRUE(zmdoc::WriteFile(sDoc, zmdoc::BuildWord6(spec)));
  char szResult[256], szMacros[256];
  EXPECT_EQ(s_api.MACRO_Handler(1, sDoc.c_str(), "AutoOpen&", szResult, "", szMacros), 1);
  EXPECT_STREQ(szResult, "Macro.Word.Wieder");
  // Job 2 confirms what job 0 asked to be confirmed.
  EXPECT_EQ(s_api.MACRO_Handler(0, sDoc.c_str(), "AutoOpen&", szResult, "", szMacros), 1);
  EXPECT_STREQ(szResult, "MACRO_CHECK_FALSE_ALARMS");
  EXPECT_EQ(s_api.MACRO_Handler(2, sDoc.c_str(), "AutoOpen&", szResult, "", szMacros), 1);
  EXPECT_STREQ(szResult, "Macro.Word.Wieder");
  std::error_code ec;
  std::filesystem::remove_all(sDir, ec);
}

TEST_F(Exports, TextExportsAnswerThroughTheLibrary) {
  ASSERT_EQ(s_nFound, kZmExports);
  char sz[256];
  EXPECT_EQ(s_api.MACRO_DecryptDef("100% sure!", sz), 11);
  EXPECT_STREQ(sz, "100Q sureA");
  EXPECT_EQ(s_api.TUL_iStrLen("C:\\WORD"), 7);
  EXPECT_EQ(s_api.TUL_iInStr(1, "C:\\WORD\\A.DOC", "word"), 4);
  EXPECT_EQ(s_api.TUL_iInStr(2, "abcabc", "ABC"), 4);
  EXPECT_EQ(s_api.TUL_szMakeSpec(Windows() ? "C:\\;D:\\" : "/tmp/;/var/", sz), Windows() ? 7 : 9);
  EXPECT_STREQ(sz, Windows() ? "C:\\*.*" : "/tmp/*.*");
  EXPECT_EQ(s_api.TUL_szMakeSpec("", sz), 0);
}

TEST_F(Exports, FileExportsAnswerThroughTheLibrary) {
  ASSERT_EQ(s_nFound, kZmExports);
  char szDir[260];
  ASSERT_EQ(s_api.TUL_szGetCWD(szDir, 260, 0), szDir);
  const int32_t n = static_cast<int32_t>(std::strlen(szDir));
  char szSmall[260] = "untouched";
  EXPECT_EQ(s_api.TUL_szGetCWD(szSmall, n, 0), nullptr);
  EXPECT_STREQ(szSmall, "untouched");
  EXPECT_EQ(s_api.TUL_szGetCWD(szSmall, n + 1, 0), szSmall);

  const std::string sSep = Sep();
  const std::string sDir = FreshDir();
  ASSERT_FALSE(sDir.empty());
  const std::string sSrc = sDir + sSep + "src.bin";
  const std::string sDst = sDir + sSep + "dst.bin";
  const std::string sList = sDir + sSep + "list.txt";
  std::FILE* f = std::fopen(sSrc.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const unsigned char abWazzu[] = {0xF2, 0x91, 0xBB, 0x63, 0xCC, 0xDC, 0x04,
                                   0xF8, 0xCC, 0x65, 0xA1, 0x70, 0x84};
  std::fwrite("prefix", 1, 6, f);
  std::fwrite(abWazzu, 1, sizeof abWazzu, f);
  std::fclose(f);
  EXPECT_EQ(s_api.MACRO_ScanRaw(sSrc.c_str(), "Wazzu"), 1);
  EXPECT_EQ(s_api.MACRO_ScanRaw(sSrc.c_str(), "wazzu"), 0);
  EXPECT_EQ(s_api.TUL_iCopyFile(sSrc.c_str(), sDst.c_str()), 1);
  EXPECT_EQ(s_api.MACRO_ScanRaw(sDst.c_str(), "Wazzu"), 1);
  EXPECT_EQ(s_api.TUL_iCopyFile(sSrc.c_str(), sSrc.c_str()), 0);
  EXPECT_EQ(s_api.MACRO_CallTraverse((sDir + sSep + "*.*").c_str(), sList.c_str(), "*.BIN", 0), 2);
  EXPECT_EQ(s_api.MACRO_CallTraverse((sDir + sSep + "*.*").c_str(), "", "", 0), -1);
  char szShort[128] = "kept";
  EXPECT_EQ(s_api.MACRO_lDosPath((sSrc + ".missing").c_str(), szShort, 128), 0);
  EXPECT_STREQ(szShort, "kept");
  EXPECT_EQ(s_api.MACRO_lDosPath(sSrc.c_str(), szShort, 128), 1);
  std::error_code ec;
  std::filesystem::remove_all(sDir, ec);
}

TEST_F(Exports, PlatformExportsAnswerThroughTheLibrary) {
  ASSERT_EQ(s_nFound, kZmExports);
  char szWin[256];
  int32_t r = s_api.TUL_szGetWindowsDirectory(szWin);
  EXPECT_EQ(r, Windows() ? static_cast<int32_t>(std::strlen(szWin) + 1) : 0);
  EXPECT_EQ(s_api.TUL_iChDrive(0), -1);
  EXPECT_EQ(s_api.TUL_iChDrive(32), -1);
  if (Windows()) {
    EXPECT_GT(s_api.TUL_iGetDrive(), 0);
  } else {
    EXPECT_EQ(s_api.TUL_iGetDrive(), 0);
  }
  EXPECT_EQ(s_api.TUL_iKindOfDrive('c'), Windows() ? 4 : 0);
  EXPECT_EQ(s_api.TUL_lGetActiveWindow(), 0);  // no window in a test process
  // HELP_QUIT to a help window that is not open: nothing to do, nothing is started.
  EXPECT_EQ(s_api.TUL_iWinHelp(0, nullptr, 2, 0), Windows() ? 1 : 0);
}

// Every export on a host's thread with a 64 KiB stack, a quarter of it already taken by the
// host's own frames: each must run in what is left, with its deepest work (a document scan with a
// find, a raw scan, a walk down to the path limit, a copy). Results are checked afterwards, on
// the test's own thread.
void RunFunction(void* pv) { (*static_cast<std::function<void()>*>(pv))(); }

TEST_F(Exports, EveryExportRunsOnA64KiBThreadStack) {
  ASSERT_EQ(s_nFound, kZmExports);
  const std::string sSep = Sep(), sDir = FreshDir();
  ASSERT_FALSE(sDir.empty());
  zmdoc::DocSpec spec;
  spec.macros.push_back(zmdoc::MacroCarrying(zmdoc::DatabaseSignature(45, 1), 0x5A, "AutoOpen"));
  const std::string sDoc = sDir + sSep + "wieder.doc", sRaw = sDir + sSep + "raw.bin";
  ASSERT_TRUE(zmdoc::WriteFile(sDoc, zmdoc::BuildWord6(spec)));
  std::vector<uint8_t> raw(200000, 0x11), abSig = zmdoc::HexBytes(g_aRawSignatures[1].szSignature);
  std::copy(abSig.begin(), abSig.end(), raw.end() - static_cast<std::ptrdiff_t>(abSig.size()));
  ASSERT_TRUE(zmdoc::WriteFile(sRaw, raw));
  // A chain of directories down to the walk's path limit, a file at the bottom.
  std::string sDeep = sDir;
  while (sDeep.size() + 2 + 8 < 240) sDeep += sSep + "d";
  std::filesystem::create_directories(sDeep);
  ASSERT_TRUE(zmdoc::WriteFile(sDeep + sSep + "x.doc", {1}));

  char szResult[256] = "", szConfirmed[256] = "", szMacros[256], szText[256];
  int32_t iRaw = -1;
  std::string sLong(255, 'q');
  std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"MACRO_Handler job 1",
       [&] { s_api.MACRO_Handler(1, sDoc.c_str(), "x&", szResult, "", szMacros); }},
      {"MACRO_Handler jobs 0 and 2",
       [&] {
         s_api.MACRO_Handler(0, "", "AutoOpen&", szConfirmed, "", szMacros);
         s_api.MACRO_Handler(2, sDoc.c_str(), "AutoOpen&", szConfirmed, "", szMacros);
       }},
      {"MACRO_Signatures", [&] { s_api.MACRO_Signatures(); }},
      {"MACRO_DecryptDef", [&] { s_api.MACRO_DecryptDef(sLong.c_str(), szText); }},
      {"MACRO_ScanRaw", [&] { iRaw = s_api.MACRO_ScanRaw(sRaw.c_str(), "Wazzu"); }},
      {"MACRO_CallTraverse",
       [&] {
         s_api.MACRO_CallTraverse((sDir + sSep + "*.*").c_str(), (sDir + sSep + "list.txt").c_str(),
                                  "*.DOC", 0);
       }},
      {"MACRO_lDosPath", [&] { s_api.MACRO_lDosPath(sRaw.c_str(), szText, 128); }},
      {"TUL_iStrLen", [&] { s_api.TUL_iStrLen(sLong.c_str()); }},
      {"TUL_iInStr", [&] { s_api.TUL_iInStr(1, sLong.c_str(), "QQQ"); }},
      {"TUL_szMakeSpec", [&] { s_api.TUL_szMakeSpec(sDir.c_str(), szText); }},
      {"TUL_szGetCWD", [&] { s_api.TUL_szGetCWD(szText, 256, 0); }},
      {"TUL_szGetWindowsDirectory", [&] { s_api.TUL_szGetWindowsDirectory(szText); }},
      {"TUL_iChDrive", [&] { s_api.TUL_iChDrive(0); }},
      {"TUL_iGetDrive", [&] { s_api.TUL_iGetDrive(); }},
      {"TUL_iKindOfDrive", [&] { s_api.TUL_iKindOfDrive('c'); }},
      {"TUL_iCopyFile",
       [&] { s_api.TUL_iCopyFile(sRaw.c_str(), (sDir + sSep + "copy.bin").c_str()); }},
      {"TUL_iWinHelp", [&] { s_api.TUL_iWinHelp(0, nullptr, 2, 0); }},
      {"TUL_lGetActiveWindow", [&] { s_api.TUL_lGetActiveWindow(); }},
  };
  for (auto& [szExport, fn] : calls)
    EXPECT_TRUE(RunOnSmallStack(64 * 1024, 16 * 1024, RunFunction, &fn)) << szExport;
  EXPECT_STREQ(szResult, "Macro.Word.Wieder");
  EXPECT_STREQ(szConfirmed, "Macro.Word.Wieder");
  EXPECT_EQ(iRaw, 1);
  std::ifstream list(sDir + sSep + "list.txt", std::ios::binary);
  std::string sList((std::istreambuf_iterator<char>(list)), std::istreambuf_iterator<char>());
  EXPECT_NE(sList.find("X.DOC\r\n"), std::string::npos) << sList;  // the bottom was reached
  EXPECT_NE(sList.find("WIEDER.DOC\r\n"), std::string::npos) << sList;
  std::error_code ec;
  std::filesystem::remove_all(sDir, ec);
}

}  // namespace
