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
// Decodes definition text written with the library's substitution into szDest (which must hold
// the source length + 1 bytes; it may be the source itself); returns the source length + 1.
ZM_EXPORT(int32_t) MACRO_DecryptDef(const char* szSource, char* szDest);
// 1 when the signature of szName ("FormatC", "Wazzu", "Guess", "EasyMan", "SaverSex", exactly)
// occurs anywhere in the file; 0 when not, for another name, or when the file cannot be read.
ZM_EXPORT(int32_t) MACRO_ScanRaw(const char* szPath, const char* szName);
// Writes the full path of every file under szStartSpec that passes szFilter ('*.DOC;*.DOT') into
// the list file, one CR LF line each (iAppend 0 creates it, else appends). The file count; -1 bad
// argument, -2 nothing listed after a failure, -3 list file not created or not opened.
ZM_EXPORT(int32_t)
MACRO_CallTraverse(const char* szStartSpec, const char* szListFile, const char* szFilter,
                   int32_t iAppend);
// The short (8.3) form of szLongPath into szShortPath; 1 when delivered, 0 otherwise.
ZM_EXPORT(int32_t) MACRO_lDosPath(const char* szLongPath, char* szShortPath, int32_t cchBuffer);

// Text length; case-insensitive 1-based position at or after iStart (0 when absent); a search
// spec from a ';'-separated directory list (its length + 1).
ZM_EXPORT(int32_t) TUL_iStrLen(const char* szText);
ZM_EXPORT(int32_t) TUL_iInStr(int32_t iStart, const char* szString, const char* szSearch);
ZM_EXPORT(int32_t) TUL_szMakeSpec(const char* szPath, char* szSpec);
// The current directory (szBuffer, or null when it does not fit iMaxLen); iReserved is not read.
ZM_EXPORT(char*) TUL_szGetCWD(char* szBuffer, int32_t iMaxLen, int32_t iReserved);
// The Windows directory into szBuffer (256 bytes); its length + 1, or 0 when there is none.
ZM_EXPORT(int32_t) TUL_szGetWindowsDirectory(char* szBuffer);

// Drives: 1 is A:. Change (0 / -1), current (0 none), kind of a letter's drive (5 removable,
// 4 fixed, 3 network, 2 CD-ROM, 1 other, 0 none).
ZM_EXPORT(int32_t) TUL_iChDrive(int32_t iDrive);
ZM_EXPORT(int32_t) TUL_iGetDrive(void);
ZM_EXPORT(int32_t) TUL_iKindOfDrive(int32_t chDrive);
// Copies szSource to szDest; 1 when copied, 0 otherwise (never onto the source itself).
ZM_EXPORT(int32_t) TUL_iCopyFile(const char* szSource, const char* szDest);
// WinHelpA and GetActiveWindow, passed through.
ZM_EXPORT(int32_t)
TUL_iWinHelp(uint32_t hWnd, const char* szHelpFile, uint32_t uCommand, uint32_t dwData);
ZM_EXPORT(int32_t) TUL_lGetActiveWindow(void);
