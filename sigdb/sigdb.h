// The signature database: the chain of virus definitions that every reader walks in order.
#pragma once
#include <stdint.h>

#include "zm_limits.h"

// One WordBasic macro name of a definition, with the hex signature strings of its body.
// Signature slots are filled from the first; a reader stops at the first null slot.
struct MacroDef {
  char szName[ZM_DEF_NAME];  // as stored; job 0 upper-cases it in place (and it stays so)
  const char* apszSignature[ZM_SIG_SLOTS];
};

// One virus definition. The chain is the array g_aVirusDefs in order: pNext of a definition is
// the one after it (SIG_pNext), so a walk can start at any definition and run to the end.
struct VirusDef {
  char szName[ZM_DEF_NAME];
  int32_t iThreshold;  // least number of matching macro names that identifies the virus
  int32_t iVerify;     // 0: names alone identify it; 1 or 2: byte signatures must confirm it
  MacroDef* pMacros;   // the definition's macro names, in stored order
  int32_t nMacros;
};

#define ZM_DEFINITIONS 59

extern VirusDef g_aVirusDefs[ZM_DEFINITIONS];
// The database head and the stored definition count (never computed from the chain).
extern VirusDef* const g_pDatabaseHead;
extern const int32_t g_lDefinitionCount;

// The definition after pDef in chain order, or null after the last one.
VirusDef* SIG_pNext(const VirusDef* pDef);

// Decodes a hex signature string (two digits per byte, high nibble first) into at most cbMax
// bytes; stops at the NUL. A last lone digit is dropped; ':' to '@' count as their code minus 48.
// Returns the number of bytes, or -1 when the string would need more than cbMax bytes.
int32_t SIG_iDecode(const char* szHex, uint8_t* pbOut, int32_t cbMax);

// Exported: the number of definitions.
int32_t SIG_iSignatures(void);
