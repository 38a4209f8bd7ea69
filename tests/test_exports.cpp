// The exports as a front end sees them: the built zebmacro.dll / libzebmacro.so loaded at run
// time and every export looked up by its undecorated name.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "zmapi.h"

namespace {

class Exports : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_nFound = ZmLoadApi(ZM_LIBRARY_PATH, &s_api); }
  // The DLL: drive letters, '\' paths and a Windows directory exist.
  static bool Windows() { return std::strstr(ZmLibraryName(), ".dll") != nullptr; }
  static ZmApi s_api;
  static int s_nFound;
};
ZmApi Exports::s_api;
int Exports::s_nFound;

// ZmLoadApi counts the names it found; every one is then called below.
TEST_F(Exports, AllSeventeenResolveByName) { EXPECT_EQ(s_nFound, 17); }

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

TEST_F(Exports, TextExportsAnswerThroughTheLibrary) {
  ASSERT_EQ(s_nFound, 17);
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
  ASSERT_EQ(s_nFound, 17);
  char szDir[260];
  ASSERT_EQ(s_api.TUL_szGetCWD(szDir, 260, 0), szDir);
  const int32_t n = static_cast<int32_t>(std::strlen(szDir));
  char szSmall[260] = "untouched";
  EXPECT_EQ(s_api.TUL_szGetCWD(szSmall, n, 0), nullptr);
  EXPECT_STREQ(szSmall, "untouched");
  EXPECT_EQ(s_api.TUL_szGetCWD(szSmall, n + 1, 0), szSmall);

  // A fresh directory of our own: the three builds may run this at the same time.
  const std::string sSep = Windows() ? "\\" : "/";
  std::string sTemp = std::filesystem::temp_directory_path().string();
  while (!sTemp.empty() && (sTemp.back() == '/' || sTemp.back() == '\\')) sTemp.pop_back();
  const std::string sDir =
      sTemp + sSep + "zm-exports-" +
      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() & 0xFFFFFFF);
  ASSERT_TRUE(std::filesystem::create_directory(sDir));
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
  ASSERT_EQ(s_nFound, 17);
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

}  // namespace
