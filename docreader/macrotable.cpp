// The macro table and macro extraction: the usable entries of the table that the FIB
// locates, and one macro's bytes in the clear.
#include "docreader.h"
#include "le.h"

namespace {
constexpr uint32_t kTableHead = 4;    // 0xFF, 0x01, u16 entry count
constexpr uint32_t kEntry = 24;       // one macro entry
constexpr uint8_t kMarkTaken = 0x55;  // an entry with any other mark is skipped
constexpr uint32_t kEntryKey = 0x01;
constexpr uint32_t kEntryLength = 0x0C;
constexpr uint32_t kEntryOffset = 0x14;
}  // namespace

int32_t DOC_ReadMacroTable(DocReader* p) {
  p->wMacroCount = 0;
  p->lSectorSize = ZM_SECTOR;
  if (!DOC_Open(p)) return 0;
  DOC_SetRequest(p, p->lMacroTablePos, kTableHead);
  if (!DOC_ReadStream(p)) return 0;
  if (p->abImage[0] != 0xFF || p->abImage[1] != 0x01) return 0;
  uint16_t nEntries = DOC_wLe16(p->abImage + 2);
  if (nEntries == 0) return 0;
  for (uint32_t j = 0; j < nEntries; ++j) {
    // Entry j lies at the table's offset + 4 + 24 j: the position advances by 24 per entry.
    DOC_SetRequest(p, p->lMacroTablePos + kTableHead, kEntry);
    p->lMacroTablePos += kEntry;
    if (!DOC_ReadStream(p)) return 0;  // even when macros were already listed
    if (p->abImage[0] != kMarkTaken) continue;
    uint32_t lLength = DOC_lLe32(p->abImage + kEntryLength);
    if (lLength == 0 || lLength >= ZM_MACRO_LENGTH_LIMIT) continue;
    // More than 64 usable entries: the rest are read (a failed read still fails the table) but
    // not listed; nothing is stored past the 64 places.
    if (p->wMacroCount >= ZM_MAX_MACROS) continue;
    p->abMacroKey[p->wMacroCount] = p->abImage[kEntryKey];
    p->alMacroOffset[p->wMacroCount] = DOC_lLe32(p->abImage + kEntryOffset);
    p->alMacroLength[p->wMacroCount] = lLength;
    ++p->wMacroCount;
  }
  return p->wMacroCount >= 1 ? 1 : 0;
}

int32_t DOC_ExtractMacro(DocReader* p, uint16_t wMacro) {
  if (wMacro >= p->wMacroCount) return 0;
  uint32_t lLength = p->alMacroLength[wMacro];
  DOC_SetRequest(p, p->alMacroOffset[wMacro], static_cast<int32_t>(lLength & 0xFFFFu));
  if (!DOC_ReadStream(p)) return 0;
  uint8_t bKey = p->abMacroKey[wMacro];
  if (bKey == 0) return 1;  // stored plain
  uint32_t n = lLength < ZM_IMAGE ? lLength : ZM_IMAGE;
  for (uint32_t i = 0; i < n; ++i) p->abImage[i] ^= bKey;
  return 1;
}
