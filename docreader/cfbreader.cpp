// The compound document reader: the WordDocument stream of an OLE2 compound file, read
// through the one-sector cache and two 8 KiB file windows, from regular sectors or (below the
// header's cutoff) from the mini-stream. Also the shared open/read/close of that stream for the
// front end.
#include <stddef.h>
#include <string.h>

#include "docreader.h"
#include "fileprim.h"
#include "host.h"
#include "le.h"

namespace {

// Header fields (file offset 0).
constexpr uint32_t kHdrDirStart = 0x30;      // first directory sector
constexpr uint32_t kHdrMiniCutoff = 0x38;    // streams below this size live in the mini-stream
constexpr uint32_t kHdrMiniFatStart = 0x3C;  // first mini-FAT sector
constexpr uint32_t kHdrFatList = 0x4C;       // the header's 109 FAT sector numbers
const uint8_t kSignature[4] = {0xD0, 0xCF, 0x11, 0xE0};

// Directory entry fields.
constexpr uint32_t kEntryNameBytes = 26;  // the first 13 UTF-16 code units of the name
constexpr uint32_t kEntryType = 0x42;
constexpr uint32_t kEntryLeft = 0x44;
constexpr uint32_t kEntryRight = 0x48;
constexpr uint32_t kEntryChild = 0x4C;
constexpr uint32_t kEntryStart = 0x74;
constexpr uint32_t kEntrySize = 0x78;
constexpr uint8_t kTypeStream = 2;
constexpr uint8_t kTypeRoot = 5;
// Entries a directory block holds: a bit each in the tree walk's set.
constexpr uint32_t kBlockEntries = ZM_IMAGE / ZM_DIR_ENTRY;
static_assert(kBlockEntries <= 32, "one bit an entry of the block");

// Records why the open fails, for DOC_pOpenDocument's caller; the result is always 0.
int32_t Fail(DocReader* p, int32_t iWhy) {
  p->iOpenFailure = iWhy;
  return 0;
}

// Low halves of the format's end-of-chain and free markers: both end a chain.
inline bool IsEnd(uint16_t s) { return s == 0xFFFE || s == 0xFFFF; }

// The FAT entry of sector s: the next sector of its chain. Fails for a sector whose FAT sector
// the header does not list (slots 109 to 511 are unusable) and when the read fails. Most entries
// of a chain lie in the FAT sector already cached, which costs no call.
inline int32_t NextInFat(DocReader* p, uint16_t s, uint16_t* pwNext) {
  uint16_t g = static_cast<uint16_t>(s >> 7);
  if (g >= ZM_HEADER_FAT_SLOTS) return 0;
  if ((p->awFatSector[g] + 1u) * p->lSectorSize != p->lCachedOffset &&
      !DOC_ReadSector(p, p->awFatSector[g]))
    return 0;
  *pwNext = DOC_wLe16(p->abSector + (s & 127u) * 4u);
  return 1;
}

// Follows a FAT chain from wStart into awOut: the start is stored, then every sector up to the
// first end marker. More than wCap sectors (a loop included) fails.
int32_t WalkFatChain(DocReader* p, uint16_t wStart, uint16_t* awOut, uint16_t wCap,
                     uint16_t* pwLength) {
  uint16_t s = wStart;
  uint16_t n = 0;
  for (;;) {
    if (n >= wCap) {
      *pwLength = n;
      return Fail(p, DOC_WHY_CHAIN_TOO_LONG);
    }
    awOut[n++] = s;
    uint16_t next;
    if (!NextInFat(p, s, &next)) {
      *pwLength = n;
      return Fail(p, DOC_WHY_BROKEN_CHAIN);
    }
    // Along a run of consecutive sectors whose entries lie in the FAT sector just read, each
    // entry is compared with the sector after it: no read waits for the one before.
    while (next == s + 1u && (s & 127u) != 127u && n < wCap) {
      s = static_cast<uint16_t>(s + 1u);
      awOut[n++] = s;
      next = DOC_wLe16(p->abSector + (s & 127u) * 4u);
    }
    if (IsEnd(next)) {
      *pwLength = n;
      return 1;
    }
    s = next;
  }
}

// A WordDocument stream below the cutoff: the mini-FAT's chain, the container's chain (root
// entry, into awChain) and the stream's mini-chain, each capped and checked before any byte of
// the stream is served. Conservative: entry 0 must be the root storage, every mini-sector must
// lie inside the container's chain, and the mini-chain must hold exactly the entry's size.
int32_t OpenMiniStream(DocReader* p) {
  if (p->bRootType != kTypeRoot || IsEnd(p->wRootStart) || IsEnd(p->wMiniFatStart)) return 0;
  if (!WalkFatChain(p, p->wMiniFatStart, p->awMiniFat, ZM_MAX_MINIFAT_CHAIN, &p->wMiniFatLength))
    return 0;
  if (!WalkFatChain(p, p->wRootStart, p->awChain, ZM_MAX_CHAIN, &p->wChainLength)) return 0;

  uint16_t m = p->wStartSector;
  p->wMiniChainLength = 0;
  for (;;) {
    if (p->wMiniChainLength >= ZM_MAX_MINI_CHAIN) return 0;
    if (m / ZM_MINI_PER_SECTOR >= p->wChainLength) return 0;  // beyond the container
    p->awMiniChain[p->wMiniChainLength++] = m;
    uint16_t g = static_cast<uint16_t>(m >> 7);
    if (g >= p->wMiniFatLength || !DOC_ReadSector(p, p->awMiniFat[g])) return 0;
    m = DOC_wLe16(p->abSector + (m & 127u) * 4u);
    if (IsEnd(m)) break;
  }
  uint32_t lNeeded = p->lStreamSize / ZM_MINI_SECTOR + (p->lStreamSize % ZM_MINI_SECTOR ? 1 : 0);
  if (lNeeded != p->wMiniChainLength) return 0;  // the size and the chain disagree
  p->bInMiniStream = 1;
  return 1;
}

// Where stream byte lPos lies: the sector that holds it, the byte's offset in that sector, and
// how many bytes of the stream run on from there within the sector (to the end of the sector,
// or of the mini-sector). 0 when the stream's chain does not reach lPos.
int32_t Locate(const DocReader* p, uint32_t lPos, uint16_t* pwSector, uint32_t* plInSector,
               uint32_t* plRun) {
  if (p->bInMiniStream) {
    uint32_t k = lPos / ZM_MINI_SECTOR;
    if (k >= p->wMiniChainLength) return 0;
    uint16_t m = p->awMiniChain[k];
    if (m / ZM_MINI_PER_SECTOR >= p->wChainLength) return 0;
    *pwSector = p->awChain[m / ZM_MINI_PER_SECTOR];
    *plInSector = (m % ZM_MINI_PER_SECTOR) * ZM_MINI_SECTOR + lPos % ZM_MINI_SECTOR;
    *plRun = ZM_MINI_SECTOR - lPos % ZM_MINI_SECTOR;
    return 1;
  }
  uint32_t k = lPos / p->lSectorSize;
  if (k >= p->wChainLength) return 0;
  *pwSector = p->awChain[k];
  *plInSector = lPos % p->lSectorSize;
  *plRun = p->lSectorSize - *plInSector;
  return 1;
}

// The window that holds file offset lAt, read when neither does: its index, or ZM_SEEK_ERROR or
// ZM_IO_ERROR when the read failed.
uint32_t WindowAt(DocReader* p, uint32_t lAt) {
  uint32_t w = 0;
  while (w < ZM_READ_WINDOWS && !(p->abWindowHeld[w] && lAt >= p->alWindowOffset[w] &&
                                  lAt - p->alWindowOffset[w] < ZM_READ_WINDOW))
    ++w;
  if (w == ZM_READ_WINDOWS) {
    w = (p->bLastWindow + 1u) % ZM_READ_WINDOWS;
    uint32_t lStart = lAt & ~uint32_t{ZM_READ_WINDOW - 1};
    uint32_t c = uReadBlockAt(p->hFile, lStart, p->aabWindow[w], ZM_READ_WINDOW);
    if (c == ZM_SEEK_ERROR || c == ZM_IO_ERROR) {
      p->abWindowHeld[w] = 0;  // a failed read may have left anything there
      return c;
    }
    p->alWindowOffset[w] = lStart;
    p->acbWindow[w] = c;
    p->abWindowHeld[w] = 1;
  }
  p->bLastWindow = static_cast<uint8_t>(w);
  return w;
}

// Reads cb bytes at file offset lOffset as one uReadBlockAt would (the count delivered, short at
// the file's end; ZM_SEEK_ERROR or ZM_IO_ERROR when nothing could be read), through the windows:
// the file is read in aligned blocks of ZM_READ_WINDOW, each once while the requests stay in the
// windows held.
uint32_t ReadThroughWindow(DocReader* p, uint32_t lOffset, uint8_t* pbOut, uint32_t cb) {
  uint32_t done = 0;
  while (done < cb) {
    uint32_t lAt = lOffset + done;
    uint32_t w = WindowAt(p, lAt);
    if (w == ZM_SEEK_ERROR || w == ZM_IO_ERROR) return done ? done : w;
    uint32_t lIn = lAt - p->alWindowOffset[w];
    if (lIn >= p->acbWindow[w]) break;  // the file ends here
    uint32_t n = cb - done < p->acbWindow[w] - lIn ? cb - done : p->acbWindow[w] - lIn;
    memcpy(pbOut + done, p->aabWindow[w] + lIn, n);
    done += n;
  }
  return done;
}

}  // namespace

