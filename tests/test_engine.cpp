// MACRO_Handler's dispatcher, the macro-name identification and the numbered-macro heuristic.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine.h"

namespace {

constexpr char kUntouched[] = "<untouched>";

struct Call {
  int32_t iRet;
  std::string sResult, sMacros;
};

Call Handle(int32_t iJob, const char* szList, const char* szPath = "no-such.doc") {
  char szResult[256], szMacros[256];
  std::strcpy(szResult, kUntouched);
  std::strcpy(szMacros, kUntouched);
  int32_t r = ENG_iHandler(iJob, szPath, szList, szResult, "", szMacros);
  return {r, szResult, szMacros};
}

const VirusDef* Def(int iPos) { return &g_aVirusDefs[iPos - 1]; }

struct Job0Case {
  const char* szList;
  const char* szResult;
  const char* szMacros;  // kUntouched when the buffer must stay as it was
};

// Job 0 by names: identification, confirmation and the heuristic, in both cases of the input.
TEST(Job0, AnswersByNames) {
  const Job0Case kCases[] = {
      {"AutoOpen&DateiSpeichernUnter&", "Macro.Word.PCW", "AUTOOPEN&DATEISPEICHERNUNTER&"},
      {"autoopen&autoopen&", "Macro.Word.NOP", "NOP&AUTOOPEN&DATEISPEICHERN&"},
      {"aaazfs&aaazao&payload&filesaveas&", "Macro.Word.Concept.a",
       "AAAZFS&AAAZAO&PAYLOAD&FILESAVEAS&AUTOOPEN&"},
      {"AutoOpen&b\xFCroneu&", "Macro.Word.Buero", "AUTOOPEN&B\xFCRONEU&"},
      {"AutoOpen&B\xDCRONEU&", "MACRO_CHECK_FALSE_ALARMS", kUntouched},
      {"AutoOpen&", "MACRO_CHECK_FALSE_ALARMS", kUntouched},
      {"AutoOpen&FileSaveAs", "MACRO_CHECK_FALSE_ALARMS", kUntouched},
      {"FileClose&FileSaveAs&", "MACRO_CHECK_FALSE_ALARMS", kUntouched},
      {"Gangsterz&paradise&", "Macro.Word.Gangster", "GANGSTERZ&PARADISE&"},
      {"Hello&", "MACRO_NO_VIRUS_FOUND", kUntouched},
      {"&&", "MACRO_NO_VIRUS_FOUND", kUntouched},
      {"AutoOpe&", "MACRO_NO_VIRUS_FOUND", kUntouched},
      {"autoexec&autoopen&dat1&dat2&dat3&dat4&dat5&dat6&dat7&dat8&dat9&dat10&dat11&dat12&dat13&"
       "dat14&dat15&dat16&dat17&dat18&",
       "Macro.Word.WMVCK",
       "AUTOEXEC&AUTOOPEN&DAT1&DAT2&DAT3&DAT4&DAT5&DAT6&DAT7&DAT8&DAT9&DAT10&DAT11&DAT12&DAT13&"
       "DAT14&DAT15&DAT16&DAT17&DAT18&"},
      // Numbered-macro heuristic.
      {"A712&B813&C914&", "Macro.Word.Outlaw", "A712&B813&C914&"},
      {"AutoOpen&A712&B813&C914&", "Macro.Word.Outlaw", "A712&B813&C914&"},
      {"X7A1B2&B8x9y9&A799&", "Macro.Word.Outlaw", "X7A1B2&B8x9y9&A799&"},
      {"A71&A7&A612&B813&C914&D915&", "Macro.Word.Outlaw", "B813&C914&D915&"},
      {"A712&B813&C914&D915&", "MACRO_NO_VIRUS_FOUND", kUntouched},
      {"a712&B813&C914&", "MACRO_NO_VIRUS_FOUND", kUntouched},
      {"Y712&Z812&A712&B813&", "MACRO_NO_VIRUS_FOUND", kUntouched},
      {"A7123&B8xx&C9_1_2&", "MACRO_NO_VIRUS_FOUND", kUntouched},
      {"A70&B81&C92&", "MACRO_NO_VIRUS_FOUND", kUntouched},
      {"A712&B813&C914&A712&B813&C914&A712&B813&C914&A712&B813&C914&A712&B813&C914&A712&B813&C914&"
       "A712&B813&",
       "MACRO_NO_VIRUS_FOUND", kUntouched},
  };
  for (const Job0Case& c : kCases) {
    SCOPED_TRACE(c.szList);
    for (int iRepeat = 0; iRepeat < 2; ++iRepeat) {  // folding never changes an outcome
      Call r = Handle(0, c.szList);
      EXPECT_EQ(r.iRet, 1);
      EXPECT_EQ(r.sResult, c.szResult);
      EXPECT_EQ(r.sMacros, c.szMacros);
    }
  }
}

TEST(Job0, ConfirmationSetsThePendingRecord) {
  const struct {
    const char* szList;
    int iPending;
  } kCases[] = {
      {"AutoOpen&", 46},              // Wieder: the first threshold-1 definition
      {"FileClose&FileSaveAs&", 41},  // Polite: verify flag 2 acts as 1
      {"AutoOpen&B\xDCRONEU&", 46},   // only a-z are folded, so the second name matches nothing
      {"AutoOpen&AutoNew&", 18 + 0},  // Satanic needs 5: no; Alliance (2, verify 1)
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szList);
    g_pPendingVerify = nullptr;
    EXPECT_EQ(Handle(0, c.szList).sResult, "MACRO_CHECK_FALSE_ALARMS");
    ASSERT_NE(g_pPendingVerify, nullptr);
    if (std::strcmp(c.szList, "AutoOpen&AutoNew&") == 0)
      EXPECT_EQ(g_pPendingVerify, Def(42));
    else
      EXPECT_EQ(g_pPendingVerify, Def(c.iPending));
  }
  g_pPendingVerify = nullptr;
}

