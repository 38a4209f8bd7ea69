// The name reader's file side: the WordDocument stream read through the library's own reading
// code (DOC_pOpenDocument, DOC_iReadAt), so names come from exactly the bytes a scan would see.
#include "namereader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "docreader.h"
#include "le.h"

namespace zm {
namespace {

// The FIB's version number: Word 6.0 writes 101 (0x65), Word 95 104 (0x68); the Word 97 betas
// wrote higher numbers up to 0xC0 with the Word 97 layout, and Word 97 itself 0xC1 on.
constexpr unsigned kFibWord6 = 0x65;
constexpr unsigned kFibLastWord95 = 0x69;
constexpr uint32_t kFibVersion = 2;
// FIB 0x0A, bit 8: fEncrypted. A password-protected document keeps only the FIB's first 0x30
// bytes in the clear; the rest of the stream, the macro table's position and the table included,
// is scrambled with a key made from the password.
constexpr uint32_t kFibFlags = 0x0A;
constexpr unsigned kFibEncrypted = 0x0100;
// The same word's bit 0: fDot, a template. MS-DOC's FibBase lists the word's bits from the lowest,
// A fDot, B fGlsy, C fComplex, D fHasPic, E cQuickSaves (4 bits), F fEncrypted: so F is bit 8, as
// above, and fDot bit 0.
constexpr unsigned kFibTemplate = 0x0001;
constexpr uint32_t kFibMacroTableSize = 0x11C;
// Tables of real documents stay far below this; reading stops here whatever the FIB claims.
constexpr uint32_t kMaxTableBytes = 0x40000;
constexpr uint32_t kMiniSector = ZM_MINI_SECTOR;

struct ReaderClose {
  void operator()(DocReader* p) const { DOC_CloseDocument(p); }
};
using ReaderPtr = std::unique_ptr<DocReader, ReaderClose>;

// Reads cb stream bytes from lPos, piece by piece, each handed to take(pb, n), up to the first
// byte that lies outside the file. A piece is a run of (mini-)sectors that follow each other in
// the file as in the stream, as much of it as the reader's file window holds: taken where the
// window holds it, a body is hashed without a copy, most in one piece. The reader would take
// bytes past the file's end as zeros; here they end the read. Returns the bytes read.
template <typename Take>
uint32_t ReadPieces(DocReader* pR, uint32_t lPos, uint32_t cb, uint64_t cbFile, Take take) {
  uint32_t cbGranule = pR->bInMiniStream ? kMiniSector : ZM_SECTOR;
  uint32_t done = 0;
  while (done < cb) {
    uint32_t pos = lPos + done;
    // The library's own mapping; 0 means the chain does not reach pos.
    uint64_t lFirst = DOC_lFileOffsetOf(pR, pos);
    if (lFirst == 0 || lFirst >= cbFile) break;
    uint32_t n = std::min(cb - done, cbGranule - pos % cbGranule);
    while (n < cb - done && n < ZM_READ_WINDOW && DOC_lFileOffsetOf(pR, pos + n) == lFirst + n)
      n += std::min(cb - done - n, cbGranule);
    // The file's end may cut the run.
    uint32_t cbRun = 0;
    const uint8_t* pb =
        DOC_pbFileRun(pR, static_cast<uint32_t>(lFirst),
                      static_cast<uint32_t>(std::min<uint64_t>(n, cbFile - lFirst)), &cbRun);
    if (pb == nullptr) break;
    take(pb, cbRun);
    done += cbRun;
  }
  return done;
}

// The same into *pOut.
uint32_t ReadPresent(DocReader* pR, uint32_t lPos, uint32_t cb, uint64_t cbFile,
                     std::vector<uint8_t>* pOut) {
  return ReadPieces(pR, lPos, cb, cbFile, [pOut](const uint8_t* pb, uint32_t n) {
    pOut->insert(pOut->end(), pb, pb + n);
  });
}

// Header fields of a compound file for the bytes it needs.
constexpr uint32_t kHdrSectorShift = 0x1E;
constexpr uint32_t kHdrFatSectors = 0x2C;
constexpr uint32_t kHdrFatList = 0x4C;
constexpr uint32_t kFreeSector = 0xFFFFFFFFu;
constexpr uint32_t kFirstMarker = 0xFFFFFFFAu;  // this and above: no sector number

// The bytes a compound file's own structures take, by its header and FAT: up to the end of the
// last sector the FAT marks as used, and of every FAT sector the header lists. A file shorter than
// this was cut. The head holds the file's first cbHead bytes; a FAT sector beyond them costs one
// read. 0 when the header does not tell (a sector size other than 512 or 4096 bytes).
uint64_t BytesTheFileNeeds(const File& f, const uint8_t* pbHead, uint64_t cbHead, uint64_t cbFile) {
  const unsigned shift = DOC_wLe16(pbHead + kHdrSectorShift);
  if (shift != 9 && shift != 12) return 0;
  const uint64_t cbSector = uint64_t{1} << shift;
  const uint32_t nFat = std::min<uint32_t>(DOC_lLe32(pbHead + kHdrFatSectors), ZM_HEADER_FAT_SLOTS);
  auto slot = [pbHead](uint32_t g) { return DOC_lLe32(pbHead + kHdrFatList + 4 * g); };
  uint64_t cbNeeded = 0;
  for (uint32_t g = 0; g < nFat; ++g)
    if (slot(g) < kFirstMarker) cbNeeded = std::max(cbNeeded, (slot(g) + uint64_t{2}) * cbSector);
  // The last sector in use is listed by the last FAT sector that lists any.
  uint8_t abSector[4096];
  for (uint32_t g = nFat; g-- > 0;) {
    if (slot(g) >= kFirstMarker) continue;
    const uint64_t lAt = (slot(g) + uint64_t{1}) * cbSector;
    if (cbSector > cbFile || lAt > cbFile - cbSector) break;  // the FAT itself is cut
    const uint8_t* pb = abSector;
    if (cbSector <= cbHead && lAt <= cbHead - cbSector)
      pb = pbHead + lAt;
    else if (ReadAt(f, lAt, abSector, cbSector) != static_cast<int64_t>(cbSector))
      break;
    const uint64_t nEntries = cbSector / 4;
    uint64_t k = nEntries;
    while (k > 0 && DOC_lLe32(pb + 4 * (k - 1)) == kFreeSector) --k;
    if (k == 0) continue;
    cbNeeded = std::max(cbNeeded, (g * nEntries + k + 1) * cbSector);
    break;
  }
  return cbNeeded;
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

// The version of the opened stream's FIB, 0 when its first bytes are not in the file; with it
// whether it says the document is encrypted.
unsigned FibVersion(DocReader* pR, uint64_t cbFile, bool* pbEncrypted) {
  std::vector<uint8_t> abFib;
  if (ReadPresent(pR, 0, kFibFlags + 2, cbFile, &abFib) != kFibFlags + 2) return 0;
  *pbEncrypted = (DOC_wLe16(&abFib[kFibFlags]) & kFibEncrypted) != 0;
  return DOC_wLe16(&abFib[kFibVersion]);
}

bool IsWord6Fib(unsigned nFib) { return nFib >= kFibWord6 && nFib <= kFibLastWord95; }

// The stored bytes of each marked entry's body, into *pBytes, within its caps.
void ReadBodies(DocReader* pR, uint64_t cbFile, uint32_t cbStream, MacroBytes* pBytes) {
  size_t cbLeft = MacroBytes::kMaxBodyBytes;
  pBytes->bodies.reserve(std::min<size_t>(
      MacroBytes::kMaxMacros, std::count_if(pBytes->entries.begin(), pBytes->entries.end(),
                                            [](const wordbasic::Entry& e) { return e.Marked(); })));
  for (size_t i = 0; i < pBytes->entries.size(); ++i) {
    const wordbasic::Entry& e = pBytes->entries[i];
    if (!e.Marked()) continue;
    if (pBytes->bodies.size() == MacroBytes::kMaxMacros) {
      ++pBytes->nLeftOut;
      continue;
    }
    MacroBytes::Body body;
    body.iEntry = i;
    uint32_t cb = e.lOffset < cbStream ? std::min(e.lLength, cbStream - e.lOffset) : 0;
    body.bOverCap = cb > cbLeft;
    cb = static_cast<uint32_t>(std::min<size_t>(cb, cbLeft));
    // Hashed as it is read, or queued while the queue has room: a listing without sources keeps
    // no body.
    DigestQueue* pQueue = pBytes->pQueue && pBytes->pQueue->Room(cb) ? pBytes->pQueue : nullptr;
    wordbasic::Sha256 sha;
    wordbasic::Sha256Init(&sha);
    if (pQueue) body.iQueued = pQueue->Add(e.bKey);
    body.cbRead = ReadPieces(pR, e.lOffset, cb, cbFile, [&](const uint8_t* pb, uint32_t n) {
      if (pBytes->bKeep) body.stored.insert(body.stored.end(), pb, pb + n);
      if (pQueue)
        pQueue->Append(pb, n);
      else
        wordbasic::Sha256UpdateStored(&sha, pb, n, e.bKey);
    });
    if (!pQueue) wordbasic::Sha256Final(&sha, body.abSha256);
    cbLeft -= body.cbRead;
    pBytes->bodies.push_back(std::move(body));
  }
}

// The FIB and the macro table of a document the reader opened, into *pOut, and with pBytes what
// a listing needs. *pbOtherFib: the FIB was read whole and names another format.
void ReadOpened(DocReader* pR, uint64_t cbFile, DocNames* pOut, bool* pbOtherFib,
                MacroBytes* pBytes) {
  DocNames& r = *pOut;
  r.kind = DocKind::kNotWord6;
  std::vector<uint8_t> abFib;
  if (ReadPresent(pR, 0, kFibMacroTableSize + 4, cbFile, &abFib) != kFibMacroTableSize + 4) {
    r.kind = DocKind::kTruncated;
    return;
  }
  *pbOtherFib = !IsWord6Fib(DOC_wLe16(&abFib[kFibVersion]));
  if (*pbOtherFib) return;
  // Nothing past the FIB's first bytes can be read, the table's position included.
  if (DOC_wLe16(&abFib[kFibFlags]) & kFibEncrypted) {
    r.kind = DocKind::kEncrypted;
    return;
  }
  r.kind = DocKind::kWord6;

  uint32_t lTable = pR->lMacroTablePos;
  uint32_t cbStream = DOC_lReadableBytes(pR);
  uint32_t cbClaimed = DOC_lLe32(&abFib[kFibMacroTableSize]);
  if (lTable >= cbStream) return;
  // Most documents have no macros: a table must start with 0xFF, and one byte tells.
  std::vector<uint8_t> abMark;
  if (ReadPresent(pR, lTable, 1, cbFile, &abMark) == 1 && abMark[0] != 0xFF) return;
  uint32_t cbTable =
      std::min({cbStream - lTable, kMaxTableBytes, cbClaimed ? cbClaimed : kMaxTableBytes});
  std::vector<uint8_t> abTable;
  uint32_t cbRead = ReadPresent(pR, lTable, cbTable, cbFile, &abTable);
  r.table = ParseMacroTable(abTable.data(), abTable.size(), pBytes ? &pBytes->entries : nullptr);
  // Out of bytes before the table's end, wherever the cut falls: at a boundary between two
  // sections the part read looks like a whole table.
  if (cbRead < cbTable) r.kind = DocKind::kTruncated;
  if (pBytes == nullptr || r.table.nMacros == 0) return;
  pBytes->bTemplate = (DOC_wLe16(&abFib[kFibFlags]) & kFibTemplate) != 0;
  pBytes->table = std::move(abTable);
  ReadBodies(pR, cbFile, cbStream, pBytes);
}

}  // namespace

MacroTable ParseMacroTable(const uint8_t* pb, size_t cb, std::vector<wordbasic::Entry>* pEntries) {
  MacroTable t;
  if (cb == 0 || pb[0] != 0xFF) return t;
  // Room for every entry the bytes can hold; most tables are a few hundred bytes.
  std::vector<wordbasic::Entry> own;
  std::vector<wordbasic::Entry>& entries = pEntries ? *pEntries : own;
  entries.resize(cb / 24 + 1);
  const wordbasic::Table w = wordbasic::ReadTable(pb, cb, entries.data(), entries.size());
  entries.resize(w.nStored);
  for (const wordbasic::Entry& e : entries) {
    if (!e.Marked()) continue;
    ++t.nMacros;
    if (e.name.bPresent)
      t.names.emplace_back(reinterpret_cast<const char*>(pb + e.name.lAt), e.name.cb);
    else
      ++t.nUnnamed;
  }
  t.bNameSection = w.bNameSection;
  t.bCut = w.bCut;
  return t;
}

std::vector<std::array<uint8_t, wordbasic::kSha256Bytes>> DigestQueue::Make() {
  std::vector<wordbasic::BodyRef> refs(m_bodies.size());
  for (size_t i = 0; i < m_bodies.size(); ++i) {
    const size_t end = i + 1 < m_bodies.size() ? m_bodies[i + 1].at : m_bytes.size();
    refs[i] = {m_bytes.data() + m_bodies[i].at, end - m_bodies[i].at, m_bodies[i].bKey};
  }
  std::vector<std::array<uint8_t, wordbasic::kSha256Bytes>> digests(m_bodies.size());
  wordbasic::BodySha256Many(refs.data(), refs.size(),
                            reinterpret_cast<uint8_t(*)[wordbasic::kSha256Bytes]>(digests.data()));
  m_bodies.clear();
  m_bytes.clear();
  return digests;
}

ReaderBlock::~ReaderBlock() { DOC_CloseDocument(m_p); }

// Cleared for each document by DOC_iAttachInto: a tenth of the block, against all of it for a
// fresh one.
DocReader* ReaderBlock::Reader() {
  if (m_p == nullptr) m_p = DOC_pCommitReader();
  return m_p;
}

DocNames ReadDocumentNames(const File& f, ReaderBlock* pBlock, MacroBytes* pBytes) {
  DocNames r;
  if (pBytes) {
    const bool bKeep = pBytes->bKeep;
    DigestQueue* pQueue = pBytes->pQueue;
    *pBytes = MacroBytes();
    pBytes->bKeep = bKeep;
    pBytes->pQueue = pQueue;
  }
  const uint64_t cbFile = f.cbSize;
  ReaderBlock own;
  DocReader* pR = (pBlock ? pBlock : &own)->Reader();
  if (pR == nullptr) {
    r.sError = std::strerror(ENOMEM);
    return r;
  }
  // The head is read straight into the reader's window, as its own first read would be: one read
  // serves the header, directory, FAT and FIB of most documents. Its first sector is kept apart,
  // since the reader may move the window on.
  const int64_t cbHead = ReadAt(f, 0, pR->aabWindow[0], ZM_READ_WINDOW);
  uint8_t abHead[ZM_SECTOR] = {};
  if (cbHead > 0) std::memcpy(abHead, pR->aabWindow[0], std::min<size_t>(sizeof abHead, cbHead));
  static const uint8_t kSignature[4] = {0xD0, 0xCF, 0x11, 0xE0};
  const bool bCompound = cbHead >= 4 && std::memcmp(abHead, kSignature, 4) == 0;
  r.bCompound = bCompound;
  const uint64_t cbNeeded =
      bCompound && cbHead >= ZM_SECTOR ? BytesTheFileNeeds(f, pR->aabWindow[0], cbHead, cbFile) : 0;
  int32_t iWhy = DOC_WHY_NONE;
  bool bOtherFib = false, bEncrypted = false;
  if (DOC_iAttachInto(pR, LibraryHandle(f), cbHead < 0 ? -1 : static_cast<int32_t>(cbHead),
                      &iWhy)) {
    ReadOpened(pR, cbFile, &r, &bOtherFib, pBytes);
  } else if (cbHead < 0) {
    r.sError = "Read error";
  } else if (!bCompound) {
    r.kind = DocKind::kNotWord6;
  } else {
    // Encrypted, its scrambled FIB putting the table past the reader's limit; or a later Word's
    // FIB, read at Word 6's offsets, giving a table position that the reader refuses.
    const unsigned nFib = iWhy == DOC_WHY_FIB ? FibVersion(pR, cbFile, &bEncrypted) : 0;
    bOtherFib = nFib != 0 && !IsWord6Fib(nFib);
    if (IsWord6Fib(nFib) && bEncrypted) {
      r.kind = DocKind::kEncrypted;
    } else {
      r.kind = RefusedKind(abHead, static_cast<uint64_t>(cbHead), cbFile, iWhy);
      if (r.kind == DocKind::kUnreadable) r.sError = "Read error";
    }
  }
  // A compound file whose own structures lie past its end was cut, whatever the reader made of
  // what is left: the names read stay, for a scan that may still find a virus. Only a FIB read
  // whole that names another format (a cut Word 97 document) still says what the file is.
  if (cbNeeded > cbFile && r.kind != DocKind::kUnreadable && !bOtherFib)
    r.kind = DocKind::kTruncated;
  return r;
}

DocNames ReadDocumentNames(const std::string& path) {
  DocNames r;
  File f;
  if (!OpenFile(nullptr, path, true, false, &f, &r.sError)) return r;
  return ReadDocumentNames(f);
}

}  // namespace zm
