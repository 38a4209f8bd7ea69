// Text helpers of zebscan.
#include "textutil.h"

namespace zebscan {

std::string AsciiUpper(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

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
    unsigned cp = (b >= 0x80 && b < 0xA0) ? kHigh[b - 0x80] : b;
    if (cp < 0x80) {
      r += static_cast<char>(cp);
    } else if (cp < 0x800) {
      r += static_cast<char>(0xC0 | (cp >> 6));
      r += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      r += static_cast<char>(0xE0 | (cp >> 12));
      r += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      r += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return r;
}

std::vector<std::string> BuildMacroLists(const std::vector<std::string>& names, size_t* pnLeftOut) {
  std::vector<std::string> lists;
  size_t nInList = 0;
  *pnLeftOut = 0;
  for (const std::string& name : names) {
    if (name.size() > kMaxNameLength ||
        name.find_first_of(std::string("&\0", 2)) != std::string::npos) {
      ++*pnLeftOut;
      continue;
    }
    if (lists.empty() || nInList == kMaxNamesPerCall ||
        lists.back().size() + name.size() + 1 > kMaxListLength) {
      lists.emplace_back();
      nInList = 0;
    }
    lists.back() += name;
    lists.back() += '&';
    ++nInList;
  }
  return lists;
}

}  // namespace zebscan