// Argument contract: the list test comes first, then the job code.
TEST(Handler, ErrorsAndLimits) {
  const std::string k25 = [] {
    std::string s;
    for (int i = 0; i < 25; ++i) s += "N" + std::to_string(i) + "&";
    return s;
  }();
  const std::string k30(30, 'Q');
  const struct {
    int32_t iJob;
    std::string sList;
    const char* szResult;
    int32_t iRet;
  } kCases[] = {
      {0, "", "MACRO_ERROR_DIVIDING_DATA", 1},
      {1, "", "MACRO_ERROR_DIVIDING_DATA", 1},
      {2, "AutoOpen", "MACRO_ERROR_DIVIDING_DATA", 1},
      {7, "", "MACRO_ERROR_DIVIDING_DATA", 1},
      {3, "x&", "MACRO_ERROR_INVALID_JOB_CODE", 1},
      {-1, "x&", "MACRO_ERROR_INVALID_JOB_CODE", 1},
      // No document at the empty path: not scanned, and said so.
      {1, "x&", "MACRO_ERROR_OPENING_OLE2", 0},
      {2, "x&", "MACRO_ERROR_OPENING_OLE2", 0},
      // Limits: 25 names of 30 characters fit; one more of either is refused.
      {0, k25, "MACRO_NO_VIRUS_FOUND", 1},
      {0, k25 + "N25&", "MACRO_ERROR_DIVIDING_DATA", 1},
      {0, k25 + "trailing text is no name", "MACRO_NO_VIRUS_FOUND", 1},
      {0, k30 + "&", "MACRO_NO_VIRUS_FOUND", 1},
      {0, k30 + "Q&", "MACRO_ERROR_DIVIDING_DATA", 1},
      {0, std::string(254, 'a') + "&", "MACRO_ERROR_DIVIDING_DATA", 1},   // name too long
      {0, std::string(255, '&'), "MACRO_ERROR_DIVIDING_DATA", 1},         // too many names
      {0, "x&" + std::string(253, 'z'), "MACRO_NO_VIRUS_FOUND", 1},       // 255 characters
      {0, "x&" + std::string(254, 'z'), "MACRO_ERROR_DIVIDING_DATA", 1},  // 256 characters
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.iJob) + " '" + c.sList + "'");
    Call r = Handle(c.iJob, c.sList.c_str());
    EXPECT_EQ(r.sResult, c.szResult);
    EXPECT_EQ(r.iRet, c.iRet);
    EXPECT_EQ(r.sMacros, kUntouched);
  }
}

TEST(Handler, OverlongPathOrReservedTextIsRefused) {
  std::string sLong(256, 'p');
  char szResult[256], szMacros[256] = "keep";
  EXPECT_EQ(ENG_iHandler(0, sLong.c_str(), "Hello&", szResult, "", szMacros), 1);
  EXPECT_STREQ(szResult, "MACRO_ERROR_DIVIDING_DATA");
  EXPECT_EQ(ENG_iHandler(0, "", "Hello&", szResult, sLong.c_str(), szMacros), 1);
  EXPECT_STREQ(szResult, "MACRO_ERROR_DIVIDING_DATA");
  EXPECT_STREQ(szMacros, "keep");
}

