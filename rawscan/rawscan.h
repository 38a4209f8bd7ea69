// Raw file scan: does one of five fixed byte signatures occur anywhere in a file's bytes?
#pragma once
#include <stdint.h>

#define ZM_RAW_SIGNATURES 5
// Start positions that one step of the vector search tests together: enough that the test of a
// step's hits costs little beside its compares.
#define RAW_STEP 256u

// One entry of the raw signature table: a short name and its hex signature string.
struct RawSignature {
  const char* szName;
  const char* szSignature;
};

// FormatC, Wazzu, Guess, EasyMan, SaverSex, examined in this order.
extern const RawSignature g_aRawSignatures[ZM_RAW_SIGNATURES];

// 1 when the signature named exactly (case-sensitive) by szName occurs in the file at szPath,
// wherever it lies; 0 when it does not, when the name is none of the five, or when the file
// cannot be opened or read. The file is opened before the name is examined and closed once.
int32_t RAW_iScanRaw(const char* szPath, const char* szName);

// The search of one buffer: the first position of abSig[0..n) in ab[0..cb), or -1. bWide picks
// the 32-byte vector search, which needs RAW_iHasWideSearch(); both give the same answer.
int32_t RAW_iFindBytes(const uint8_t* ab, uint32_t cb, const uint8_t* abSig, uint32_t n,
                       int32_t bWide);
// 1 when this processor has the 32-byte vector unit (AVX2) that the wide search uses.
int32_t RAW_iHasWideSearch(void);
