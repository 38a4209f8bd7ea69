// The exported entry points: thin forwards into the subsystems. The library is built without
// exceptions, so none can cross this boundary.
#include "zebmacro.h"

#include "engine.h"
#include "sigdb.h"

ZM_EXPORT(int32_t)
MACRO_Handler(int32_t iJob, const char* szDocPath, const char* szMacroList, char* szResult,
              const char* szReserved, char* szResultMacros) {
  return ENG_iHandler(iJob, szDocPath, szMacroList, szResult, szReserved, szResultMacros);
}

ZM_EXPORT(int32_t) MACRO_Signatures(void) { return SIG_iSignatures(); }