int32_t DOC_ReadSector(DocReader* p, uint16_t wSector) {
  uint32_t lOffset = (wSector + 1u) * p->lSectorSize;
  if (lOffset == p->lCachedOffset) return 1;
  // Seek and read in one call. A short read (the file's end) is no error: the bytes it doesn't
  // deliver keep their contents. A position that can't be set fails with the cache unchanged; a
  // read that fails may have left anything in the sector, so it fails and nothing is cached.
  uint32_t cbRead = ReadThroughWindow(p, lOffset, p->abSector, ZM_SECTOR);
  if (cbRead == ZM_SEEK_ERROR) return 0;
  if (cbRead == ZM_IO_ERROR) {
    p->lCachedOffset = 0;  // offset 0 is the header, never a sector
    return 0;
  }
  p->lCachedOffset = lOffset;
  return 1;
}

namespace {

// Whether the entry's name, reduced to 8-bit text (every non-zero byte of its first 26 bytes, in
// order), is exactly "WordDocument"; compared as it is reduced, so most names end at a byte.
bool IsWordDocumentName(const uint8_t* pbEntry) {
  static const char kName[] = "WordDocument";
  uint32_t n = 0;
  for (uint32_t i = 0; i < kEntryNameBytes; ++i) {
    if (pbEntry[i] == 0) continue;
    if (n == sizeof kName - 1 || pbEntry[i] != static_cast<uint8_t>(kName[n])) return false;
    ++n;
  }
  return n == sizeof kName - 1;
}

// The entries of the block that are children of the root storage: entry 0's child tree, walked
// through the left and right links. Each entry is taken once, so a tree that loops ends; a link
// outside the block ends its branch.
uint32_t RootChildren(const uint8_t* pbBlock, uint32_t nEntries) {
  if (nEntries == 0 || pbBlock[kEntryType] != kTypeRoot) return 0;
  uint32_t lSeen = 1;  // the root itself, never its own child
  uint8_t abStack[kBlockEntries];
  uint32_t nStack = 0;
  uint32_t lChild = DOC_lLe32(pbBlock + kEntryChild);
  if (lChild < nEntries) {
    abStack[nStack++] = static_cast<uint8_t>(lChild);
    lSeen |= 1u << lChild;
  }
  while (nStack > 0) {
    const uint8_t* pbEntry = pbBlock + abStack[--nStack] * ZM_DIR_ENTRY;
    const uint32_t alNext[2] = {DOC_lLe32(pbEntry + kEntryLeft), DOC_lLe32(pbEntry + kEntryRight)};
    for (uint32_t lNext : alNext) {
      if (lNext >= nEntries || (lSeen & (1u << lNext))) continue;
      lSeen |= 1u << lNext;
      abStack[nStack++] = static_cast<uint8_t>(lNext);
    }
  }
  return lSeen;
}

}  // namespace

