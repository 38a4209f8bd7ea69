// The macro signature matcher: the first definition, from a chain start, with a byte
// signature inside one extracted macro.
#include <string.h>

#include "docreader.h"
#include "zm_texts.h"

namespace {

// Whether sig[0..nSig) occurs wholly inside pb[0..lLength): each position is first tested against
// the signature's first byte. An empty signature never hits.
bool Occurs(const uint8_t* pb, int32_t lLength, const uint8_t* pbSig, int32_t nSig) {
  if (nSig <= 0 || lLength <= 0 || nSig > lLength) return false;
  for (int32_t i = 0; i <= lLength - nSig; ++i)
    if (pb[i] == pbSig[0] && memcmp(pb + i, pbSig, static_cast<size_t>(nSig)) == 0) return true;
  return false;
}

// The walk over any chain: definitions in order, each signature decoded and searched in turn.
VirusDef* WalkChain(const uint8_t* pb, VirusDef* pStart, int32_t lLength) {
  uint8_t abSig[ZM_SIG_BYTES];
  for (VirusDef* pDef = pStart; pDef != nullptr; pDef = SIG_pNext(pDef)) {
    if (pDef->iVerify == 0) continue;  // 1 and 2 are treated alike
    for (int32_t iMacro = 0; iMacro < pDef->nMacros; ++iMacro) {
      const MacroDef& m = pDef->pMacros[iMacro];
      for (int iSlot = 0; iSlot < ZM_SIG_SLOTS && m.apszSignature[iSlot] != nullptr; ++iSlot) {
        // One that doesn't fit the buffer (-1) never hits.
        int32_t nSig = SIG_iDecode(m.apszSignature[iSlot], abSig, ZM_SIG_BYTES);
        if (Occurs(pb, lLength, abSig, nSig)) return pDef;
      }
    }
  }
  return nullptr;
}

// The database's signatures decoded once, in chain order, with the slots that each byte value
// can start. Only definitions with a verify flag take part; signature text never changes.
struct SigIndex {
  int32_t bUsable;  // 0 when the database holds more signatures than the index
  int32_t nSlots;
  int32_t aiDef[ZM_INDEX_SLOTS];  // position in g_aVirusDefs of each slot's definition
  int32_t anLength[ZM_INDEX_SLOTS];
  uint64_t aqFirst[256];  // bit k set: slot k starts with this byte
  // The skip search over windows of nWindow bytes (the shortest signature, at most 32; 1 means
  // no skipping): for the two bytes b0, b1 that end a window, abShift[PairSlot(b0, b1)] is how
  // far the window may move before a signature's first nWindow bytes could end with them (pairs
  // that share a slot take the least). Most pairs end none, so the search moves nWindow - 1
  // bytes at a time; 4 KB keep the table in the first-level cache.
  int32_t nWindow;
  uint8_t abShift[4096];
  uint8_t abSecond[ZM_INDEX_SLOTS];  // each slot's second byte (0 for one byte long)
  uint8_t aabSig[ZM_INDEX_SLOTS][ZM_SIG_BYTES];
};

inline uint32_t PairSlot(uint8_t b0, uint8_t b1) {
  return (b0 ^ static_cast<uint32_t>(b1) << 4) & 4095u;
}

void BuildIndex(SigIndex* pIx) {
  memset(pIx, 0, sizeof *pIx);
  pIx->bUsable = 1;
  for (int32_t iDef = 0; iDef < ZM_DEFINITIONS; ++iDef) {
    const VirusDef& d = g_aVirusDefs[iDef];
    if (d.iVerify == 0) continue;
    for (int32_t iMacro = 0; iMacro < d.nMacros; ++iMacro) {
      const MacroDef& m = d.pMacros[iMacro];
      for (int iSlot = 0; iSlot < ZM_SIG_SLOTS && m.apszSignature[iSlot] != nullptr; ++iSlot) {
        if (pIx->nSlots == ZM_INDEX_SLOTS) {
          pIx->bUsable = 0;
          return;
        }
        int32_t k = pIx->nSlots;
        int32_t n = SIG_iDecode(m.apszSignature[iSlot], pIx->aabSig[k], ZM_SIG_BYTES);
        if (n <= 0) continue;  // never hits
        pIx->aiDef[k] = iDef;
        pIx->anLength[k] = n;
        pIx->aqFirst[pIx->aabSig[k][0]] |= uint64_t{1} << k;
        pIx->abSecond[k] = n > 1 ? pIx->aabSig[k][1] : 0;
        ++pIx->nSlots;
      }
    }
  }
  int32_t m = 32;
  for (int32_t k = 0; k < pIx->nSlots; ++k)
    if (pIx->anLength[k] < m) m = pIx->anLength[k];
  pIx->nWindow = m;
  memset(pIx->abShift, m - 1, sizeof pIx->abShift);
  for (int32_t k = 0; k < pIx->nSlots; ++k)
    for (int32_t j = 1; j < m; ++j) {
      uint32_t w = PairSlot(pIx->aabSig[k][j - 1], pIx->aabSig[k][j]);
      if (m - 1 - j < pIx->abShift[w]) pIx->abShift[w] = static_cast<uint8_t>(m - 1 - j);
    }
}

// Built at the first search. Calls never overlap, so the first use needs no guard (nor the C++
// runtime's, which would make the library depend on it).
SigIndex g_ix;
bool g_bIndexBuilt = false;

const SigIndex& Index() {
  if (!g_bIndexBuilt) {
    BuildIndex(&g_ix);
    g_bIndexBuilt = true;
  }
  return g_ix;
}

// The same answer as WalkChain for a start inside the database, in one pass over the macro that
// skips what no signature can start in; each position left is tested only against the
// signatures that begin with its byte. Slots are in
// chain order, so the lowest slot hit names the nearest definition; once a slot hits, only lower
// slots can still change the answer, and when none is left the pass ends.
VirusDef* SearchIndexed(const SigIndex& ix, const uint8_t* pb, int32_t iStart, int32_t lLength) {
  uint64_t qWanted = 0;
  for (int32_t k = 0; k < ix.nSlots; ++k)
    if (ix.aiDef[k] >= iStart) qWanted |= uint64_t{1} << k;
  uint64_t qHits = 0;
  // The slots wanted that start at position i.
  auto tryAt = [&](int32_t i) {
    uint64_t q = ix.aqFirst[pb[i]] & qWanted;
    while (q != 0) {
      int k = __builtin_ctzll(q);
      q &= q - 1;
      if (ix.anLength[k] <= lLength - i && (ix.anLength[k] == 1 || pb[i + 1] == ix.abSecond[k]) &&
          memcmp(pb + i, ix.aabSig[k], static_cast<size_t>(ix.anLength[k])) == 0) {
        qHits |= uint64_t{1} << k;
        qWanted &= (uint64_t{1} << k) - 1;
        q &= qWanted;
      }
    }
  };
  const int32_t m = ix.nWindow;
  if (m < 2) {
    for (int32_t i = 0; i < lLength && qWanted != 0; ++i) tryAt(i);
    return qHits ? &g_aVirusDefs[ix.aiDef[__builtin_ctzll(qHits)]] : nullptr;
  }
  // e: the last byte of the window [e - m + 1, e]; every signature is at least m bytes long. The
  // starts below iMid and those from iMid on are searched side by side: each step waits on the
  // byte its window ends at, and the two halves' steps do not wait on each other.
  auto step = [&](int32_t* pe) {
    uint8_t bShift = ix.abShift[PairSlot(pb[*pe - 1], pb[*pe])];
    if (bShift == 0) tryAt(*pe - m + 1);
    *pe += bShift ? bShift : 1;
  };
  const int32_t iMid = lLength / 2;
  const int32_t eEndA = lLength < iMid + m - 1 ? lLength : iMid + m - 1;
  int32_t eA = m - 1, eB = iMid + m - 1;
  while (qWanted != 0 && eA < eEndA && eB < lLength) {
    step(&eA);
    step(&eB);
  }
  while (qWanted != 0 && eA < eEndA) step(&eA);
  while (qWanted != 0 && eB < lLength) step(&eB);
  return qHits ? &g_aVirusDefs[ix.aiDef[__builtin_ctzll(qHits)]] : nullptr;
}

void CopyName(char* szText, const char* szName) {
  size_t n = strnlen(szName, ZM_DEF_NAME - 1);
  memcpy(szText, szName, n);
  szText[n] = '\0';
}

}  // namespace

