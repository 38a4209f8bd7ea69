// File list building: walks a directory tree from a start spec and writes the full path of every
// file that passes the ExtensionFilter as one CR LF line of the list file.
#pragma once
#include <stdint.h>

#include "zm_limits.h"

// ExtensionFilter state, held for the loaded library and rebuilt by every MACRO_CallTraverse.
extern char g_szFilterText[ZM_TEXT_AREA];
extern char g_aszFilterSlots[ZM_FILTER_SLOTS][ZM_FILTER_SLOT];
extern int32_t g_iFilterLast;  // index of the last slot in use; -1 when the filter was refused
// Lines written: a creating call starts it at 0, an appending call goes on from it.
extern int32_t g_iFileCount;
// The list file while a call runs, ZM_HFILE_ERROR otherwise.
extern int32_t g_hListFile;

// Splits szFilter at ';' into the slots, dropping every '*'; patterns are kept whole. Returns the
// last slot index (the number of ';'), or -1, with no slot in use, for more than 64 patterns.
int32_t iSplitFilter(const char* szFilter);

// Upper-cases the slots in use and szName in place; 1 when some pattern occurs in the name
// (an empty pattern occurs in every name), else 0.
int32_t iMatchFilter(char* szName);

// Walks the directory level of szSpec (its directory part and a platform wildcard) and, in
// pre-order, every subdirectory found by the same spec whose name does not begin with '.'; below
// the first level every name is searched. Selected files go to g_hListFile. 1 on success; 0 when
// the spec is longer than 260 characters, no find record is had, or a line cannot be written (a
// nested failure ends only that subtree).
int32_t iWalkDirectory(const char* szSpec);

// MACRO_CallTraverse: the file count on success; -1 for a refused argument (empty list-file path,
// a text longer than 255 characters, more than 64 patterns, a start spec without a separator);
// -3 when the list file cannot be created, or opened and moved to its end for appending (no walk);
// -2 when the start level fails with nothing counted.
int32_t FL_iCallTraverse(const char* szStartSpec, const char* szListFile, const char* szFilter,
                         int32_t iAppend);
