// Property: for any sequence of MACRO_Handler calls (job codes, lists, documents), every answer
// is a row of the result table: 0 only from a document scan, with "MACRO_NO_VIRUS_FOUND" or, for a
// document it could not open or read, "MACRO_ERROR_OPENING_OLE2"; 1 with a
// fixed result text, "Macro.Word.Outlaw" or a definition's name; the macro-name buffer written
// only with an answer that carries a list, and then with '&'-terminated names; nothing written
// past byte 256 of either buffer. The pending record is set only by "MACRO_CHECK_FALSE_ALARMS" and
// taken by every job 2 whose list is accepted (it holds '&' and fits the name table). The
// database's macro names only ever get upper-cased.
//
// Input: up to 8 calls, each one byte of job code (-1..3, taken modulo 5), one byte choosing the
// document (four built documents or a missing one), then the list text up to a NUL.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "docbuilder.h"
#include "engine.h"
#include "fuzzsupport.h"

namespace {

constexpr int kDocs = 5;
std::string g_asDocs[kDocs];
std::vector<std::string> g_asPristine;  // every stored macro name, as loaded

void Setup() {
  using namespace zmdoc;
  DocSpec aSpec[4];
  aSpec[0].macros.push_back(MacroCarrying(DatabaseSignature(45, 1), 0x5A, "AutoOpen"));
  aSpec[1].macros.push_back(MacroCarrying({0x01, 0x02, 0x03}, 0x11, "FileSave"));
  aSpec[2].macros.push_back(MacroCarrying(DatabaseSignature(0, 0), 0, "AutoClose"));
  aSpec[2].macros.push_back(MacroCarrying(DatabaseSignature(50, 0), 0x33, "FileOpen"));
  aSpec[3].macros.push_back(MacroCarrying(DatabaseSignature(58, 0), 0x7F, "AutoExec"));
  for (int i = 0; i < 4; ++i) {
    std::vector<uint8_t> ab = BuildWord6(aSpec[i]);
    g_asDocs[i] = FZ_szFile(i, ab.data(), ab.size());
  }
  g_asDocs[4] = "\x01no such document";
  for (const VirusDef& def : g_aVirusDefs)
    for (int32_t k = 0; k < def.nMacros; ++k) g_asPristine.push_back(def.pMacros[k].szName);
}

bool IsDefinitionName(const char* sz) {
  for (const VirusDef& def : g_aVirusDefs)
    if (std::strcmp(def.szName, sz) == 0) return true;
  return false;
}

void CheckDatabase() {
  size_t i = 0;
  for (const VirusDef& def : g_aVirusDefs)
    for (int32_t k = 0; k < def.nMacros; ++k, ++i) {
      const std::string& s = g_asPristine[i];
      FZ_CHECK(s == def.pMacros[k].szName || FZ_Upper(s) == def.pMacros[k].szName);
    }
}

bool Untouched(const unsigned char* pb) {
  for (int i = 0; i < 300; ++i)
    if (pb[i] != 0xA5) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  static bool s_bReady = (Setup(), true);
  (void)s_bReady;
  size_t pos = 0;
  for (int iCall = 0; iCall < 8 && pos + 2 <= cb; ++iCall) {
    int32_t iJob = static_cast<int32_t>(pb[pos] % 5) - 1;
    const std::string& sDoc = g_asDocs[pb[pos + 1] % kDocs];
    pos += 2;
    size_t end = pos;
    while (end < cb && pb[end] != 0) ++end;
    std::string sList(reinterpret_cast<const char*>(pb + pos), end - pos);
    pos = end + 1;

    unsigned char abResult[300], abMacros[300];
    std::memset(abResult, 0xA5, sizeof abResult);
    std::memset(abMacros, 0xA5, sizeof abMacros);
    const VirusDef* pBefore = g_pPendingVerify;
    FZ_Begin();
    int32_t r = ENG_iHandler(iJob, sDoc.c_str(), sList.c_str(), reinterpret_cast<char*>(abResult),
                             "", reinterpret_cast<char*>(abMacros));
    FZ_CheckGivenBack();
    const char* szResult = reinterpret_cast<const char*>(abResult);
    FZ_CHECK(r == 0 || r == 1);
    FZ_CHECK(std::memchr(abResult, 0, ZM_RESULT_BUFFER) != nullptr);
    for (size_t i = ZM_RESULT_BUFFER; i < sizeof abResult; ++i)
      FZ_CHECK(abResult[i] == 0xA5 && abMacros[i] == 0xA5);

    bool bAmp = sList.find('&') != std::string::npos;
    bool bList = std::strcmp(szResult, ZM_TXT_OUTLAW) == 0 || IsDefinitionName(szResult);
    if (r == 0)
      FZ_CHECK((iJob == 1 || iJob == 2) && (std::strcmp(szResult, ZM_TXT_NO_VIRUS) == 0 ||
                                            std::strcmp(szResult, ZM_TXT_OPENING) == 0));
    if (!bAmp) FZ_CHECK(r == 1 && std::strcmp(szResult, ZM_TXT_DIVIDING) == 0);
    FZ_CHECK(bList || std::strcmp(szResult, ZM_TXT_DIVIDING) == 0 ||
             std::strcmp(szResult, ZM_TXT_INVALID_JOB) == 0 ||
             std::strcmp(szResult, ZM_TXT_NO_VIRUS) == 0 ||
             std::strcmp(szResult, ZM_TXT_OPENING) == 0 ||
             std::strcmp(szResult, ZM_TXT_CHECK) == 0);
    if (bList) {
      const char* szMacros = reinterpret_cast<const char*>(abMacros);
      FZ_CHECK(std::memchr(abMacros, 0, ZM_RESULT_BUFFER) != nullptr);
      size_t n = std::strlen(szMacros);
      FZ_CHECK(n == 0 || szMacros[n - 1] == '&');
    } else {
      FZ_CHECK(Untouched(abMacros));
    }

    if (std::strcmp(szResult, ZM_TXT_CHECK) == 0)
      FZ_CHECK(iJob == 0 && g_pPendingVerify != nullptr && g_pPendingVerify->iVerify > 0);
    else if (iJob == 2 && std::strcmp(szResult, ZM_TXT_DIVIDING) != 0)
      FZ_CHECK(g_pPendingVerify == nullptr);
    else
      FZ_CHECK(g_pPendingVerify == pBefore);
  }
  CheckDatabase();
  return 0;
}
