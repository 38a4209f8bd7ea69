// MACRO_ScanRaw: one sequential pass over a file in blocks of ZM_RAW_BLOCK bytes, with the last n - 1
// bytes of each block carried in front of the next so that an occurrence across a block edge is found.
#include "rawscan.h"

#include <string.h>

#include "fileprim.h"
#include "host.h"
#include "sigdb.h"

// The raw signature table: short name, signature string (hex, two digits a byte), its length in
// bytes. The digits are ours: distinct from each other and from every database string.
const RawSignature g_aRawSignatures[ZM_RAW_SIGNATURES] = {
    {"FormatC", "2AD688FC02E373DE5F2726D27012BE5957"},         // 17 bytes
    {"Wazzu", "F291BB63CCDC04F8CC65A17084"},                   // 13 bytes
    {"Guess", "5856EB22474387F26F0160B4E6D1F5E6277784"},       // 19 bytes
    {"EasyMan", "D62ACD0617DAD212C478E8C9025E7C"},             // 15 bytes
    {"SaverSex", "B921E9591D106147F5D0BBE38E266996205C8DA5"},  // 20 bytes
};

namespace {

// The entry whose name equals szName byte for byte, or null. Comparing in place needs no copy:
// a name too long for the 64-byte short-name area differs from all five anyway.
const RawSignature* FindEntry(const char* szName) {
  if (szName == nullptr) return nullptr;
  for (const RawSignature& e : g_aRawSignatures)
    if (strcmp(e.szName, szName) == 0) return &e;
  return nullptr;
}

// Sixteen bytes as one value; the compiler maps the operations onto the widest vector unit there
// is. Vectors pass by pointer, never by value, so no calling convention depends on that unit.
typedef uint8_t V16 __attribute__((vector_size(16)));

// Ors into *pvHits the lanes of the sixteen start positions from p whose first and last bytes
// equal the signature's.
inline void AddHits(V16* pvHits, const uint8_t* p, uint32_t n, const V16* pvFirst,
                    const V16* pvLast) {
  V16 vHead, vTail;
  memcpy(&vHead, p, sizeof vHead);
  memcpy(&vTail, p + n - 1, sizeof vTail);
  *pvHits |= (vHead == *pvFirst) & (vTail == *pvLast);
}

inline uint64_t AnyLane(const V16* pv) {
  uint64_t a[2];
  memcpy(a, pv, sizeof a);
  return a[0] | a[1];
}

// First position of abSig[0..n) in ab[0..cb), or -1. Start positions are tested 64 at a time on
// the signature's first and last bytes together (random data passes both one time in 65536), and
// only those that pass are compared whole; the tail that remains is tested position by position.
int32_t FindBytes(const uint8_t* ab, uint32_t cb, const uint8_t* abSig, uint32_t n) {
  if (n == 0 || cb < n) return -1;
  const uint32_t nLast = cb - n;  // last start position
  const V16 vFirst = V16{} + abSig[0];
  const V16 vLast = V16{} + abSig[n - 1];
  uint32_t i = 0;
  // A step reads up to byte i + 63 + n - 1, so whole steps need i + 63 <= nLast.
  for (; nLast >= 63 && i <= nLast - 63; i += 64) {
    V16 vHits = {};
    for (uint32_t k = 0; k < 64; k += 16) AddHits(&vHits, ab + i + k, n, &vFirst, &vLast);
    if (AnyLane(&vHits) == 0) continue;
    for (uint32_t j = 0; j < 64; ++j)
      if (ab[i + j] == abSig[0] && memcmp(ab + i + j, abSig, n) == 0)
        return static_cast<int32_t>(i + j);
  }
  for (; i <= nLast; ++i)
    if (ab[i] == abSig[0] && memcmp(ab + i, abSig, n) == 0) return static_cast<int32_t>(i);
  return -1;
}

// Scans the open file; 1 at the first occurrence, 0 at the end or on a read failure.
int32_t ScanFile(int32_t hFile, const uint8_t* abSig, uint32_t n) {
  // The carry (at most n - 1 bytes of the previous block) sits in front of each new block; only
  // bytes delivered by a read are ever searched.
  uint8_t abWindow[ZM_SIG_BYTES + ZM_RAW_BLOCK];
  uint32_t cbCarry = 0;
  for (;;) {
    uint32_t c = uReadBlock(hFile, abWindow + cbCarry, ZM_RAW_BLOCK);
    if (c == 0 || c > ZM_RAW_BLOCK) return 0;  // end of file, or ZM_IO_ERROR
    uint32_t cb = cbCarry + c;
    if (FindBytes(abWindow, cb, abSig, n) >= 0) return 1;
    cbCarry = cb < n - 1 ? cb : n - 1;
    memmove(abWindow, abWindow + (cb - cbCarry), cbCarry);
  }
}

}  // namespace

int32_t RAW_iScanRaw(const char* szPath, const char* szName) {
  if (szPath == nullptr) return 0;
  int32_t hFile = hOpenRead(szPath);
  if (hFile == ZM_HFILE_ERROR) return 0;
  int32_t iFound = 0;
  const RawSignature* pEntry = FindEntry(szName);
  uint8_t abSig[ZM_SIG_BYTES];
  int32_t n = pEntry ? SIG_iDecode(pEntry->szSignature, abSig, ZM_SIG_BYTES) : 0;
  if (n > 0) iFound = ScanFile(hFile, abSig, static_cast<uint32_t>(n));
  iCloseFile(hFile);
  return iFound;
}