int32_t DOC_FindWordDocument(DocReader* p) {
  // One contiguous block from the directory's first sector; its FAT chain is not followed.
  uint32_t cbRead = ReadThroughWindow(p, p->lDirOffset, p->abImage, ZM_IMAGE);
  if (cbRead == ZM_SEEK_ERROR || cbRead == ZM_IO_ERROR || cbRead == 0) return 0;
  if (cbRead > ZM_IMAGE) cbRead = ZM_IMAGE;
  uint32_t nEntries = cbRead / ZM_DIR_ENTRY;
  if (nEntries > 0) {
    p->wRootStart = DOC_wLe16(p->abImage + kEntryStart);
    p->bRootType = p->abImage[kEntryType];
  }
  // Word opens the WordDocument stream of the root storage: an embedded document's, in a storage
  // listed before it, is not the one to judge. Without one, the first entry of the name is taken,
  // whatever its type or place. Every whole entry read is examined, the last one included.
  const uint32_t lRootChildren = RootChildren(p->abImage, nEntries);
  const uint8_t* pbFirst = nullptr;
  for (uint32_t e = 0; e < nEntries; ++e) {
    const uint8_t* pbEntry = p->abImage + e * ZM_DIR_ENTRY;
    if (!IsWordDocumentName(pbEntry)) continue;
    if (pbFirst == nullptr) pbFirst = pbEntry;
    if ((lRootChildren & (1u << e)) && pbEntry[kEntryType] == kTypeStream) {
      pbFirst = pbEntry;
      break;
    }
  }
  if (pbFirst == nullptr) return 0;
  p->wStartSector = DOC_wLe16(pbFirst + kEntryStart);
  p->lStreamSize = DOC_lLe32(pbFirst + kEntrySize);
  return 1;
}

