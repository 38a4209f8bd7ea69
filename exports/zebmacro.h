// zebmacro: detection of WordBasic macro viruses in Word 6/95 documents. The exported functions,
// stdcall with undecorated names in zebmacro.dll, plain C in libzebmacro.so.
#pragma once
#include <stdint.h>

#include "zm_abi.h"

// Scan jobs: 0 identify by macro names, 1 scan the document's macros, 2 confirm the pending record.
ZM_EXPORT(int32_t)
MACRO_Handler(int32_t iJob, const char* szDocPath, const char* szMacroList, char* szResult,
              const char* szReserved, char* szResultMacros);
// The number of virus definitions (59).
ZM_EXPORT(int32_t) MACRO_Signatures(void);
