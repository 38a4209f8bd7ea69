// The WordBasic encoder: a small tokenizer of WordBasic lines writing the module's token bytes.
#include "wbencoder.h"

#include <cstdlib>
#include <cstring>

#include "wordbasic.h"

namespace zmdoc {
namespace {

using Bytes = std::vector<uint8_t>;

bool IsNameStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool EqualNoCase(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// UTF-8 to code points; false on a malformed sequence.
bool CodePoints(const std::string& s, std::vector<uint32_t>* pcp) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (n == 0 || i + n > s.size()) return false;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    pcp->push_back(cp);
    i += n;
  }
  return true;
}

// The Windows-1252 byte of a code point, or -1.
int Cp1252(uint32_t cp) {
  static const uint16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  if (cp < 0x80 || (cp >= 0xA0 && cp < 0x100)) return static_cast<int>(cp);
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == cp) return 0x80 + i;
  return -1;
}

class Encoder {
 public:
  Bytes m_out;
  std::string m_sError;

  bool Line(const std::string& line) {
    m_bValue = false;
    size_t i = 0;
    if (!Whitespace(line, &i, true)) return false;
    // A line number, or a label, opens the line.
    if (i < line.size() && IsDigit(line[i])) {
      size_t k = i;
      while (k < line.size() && IsDigit(line[k])) ++k;
      if (k == line.size() || line[k] == ' ') {
        Put16(0x66,
              static_cast<unsigned>(std::strtoul(line.substr(i, k - i).c_str(), nullptr, 10)));
        i = k;
      }
    } else if (i < line.size() && IsNameStart(line[i])) {
      size_t k = i;
      while (k < line.size() && IsNameChar(line[k])) ++k;
      std::string name = line.substr(i, k - i);
      if (k < line.size() && line[k] == ':' && !Symbol(name) && !Command(name, false)) {
        if (!Text(0x65, name)) return false;
        i = k + 1;
      }
    }
    while (i < line.size()) {
      if (!Whitespace(line, &i, false) || !Next(line, &i)) return false;
    }
    m_out.push_back(0x64);
    return true;
  }

 private:
  bool m_bValue = false;  // the last token ends a value (so '-' subtracts)

  bool Fail(const std::string& why) {
    m_sError = why;
    return false;
  }
  void Put16(uint8_t b, unsigned v) {
    m_out.push_back(b);
    m_out.push_back(static_cast<uint8_t>(v));
    m_out.push_back(static_cast<uint8_t>(v >> 8));
  }

  // Runs of spaces and tabs: kept at the line's start and from two on, else implicit.
  bool Whitespace(const std::string& line, size_t* pi, bool bLineStart) {
    while (*pi < line.size() && (line[*pi] == ' ' || line[*pi] == '\t')) {
      char ch = line[*pi];
      size_t k = *pi;
      while (k < line.size() && line[k] == ch) ++k;
      size_t n = k - *pi;
      bool bImplicit = ch == ' ' && n == 1 && !bLineStart && k < line.size();
      for (size_t left = bImplicit ? 0 : n; left > 0;) {
        size_t part = left < 255 ? left : 255;
        m_out.push_back(ch == ' ' ? 0x6E : 0x6F);
        m_out.push_back(static_cast<uint8_t>(part));
        left -= part;
      }
      *pi = k;
    }
    return true;
  }

  // An 8-bit text after its token byte and length; UTF-16 (wide, 0 for none) when it does not
  // fit Windows-1252.
  bool Text(uint8_t b, const std::string& s, uint8_t bWide = 0) {
    std::vector<uint32_t> cps;
    if (!CodePoints(s, &cps)) return Fail("malformed UTF-8: " + s);
    Bytes ansi;
    bool bFits = true;
    for (uint32_t cp : cps) {
      int x = Cp1252(cp);
      if (x < 0) bFits = false;
      ansi.push_back(static_cast<uint8_t>(x));
    }
    if (bFits) {
      if (ansi.size() > 255) return Fail("text over 255 bytes");
      m_out.push_back(b);
      m_out.push_back(static_cast<uint8_t>(ansi.size()));
      m_out.insert(m_out.end(), ansi.begin(), ansi.end());
      return true;
    }
    if (!bWide) return Fail("not Windows-1252: " + s);
    Bytes units;
    for (uint32_t cp : cps) {
      auto unit = [&units](uint32_t u) {
        units.push_back(static_cast<uint8_t>(u));
        units.push_back(static_cast<uint8_t>(u >> 8));
      };
      if (cp >= 0x10000) {
        unit(0xD800 + ((cp - 0x10000) >> 10));
        unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
      } else {
        unit(cp);
      }
    }
    size_t n = units.size() / 2;
    m_out.push_back(bWide);
    if (bWide == 0x79) {  // a 16-bit count
      m_out.push_back(static_cast<uint8_t>(n));
      m_out.push_back(static_cast<uint8_t>(n >> 8));
    } else {
      if (n > 255) return Fail("wide comment over 255 code units");
      m_out.push_back(static_cast<uint8_t>(n));
    }
    m_out.insert(m_out.end(), units.begin(), units.end());
    return true;
  }

  // The one-byte token spelled s (keyword or operator), or 0.
  static uint8_t Symbol(const std::string& s) {
    size_t n;
    const wordbasic::NameRow* rows = wordbasic::SymbolRows(&n);
    for (size_t i = 0; i < n; ++i) {
      if (rows[i].wId == 0x01) continue;  // unary minus: chosen by context
      if (EqualNoCase(s, rows[i].szName)) return static_cast<uint8_t>(rows[i].wId);
    }
    return 0;
  }

