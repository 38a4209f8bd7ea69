// The token stream of a macro body, and its printing as WordBasic source: one pass, linear in
// the body, writing at most the caller's buffer and counting the rest.
#include <charconv>
#include <cstring>

#include "wordbasic.h"

namespace wordbasic {
namespace {

uint16_t Le16(const uint8_t* pb) { return static_cast<uint16_t>(pb[0] | (pb[1] << 8)); }

// Code points of Windows-1252's bytes 0x80 to 0x9F. The five it leaves unassigned keep their C1
// code points, as Windows maps them, so no byte is lost.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// UTF-8 (WTF-8 for a lone surrogate) of one code point; returns its length.
size_t EncodeUtf8(uint32_t cp, char* p) {
  if (cp < 0x80) {
    p[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    p[0] = static_cast<char>(0xC0 | (cp >> 6));
    p[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    p[0] = static_cast<char>(0xE0 | (cp >> 12));
    p[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    p[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  p[0] = static_cast<char>(0xF0 | (cp >> 18));
  p[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  p[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  p[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// The source text being written: what fits goes to the buffer (a NUL kept after it), the rest is
// only counted, so a smaller buffer holds a prefix of the same text.
class Writer {
 public:
  Writer(char* pch, size_t cch) : m_pch(pch), m_cch(cch) {}
  void Put(const char* pch, size_t n) {
    if (n == 0) return;
    size_t room = Room();
    size_t k = n < room ? n : room;
    if (k > 0) std::memcpy(m_pch + m_cchWritten, pch, k);
    m_cchWritten += k;
    m_cchTotal += n;
    m_chLast = pch[n - 1];
  }
  void Put(const char* sz) { Put(sz, std::strlen(sz)); }
  void Repeat(char ch, size_t n) {  // O(1) beyond the buffer
    if (n == 0) return;
    size_t room = Room();
    size_t k = n < room ? n : room;
    if (k > 0) std::memset(m_pch + m_cchWritten, ch, k);
    m_cchWritten += k;
    m_cchTotal += n;
    m_chLast = ch;
  }
  // 8-bit text read as Windows-1252.
  void Ansi(const uint8_t* pb, size_t cb) {
    char ach[4];
    for (size_t i = 0; i < cb;) {
      size_t j = i;
      while (j < cb && pb[j] < 0x80) ++j;  // ASCII in one piece
      Put(reinterpret_cast<const char*>(pb + i), j - i);
      if (j == cb) break;
      uint32_t cp = pb[j] < 0xA0 ? kCp1252High[pb[j] - 0x80] : pb[j];
      Put(ach, EncodeUtf8(cp, ach));
      i = j + 1;
    }
  }
  // UTF-16LE text of cb bytes (even).
  void Wide(const uint8_t* pb, size_t cb) {
    char ach[4];
    for (size_t i = 0; i + 1 < cb; i += 2) {
      uint32_t cp = Le16(pb + i);
      if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < cb) {
        uint32_t lo = Le16(pb + i + 2);
        if (lo >= 0xDC00 && lo < 0xE000) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          i += 2;
        }
      }
      Put(ach, EncodeUtf8(cp, ach));
    }
  }
  // szBefore and szAfter of at most 12 characters, nDigits at most 4: one Put, as bytes of no
  // known token make many.
  void Hex(const char* szBefore, unsigned v, int nDigits, const char* szAfter) {
    static const char kDigits[] = "0123456789ABCDEF";
    char ach[32];
    size_t n = 0;
    for (const char* p = szBefore; *p != '\0'; ++p) ach[n++] = *p;
    for (int i = 0; i < nDigits; ++i) ach[n++] = kDigits[(v >> (4 * (nDigits - 1 - i))) & 15];
    for (const char* p = szAfter; *p != '\0'; ++p) ach[n++] = *p;
    Put(ach, n);
  }
  char Last() const { return m_chLast; }
  size_t Total() const { return m_cchTotal; }
  size_t Written() const { return m_cchWritten; }
  void Terminate() {
    if (m_cch > 0) m_pch[m_cchWritten] = '\0';
  }

 private:
  size_t Room() const { return m_cch > m_cchWritten ? m_cch - m_cchWritten - 1 : 0; }
  char* m_pch;
  size_t m_cch;
  size_t m_cchWritten = 0;
  size_t m_cchTotal = 0;
  char m_chLast = '\n';
};

// How a printed token sits against its neighbours: whether it takes a space before it, and
// whether the next token may have one.
struct Spacing {
  bool bBefore = true;
  bool bAfter = true;
};

Spacing SymbolSpacing(uint8_t b, TokenKind ePrev) {
  switch (b) {
    case 0x01:  // unary minus, glued to its operand
      return {true, false};
    case 0x05: {  // a call's or an array's parenthesis follows its name
      bool bGlued = ePrev == TokenKind::kCall || ePrev == TokenKind::kIdentifier;
      return {!bGlued, false};
    }
    case 0x06:
    case 0x12:  // ,
    case 0x19:  // :
    case 0x28:  // ;
      return {false, true};
    case 0x71:  // # of a file number
      return {true, false};
    default:
      return {};
  }
}

}  // namespace

bool NextToken(const uint8_t* pb, size_t cb, size_t* pPos, Token* pTok) {
  size_t pos = *pPos;
  if (pos >= cb) return false;
  Token t;
  t.bToken = pb[pos];
  t.lAt = static_cast<uint32_t>(pos);
  const size_t left = cb - pos - 1;  // bytes after the token byte
  size_t n = 0;                      // operand bytes
  switch (t.bToken) {
    case 0x64:
      t.eKind = TokenKind::kLineEnd;
      break;
    case 0x65:
    case 0x69:
    case 0x6A:
    case 0x6B:
    case 0x6D:
    case 0x70:
    case 0x76:
    case 0x77:
      t.eKind = t.bToken == 0x65   ? TokenKind::kLabel
                : t.bToken == 0x69 ? TokenKind::kIdentifier
                : t.bToken == 0x6A ? TokenKind::kString
                : t.bToken == 0x6B ? TokenKind::kComment
                : t.bToken == 0x70 ? TokenKind::kRem
                : t.bToken == 0x76 ? TokenKind::kFieldName
                                   : TokenKind::kTextToken;
      if (left >= 1) {
        t.cbText = pb[pos + 1];
        t.lTextAt = static_cast<uint32_t>(pos + 2);
        n = 1 + t.cbText;
      } else {
        n = 1;
      }
      break;
    case 0x66:
    case 0x67:
    case 0x6C:
    case 0x73:
      t.eKind = t.bToken == 0x66   ? TokenKind::kLineNumber
                : t.bToken == 0x67 ? TokenKind::kCall
                : t.bToken == 0x6C ? TokenKind::kInteger
                                   : TokenKind::kField;
      n = 2;
      if (left >= 2) t.wValue = Le16(pb + pos + 1);
      break;
    case 0x68:
      t.eKind = TokenKind::kDouble;
      n = 8;
      if (left >= 8) {
        uint64_t q = 0;
        for (int i = 7; i >= 0; --i) q = (q << 8) | pb[pos + 1 + static_cast<size_t>(i)];
        std::memcpy(&t.dValue, &q, sizeof q);
      }
      break;
    case 0x6E:
    case 0x6F:
      t.eKind = t.bToken == 0x6E ? TokenKind::kSpaces : TokenKind::kTabs;
      n = 1;
      if (left >= 1) t.wValue = pb[pos + 1];
      break;
    case 0x79:  // a 16-bit count of code units
      t.eKind = TokenKind::kStringWide;
      if (left >= 2) {
        t.cbText = 2u * Le16(pb + pos + 1);
        t.lTextAt = static_cast<uint32_t>(pos + 3);
        n = 2 + t.cbText;
      } else {
        n = 2;
      }
      break;
    case 0x7C:  // an 8-bit count of code units
      t.eKind = TokenKind::kCommentWide;
      if (left >= 1) {
        t.cbText = 2u * pb[pos + 1];
        t.lTextAt = static_cast<uint32_t>(pos + 2);
        n = 1 + t.cbText;
      } else {
        n = 1;
      }
      break;
    default:
      t.eKind = TokenText(t.bToken) ? TokenKind::kSymbol : TokenKind::kUnknown;
      break;
  }
  if (n > left) {  // the body ends inside the operand: the rest is shown, not decoded
    t.eKind = TokenKind::kCut;
    t.cb = static_cast<uint32_t>(cb - pos);
    t.wValue = 0, t.dValue = 0, t.lTextAt = 0, t.cbText = 0;
  } else {
    t.cb = static_cast<uint32_t>(1 + n);
  }
  *pPos = pos + t.cb;
  *pTok = t;
  return true;
}

SourceInfo Detokenise(const uint8_t* pb, size_t cb, char* pchOut, size_t cchOut) {
  SourceInfo info;
  Writer w(pchOut, cchOut);
  info.cbHeader = cb < kBodyHeader ? cb : kBodyHeader;
  for (size_t i = 0; i < info.cbHeader; ++i)
    info.wHeader |= static_cast<uint16_t>(pb[i] << (8 * i));

  TokenKind ePrev = TokenKind::kLineEnd;
  bool bPrevAfter = false;  // the previous token lets a space follow it
  size_t nUnknownInLine = 0;
  size_t pos = info.cbHeader;
  Token t;
  while (nUnknownInLine < kMaxUnknownInLine && NextToken(pb, cb, &pos, &t)) {
    ++info.nTokens;
    const uint8_t* pText = pb + t.lTextAt;
    if (t.eKind == TokenKind::kUnknown)
      ++info.nUnknownTokens;
    else if (t.eKind == TokenKind::kCut)
      info.cbCut += t.cb;
    else
      info.cbDecoded += t.cb;

    if (t.eKind == TokenKind::kLineEnd) {
      w.Put("\n", 1);
      ++info.nLines;
      nUnknownInLine = 0;
      ePrev = t.eKind, bPrevAfter = false;
      continue;
    }
    if (t.eKind == TokenKind::kSpaces || t.eKind == TokenKind::kTabs) {
      w.Repeat(t.eKind == TokenKind::kSpaces ? ' ' : '\t', t.wValue);
      ePrev = t.eKind, bPrevAfter = false;
      continue;
    }

    Spacing sp;
    if (t.eKind == TokenKind::kSymbol) sp = SymbolSpacing(t.bToken, ePrev);
    if (t.eKind == TokenKind::kField || t.eKind == TokenKind::kFieldName)
      sp.bBefore = ePrev != TokenKind::kIdentifier;  // dlg.Name, but FileSaveAs .Name
    if (bPrevAfter && sp.bBefore && w.Last() != ' ' && w.Last() != '\t') w.Put(" ", 1);

    switch (t.eKind) {
      case TokenKind::kSymbol:
        w.Put(TokenText(t.bToken));
        break;
      case TokenKind::kLabel:
        w.Ansi(pText, t.cbText);
        w.Put(":", 1);
        break;
      case TokenKind::kLineNumber:
      case TokenKind::kInteger: {
        char ach[8];
        auto r = std::to_chars(ach, ach + sizeof ach, unsigned{t.wValue});
        w.Put(ach, static_cast<size_t>(r.ptr - ach));
        break;
      }
      case TokenKind::kCall:
        if (const char* sz = CommandName(t.wValue)) {
          w.Put(sz);
        } else {
          w.Hex("[cmd 0x", t.wValue, 4, "]");
          ++info.nUnknownCalls;
        }
        break;
      case TokenKind::kDouble: {
        char ach[32];
        auto r = std::to_chars(ach, ach + sizeof ach, t.dValue);
        w.Put(ach, r.ec == std::errc() ? static_cast<size_t>(r.ptr - ach) : 0);
        break;
      }
      case TokenKind::kIdentifier:
        w.Ansi(pText, t.cbText);
        break;
      case TokenKind::kString:
        w.Put("\"", 1);
        w.Ansi(pText, t.cbText);
        w.Put("\"", 1);
        break;
      case TokenKind::kStringWide:
        w.Put("\"", 1);
        w.Wide(pText, t.cbText);
        w.Put("\"", 1);
        break;
      case TokenKind::kComment:
        w.Put("'", 1);
        w.Ansi(pText, t.cbText);
        break;
      case TokenKind::kCommentWide:
        w.Put("'", 1);
        w.Wide(pText, t.cbText);
        break;
      case TokenKind::kRem:
        w.Put("REM", 3);
        w.Ansi(pText, t.cbText);
        break;
      case TokenKind::kField:
        if (const char* sz = FieldName(t.wValue)) {
          w.Put(".", 1);
          w.Put(sz);
        } else {
          w.Hex(".[field 0x", t.wValue, 4, "]");
          ++info.nUnknownFields;
        }
        break;
      case TokenKind::kFieldName:
        w.Put(".", 1);
        w.Ansi(pText, t.cbText);
        break;
      case TokenKind::kTextToken:
        w.Hex("[token 0x", t.bToken, 2, " \"");
        w.Ansi(pText, t.cbText);
        w.Put("\"]", 2);
        ++info.nTextTokens;
        break;
      case TokenKind::kUnknown:
        w.Hex("[token 0x", t.bToken, 2, "]");
        ++nUnknownInLine;
        break;
      case TokenKind::kCut: {
        // A long operand's length read from bytes that are no token stream (a 16-bit count of
        // a wide string) cuts the whole rest: its first bytes say what it is, a count the rest.
        w.Put("[cut", 4);
        const size_t nShown = t.cb < kMaxCutShown ? t.cb : kMaxCutShown;
        for (size_t i = 0; i < nShown; ++i) w.Hex(" 0x", pb[t.lAt + i], 2, "");
        if (nShown < t.cb) {
          char ach[24];
          auto r = std::to_chars(ach, ach + sizeof ach, t.cb);
          w.Put(" ... ", 5);
          w.Put(ach, static_cast<size_t>(r.ptr - ach));
          w.Put(" bytes", 6);
        }
        w.Put("]", 1);
        break;
      }
      default:
        break;
    }
    ePrev = t.eKind, bPrevAfter = sp.bAfter;
  }
  if (pos < cb) {  // what the line's unknown bytes say is no token stream
    info.cbNotDecoded = cb - pos;
    char ach[24];
    auto r = std::to_chars(ach, ach + sizeof ach, info.cbNotDecoded);
    w.Put(" [not decoded: ", 15);
    w.Put(ach, static_cast<size_t>(r.ptr - ach));
    w.Put(" bytes]", 7);
  }
  w.Terminate();
  info.cchSource = w.Total();
  info.cchWritten = w.Written();
  info.bTruncated = info.cchWritten < info.cchSource;
  return info;
}

size_t TextToUtf8(const uint8_t* pbTable, size_t cbTable, const TextRef& text, char* pchOut,
                  size_t cchOut) {
  Writer w(pchOut, cchOut);
  if (text.bPresent && text.lAt <= cbTable && text.cb <= cbTable - text.lAt) {
    if (text.bUtf16)
      w.Wide(pbTable + text.lAt, text.cb);
    else
      w.Ansi(pbTable + text.lAt, text.cb);
  }
  w.Terminate();
  return w.Total();
}

}  // namespace wordbasic