int32_t DOC_WalkChain(DocReader* p) {
  return WalkFatChain(p, p->wStartSector, p->awChain, ZM_MAX_CHAIN, &p->wChainLength);
}

int32_t DOC_Open(DocReader* p) {
  if (p->lSectorSize != ZM_SECTOR) return Fail(p, DOC_WHY_FILE);
  p->iOpenFailure = DOC_WHY_NONE;
  p->lCachedOffset = 0;  // the window is kept: it may hold the head its caller read
  p->bInMiniStream = 0;
  p->wChainLength = 0;
  p->wMiniChainLength = 0;
  p->wMiniFatLength = 0;
  // A short count is not tested: bytes a short file doesn't supply keep their value. A read that
  // fails is no short file. The file is positioned at its start, so the header is read there.
  uint32_t cbHeader = ReadThroughWindow(p, 0, p->abImage, ZM_IMAGE);
  if (cbHeader == ZM_IO_ERROR || cbHeader == ZM_SEEK_ERROR) return Fail(p, DOC_WHY_FILE);
  if (memcmp(p->abImage, kSignature, sizeof kSignature) != 0) return Fail(p, DOC_WHY_NOT_OLE2);
  for (uint32_t g = 0; g < ZM_HEADER_FAT_SLOTS; ++g)
    p->awFatSector[g] = DOC_wLe16(p->abImage + kHdrFatList + 4 * g);
  for (uint32_t g = ZM_HEADER_FAT_SLOTS; g < ZM_FAT_SLOTS; ++g) p->awFatSector[g] = 0xFFFF;
  p->lDirOffset = (DOC_wLe16(p->abImage + kHdrDirStart) + 1u) * p->lSectorSize;
  p->lMiniCutoff = DOC_lLe32(p->abImage + kHdrMiniCutoff);
  p->wMiniFatStart = DOC_wLe16(p->abImage + kHdrMiniFatStart);

  if (!DOC_FindWordDocument(p)) return Fail(p, DOC_WHY_NO_WORDDOCUMENT);
  if (IsEnd(p->wStartSector)) return Fail(p, DOC_WHY_EMPTY_STREAM);  // nothing to read
  if (p->lStreamSize >= p->lMiniCutoff) {
    // Regular sectors, read as they always were.
    if (!DOC_WalkChain(p)) return 0;
    if (!DOC_ReadSector(p, p->awChain[0])) return Fail(p, DOC_WHY_BROKEN_CHAIN);
    p->lMacroTablePos = DOC_lLe32(p->abSector + ZM_FIB_MACRO_TABLE);
  } else {
    if (!OpenMiniStream(p)) return Fail(p, DOC_WHY_MINI_STREAM);
    DOC_SetRequest(p, ZM_FIB_MACRO_TABLE, 4);
    if (!DOC_ReadStream(p)) return Fail(p, DOC_WHY_FIB);
    p->lMacroTablePos = DOC_lLe32(p->abImage);
  }
  if (p->lMacroTablePos >= ZM_MACRO_TABLE_LIMIT) return Fail(p, DOC_WHY_FIB);
  return 1;
}

void DOC_SetRequest(DocReader* p, uint32_t lPos, int32_t nLength) {
  p->lReqPos = lPos;
  p->nReqLeft = nLength;
  p->nReqOut = 0;
}

