// The scan-job interface: MACRO_Handler's dispatcher, the name identification and the
// numbered-macro heuristic, with the state they keep while the library is loaded.
#pragma once
#include <stdint.h>

#include "sigdb.h"
#include "zm_limits.h"
#include "zm_texts.h"

// MacroNameTable: slot k holds the k-th name of the last list split.
extern char g_aszMacroNames[ZM_MAX_NAMES][ZM_NAME_SLOT];
// Pending verification record: set by job 0 when confirmation is needed, taken by job 2.
extern VirusDef* g_pPendingVerify;

// Splits an '&'-terminated list into the MacroNameTable; returns the last slot index (-1: no
// name). The list must already be known to fit (ENG_iListFits).
int32_t ENG_iSplitList(const char* szList);
// 1 when the list has at most 25 names of at most 30 characters each; text after the last '&'
// is not a name and is not limited.
int32_t ENG_iListFits(const char* szList);

// Numbered-macro heuristic over slots 0..iLast: 1 when exactly three names are numbered macro
// names; then szName gets "Macro.Word.Outlaw" and szList the three names, each followed by '&'.
int32_t ENG_iHeuristic(int32_t iLast, char* szName, char* szList);

// Macro-name identification over slots 0..iLast; folds slots and database names in place.
enum { ENG_NOTHING = 0, ENG_IDENTIFIED = 1, ENG_CONFIRM = 2 };
int32_t ENG_iIdentify(int32_t iLast, VirusDef** ppDef);

// Builds the list of a definition's macro names as currently stored, each followed by '&'.
void ENG_BuildList(const VirusDef* pDef, char* szList);

int32_t ENG_iHandler(int32_t iJob, const char* szDocPath, const char* szMacroList, char* szResult,
                     const char* szReserved, char* szResultMacros);
