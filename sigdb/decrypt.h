// Definition text decoding: the library's own byte-to-character substitution, undone.
#pragma once
#include <stdint.h>

#define ZM_DECRYPT_PAIRS 64

// One pair of the substitution: the byte that stands for a plain character.
struct DecryptPair {
  uint8_t bSource;
  char chPlain;
};

// The 64 pairs, one-to-one onto '0'-'9', 'A'-'Z', 'a'-'z', '#' and '*'. Every other byte stands
// for itself. A front end that writes definition text uses the same pairs.
extern const DecryptPair g_aDecryptPairs[ZM_DECRYPT_PAIRS];

// Decodes the NUL-terminated szSource, of any length, into szDest and returns the bytes written
// with the NUL (length + 1). szDest must hold that many; it may be szSource itself or overlap it.
// A null source counts as empty; a null destination gets nothing and the result is 0.
int32_t SIG_iDecryptDef(const char* szSource, char* szDest);
