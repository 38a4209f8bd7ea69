// The macro signature matcher: the first definition, from a chain start, with a byte
// signature inside one extracted macro.
#include <string.h>

#include "docreader.h"
#include "engine.h"

namespace {

// Whether sig[0..nSig) occurs wholly inside pb[0..lLength): each position is first tested against
// the signature's first byte. An empty signature never hits.
bool Occurs(const uint8_t* pb, int32_t lLength, const uint8_t* pbSig, int32_t nSig) {
  if (nSig <= 0 || lLength <= 0 || nSig > lLength) return false;
  for (int32_t i = 0; i <= lLength - nSig; ++i)
    if (pb[i] == pbSig[0] && memcmp(pb + i, pbSig, static_cast<size_t>(nSig)) == 0) return true;
  return false;
}

void CopyName(char* szText, const char* szName) {
  size_t n = strnlen(szName, ZM_DEF_NAME - 1);
  memcpy(szText, szName, n);
  szText[n] = '\0';
}

}  // namespace

int32_t DOC_MatchSignatures(const uint8_t* pbImage, VirusDef* pStart, char* szText, int32_t lLength,
                            VirusDef** ppFound) {
  uint8_t abSig[ZM_SIG_BYTES];
  if (ppFound) *ppFound = nullptr;
  for (VirusDef* pDef = pStart; pDef != nullptr; pDef = SIG_pNext(pDef)) {
    if (pDef->iVerify == 0) continue;  // 1 and 2 are treated alike
    for (int32_t iMacro = 0; iMacro < pDef->nMacros; ++iMacro) {
      const MacroDef& m = pDef->pMacros[iMacro];
      for (int iSlot = 0; iSlot < ZM_SIG_SLOTS && m.apszSignature[iSlot] != nullptr; ++iSlot) {
        // Decoded afresh on each use; one that doesn't fit the buffer (-1) never hits.
        int32_t nSig = SIG_iDecode(m.apszSignature[iSlot], abSig, ZM_SIG_BYTES);
        if (!Occurs(pbImage, lLength, abSig, nSig)) continue;
        CopyName(szText, pDef->szName);
        if (ppFound) *ppFound = pDef;
        return 1;
      }
    }
  }
  strcpy(szText, ZM_TXT_NO_VIRUS);
  return 0;
}
