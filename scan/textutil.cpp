// Text helpers of the scan core.
#include "textutil.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "zm_abi.h"

namespace zm {
namespace {

// One code point (a surrogate too) as UTF-8.
void AppendCodePoint(std::string* pOut, uint32_t cp) {
  std::string& r = *pOut;
  if (cp < 0x80) {
    r += static_cast<char>(cp);
  } else if (cp < 0x800) {
    r += static_cast<char>(0xC0 | (cp >> 6));
    r += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    r += static_cast<char>(0xE0 | (cp >> 12));
    r += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    r += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    r += static_cast<char>(0xF0 | (cp >> 18));
    r += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    r += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    r += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string Cp1252ToUtf8(const std::string& s) {
  // Code points of the bytes 0x80 to 0x9F; 0xFFFD where Windows-1252 assigns nothing.
  static const char16_t kHigh[32] = {
      0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
  std::string r;
  r.reserve(s.size());
  for (char c : s) {
    unsigned b = static_cast<unsigned char>(c);
    AppendCodePoint(&r, (b >= 0x80 && b < 0xA0) ? kHigh[b - 0x80] : b);
  }
  return r;
}

size_t AppendUtf16Le(const char* pch, size_t cb, bool bEnd, std::string* pOut) {
  const auto* pb = reinterpret_cast<const unsigned char*>(pch);
  auto unit = [pb](size_t i) { return static_cast<uint32_t>(pb[i] | pb[i + 1] << 8); };
  size_t i = 0;
  for (; i + 1 < cb; i += 2) {
    uint32_t cp = unit(i);
    if (cp >= 0xD800 && cp < 0xDC00) {
      if (i + 3 < cb) {
        const uint32_t lo = unit(i + 2);
        if (lo >= 0xDC00 && lo < 0xE000) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          i += 2;
        }
      } else if (!bEnd) {
        break;  // its partner may come next
      }
    }
    AppendCodePoint(pOut, cp);
  }
  if (bEnd && i < cb) {
    AppendCodePoint(pOut, 0xFFFD);
    i = cb;
  }
  return i;
}

namespace {

// The same over pch[0..cch).
size_t Utf8LengthAt(const unsigned char* pb, size_t cb, size_t i) {
  unsigned c = pb[i];
  if (c < 0x80) return 1;
  size_t n = c >= 0xC2 && c <= 0xDF   ? 2
             : c >= 0xE0 && c <= 0xEF ? 3
             : c >= 0xF0 && c <= 0xF4 ? 4
                                      : 0;
  if (n == 0 || i + n > cb) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((pb[i + k] & 0xC0) != 0x80) return 0;
  unsigned c1 = pb[i + 1];
  if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) ||
      (c == 0xF4 && c1 > 0x8F))
    return 0;  // overlong, surrogate or beyond U+10FFFF
  return n;
}

// True when none of the eight bytes at pb is below 0x20 or above 0x7E: for each byte, x - 0x20
// borrows into bit 7 below 0x20, and x + 1 carries into it above 0x7E (bit 7 set stays set).
bool AllPrintable8(const unsigned char* pb) {
  uint64_t x;
  std::memcpy(&x, pb, sizeof x);
  constexpr uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
  return (((x - 0x20 * kOnes) & ~x) | ((x + kOnes) | x)) & kHigh ? false : true;
}

}  // namespace

size_t Utf8Length(const std::string& s, size_t i) {
  return Utf8LengthAt(reinterpret_cast<const unsigned char*>(s.data()), s.size(), i);
}

namespace {

void AppendHex(std::string* p, unsigned char c) {
  static const char kHex[] = "0123456789abcdef";
  const char ach[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
  p->append(ach, 4);
}

}  // namespace

bool IsUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    size_t n = Utf8Length(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string LossyUtf8(const std::string& s) {
  std::string r;
  for (size_t i = 0; i < s.size();) {
    size_t n = Utf8Length(s, i);
    if (n == 0) {
      r += "\xEF\xBF\xBD";
      ++i;
    } else {
      r.append(s, i, n);
      i += n;
    }
  }
  return r;
}

std::string Base64(const std::string& s) {
  static const char k[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string r;
  for (size_t i = 0; i < s.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(s[i]) << 16;
    if (i + 1 < s.size()) v |= static_cast<unsigned char>(s[i + 1]) << 8;
    if (i + 2 < s.size()) v |= static_cast<unsigned char>(s[i + 2]);
    r += k[v >> 18];
    r += k[(v >> 12) & 63];
    r += i + 1 < s.size() ? k[(v >> 6) & 63] : '=';
    r += i + 2 < s.size() ? k[v & 63] : '=';
  }
  return r;
}

std::string EscapeControls(const std::string& s) {
  std::string r;
  AppendEscaped(&r, s);
  return r;
}

void AppendEscaped(std::string* pOut, const std::string& s) {
  AppendEscaped(pOut, s.data(), s.size());
}

void AppendEscaped(std::string* pOut, const char* pch, size_t cch) {
  std::string& r = *pOut;
  const unsigned char* pb = reinterpret_cast<const unsigned char*>(pch);
  for (size_t i = 0; i < cch;) {
    // What passes as it is goes in runs: printable ASCII (most texts are nothing else), and
    // well-formed UTF-8 beyond the C1 controls.
    size_t j = i, n = 0;
    while (j < cch) {
      while (j + 8 <= cch && AllPrintable8(pb + j)) j += 8;
      while (j < cch && pb[j] - 0x20u < 0x5Fu) ++j;
      if (j == cch || pb[j] < 0x80) break;
      n = Utf8LengthAt(pb, cch, j);
      if (n == 0 || (n == 2 && pb[j] == 0xC2 && pb[j + 1] < 0xA0)) break;
      j += n;
    }
    r.append(pch + i, j - i);
    if (j == cch) break;
    // A control character or byte outside UTF-8 at j, n bytes (one where no sequence starts).
    if (pb[j] < 0x80) n = 1;
    for (size_t k = 0; k < (n ? n : 1); ++k) AppendHex(&r, pb[j + k]);
    i = j + (n ? n : 1);
  }
}

// Made here: asctime pads the day with a zero in some C runtimes (Windows': "Wed Dec 09").
std::string CtimeText(std::time_t t) {
  static const char kDays[] = "SunMonTueWedThuFriSat",
                    kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const std::tm* p = std::localtime(&t);
  if (p == nullptr || p->tm_wday < 0 || p->tm_wday > 6 || p->tm_mon < 0 || p->tm_mon > 11)
    return "unknown";
  char sz[64];
  std::snprintf(sz, sizeof sz, "%.3s %.3s %2d %02d:%02d:%02d %d", kDays + 3 * p->tm_wday,
                kMonths + 3 * p->tm_mon, p->tm_mday, p->tm_hour, p->tm_min, p->tm_sec,
                p->tm_year + 1900);
  return sz;
}

bool ParseSize(const std::string& s, uint64_t* pcb) {
  size_t i = 0;
  uint64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    const uint64_t d = static_cast<uint64_t>(s[i] - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  if (i == 0 || i + 1 < s.size()) return false;
  int iShift = 0;
  if (i < s.size()) {
    const char c = static_cast<char>(s[i] | 0x20);
    iShift = c == 'k' ? 10 : c == 'm' ? 20 : c == 'g' ? 30 : -1;
    if (iShift < 0 || v > (UINT64_MAX >> iShift)) return false;
  }
  *pcb = v << iShift;
  return true;
}

std::vector<std::string> BuildMacroLists(const std::vector<std::string>& names, size_t* pnLeftOut) {
  std::vector<std::string> lists;
  size_t nInList = 0;
  *pnLeftOut = 0;
  for (const std::string& name : names) {
    if (name.size() > ZM_MAX_MACRO_NAME ||
        name.find_first_of(std::string("&\0", 2)) != std::string::npos) {
      ++*pnLeftOut;
      continue;
    }
    if (lists.empty() || nInList == ZM_MAX_MACRO_NAMES ||
        lists.back().size() + name.size() + 1 > ZM_MAX_TEXT) {
      lists.emplace_back();
      nInList = 0;
    }
    lists.back() += name;
    lists.back() += '&';
    ++nInList;
  }
  return lists;
}

}  // namespace zm
