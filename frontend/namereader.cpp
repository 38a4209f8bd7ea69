// The name reader's file side: the WordDocument stream read through the library's own reading
// code (DOC_pOpenDocument, DOC_iReadAt), so names come from exactly the bytes a scan would see.
#include "namereader.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "docreader.h"
#include "fileprim.h"
#include "host.h"
#include "le.h"

namespace zebscan {
namespace {

// The FIB's version number: Word 6.0 writes 101 (0x65), Word 95 104 (0x68); the Word 97 betas
// wrote higher numbers up to 0xC0 with the Word 97 layout, and Word 97 itself 0xC1 on.
constexpr unsigned kFibWord6 = 0x65;
constexpr unsigned kFibLastWord95 = 0x69;
constexpr uint32_t kFibVersion = 2;
constexpr uint32_t kFibMacroTableSize = 0x11C;
// Tables of real documents stay far below this; reading stops here whatever the FIB claims.
constexpr uint32_t kMaxTableBytes = 0x40000;
constexpr uint32_t kMiniSector = ZM_MINI_SECTOR;

struct ReaderClose {
  void operator()(DocReader* p) const { DOC_CloseDocument(p); }
};
using ReaderPtr = std::unique_ptr<DocReader, ReaderClose>;

// Reads cb stream bytes from lPos into *pOut, piece by piece (a piece never spans two sectors or
// mini-sectors), up to the first byte that lies outside the file. The reader would take bytes past
// the file's end as zeros; here they end the read. Returns the bytes read.
uint32_t ReadPresent(DocReader* pR, uint32_t lPos, uint32_t cb, uint64_t cbFile,
                     std::vector<uint8_t>* pOut) {
  uint32_t cbGranule = pR->bInMiniStream ? kMiniSector : ZM_SECTOR;
  uint32_t done = 0;
  while (done < cb) {
    uint32_t pos = lPos + done;
    // The library's own mapping; 0 means the chain does not reach pos.
    uint64_t lFirst = DOC_lFileOffsetOf(pR, pos);
    if (lFirst == 0 || lFirst >= cbFile) break;
    // Within a piece the file offsets run on, so the file's end may cut it.
    uint32_t n = static_cast<uint32_t>(
        std::min<uint64_t>({cb - done, cbGranule - pos % cbGranule, cbFile - lFirst}));
    if (!DOC_iReadAt(pR, pos, static_cast<int32_t>(n))) break;
    pOut->insert(pOut->end(), pR->abImage, pR->abImage + n);
    done += n;
  }
  return done;
}

// Why a file that the reader refused is not a readable Word 6/95 document, told from its first
// sector and the reader's reason.
DocKind RefusedKind(const uint8_t* abHead, uint64_t cbHead, uint64_t cbFile, int32_t iWhy) {
  // The reader takes missing bytes as zeros, so a cut file fails in many ways: the header's
  // own view of the file tells that first.
  uint64_t lDir = (DOC_wLe16(abHead + 0x30) + 1ull) * ZM_SECTOR;
  if (cbHead < ZM_SECTOR || lDir >= cbFile) return DocKind::kTruncated;
  if (iWhy == DOC_WHY_FILE) return DocKind::kUnreadable;
  // The header's FAT list reaches the first 13,952 sectors; a chain that leaves them, in a file
  // that long, lies beyond what the reader was made for rather than being broken.
  const uint64_t cbCovered =
      (uint64_t{ZM_HEADER_FAT_SLOTS} * ZM_FAT_ENTRIES_PER_SECTOR + 1) * ZM_SECTOR;
  if (iWhy == DOC_WHY_BROKEN_CHAIN && cbFile > cbCovered) return DocKind::kTooLarge;
  if (iWhy == DOC_WHY_CHAIN_TOO_LONG || iWhy == DOC_WHY_EMPTY_STREAM ||
      iWhy == DOC_WHY_BROKEN_CHAIN || iWhy == DOC_WHY_MINI_STREAM)
    return DocKind::kDamaged;
  // Otherwise not Word 6/95: no WordDocument stream, or a macro-table position that no Word
  // 6/95 FIB holds (a later Word's FIB read at Word 6's offsets).
  return DocKind::kNotWord6;
}

// The reader's reads of one attached document served from the file's head, read once: the
// header, directory, FAT sectors and FIB of most documents lie in their first sectors, and the
// reader asks for each sector with a system call of its own. Reads the head does not hold go to
// the platform as before; nothing the reader sees changes. Installed in the platform table for
// the reading of one document (the front end's reader is used by one thread at a time).
class HeadCache {
 public:
  explicit HeadCache(const File& f) {
    int64_t cb = ReadAt(f, 0, m_ab, sizeof m_ab);
    if (cb < 0) return;
    m_cb = static_cast<uint32_t>(cb);
    m_bWhole = static_cast<uint64_t>(cb) == f.cbSize;
    m_h = LibraryHandle(f);
    m_saved = g_zmHost;
    s_pActive = this;
    g_zmHost.pfnRead = Read;
    g_zmHost.pfnReadAt = ReadAtCached;
    g_zmHost.pfnSeek = Seek;
  }
  ~HeadCache() {
    if (s_pActive != this) return;
    g_zmHost.pfnRead = m_saved.pfnRead;
    g_zmHost.pfnReadAt = m_saved.pfnReadAt;
    g_zmHost.pfnSeek = m_saved.pfnSeek;
    s_pActive = nullptr;
  }
  HeadCache(const HeadCache&) = delete;
  HeadCache& operator=(const HeadCache&) = delete;
  // The file's first bytes as read (-1: the read failed).
  int64_t Head(uint8_t* pb, size_t cb) const {
    if (m_h == ZM_HFILE_ERROR) return -1;
    size_t n = std::min<size_t>(cb, m_cb);
    std::memcpy(pb, m_ab, n);
    return static_cast<int64_t>(n);
  }

