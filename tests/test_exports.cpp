// The exports as a front end sees them: the built zebmacro.dll / libzebmacro.so loaded at run
// time and every export looked up by its undecorated name.
#include <gtest/gtest.h>

#include <cstring>

#include "zmapi.h"

namespace {

class Exports : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_nFound = ZmLoadApi(ZM_LIBRARY_PATH, &s_api); }
  static ZmApi s_api;
  static int s_nFound;
};
ZmApi Exports::s_api;
int Exports::s_nFound;

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

}  // namespace
