// zmscan: the scan core of zebscan and zebmacrod as a C library (libzmscan.so), for programs in
// other languages (the Python package zebmacro) and anything else that would rather not run zebscan
// and parse its report. It scans as zebscan does and answers each file with zebscan's JSON record.
//
// libzebmacro is loaded at run time, as zebscan loads it: the one beside libzmscan unless the
// options name another. The library allows one caller at a time per process, and that rule is kept
// here: scanners may be made and used from any threads, and their scans take turns (one at a time
// per process). Files scanned at once go to a pool, whose workers are processes (zmscan-worker,
// beside libzmscan), each with its own copy of the library.
//
// Every function answers; none lets a C++ exception out. A text returned lives as long as the
// object it came from. Paths are byte strings as the system spells them (UTF-8 on Windows).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "zm_abi.h"

// Every file ends as exactly one of these, zebscan's last word for it.
#define ZMS_OK 0
#define ZMS_FOUND 1
#define ZMS_ERROR 2
#define ZMS_SKIPPED 3

// How files are scanned. Fields are only ever added at the end: a caller sets cbSize to the size
// it was built with (ZMS_InitOptions does), and fields beyond it keep their defaults.
typedef struct ZmsOptions {
  uint32_t cbSize;          // sizeof(ZmsOptions) as the caller knows it
  int32_t bDeep;            // 1: the byte scan on every document with macros (zebscan --deep)
  int32_t bAlertEncrypted;  // 1: an encrypted document is FOUND (--alert-encrypted-doc)
  const char* pszLibrary;   // the libzebmacro to load; null: the one beside libzmscan
  // Archives and mail (Linux builds; elsewhere every container is an ERROR, never OK), with
  // clamd's keys and defaults; a limit of 0 is no limit (nesting: at most 64).
  uint32_t nMaxRecursion;          // MaxRecursion, 17
  uint32_t nMaxFiles;              // MaxFiles, 10000
  uint64_t cbMaxScanSize;          // MaxScanSize, 400 MiB
  uint64_t cbMaxFileSize;          // MaxFileSize, 100 MiB
  int32_t bScanArchive;            // 1: archives and compressed files opened (ScanArchive)
  int32_t bScanMail;               // 1: mail, mbox, TNEF and Outlook stores opened (ScanMail)
  int32_t bAlertExceedsMax;        // 1: a limit reached is FOUND (AlertExceedsMax)
  int32_t bAlertEncryptedArchive;  // 1: an encrypted member is FOUND (AlertEncryptedArchive)
  // The macros in each record, as zebscan --json has them (macro_records): 0 none; 1 as with
  // --macros (name, key, size, SHA-256, ...); 2 as with --source, each macro's source as well.
  int32_t iMacros;
} ZmsOptions;

typedef struct ZmsScanner ZmsScanner;
typedef struct ZmsResult ZmsResult;
typedef struct ZmsPool ZmsPool;

// This library's version ("1.0.0").
ZM_EXPORT(const char*) ZMS_pszVersion(void);
// The defaults (no deep scan, encrypted documents skipped, the library beside libzmscan, archives
// and mail opened within clamd's limits), with cbSize set.
ZM_EXPORT(void) ZMS_InitOptions(ZmsOptions* pOptions);

// A scanner with its own copy of the options, over the library they name, loaded once for the
// process. Null when the library cannot be loaded or the options are not understood, with the
// cause in pszError (cchError bytes, NUL included; may be null).
ZM_EXPORT(ZmsScanner*)
ZMS_pOpenScanner(const ZmsOptions* pOptions, char* pszError, size_t cchError);
ZM_EXPORT(void) ZMS_CloseScanner(ZmsScanner* pScanner);
// What the loaded library tells of itself: its version ("1.0.0", or "unknown"), its number of
// definitions (59), the date of its definitions (its file's time, as ctime writes it) and its path.
ZM_EXPORT(const char*) ZMS_pszEngineVersion(const ZmsScanner* pScanner);
ZM_EXPORT(int32_t) ZMS_iDefinitions(const ZmsScanner* pScanner);
ZM_EXPORT(const char*) ZMS_pszEngineDate(const ZmsScanner* pScanner);
ZM_EXPORT(const char*) ZMS_pszLibrary(const ZmsScanner* pScanner);