int32_t DOC_ReadStream(DocReader* p) {
  if (p->nReqOut < 0 || p->nReqOut > ZM_IMAGE || p->nReqLeft > ZM_IMAGE - p->nReqOut) return 0;
  // One piece per (mini-)sector, in stream order; the first runs even for an empty request, so a
  // position beyond the chain always fails.
  do {
    uint16_t wSector;
    uint32_t lInSector, lRun;
    if (!Locate(p, p->lReqPos, &wSector, &lInSector, &lRun)) return 0;
    if (!DOC_ReadSector(p, wSector)) return 0;
    int32_t n = static_cast<int32_t>(lRun);
    if (n > p->nReqLeft) n = p->nReqLeft;
    if (n > 0) {
      memcpy(p->abImage + p->nReqOut, p->abSector + lInSector, static_cast<size_t>(n));
      p->lReqPos += static_cast<uint32_t>(n);
      p->nReqOut += n;
      p->nReqLeft -= n;
    }
  } while (p->nReqLeft > 0);
  return 1;
}

const uint8_t* DOC_pbFileRun(DocReader* p, uint32_t lOffset, uint32_t cbMax, uint32_t* pcb) {
  *pcb = 0;
  uint32_t w = WindowAt(p, lOffset);
  if (w == ZM_SEEK_ERROR || w == ZM_IO_ERROR) return nullptr;
  uint32_t lIn = lOffset - p->alWindowOffset[w];
  if (lIn >= p->acbWindow[w]) return nullptr;  // the file ends before it
  *pcb = cbMax < p->acbWindow[w] - lIn ? cbMax : p->acbWindow[w] - lIn;
  return p->aabWindow[w] + lIn;
}

uint32_t DOC_lFileOffsetOf(const DocReader* p, uint32_t lPos) {
  uint16_t wSector;
  uint32_t lInSector, lRun;
  if (!Locate(p, lPos, &wSector, &lInSector, &lRun)) return 0;
  return (wSector + 1u) * p->lSectorSize + lInSector;
}

DocReader* DOC_pOpenDocument(const char* szPath, int32_t* piWhy) {
  int32_t iDummy;
  if (piWhy == nullptr) piWhy = &iDummy;
  *piWhy = DOC_WHY_FILE;
  int32_t hFile = hOpenRead(szPath);
  if (hFile == ZM_HFILE_ERROR) return nullptr;
  DocReader* p = DOC_pCommitReader();
  if (p != nullptr && DOC_iAttachInto(p, hFile, -1, piWhy)) {
    p->bBorrowedFile = 0;  // the reader's own file, closed with it
    return p;
  }
  iCloseFile(hFile);
  DOC_CloseDocument(p);  // the block alone
  return nullptr;
}

DocReader* DOC_pCommitReader() {
  DocReader* p = static_cast<DocReader*>(pCommitBlock(sizeof(DocReader)));
  if (p != nullptr) {
    p->hFile = ZM_HFILE_ERROR;
    p->bBorrowedFile = 1;  // no file of its own, ever
  }
  return p;
}

int32_t DOC_iAttachInto(DocReader* p, int32_t hFile, int32_t cbHead, int32_t* piWhy) {
  int32_t iDummy;
  if (piWhy == nullptr) piWhy = &iDummy;
  *piWhy = DOC_WHY_FILE;
  if (p == nullptr || hFile == ZM_HFILE_ERROR || cbHead > ZM_READ_WINDOW) return 0;
  memset(p, 0, offsetof(DocReader, abMacroKey));
  p->hFile = hFile;
  p->bBorrowedFile = 1;
  p->lSectorSize = ZM_SECTOR;
  if (cbHead >= 0) {
    p->abWindowHeld[0] = 1;
    p->acbWindow[0] = static_cast<uint32_t>(cbHead);
  }
  int32_t iOpened = DOC_Open(p);
  *piWhy = p->iOpenFailure;
  return iOpened;
}

int32_t DOC_iReadAt(DocReader* p, uint32_t lPos, int32_t cb) {
  if (cb < 0 || cb > ZM_IMAGE) return 0;
  DOC_SetRequest(p, lPos, cb);
  return DOC_ReadStream(p);
}

uint32_t DOC_lReadableBytes(const DocReader* p) {
  return p->bInMiniStream ? p->wMiniChainLength * static_cast<uint32_t>(ZM_MINI_SECTOR)
                          : p->wChainLength * p->lSectorSize;
}

void DOC_CloseDocument(DocReader* p) {
  if (p == nullptr) return;
  if (!p->bBorrowedFile) iCloseFile(p->hFile);
  iReleaseBlock(p);
}
