// Glob matching by backtracking over the last '*' only: linear in practice, never exponential.
#include "glob.h"

#include <cstdint>

#include "textutil.h"

namespace zm {
namespace {

// The code point of the character at s[*pi] (a whole UTF-8 sequence, or one byte where the bytes
// form none), advancing *pi past it.
uint32_t NextChar(const std::string& s, size_t* pi) {
  size_t i = *pi, n = Utf8Length(s, i);
  unsigned b = static_cast<unsigned char>(s[i]);
  if (n == 0) {
    *pi = i + 1;
    return 0x110000 + b;  // a lone byte: equal only to the same lone byte
  }
  uint32_t cp = n == 1 ? b : b & (0xFFu >> (n + 1));
  for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  *pi = i + n;
  return cp;
}

uint32_t Fold(uint32_t c, bool bFold) { return bFold && c >= 'A' && c <= 'Z' ? c + 32 : c; }

// Matches the set that starts after the '[' at sPattern[*pi]; advances *pi past its ']'. A set
// without a closing ']' is no set: false with *pi unchanged, and '[' then matches itself.
bool MatchSet(const std::string& p, size_t* pi, uint32_t c, bool bFold, bool* pbMatched) {
  size_t i = *pi + 1;
  bool bNegate = i < p.size() && (p[i] == '!' || p[i] == '^');
  if (bNegate) ++i;
  bool bMatched = false, bFirst = true;
  c = Fold(c, bFold);
  while (i < p.size() && (p[i] != ']' || bFirst)) {
    bFirst = false;
    if (p[i] == '\\' && i + 1 < p.size()) ++i;
    uint32_t lo = Fold(NextChar(p, &i), bFold), hi = lo;
    if (i + 1 < p.size() && p[i] == '-' && p[i + 1] != ']') {
      ++i;
      if (p[i] == '\\' && i + 1 < p.size()) ++i;
      hi = Fold(NextChar(p, &i), bFold);
    }
    if (lo <= c && c <= hi) bMatched = true;
  }
  if (i >= p.size()) return false;
  *pi = i + 1;
  *pbMatched = bMatched != bNegate;
  return true;
}

}  // namespace

bool GlobMatch(const std::string& p, const std::string& s, bool bFold) {
  size_t pi = 0, si = 0;
  size_t starP = std::string::npos, starS = 0;  // where to resume after the last '*'
  while (si < s.size()) {
    if (pi < p.size()) {
      if (p[pi] == '*') {
        while (pi < p.size() && p[pi] == '*') ++pi;
        starP = pi;
        starS = si;
        continue;
      }
      size_t pNext = pi, sNext = si;
      uint32_t c = NextChar(s, &sNext);
      bool bMatched = false;
      if (p[pi] == '?') {
        bMatched = true;
        pNext = pi + 1;
      } else if (p[pi] == '[' && MatchSet(p, &pNext, c, bFold, &bMatched)) {
      } else {
        pNext = pi;
        if (p[pNext] == '\\' && pNext + 1 < p.size()) ++pNext;
        bMatched = Fold(NextChar(p, &pNext), bFold) == Fold(c, bFold);
      }
      if (bMatched) {
        pi = pNext;
        si = sNext;
        continue;
      }
    }
    if (starP == std::string::npos) return false;
    // The last '*' takes one more character and the rest is tried again.
    NextChar(s, &starS);
    si = starS;
    pi = starP;
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

}  // namespace zm
