// The document reader: a Word 6/95 document read as an OLE2 compound file, its macro table and
// macros, the byte-signature matcher and the per-document scan of jobs 1 and 2.
#pragma once
#include <stdint.h>

#include "sigdb.h"
#include "zm_limits.h"

// Scans the macros of the document at szDocPath with the signatures of the chain from pStart.
// Returns 1 with the definition's name in szText (at least 32 bytes) and, when ppFound is not
// null, the definition in *ppFound; otherwise 0 with "MACRO_ERROR_OPENING_OLE2" or
// "MACRO_NO_VIRUS_FOUND" in szText, or szText untouched when no working state could be had.
int32_t DOC_ScanDocument(const char* szDocPath, VirusDef* pStart, char* szText,
                         VirusDef** ppFound);
