// The document reader: a Word 6/95 document read as an OLE2 compound file, its macro table and
// macros, the byte-signature matcher and the per-document scan of jobs 1 and 2.
//
// Also the one implementation of "open a document and read bytes of its WordDocument stream"
// that the front end's name reader shares (DOC_pOpenDocument, DOC_iReadAt, DOC_CloseDocument).
#pragma once
#include <stdint.h>

#include "sigdb.h"
#include "zm_limits.h"

// The working state of one document: a plain fixed-size block, committed zero-filled with
// pCommitBlock and released with iReleaseBlock. The state comes first, up to abSector; the tables
// after it are read only below the lengths the state gives them (or, for awFatSector, after
// DOC_Open has written the whole table), so a block that served one document reads the next as a
// fresh one once its state is cleared (DOC_iAttachInto). The mini-stream fields serve
// WordDocument streams below the header's cutoff.
struct DocReader {
  int32_t hFile;            // the document, opened read-only
  uint16_t wStartSector;    // first (mini-)sector of the WordDocument stream
  uint32_t lDirOffset;      // file offset of the directory's first sector
  uint32_t lMacroTablePos;  // stream offset of the macro table (FIB 0x118); advanced per entry
  uint16_t wChainLength;    // sectors held in awChain
  uint32_t lCachedOffset;   // file offset of the sector in abSector; 0 means none
  uint32_t lSectorSize;     // always ZM_SECTOR
  uint16_t wMacroCount;     // macros listed from the macro table
  uint32_t lReqPos;         // stream offset of the next byte of the current request
  int32_t nReqLeft;         // bytes of the current request still to copy
  int32_t nReqOut;          // offset in abImage where the next copied byte goes
  // The file bytes around the last reads: window w holds acbWindow[w] bytes of aabWindow[w], read
  // from alWindowOffset[w] (a multiple of ZM_READ_WINDOW); fewer than ZM_READ_WINDOW where the
  // file ends. abWindowHeld[w] 0: none. A read that neither holds replaces the one used less
  // lately (not bLastWindow).
  uint8_t abWindowHeld[ZM_READ_WINDOWS];
  uint32_t alWindowOffset[ZM_READ_WINDOWS];
  uint32_t acbWindow[ZM_READ_WINDOWS];
  uint8_t bLastWindow;

  // Mini-stream support.
  uint32_t lStreamSize;       // the WordDocument entry's size (directory entry 0x78, low 32 bits)
  uint32_t lMiniCutoff;       // header 0x38: streams below it live in the mini-stream
  uint16_t wMiniFatStart;     // header 0x3C: first sector of the mini-FAT
  uint16_t wRootStart;        // directory entry 0's start sector: the mini-stream container
  uint8_t bRootType;          // directory entry 0's type byte (5: root storage)
  uint8_t bInMiniStream;      // 1 when the WordDocument stream is read through the mini-stream
  uint16_t wMiniFatLength;    // sectors held in awMiniFat
  uint16_t wMiniChainLength;  // mini-sectors held in awMiniChain

  int32_t iOpenFailure;   // why DOC_Open last failed (DOC_WHY_*); DOC_WHY_NONE after success
  uint8_t bBorrowedFile;  // hFile is the caller's (DOC_iAttachInto): closing leaves it open

  // Short reads leave bytes of these two as they were: they are state.
  uint8_t abImage[ZM_IMAGE];    // the MacroImage; header, directory and every request land here
  uint8_t abSector[ZM_SECTOR];  // the one-sector cache

  // Tables.
  uint8_t abMacroKey[ZM_MAX_MACROS];
  uint32_t alMacroOffset[ZM_MAX_MACROS];
  uint32_t alMacroLength[ZM_MAX_MACROS];
  uint16_t awFatSector[ZM_FAT_SLOTS];  // slot g: the FAT sector of sectors 128g..128g+127
  // Regular stream: its sectors in stream order. Mini-stream stream: the root entry's chain (the
  // sectors of the mini-stream container).
  uint16_t awChain[ZM_MAX_CHAIN];
  uint8_t aabWindow[ZM_READ_WINDOWS][ZM_READ_WINDOW];
  uint16_t awMiniFat[ZM_MAX_MINIFAT_CHAIN];  // the mini-FAT's sectors, in order
  uint16_t awMiniChain[ZM_MAX_MINI_CHAIN];   // the stream's mini-sectors, in stream order
};
// One block that pCommitBlock can commit: its size is taken to 16 bits.
static_assert(sizeof(DocReader) <= 0xFFFF, "the DocReader must stay below 64 KB");