TEST(Handler, NullPointersNeverCrash) {
  char szResult[256];
  EXPECT_EQ(ENG_iHandler(0, nullptr, nullptr, szResult, nullptr, nullptr), 1);
  EXPECT_STREQ(szResult, "MACRO_ERROR_DIVIDING_DATA");
  EXPECT_EQ(ENG_iHandler(0, nullptr, "A712&B813&C914&", nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(ENG_iHandler(1, nullptr, "x&", nullptr, nullptr, nullptr), 0);
}

// The pending record: set by job 0, taken and cleared by job 2, untouched by everything else.
TEST(Handler, PendingRecordLifecycle) {
  g_pPendingVerify = nullptr;
  EXPECT_EQ(Handle(0, "AutoOpen&").sResult, "MACRO_CHECK_FALSE_ALARMS");
  EXPECT_EQ(g_pPendingVerify, Def(46));

  // Nothing but job 2 with a valid list takes it.
  const struct {
    int32_t iJob;
    const char* szList;
  } kKeep[] = {{2, ""},
               {2, "no ampersand"},
               {0, "Hello&"},
               {0, "Gangsterz&Paradise&"},
               {0, "A712&B813&C914&"},
               {1, "x&"},
               {9, "x&"}};
  for (const auto& k : kKeep) {
    SCOPED_TRACE(std::to_string(k.iJob) + " " + k.szList);
    Handle(k.iJob, k.szList);
    EXPECT_EQ(g_pPendingVerify, Def(46));
  }
  std::string sTooMany(30, '&');
  Handle(2, sTooMany.c_str());
  EXPECT_EQ(g_pPendingVerify, Def(46));

  // A later confirmation replaces it.
  EXPECT_EQ(Handle(0, "FileClose&FileSaveAs&").sResult, "MACRO_CHECK_FALSE_ALARMS");
  EXPECT_EQ(g_pPendingVerify, Def(41));

  // Job 2 clears it before its scan, whatever the scan answers (here: no document to read); a
  // second job 2 has none.
  Call r = Handle(2, "x&");
  EXPECT_EQ(g_pPendingVerify, nullptr);
  EXPECT_EQ(r.iRet, 0);
  EXPECT_EQ(r.sResult, "MACRO_ERROR_OPENING_OLE2");
  r = Handle(2, "x&");
  EXPECT_EQ(r.iRet, 0);
  EXPECT_EQ(r.sResult, "MACRO_ERROR_OPENING_OLE2");
  EXPECT_EQ(r.sMacros, kUntouched);
}

TEST(Handler, AWalkWithoutAnswerFoldsEveryStoredName) {
  Handle(0, "Hello&");
  for (const VirusDef* p = g_pDatabaseHead; p; p = SIG_pNext(p)) {
    for (int i = 0; i < p->nMacros; ++i)
      for (const char* c = p->pMacros[i].szName; *c; ++c) EXPECT_FALSE(*c >= 'a' && *c <= 'z');
    EXPECT_NE(std::strchr(p->szName, 'o'), nullptr) << "virus names are never folded";
  }
  EXPECT_STREQ(Def(44)->pMacros[1].szName, "B\xFCRONEU");
}

// Both buffers are written as whole texts and never past 256 bytes; paths that leave a buffer
// untouched leave every byte of it as it was.
TEST(Handler, CanaryBuffersShowEveryByteWritten) {
  const std::string sLong(300, 'x');
  const struct {
    int32_t iJob;
    std::string sList;
    bool bMacrosWritten;
  } kCases[] = {
      {0, "AutoOpen&DateiSpeichernUnter&", true},
      {0, "A712&B813&C914&", true},
      {0, "AutoOpen&", false},
      {0, "Hello&", false},
      {0, "", false},
      {5, "x&", false},
      {1, "x&", false},
      {0, sLong, false},
      {0, std::string(40, 'n') + "&", false},
      {0,
       "abbrechen&cancel&dateibeenden&dateineu&datei\xD6"
       "ffnen&dateischlie\xDF"
       "en&"
       "dateispeichern&dateispeichernunter&extrasmacro&extrasmakro&fast&fileexit&filenew&"
       "fileopen&filesave&filesaveas&infizieren&autoexec&",
       true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.sList);
    unsigned char abResult[320], abMacros[320];
    std::memset(abResult, 0xA5, sizeof abResult);
    std::memset(abMacros, 0x5A, sizeof abMacros);
    ENG_iHandler(c.iJob, "x.doc", c.sList.c_str(), reinterpret_cast<char*>(abResult), "",
                 reinterpret_cast<char*>(abMacros));
    size_t nResult = strnlen(reinterpret_cast<char*>(abResult), 256);
    ASSERT_LT(nResult, 256u);
    for (size_t i = nResult + 1; i < sizeof abResult; ++i) ASSERT_EQ(abResult[i], 0xA5) << i;
    if (c.bMacrosWritten) {
      size_t nMacros = strnlen(reinterpret_cast<char*>(abMacros), 256);
      ASSERT_LT(nMacros, 256u);
      for (size_t i = nMacros + 1; i < sizeof abMacros; ++i) ASSERT_EQ(abMacros[i], 0x5A) << i;
    } else {
      for (size_t i = 0; i < sizeof abMacros; ++i) ASSERT_EQ(abMacros[i], 0x5A) << i;
    }
  }
}

TEST(Split, ListFormat) {
  const struct {
    const char* szList;
    int32_t iLast;
    std::vector<std::string> names;
  } kCases[] = {
      {"AutoOpen&FileSaveAs&", 1, {"AutoOpen", "FileSaveAs"}},
      {"AutoOpen&FileSaveAs", 0, {"AutoOpen"}},
      {"&&", 1, {"", ""}},
      {"", -1, {}},
      {"x", -1, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szList);
    ASSERT_EQ(ENG_iSplitList(c.szList), c.iLast);
    for (size_t k = 0; k < c.names.size(); ++k) EXPECT_EQ(c.names[k], g_aszMacroNames[k]);
  }
}

}  // namespace
