// Every fixed cap of the library, in one place, each with the reason it has the value it has.
#pragma once

#include "zm_abi.h"

// Texts handed in by the caller are copied into work areas of this size (255 characters + NUL).
#define ZM_TEXT_AREA (ZM_MAX_TEXT + 1)
// Caller's result buffers are assumed to hold this many bytes; nothing writes past it.
#define ZM_RESULT_BUFFER ZM_RESULT_SIZE

// MacroNameTable: at most 25 names of at most 30 characters each (31 bytes with the NUL).
#define ZM_MAX_NAMES ZM_MAX_MACRO_NAMES
#define ZM_NAME_SLOT (ZM_MAX_MACRO_NAME + 1)
// Numbered-macro heuristic work areas: the virus name and the list of the three names.
#define ZM_HEUR_NAME_AREA 128
#define ZM_HEUR_LIST_AREA 256

// Signature database records: 32-byte name fields, five signature slots per macro entry.
#define ZM_DEF_NAME 32
#define ZM_SIG_SLOTS 5
// A decoded signature never exceeds this many bytes (1024 hex digits).
#define ZM_SIG_BYTES 512

// Compound document reader: fixed 512-byte sectors with 16-bit sector numbers.
#define ZM_SECTOR 512
#define ZM_FAT_ENTRIES_PER_SECTOR 128
// Header's own FAT sector list; the extra FAT-list sectors are not read.
#define ZM_HEADER_FAT_SLOTS 109
// One slot per 128 sectors of the 16-bit sector space.
#define ZM_FAT_SLOTS 512
// Longest chain followed: 16,384 sectors, a stream of 8 MB (real Word 95 documents pass 512 KB).
// Sectors from 13,952 on have no FAT sector in the header's list, so a chain the reader can follow
// has at most 13,952 distinct sectors: one that reaches the cap is a loop, and fails the open.
// Holds the WordDocument stream's chain, or the mini-stream container's; at 2 bytes a sector
// (awChain) it keeps the DocReader below the 64 KB that pCommitBlock can commit.
#define ZM_MAX_CHAIN 16384
// The image buffer: header block, directory block (32 entries) and every stream request land here.
#define ZM_IMAGE 4096
// The reader's file window: one aligned read of 8 KiB serves the header, directory, FAT sectors,
// FIB and macros of a small document, which would each cost a system call sector by sector.
// A power of two and a multiple of ZM_SECTOR, so a sector never spans two windows.
#define ZM_READ_WINDOW 8192
// Windows held at once: the macros of a scan, read from the last to the first, often lie on both
// sides of a window's edge, and one window would read the file again at every crossing.
#define ZM_READ_WINDOWS 2
#define ZM_DIR_ENTRY 128
// Stream offset of the FIB field that locates the macro table, and its exclusive upper bound.
#define ZM_FIB_MACRO_TABLE 0x118
#define ZM_MACRO_TABLE_LIMIT 0x10000000u
// Mini-stream: a WordDocument stream smaller than the header's cutoff lives in 64-byte
// mini-sectors, eight to a sector of the root entry's stream (the container).
#define ZM_MINI_SECTOR 64
#define ZM_MINI_PER_SECTOR 8
// Such a stream is read only when it has at most this many mini-sectors (4096 bytes, the format's
// cutoff); a longer mini-chain, or a loop in it, fails the open.
#define ZM_MAX_MINI_CHAIN 64
// Mini-FAT sectors followed: 512 sectors of 128 entries number all 65,536 mini-sectors that the
// reader's 16-bit mini-sector numbers can name (a container of ZM_MAX_CHAIN sectors would hold
// 131,072), so no usable mini-sector lies beyond them; a longer mini-FAT chain, or a loop in it,
// fails the open.
#define ZM_MAX_MINIFAT_CHAIN 512
// Listed macros per document, and the exclusive cap of a macro's length (it must fit abImage).
#define ZM_MAX_MACROS 64
#define ZM_MACRO_LENGTH_LIMIT 4000u
// The matcher decodes the database's signatures once into an index of this many slots (one bit
// each in a 64-bit mask); the shipped database uses 26. A larger database falls back to the walk.
#define ZM_INDEX_SLOTS 64
// Text buffer of the document scan driver for the matcher's result.
#define ZM_SCAN_TEXT 512
// The directory that the document scan remembers and restores: POSIX paths reach 4096 bytes.
#define ZM_CWD_AREA 4096

// Raw scan: the file is read in blocks of this size. Large enough that the read calls cost little
// beside the search; with room for the carry before it (a signature's bytes less one), the window
// is one committed block within the 16-bit sizes of the primitives. Never on the stack: a host's
// thread may have no more than 64 KiB.
#define ZM_RAW_BLOCK 61440
#define ZM_RAW_WINDOW (ZM_SIG_BYTES + ZM_RAW_BLOCK)

// Directory walk: the platform's path limit (a search spec longer than this is refused).
#define ZM_MAX_PATH 260
// Filter slot table: 64 patterns; a slot holds a whole pattern (the filter text is at most 255
// characters), so no pattern is ever cut.
#define ZM_FILTER_SLOTS 64
#define ZM_FILTER_SLOT ZM_TEXT_AREA
// A walk's path buffer: a spec's directory part (at most ZM_MAX_PATH) plus a found name (less
// than ZM_MAX_PATH) plus a separator and "*.*", or CR LF for a list-file line.
#define ZM_WALK_LINE (2 * ZM_MAX_PATH + 4)

// MACRO_lDosPath work area; TUL_iCopyFile's copy block.
#define ZM_DOSPATH_AREA 128
#define ZM_COPY_BLOCK 2048