// Why a document could not be opened for reading (DocReader.iOpenFailure, DOC_pOpenDocument).
enum {
  DOC_WHY_NONE = 0,
  DOC_WHY_FILE,             // the file cannot be opened or read, or no DocReader is had
  DOC_WHY_NOT_OLE2,         // the first four bytes are not D0 CF 11 E0
  DOC_WHY_NO_WORDDOCUMENT,  // no entry named "WordDocument" in the directory block
  DOC_WHY_EMPTY_STREAM,     // the WordDocument entry starts with an end or free marker
  DOC_WHY_CHAIN_TOO_LONG,   // ZM_MAX_CHAIN sectors reached: a loop, since no chain that the
                            // header's FAT list covers is that long
  DOC_WHY_BROKEN_CHAIN,     // a sector the header's FAT list does not cover, or a failed seek
  DOC_WHY_MINI_STREAM,      // a small stream whose mini-stream does not hold together
  DOC_WHY_FIB,              // the FIB field at 0x118 is unreadable or 0x10000000 or more
};

// ---- Compound document reader. All return 1 on success, 0 on failure. ----

// Opens the compound file held in hFile (positioned at offset 0; lSectorSize set): header, FAT
// sector list, WordDocument entry, the stream's chain (regular or through the mini-stream), and
// the FIB's macro-table position, which must be below 0x10000000.
int32_t DOC_Open(DocReader* pReader);
// Finds the entry named exactly "WordDocument" among the whole entries of the directory block (up
// to 32): the first that is a stream and a child of the root storage (entry 0's tree), else the
// first of any type or place; sets wStartSector and lStreamSize, and takes the root entry's start
// and type.
int32_t DOC_FindWordDocument(DocReader* pReader);
// Follows the WordDocument stream's regular chain into awChain (at most ZM_MAX_CHAIN sectors).
int32_t DOC_WalkChain(DocReader* pReader);
// Brings sector wSector into abSector, through the one-sector cache and the file window. A short
// read (the file's end) is no failure: the bytes it doesn't deliver keep their previous contents.
// A position that can't be set, or a read that fails, is.
int32_t DOC_ReadSector(DocReader* pReader, uint16_t wSector);
// Sets the next request: nLength bytes of the stream from lPos, into abImage from offset 0.
void DOC_SetRequest(DocReader* pReader, uint32_t lPos, int32_t nLength);
// Copies the requested bytes. Fails when a byte lies at or beyond the end of the stream's chain
// (the sector chain, or the mini-sector chain of a mini-stream stream) or when the request does
// not fit abImage.
int32_t DOC_ReadStream(DocReader* pReader);

// ---- Macro table and extraction. ----

// Opens the document (DOC_Open) and lists the usable macros: mark 0x55, length 1 to 3999; at
// most ZM_MAX_MACROS are listed, further usable entries are read and ignored. 1 when at least
// one macro was listed.
int32_t DOC_ReadMacroTable(DocReader* pReader);
// Reads listed macro wMacro into abImage and undoes its XOR key; 0 when the number is not below
// wMacroCount or the read failed.
int32_t DOC_ExtractMacro(DocReader* pReader, uint16_t wMacro);

// ---- Signature matcher. ----

// Walks the chain from pStart; the first definition with a non-zero verify flag and any of its
// signatures inside pbImage[0..lLength) wins: its name goes to szText (at least 32 bytes), it is
// handed back in *ppFound (when not null) and the result is 1. Otherwise szText receives
// "MACRO_NO_VIRUS_FOUND", *ppFound null, and the result is 0. A signature longer than
// ZM_SIG_BYTES bytes never hits.
// Starts inside the database use its signatures decoded once and searched in one pass over the
// macro; any other chain is walked definition by definition. Both give the same answer.
int32_t DOC_MatchSignatures(const uint8_t* pbImage, VirusDef* pStart, char* szText, int32_t lLength,
                            VirusDef** ppFound);