int32_t DOC_MatchSignatures(const uint8_t* pbImage, VirusDef* pStart, char* szText, int32_t lLength,
                            VirusDef** ppFound) {
  if (ppFound) *ppFound = nullptr;
  VirusDef* pFound = nullptr;
  const SigIndex& ix = Index();
  bool bInDatabase = pStart >= g_aVirusDefs && pStart < g_aVirusDefs + ZM_DEFINITIONS;
  if (pStart == nullptr || lLength <= 0)
    pFound = nullptr;
  else if (bInDatabase && ix.bUsable)
    pFound = SearchIndexed(ix, pbImage, static_cast<int32_t>(pStart - g_aVirusDefs), lLength);
  else
    pFound = WalkChain(pbImage, pStart, lLength);
  if (pFound == nullptr) {
    strcpy(szText, ZM_TXT_NO_VIRUS);
    return 0;
  }
  CopyName(szText, pFound->szName);
  if (ppFound) *ppFound = pFound;
  return 1;
}

int32_t DOC_iMatchByWalk(const uint8_t* pbImage, VirusDef* pStart, int32_t lLength,
                         VirusDef** ppFound) {
  *ppFound = (pStart == nullptr || lLength <= 0) ? nullptr : WalkChain(pbImage, pStart, lLength);
  return *ppFound != nullptr;
}
