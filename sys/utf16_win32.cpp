// UTF-16 to WTF-8 and back, the system's words for an error code, and command-line quoting.
#include <windows.h>

#include <cstdint>

#include "utf16.h"

namespace zm {

std::string NarrowWtf8(const std::wstring& w) {
  std::string s;
  for (size_t i = 0; i < w.size(); ++i) {
    uint32_t c = static_cast<uint16_t>(w[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(w[++i]) - 0xDC00);
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else if (c < 0x800) {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      s += static_cast<char>(0xE0 | (c >> 12));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (c >> 18));
      s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return s;
}

std::wstring WidenWtf8(const std::string& s) {
  std::wstring w;
  for (size_t i = 0; i < s.size();) {
    unsigned b = static_cast<unsigned char>(s[i]);
    size_t n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
    uint32_t c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
    bool bOk = n > 0 && i + n <= s.size();
    for (size_t k = 1; bOk && k < n; ++k) {
      unsigned t = static_cast<unsigned char>(s[i + k]);
      bOk = (t & 0xC0) == 0x80;
      c = (c << 6) | (t & 0x3F);
    }
    if (!bOk) {  // a stray byte: taken as the code page's would be, as one character
      w += static_cast<wchar_t>(b);
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      w += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      w += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      w += static_cast<wchar_t>(c);
    }
    i += n;
  }
  return w;
}

std::string SystemMessage(unsigned long dwError) {
  wchar_t* p = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, dwError, 0, reinterpret_cast<wchar_t*>(&p), 0, nullptr);
  std::wstring w = n && p ? std::wstring(p, n) : L"Error " + std::to_wstring(dwError);
  if (p) LocalFree(p);
  while (!w.empty() &&
         (w.back() == L'\n' || w.back() == L'\r' || w.back() == L' ' || w.back() == L'.'))
    w.pop_back();
  return NarrowWtf8(w);
}

std::wstring QuoteArgument(const std::wstring& w) {
  if (!w.empty() && w.find_first_of(L" \t\"") == std::wstring::npos) return w;
  std::wstring r = L"\"";
  size_t nSlashes = 0;
  for (wchar_t c : w) {
    if (c == L'\\') {
      ++nSlashes;
      continue;
    }
    r.append(c == L'"' ? nSlashes * 2 + 1 : nSlashes, L'\\');
    nSlashes = 0;
    r += c;
  }
  r.append(nSlashes * 2, L'\\');
  return r + L"\"";
}

}  // namespace zm