// The plain walk alone (each signature decoded and searched in turn), the reference that the
// one-pass search must agree with: 1 with the definition in *ppFound, or 0 with null.
int32_t DOC_iMatchByWalk(const uint8_t* pbImage, VirusDef* pStart, int32_t lLength,
                         VirusDef** ppFound);

// ---- Document scan driver. ----

// Scans the macros of the document at szDocPath with the signatures of the chain from pStart.
// Returns 1 with the definition's name in szText (at least 32 bytes) and, when ppFound is not
// null, the definition in *ppFound; otherwise 0 with "MACRO_ERROR_OPENING_OLE2" or
// "MACRO_NO_VIRUS_FOUND" in szText, or szText untouched when no working state could be had.
// Moves the process to the document's drive and directory for the scan and back.
int32_t DOC_ScanDocument(const char* szDocPath, VirusDef* pStart, char* szText, VirusDef** ppFound);

// ---- Shared reading of a WordDocument stream (the front end's name reader uses these). ----
//
//   DocReader* p = DOC_pOpenDocument(path);           // null: not readable as Word 6/95 storage
//   if (p && DOC_iReadAt(p, 0x118, 8)) { ... p->abImage[0..7] ... }
//   DOC_CloseDocument(p);
//
// The stream is read exactly as the scan reads it (same limits: 512-byte sectors, 16-bit sector
// numbers, at most ZM_MAX_CHAIN sectors, the directory read as one block of 32 entries, the
// mini-stream for streams below the cutoff). Nothing else of the process changes: no drive or
// directory moves.

// Opens szPath read-only in a fresh DocReader and runs DOC_Open. Returns the reader, or null
// with nothing held (file closed, block released) when the file can't be opened, no block can be
// committed, or DOC_Open fails; *piWhy (when piWhy is not null) then says why (DOC_WHY_*).
DocReader* DOC_pOpenDocument(const char* szPath, int32_t* piWhy = nullptr);
// Reads cb bytes (at most ZM_IMAGE) of the stream from lPos into pReader->abImage[0..cb). 1 on
// success; 0 when a byte lies beyond the stream's chain (abImage then holds what was copied).
int32_t DOC_iReadAt(DocReader* pReader, uint32_t lPos, int32_t cb);
// Bytes of the stream that requests can reach: the chain's whole sectors (or mini-sectors), which
// may run past the directory's size. The directory's size itself is pReader->lStreamSize.
uint32_t DOC_lReadableBytes(const DocReader* pReader);
// The file offset that holds stream byte lPos, or 0 when the stream's chain does not reach it
// (no sector starts at offset 0). A stretch of the stream runs on in the file up to the end of
// its sector (regular stream) or mini-sector (mini-stream stream). A file shorter than the
// offset is no failure of the reader (missing bytes keep earlier contents), so a caller that
// must tell a cut file can compare the offset with the file's size.
uint32_t DOC_lFileOffsetOf(const DocReader* pReader, uint32_t lPos);
// The file's bytes from lOffset, through the windows DOC_ReadSector reads by: where they lie in a
// window, *pcb of them (at most cbMax; fewer where the window or the file ends). nullptr, *pcb 0,
// when none could be read. Valid until the reader's next read.
const uint8_t* DOC_pbFileRun(DocReader* pReader, uint32_t lOffset, uint32_t cbMax, uint32_t* pcb);
// A reader block for DOC_iAttachInto, zero-filled; null when none can be committed. Released
// with DOC_CloseDocument.
DocReader* DOC_pCommitReader();
// Runs DOC_Open in the block pReader (from DOC_pCommitReader, or a reader used before) over hFile,
// a library handle the caller holds open at offset 0, which the reader reads but never closes:
// no second open, and one block for any number of documents. The reader reads as a fresh one
// would: its state is cleared first. When cbHead is 0 or more the caller has read the file's
// first bytes into aabWindow[0] as the reader's first read would: all of them, or ZM_READ_WINDOW.
// 1 on success; otherwise 0 with *piWhy (when piWhy is not null) saying why (DOC_WHY_*), and the
// block still the caller's.
int32_t DOC_iAttachInto(DocReader* pReader, int32_t hFile, int32_t cbHead, int32_t* piWhy);
// Closes the file (unless it was attached) and releases the block; null is ignored.
void DOC_CloseDocument(DocReader* pReader);
