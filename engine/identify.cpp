// Macro-name identification: the first definition in chain order whose count of matching names
// reaches its threshold. Names are folded in place, the database's for as long as it is loaded.
#include <stddef.h>
#include <string.h>

#include "engine.h"
#include "strutil.h"

void ENG_BuildList(const VirusDef* pDef, char* szList) {
  // The longest list of the database is 210 characters; names are at most 31, so stop before a
  // name that would not fit rather than ever pass the 256-byte area.
  size_t len = 0;
  szList[0] = '\0';
  for (int32_t i = 0; i < pDef->nMacros; ++i) {
    size_t n = strlen(pDef->pMacros[i].szName);
    if (len + n + 2 > ZM_RESULT_BUFFER) break;
    memcpy(szList + len, pDef->pMacros[i].szName, n);
    szList[len + n] = '&';
    len += n + 1;
    szList[len] = '\0';
  }
}

namespace {

// Definitions whose names a walk has folded already: folding again would change nothing, and the
// walk of every job 0 would pay for it.
bool g_abFolded[ZM_DEFINITIONS];
static_assert(ZM_MAX_NAMES <= 32, "a slot mask has one bit per slot");

}  // namespace

int32_t ENG_iIdentify(int32_t iLast, VirusDef** ppDef) {
  // Folding a slot twice changes nothing, so each slot is folded once up front. Slots by their
  // first byte: a database name is compared only with the slots that begin as it does.
  uint32_t aqFirst[256] = {};
  for (int32_t k = 0; k <= iLast; ++k) {
    UTL_Fold(g_aszMacroNames[k]);
    aqFirst[static_cast<unsigned char>(g_aszMacroNames[k][0])] |= 1u << k;
  }
  for (VirusDef* pDef = g_pDatabaseHead; pDef != nullptr; pDef = SIG_pNext(pDef)) {
    ptrdiff_t iDef = pDef - g_aVirusDefs;
    bool bInArray = iDef >= 0 && iDef < ZM_DEFINITIONS;
    int32_t nMatches = 0;
    for (int32_t i = 0; i < pDef->nMacros; ++i) {
      char* szName = pDef->pMacros[i].szName;
      if (!bInArray || !g_abFolded[iDef]) UTL_Fold(szName);
      uint32_t q = aqFirst[static_cast<unsigned char>(szName[0])];
      for (; q != 0; q &= q - 1) {
        // Equal first bytes; an empty name is equal to an empty slot.
        int32_t k = __builtin_ctz(q);
        nMatches += szName[0] == '\0' || strcmp(szName + 1, g_aszMacroNames[k] + 1) == 0;
      }
    }
    if (bInArray) g_abFolded[iDef] = true;
    if (nMatches >= 1 && nMatches >= pDef->iThreshold) {
      *ppDef = pDef;
      return pDef->iVerify > 0 ? ENG_CONFIRM : ENG_IDENTIFIED;
    }
  }
  *ppDef = nullptr;
  return ENG_NOTHING;
}