 private:
  static uint32_t ReadAtCached(int32_t h, uint32_t lOffset, void* pv, uint32_t cb) {
    HeadCache* p = s_pActive;
    if (h != p->m_h) return p->m_saved.pfnReadAt(h, lOffset, pv, cb);
    bool bInside = lOffset <= p->m_cb && cb <= p->m_cb - lOffset;
    if (!bInside && !(p->m_bWhole && lOffset <= p->m_cb))
      return p->m_saved.pfnReadAt(h, lOffset, pv, cb);
    uint32_t n = bInside ? cb : p->m_cb - lOffset;  // a whole file held: its end is here too
    std::memcpy(pv, p->m_ab + lOffset, n);
    return n;
  }
  // The file's own position is never moved: the reader's one sequential read is served at the
  // position kept here.
  static uint32_t Read(int32_t h, void* pv, uint32_t cb) {
    HeadCache* p = s_pActive;
    if (h != p->m_h) return p->m_saved.pfnRead(h, pv, cb);
    if (p->m_lPos > 0x7FFFFFFFu) return ZM_IO_ERROR;
    uint32_t n = ReadAtCached(h, p->m_lPos, pv, cb);
    if (n != ZM_IO_ERROR && n != ZM_SEEK_ERROR) p->m_lPos += n;
    return n == ZM_SEEK_ERROR ? ZM_IO_ERROR : n;
  }
  static int32_t Seek(int32_t h, int32_t lOffset, int32_t iOrigin) {
    HeadCache* p = s_pActive;
    if (h != p->m_h) return p->m_saved.pfnSeek(h, lOffset, iOrigin);
    int64_t lFrom = iOrigin == 0 ? 0 : iOrigin == 1 ? p->m_lPos : -1;
    if (lFrom < 0) {  // from the end: the platform knows the size
      int32_t r = p->m_saved.pfnSeek(h, lOffset, iOrigin);
      if (r >= 0) p->m_lPos = static_cast<uint32_t>(r);
      return r;
    }
    int64_t lTo = lFrom + lOffset;
    if (lTo < 0 || lTo > 0x7FFFFFFF) return -1;
    p->m_lPos = static_cast<uint32_t>(lTo);
    return static_cast<int32_t>(lTo);
  }

  static HeadCache* s_pActive;
  uint8_t m_ab[8192];
  uint32_t m_cb = 0, m_lPos = 0;
  bool m_bWhole = false;
  int32_t m_h = ZM_HFILE_ERROR;
  ZmHostCalls m_saved = {};
};

HeadCache* HeadCache::s_pActive = nullptr;

}  // namespace

DocNames ReadDocumentNames(const File& f) {
  DocNames r;
  const uint64_t cbFile = f.cbSize;
  int32_t iWhy = DOC_WHY_NONE;
  HeadCache head(f);
  ReaderPtr pR(DOC_pAttachDocument(LibraryHandle(f), &iWhy));
  if (!pR) {
    // Told apart from the file's first sector, which the head holds already.
    uint8_t abHead[ZM_SECTOR] = {};
    int64_t cbHead = head.Head(abHead, sizeof abHead);
    static const uint8_t kSignature[4] = {0xD0, 0xCF, 0x11, 0xE0};
    if (cbHead < 0) {
      r.sError = "Read error";
    } else if (cbHead < 4 || std::memcmp(abHead, kSignature, 4) != 0) {
      r.kind = DocKind::kNotWord6;
    } else {
      r.kind = RefusedKind(abHead, static_cast<uint64_t>(cbHead), cbFile, iWhy);
      if (r.kind == DocKind::kUnreadable) r.sError = "Read error";
    }
    return r;
  }
  r.kind = DocKind::kNotWord6;
  std::vector<uint8_t> abFib;
  if (ReadPresent(pR.get(), 0, kFibMacroTableSize + 4, cbFile, &abFib) != kFibMacroTableSize + 4) {
    r.kind = DocKind::kTruncated;
    return r;
  }
  unsigned nFib = DOC_wLe16(&abFib[kFibVersion]);
  if (nFib < kFibWord6 || nFib > kFibLastWord95) return r;
  r.kind = DocKind::kWord6;

  uint32_t lTable = pR->lMacroTablePos;
  uint32_t cbStream = DOC_lReadableBytes(pR.get());
  uint32_t cbClaimed = DOC_lLe32(&abFib[kFibMacroTableSize]);
  if (lTable >= cbStream) return r;
  // Most documents have no macros: a table must start with 0xFF, and one byte tells.
  std::vector<uint8_t> abMark;
  if (ReadPresent(pR.get(), lTable, 1, cbFile, &abMark) == 1 && abMark[0] != 0xFF) return r;
  uint32_t cbTable =
      std::min({cbStream - lTable, kMaxTableBytes, cbClaimed ? cbClaimed : kMaxTableBytes});
  std::vector<uint8_t> abTable;
  uint32_t cbRead = ReadPresent(pR.get(), lTable, cbTable, cbFile, &abTable);
  r.table = ParseMacroTable(abTable.data(), abTable.size());
  if (cbRead < cbTable && (cbRead == 0 || r.table.bCut)) r.kind = DocKind::kTruncated;
  return r;
}

DocNames ReadDocumentNames(const std::string& path) {
  DocNames r;
  File f;
  if (!OpenFile(nullptr, path, true, false, &f, &r.sError)) return r;
  return ReadDocumentNames(f);
}

}  // namespace zebscan
