// Macro-name identification: the first definition in chain order whose count of matching names
// reaches its threshold. Names are folded in place, the database's for as long as it is loaded.
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

int32_t ENG_iIdentify(int32_t iLast, VirusDef** ppDef) {
  // Folding a slot twice changes nothing, so each slot is folded once up front.
  for (int32_t k = 0; k <= iLast; ++k) UTL_Fold(g_aszMacroNames[k]);
  for (VirusDef* pDef = g_pDatabaseHead; pDef != nullptr; pDef = SIG_pNext(pDef)) {
    int32_t nMatches = 0;
    for (int32_t i = 0; i < pDef->nMacros; ++i) {
      char* szName = pDef->pMacros[i].szName;
      UTL_Fold(szName);
      for (int32_t k = 0; k <= iLast; ++k) nMatches += strcmp(szName, g_aszMacroNames[k]) == 0;
    }
    if (nMatches >= 1 && nMatches >= pDef->iThreshold) {
      *ppDef = pDef;
      return pDef->iVerify > 0 ? ENG_CONFIRM : ENG_IDENTIFIED;
    }
  }
  *ppDef = nullptr;
  return ENG_NOTHING;
}
