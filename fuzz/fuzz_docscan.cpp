// Property: for any file content, the document scan (jobs 1 and 2 from every kind of chain start)
// answers 1 with the name of a definition at or after its chain start, or 0 with one of its two
// status texts, writes nothing past the name area of its text buffer, and gives back every handle
// and block it took; the stream reading shared with the front end does the same.
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "docreader.h"
#include "engine.h"
#include "fuzzsupport.h"

namespace {

// Names repeat in the database (two definitions are "Macro.Word.Alliance"): the one found is
// the last so named at or after the chain start.
bool NamedFrom(const char* szName, int iStart) {
  for (int i = iStart; i < ZM_DEFINITIONS; ++i)
    if (std::strcmp(g_aVirusDefs[i].szName, szName) == 0) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  const char* szPath = FZ_szFile(0, pb, cb);
  FZ_Begin();
  for (int iStart : {0, 45, ZM_DEFINITIONS - 1, -1}) {
    VirusDef* pStart = iStart < 0 ? nullptr : &g_aVirusDefs[iStart];
    char szText[ZM_SCAN_TEXT];
    std::memset(szText, 0xA5, sizeof szText);
    int32_t r = DOC_ScanDocument(szPath, pStart, szText, nullptr);
    FZ_CHECK(r == 0 || r == 1);
    FZ_CHECK(std::memchr(szText, 0, ZM_DEF_NAME) != nullptr);
    for (size_t i = ZM_DEF_NAME; i < sizeof szText; ++i) FZ_CHECK(szText[i] == '\xA5');
    if (r == 1) {
      FZ_CHECK(pStart != nullptr);
      FZ_CHECK(NamedFrom(szText, iStart));
    } else {
      FZ_CHECK(std::strcmp(szText, ZM_TXT_OPENING) == 0 ||
               std::strcmp(szText, ZM_TXT_NO_VIRUS) == 0);
    }
  }
  DocReader* p = DOC_pOpenDocument(szPath);
  if (p != nullptr) {
    uint32_t cbStream = DOC_lReadableBytes(p);
    for (uint32_t lPos : {0u, 0x118u, cbStream / 2, cbStream ? cbStream - 1 : 0, cbStream})
      DOC_iReadAt(p, lPos, lPos % 3 ? 24 : ZM_IMAGE);
    DOC_CloseDocument(p);
  }
  FZ_CheckGivenBack();
  return 0;
}
