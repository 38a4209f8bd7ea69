// MACRO_ScanRaw: one sequential pass over a file in blocks of ZM_RAW_BLOCK bytes, with the last n -
// 1 bytes of each block carried in front of the next so that an occurrence across a block edge is
// found.
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

// Vectors of 16 and 32 bytes; the compiler maps the operations onto the vector unit of the
// function that uses them. Vectors pass by pointer, never by value, so no calling convention
// depends on that unit.
typedef uint8_t V16 __attribute__((vector_size(16)));
typedef uint8_t V32 __attribute__((vector_size(32)));

// First position of abSig[0..n) in ab[0..cb), or -1. Start positions are tested RAW_STEP at a time
// on the signature's first and last bytes together (random data passes both one time in 65536),
// and only those that pass are compared whole; the tail that remains is tested position by
// position.
template <typename V>
inline __attribute__((always_inline)) int32_t FindIn(const uint8_t* ab, uint32_t cb,
                                                     const uint8_t* abSig, uint32_t n) {
  if (n == 0 || cb < n) return -1;
  const uint32_t nLast = cb - n;  // last start position
  const V vFirst = V{} + abSig[0];
  const V vLast = V{} + abSig[n - 1];
  uint32_t i = 0;
  // A step reads up to byte i + RAW_STEP - 1 + n - 1, so whole steps need i + RAW_STEP - 1 <=
  // nLast.
  for (; nLast >= RAW_STEP - 1 && i <= nLast - (RAW_STEP - 1); i += RAW_STEP) {
    V vHits = {};
    for (uint32_t k = 0; k < RAW_STEP; k += sizeof(V)) {
      V vHead, vTail;
      memcpy(&vHead, ab + i + k, sizeof vHead);
      memcpy(&vTail, ab + i + k + n - 1, sizeof vTail);
      vHits |= (vHead == vFirst) & (vTail == vLast);
    }
    uint64_t aq[sizeof(V) / 8];
    memcpy(aq, &vHits, sizeof aq);
    uint64_t qAny = 0;
    for (uint64_t q : aq) qAny |= q;
    if (qAny == 0) continue;
    for (uint32_t j = 0; j < RAW_STEP; ++j)
      if (ab[i + j] == abSig[0] && memcmp(ab + i + j, abSig, n) == 0)
        return static_cast<int32_t>(i + j);
  }
  for (; i <= nLast; ++i)
    if (ab[i] == abSig[0] && memcmp(ab + i, abSig, n) == 0) return static_cast<int32_t>(i);
  return -1;
}

// The same search with 32-byte vectors, for processors that have them (chosen at run time).
__attribute__((target("avx2"))) int32_t FindWide(const uint8_t* ab, uint32_t cb,
                                                 const uint8_t* abSig, uint32_t n) {
  return FindIn<V32>(ab, cb, abSig, n);
}
int32_t FindNarrow(const uint8_t* ab, uint32_t cb, const uint8_t* abSig, uint32_t n) {
  return FindIn<V16>(ab, cb, abSig, n);
}

int32_t FindBytes(const uint8_t* ab, uint32_t cb, const uint8_t* abSig, uint32_t n) {
  return RAW_iFindBytes(ab, cb, abSig, n, RAW_iHasWideSearch());
}

// Scans the open file through pbWindow (ZM_RAW_WINDOW bytes); 1 at the first occurrence, 0 at
// the end or on a read failure.
int32_t ScanFile(int32_t hFile, const uint8_t* abSig, uint32_t n, uint8_t* pbWindow) {
  // Each block is read to the same place, behind room for the carry (at most n - 1 bytes of the
  // previous block), which is put just before it, so the search runs over carry and block as
  // one. Only bytes delivered by a read are ever searched.
  uint8_t* const pbBlock = pbWindow + ZM_SIG_BYTES;
  uint32_t cbCarry = 0;
  for (;;) {
    uint32_t c = uReadBlock(hFile, pbBlock, ZM_RAW_BLOCK);
    if (c == 0 || c > ZM_RAW_BLOCK) return 0;  // end of file, or ZM_IO_ERROR
    if (FindBytes(pbBlock - cbCarry, cbCarry + c, abSig, n) >= 0) return 1;
    // The next carry: the last n - 1 bytes searched, which may reach back into this carry.
    uint32_t cbNext = cbCarry + c < n - 1 ? cbCarry + c : n - 1;
    memmove(pbBlock - cbNext, pbBlock + c - cbNext, cbNext);
    cbCarry = cbNext;
  }
}

}  // namespace

int32_t RAW_iHasWideSearch(void) {
  __builtin_cpu_init();  // once per process in effect: it returns at once when done
  return __builtin_cpu_supports("avx2") != 0;
}

int32_t RAW_iFindBytes(const uint8_t* ab, uint32_t cb, const uint8_t* abSig, uint32_t n,
                       int32_t bWide) {
  return bWide ? FindWide(ab, cb, abSig, n) : FindNarrow(ab, cb, abSig, n);
}

int32_t RAW_iScanRaw(const char* szPath, const char* szName) {
  if (szPath == nullptr) return 0;
  int32_t hFile = hOpenRead(szPath);
  if (hFile == ZM_HFILE_ERROR) return 0;
  int32_t iFound = 0;
  const RawSignature* pEntry = FindEntry(szName);
  uint8_t abSig[ZM_SIG_BYTES];
  int32_t n = pEntry ? SIG_iDecode(pEntry->szSignature, abSig, ZM_SIG_BYTES) : 0;
  // The window is a committed block, not the caller's stack: a host's thread may have 64 KiB.
  uint8_t* pbWindow = n > 0 ? static_cast<uint8_t*>(pCommitBlock(ZM_RAW_WINDOW)) : nullptr;
  if (pbWindow != nullptr) {
    iFound = ScanFile(hFile, abSig, static_cast<uint32_t>(n), pbWindow);
    iReleaseBlock(pbWindow);
  }
  iCloseFile(hFile);
  return iFound;
}
