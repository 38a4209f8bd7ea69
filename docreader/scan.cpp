// Document scan driver (stand-in until the compound document reader lands): finds nothing.
#include <string.h>

#include "docreader.h"

int32_t DOC_ScanDocument(const char*, VirusDef*, char* szText, VirusDef** ppFound) {
  if (ppFound) *ppFound = nullptr;
  strcpy(szText, "MACRO_NO_VIRUS_FOUND");
  return 0;
}
