// The fixed result texts of MACRO_Handler and the document scan. Kept below both the engine and
// the document reader, which both answer with them.
#pragma once

#define ZM_TXT_DIVIDING "MACRO_ERROR_DIVIDING_DATA"
#define ZM_TXT_INVALID_JOB "MACRO_ERROR_INVALID_JOB_CODE"
#define ZM_TXT_NO_VIRUS "MACRO_NO_VIRUS_FOUND"
#define ZM_TXT_CHECK "MACRO_CHECK_FALSE_ALARMS"
#define ZM_TXT_OPENING "MACRO_ERROR_OPENING_OLE2"
#define ZM_TXT_OUTLAW "Macro.Word.Outlaw"
