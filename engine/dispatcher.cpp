// MACRO_Handler: copies and checks the arguments, splits the macro-name list and runs job 0
// (names), job 1 (document scan from the database head) or job 2 (confirm the pending record).
#include <string.h>

#include "docreader.h"
#include "engine.h"
#include "strutil.h"

char g_aszMacroNames[ZM_MAX_NAMES][ZM_NAME_SLOT];
VirusDef* g_pPendingVerify = nullptr;

namespace {

void Answer(char* szBuffer, const char* szText) {
  if (szBuffer == nullptr) return;
  size_t n = strlen(szText);
  if (n >= ZM_RESULT_BUFFER) n = ZM_RESULT_BUFFER - 1;
  memcpy(szBuffer, szText, n);
  szBuffer[n] = '\0';
}

}  // namespace

int32_t ENG_iListFits(const char* szList) {
  int32_t nNames = 0, nLen = 0;
  for (const char* p = szList; *p; ++p) {
    if (*p != '&') {
      ++nLen;
      continue;
    }
    if (nLen > ZM_NAME_SLOT - 1 || ++nNames > ZM_MAX_NAMES) return 0;
    nLen = 0;
  }
  return 1;
}

int32_t ENG_iSplitList(const char* szList) {
  int32_t iSlot = 0, iPos = 0;
  for (const char* p = szList; *p; ++p) {
    if (*p == '&') {
      g_aszMacroNames[iSlot][iPos] = '\0';
      ++iSlot;
      iPos = 0;
    } else if (iSlot < ZM_MAX_NAMES && iPos < ZM_NAME_SLOT - 1) {
      // Text after the last '&' is never read; it is only kept while it fits its slot.
      g_aszMacroNames[iSlot][iPos++] = *p;
    }
  }
  if (iSlot < ZM_MAX_NAMES) g_aszMacroNames[iSlot][iPos] = '\0';
  return iSlot - 1;
}

int32_t ENG_iHandler(int32_t iJob, const char* szDocPath, const char* szMacroList, char* szResult,
                     const char* szReserved, char* szResultMacros) {
  char szPath[ZM_TEXT_AREA], szList[ZM_TEXT_AREA], szSpare[ZM_TEXT_AREA];
  char szScan[ZM_TEXT_AREA], szMacros[ZM_TEXT_AREA];
  char szHeurName[ZM_HEUR_NAME_AREA], szHeurList[ZM_HEUR_LIST_AREA];

  // Inputs beyond the work areas or the MacroNameTable are refused before anything changes.
  if (!UTL_iCopyText(szPath, szDocPath) || !UTL_iCopyText(szList, szMacroList) ||
      !UTL_iCopyText(szSpare, szReserved) || !ENG_iListFits(szList)) {
    Answer(szResult, ZM_TXT_DIVIDING);
    return 1;
  }
  int32_t iLast = ENG_iSplitList(szList);
  if (iLast < 0) {
    Answer(szResult, ZM_TXT_DIVIDING);
    return 1;
  }

  VirusDef* pStart = nullptr;
  switch (iJob) {
    case 0: {
      if (ENG_iHeuristic(iLast, szHeurName, szHeurList)) {
        Answer(szResult, szHeurName);
        Answer(szResultMacros, szHeurList);
        return 1;
      }
      VirusDef* pDef = nullptr;
      switch (ENG_iIdentify(iLast, &pDef)) {
        case ENG_IDENTIFIED:
          ENG_BuildList(pDef, szMacros);
          Answer(szResult, pDef->szName);
          Answer(szResultMacros, szMacros);
          break;
        case ENG_CONFIRM:
          g_pPendingVerify = pDef;
          Answer(szResult, ZM_TXT_CHECK);
          break;
        default:
          Answer(szResult, ZM_TXT_NO_VIRUS);
          break;
      }
      return 1;
    }
    case 1:
      pStart = g_pDatabaseHead;
      break;
    case 2:
      pStart = g_pPendingVerify;
      g_pPendingVerify = nullptr;
      break;
    default:
      Answer(szResult, ZM_TXT_INVALID_JOB);
      return 1;
  }

  VirusDef* pFound = nullptr;
  szScan[0] = '\0';
  if (!DOC_ScanDocument(szPath, pStart, szScan, &pFound)) {
    // A document that could not be opened or read was not scanned: the caller is told so rather
    // than given the clean answer. The result stays 0 either way.
    bool bUnread = strcmp(szScan, ZM_TXT_OPENING) == 0;
    Answer(szResult, bUnread ? ZM_TXT_OPENING : ZM_TXT_NO_VIRUS);
    return 0;
  }
  // Job 1 lists the macros of the definition it found; job 2 those of the record it confirmed.
  ENG_BuildList(iJob == 1 && pFound != nullptr ? pFound : pStart, szMacros);
  Answer(szResult, szScan);
  Answer(szResultMacros, szMacros);
  return 1;
}