// Scans the file at pszPath (a final link followed), known to the record by that path. A file
// that cannot be opened or read is a result saying why, in the system's words; so is a directory
// (a pool or ZMS_nWalk walks one). Null only for a null argument or no memory.
ZM_EXPORT(ZmsResult*) ZMS_pScanPath(ZmsScanner* pScanner, const char* pszPath);
// Scans cbBytes bytes, known to the record as pszName (null: "stream", as clamd calls one sent
// to it). The bytes are put where only this process reaches them (a memfd on Linux).
ZM_EXPORT(ZmsResult*)
ZMS_pScanBuffer(ZmsScanner* pScanner, const void* pvBytes, size_t cbBytes, const char* pszName);
// Scans the nPaths files in turn, as ZMS_pScanPath scans each, and answers their records in one
// text, in order, each followed by a line end: JSON Lines, as zebscan --json prints them. A record
// knows its file as apszNames[i] (null: as its path), so that a path made absolute to be opened
// elsewhere is reported as it was given. Its length into *pcbText; free it with ZMS_FreeText. Null
// only for a null argument or no memory. For callers whose own cost a file would be more than the
// scan's (an interpreter's loop).
ZM_EXPORT(char*)
ZMS_pszScanPaths(ZmsScanner* pScanner, const char* const* apszPaths, const char* const* apszNames,
                 size_t nPaths, size_t* pcbText);
// As ZMS_pszScanPaths, the records answered as a table, a column a field, for a caller that makes
// a data frame of them without reading their JSON back: the layout is in capi/columns.h (a column
// for each field of zebscan's records that its documentation lists, and `record`, the record
// itself). Its length into *pcbTable; free it with ZMS_FreeText.
ZM_EXPORT(char*)
ZMS_pScanPathsColumns(ZmsScanner* pScanner, const char* const* apszPaths,
                      const char* const* apszNames, size_t nPaths, size_t* pcbTable);
ZM_EXPORT(void) ZMS_FreeText(char* pszText);
// A result known without a scan: a file the caller could not read (ZMS_ERROR) or would not
// (ZMS_SKIPPED), with the reason in the caller's words. Null for another outcome.
ZM_EXPORT(ZmsResult*)
ZMS_pKnownResult(const char* pszPath, int32_t iOutcome, const char* pszReason);

// A result's fields: its outcome (ZMS_OK ...), its path, the virus found ("" unless ZMS_FOUND), the
// reason ("" unless ZMS_ERROR or ZMS_SKIPPED).
ZM_EXPORT(int32_t) ZMS_iOutcome(const ZmsResult* pResult);
ZM_EXPORT(const char*) ZMS_pszPath(const ZmsResult* pResult);
ZM_EXPORT(const char*) ZMS_pszVirus(const ZmsResult* pResult);
ZM_EXPORT(const char*) ZMS_pszReason(const ZmsResult* pResult);
// The whole result as the JSON record that zebscan --json prints for it, without its line end
// (docs/json-output.md): the macro names read, how the virus was found, and all else.
ZM_EXPORT(const char*) ZMS_pszRecord(ZmsResult* pResult);
ZM_EXPORT(void) ZMS_FreeResult(ZmsResult* pResult);

// Receives the entries of a walk, several at a time: each entry is a kind letter, a text and a
// NUL. 'F' a file to scan, by its path; 'R' an entry that the walk itself accounts for (skipped,
// or an error), as its JSON record. Answers 0 to end the walk.
typedef int32_t(ZM_CALL* ZmsWalkSink)(void* pvContext, const char* pchEntries, size_t cbEntries);
// Walks pszPath as zebscan walks a path it is given (a directory's entries in byte order of their
// names, hidden ones included, links followed only where named; a file is one entry) and hands on
// every entry once. The number of entries handed on; -1 for a null argument.
ZM_EXPORT(int64_t) ZMS_nWalk(const char* pszPath, ZmsWalkSink sink, void* pvContext);

// A pool of nJobs worker processes (0: one a usable core) over the nPaths paths, as zebscan
// --jobs scans them: directories walked, each file once, results in walk order as they come. Null
// when the library cannot be loaded, with the cause in pszError. With no room for a worker (limits
// on files or processes) it scans in this process.
ZM_EXPORT(ZmsPool*)
ZMS_pOpenPool(const ZmsOptions* pOptions, uint32_t nJobs, const char* const* apszPaths,
              size_t nPaths, char* pszError, size_t cchError);
// The next result into *ppResult (the caller's to free): 1 a result, 0 none within msTimeout
// milliseconds (negative: wait as long as it takes), -1 every result has been given, -2 the pool
// gave up for want of memory and the results of some files are missing.
ZM_EXPORT(int32_t) ZMS_iPoolNext(ZmsPool* pPool, int32_t msTimeout, ZmsResult** ppResult);
// The workers the pool runs (0: it scans in this process).
ZM_EXPORT(uint32_t) ZMS_uPoolWorkers(const ZmsPool* pPool);
// Ends the pool: the walk stops, files not yet scanned are not, its workers end.
ZM_EXPORT(void) ZMS_ClosePool(ZmsPool* pPool);
