// The host utilities behind the TUL_ exports and MACRO_lDosPath: string and path services, drives,
// a file copy and the passes to the window system. None keeps state between calls.
#pragma once
#include <stdint.h>

// Bytes before the NUL; a null text gives 0.
int32_t UTL_iStrLen(const char* szText);

// 1-based position of szSearch in szString at or after iStart (values below 1 count as 1),
// comparing with the library's upper-casing; the caller's texts are not changed. 0 when absent or
// when iStart - 1 exceeds the length. An empty szSearch is found at max(iStart, 1). Texts of any
// length are read in place; null texts count as empty.
int32_t UTL_iInStr(int32_t iStart, const char* szString, const char* szSearch);

// A search spec from the first entry of a ';'-separated directory list: the text before the first
// ';' (the whole text when there is none), then "*.*" when it holds a path separator anywhere,
// otherwise separator + "*.*". Returns the spec's length + 1. An empty or null path, or a spec
// that would not fit 255 characters, gives an empty szSpec and 0.
int32_t UTL_iMakeSpec(const char* szPath, char* szSpec);

// The platform's short form of szLongPath into szShortPath. The platform writes into a 128-byte
// work area and is told at most 128 whatever cchBuffer says. 1 when the short form was delivered;
// 0 when the platform fails or the short form does not fit cchBuffer (or 128), szShortPath then
// untouched.
int32_t UTL_lDosPath(const char* szLongPath, char* szShortPath, int32_t cchBuffer);

// The current directory into szBuffer; szBuffer, or null (szBuffer untouched) when the platform
// call fails, the text is longer than 259 characters, or iMaxLen is below its length + 1.
char* UTL_pszGetCWD(char* szBuffer, int32_t iMaxLen);

// The Windows directory into szBuffer; its length + 1. When the platform has none, fails, or
// answers more than 255 characters: szBuffer gets the empty text and the result is 0.
int32_t UTL_iGetWindowsDirectory(char* szBuffer);

// 0 when drive iDrive (1 is A:) became current, -1 when iDrive is outside 1..31 or refused.
int32_t UTL_iChDrive(int32_t iDrive);
// The current drive number, or 0 when the current directory has no drive letter.
int32_t UTL_iGetDrive(void);
// The drive kind code of the letter in the low byte of chDrive (either case): 5 removable,
// 4 fixed, 3 network, 2 CD-ROM, 1 other, 0 unknown or no such drive.
int32_t UTL_iKindOfDrive(int32_t chDrive);

// Copies szSource to szDest (created or truncated) through one 2048-byte global block; 1 when
// copied. 0 with no file touched when the names are one by spelling (pfnSameName: equal after
// CharUpperA on Windows, equal bytes on POSIX), when both name one existing file, or when a
// path is longer than 255 characters; 0 when the source cannot be opened, the destination
// cannot be created, no block is had, a read or write fails or the destination does not close (a
// created destination then stays with what was written). Reading goes on until a read delivers
// nothing. Every file and block is given back.
int32_t UTL_iCopyFile(const char* szSource, const char* szDest);

// WinHelpA and GetActiveWindow, passed through.
int32_t UTL_iWinHelp(uint32_t hWnd, const char* szHelpFile, uint32_t uCommand, uint32_t dwData);
int32_t UTL_lGetActiveWindow(void);