  // The id of a statement or function named s: the lowest, or a function's when bCall; -1.
  static long Command(const std::string& s, bool bCall) {
    size_t n;
    const wordbasic::NameRow* rows = wordbasic::CommandRows(&n);
    long id = -1;
    for (size_t i = 0; i < n; ++i) {
      if (!EqualNoCase(s, rows[i].szName)) continue;
      bool bFunction = rows[i].wId >= 0x8000 && rows[i].wId < 0xC000;
      if (id < 0 || (bCall && bFunction && !(id >= 0x8000 && id < 0xC000))) id = rows[i].wId;
    }
    return id;
  }

  static long Field(const std::string& s) {
    size_t n;
    const wordbasic::NameRow* rows = wordbasic::FieldRows(&n);
    for (size_t i = 0; i < n; ++i)
      if (EqualNoCase(s, rows[i].szName)) return rows[i].wId;
    return -1;
  }

  bool Next(const std::string& line, size_t* pi) {
    size_t i = *pi;
    if (i >= line.size()) return true;
    char c = line[i];
    if (c == '\'') {
      *pi = line.size();
      m_bValue = false;
      return Text(0x6B, line.substr(i + 1), 0x7C);
    }
    if (c == '"') {
      size_t k = line.find('"', i + 1);
      if (k == std::string::npos) return Fail("unclosed string");
      *pi = k + 1;
      m_bValue = true;
      return Text(0x6A, line.substr(i + 1, k - i - 1), 0x79);
    }
    if (IsDigit(c) || (c == '.' && i + 1 < line.size() && IsDigit(line[i + 1]))) {
      size_t k = i;
      bool bReal = false;
      while (k < line.size() && IsDigit(line[k])) ++k;
      if (k < line.size() && line[k] == '.') {
        bReal = true;
        for (++k; k < line.size() && IsDigit(line[k]);) ++k;
      }
      if (k < line.size() && (line[k] == 'E' || line[k] == 'e')) {
        bReal = true;
        ++k;
        if (k < line.size() && (line[k] == '+' || line[k] == '-')) ++k;
        while (k < line.size() && IsDigit(line[k])) ++k;
      }
      std::string digits = line.substr(i, k - i);
      double d = std::strtod(digits.c_str(), nullptr);
      if (!bReal && d <= 65535) {
        Put16(0x6C, static_cast<unsigned>(d));
      } else {
        uint64_t q;
        std::memcpy(&q, &d, sizeof q);
        m_out.push_back(0x68);
        for (int b = 0; b < 8; ++b) m_out.push_back(static_cast<uint8_t>(q >> (8 * b)));
      }
      *pi = k;
      m_bValue = true;
      return true;
    }
    if (c == '.' && i + 1 < line.size() && IsNameStart(line[i + 1])) {
      size_t k = i + 1;
      while (k < line.size() && IsNameChar(line[k])) ++k;
      std::string name = line.substr(i + 1, k - i - 1);
      long id = Field(name);
      *pi = k;
      m_bValue = true;
      if (id >= 0) {
        Put16(0x73, static_cast<unsigned>(id));
        return true;
      }
      return Text(0x76, name);
    }
    if (IsNameStart(c)) {
      size_t k = i;
      while (k < line.size() && IsNameChar(line[k])) ++k;
      if (k < line.size() && line[k] == '$') ++k;
      std::string name = line.substr(i, k - i);
      *pi = k;
      if (EqualNoCase(name, "REM")) {
        *pi = line.size();
        m_bValue = false;
        return Text(0x70, line.substr(k));
      }
      if (uint8_t b = Symbol(name)) {
        m_out.push_back(b);
        m_bValue = false;
        return true;
      }
      size_t after = k;
      while (after < line.size() && line[after] == ' ') ++after;
      long id = Command(name, after < line.size() && line[after] == '(');
      if (id >= 0) {  // its arguments follow: a '-' after it negates one
        Put16(0x67, static_cast<unsigned>(id));
        m_bValue = false;
        return true;
      }
      m_bValue = true;
      return Text(0x69, name);
    }
    // Operators and punctuation, the longest first.
    static const char* const kOps[] = {"<>", "<=", ">=", "<", ">", "=", "+", "-", "*",
                                       "/",  "(",  ")",  ",", ";", ":", "#", "\\"};
    for (const char* op : kOps) {
      size_t n = std::strlen(op);
      if (line.compare(i, n, op) != 0) continue;
      uint8_t b = std::strcmp(op, "-") == 0 && !m_bValue ? uint8_t{0x01} : Symbol(op);
      if (b == 0) return Fail(std::string("no token for ") + op);
      m_out.push_back(b);
      m_bValue = std::strcmp(op, ")") == 0;
      *pi = i + n;
      return true;
    }
    return Fail("cannot encode '" + std::string(1, c) + "'");
  }
};

}  // namespace

std::vector<uint8_t> EncodeWordBasic(const std::string& source, std::string* psError) {
  Encoder e;
  e.m_out.assign(kWordBasicHeader, kWordBasicHeader + 2);
  size_t at = 0;
  while (at < source.size()) {
    size_t end = source.find('\n', at);
    if (end == std::string::npos) end = source.size();
    if (!e.Line(source.substr(at, end - at))) {
      if (psError) *psError = e.m_sError;
      return {};
    }
    at = end + 1;
  }
  return e.m_out;
}

}  // namespace zmdoc
