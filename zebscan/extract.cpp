// --extract, over the file system calls of fsys.h.
#include "extract.h"

#include <cstring>
#include <set>
#include <vector>

#include "fsys.h"
#include "platform.h"
#include "textutil.h"
#include "wordbasic.h"

namespace zebscan {

using zm::MacroRecord;

namespace {

// A long name keeps this much of its start and of its end.
constexpr size_t kMaxNameBytes = 120, kHeadBytes = 40, kTailBytes = 64;
// Names tried for one folder or one macro: the name, then "~2" to "~999".
constexpr int kMaxTries = 999;

std::string Escaped(unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  return {'%', kHex[c >> 4], kHex[c & 15]};
}

// The name as units: a character kept, or a byte as %XX.
std::vector<std::string> Units(const std::string& s) {
  std::vector<std::string> units;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = s[i];
    const size_t n = zm::Utf8Length(s, i);
    const bool bC1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
    const bool bRefused = n == 1 && (c < 0x20 || c == 0x7F || std::strchr("%/\\:*?\"<>|", c));
    if (n == 0 || bRefused || bC1) {
      for (size_t k = 0; k < (n ? n : 1); ++k) units.push_back(Escaped(s[i + k]));
    } else {
      units.push_back(s.substr(i, n));
    }
    i += n ? n : 1;
  }
  return units;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows' device names, in any case and with anything after a first dot.
bool IsDeviceName(const std::vector<std::string>& units) {
  std::string base;
  for (const std::string& u : units) {
    if (u == ".") break;
    base += u;
  }
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = Upper(c);
  static const char* const kFixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
  for (const char* sz : kFixed)
    if (base == sz) return true;
  if (base.size() < 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0))
    return false;
  const std::string sDigit = base.substr(3);
  return (sDigit.size() == 1 && sDigit[0] >= '0' && sDigit[0] <= '9') || sDigit == "\xC2\xB9" ||
         sDigit == "\xC2\xB2" || sDigit == "\xC2\xB3";
}

// The key under which names collide on a file system blind to case: ASCII and the letters of
// Windows-1252 (Latin-1's, Š, Œ, Ž, Ÿ) in lower case.
std::string Folded(const std::string& s) {
  std::string r;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = s[i];
    if (c >= 'A' && c <= 'Z') {
      r += static_cast<char>(c + 32);
      continue;
    }
    const unsigned char d = i + 1 < s.size() ? s[i + 1] : 0;
    if (c == 0xC3 && d >= 0x80 && d <= 0x9E && d != 0x97) {
      r += {static_cast<char>(c), static_cast<char>(d + 32)};
      ++i;
    } else if (c == 0xC5 && (d == 0xA0 || d == 0x92 || d == 0xBD)) {
      r += {static_cast<char>(c), static_cast<char>(d + 1)};
      ++i;
    } else if (c == 0xC5 && d == 0xB8) {
      r += "\xC3\xBF";
      ++i;
    } else {
      r += static_cast<char>(c);
    }
  }
  return r;
}

std::string Join(const std::vector<std::string>& units, size_t from, size_t to) {
  std::string s;
  for (size_t i = from; i < to; ++i) s += units[i];
  return s;
}

std::string Tried(const std::string& sStem, int iTry) {
  return iTry == 1 ? sStem : sStem + "~" + std::to_string(iTry);
}

}  // namespace

std::string SafeName(const std::string& sName) {
  std::vector<std::string> units = Units(sName);
  for (size_t i = units.size(); i-- > 0 && (units[i] == "." || units[i] == " ");)
    units[i] = Escaped(units[i][0]);
  if (!units.empty() && units[0] == ".") units[0] = Escaped('.');  // no hidden file
  if (units.empty()) return "(empty)";
  size_t cb = 0;
  for (const std::string& u : units) cb += u.size();
  if (cb > kMaxNameBytes) {
    size_t iHead = 0, cbHead = 0, iTail = units.size(), cbTail = 0;
    while (cbHead + units[iHead].size() <= kHeadBytes) cbHead += units[iHead++].size();
    while (cbTail + units[iTail - 1].size() <= kTailBytes) cbTail += units[--iTail].size();
    uint8_t abDigest[wordbasic::kSha256Bytes];
    char achHex[2 * wordbasic::kSha256Bytes + 1];
    wordbasic::Sha256 sha;
    wordbasic::Sha256Init(&sha);
    wordbasic::Sha256Update(&sha, reinterpret_cast<const uint8_t*>(sName.data()), sName.size());
    wordbasic::Sha256Final(&sha, abDigest);
    wordbasic::Sha256Hex(abDigest, achHex);
    std::vector<std::string> cut(units.begin(), units.begin() + iHead);
    cut.push_back("~" + std::string(achHex, 8) + "~");
    cut.insert(cut.end(), units.begin() + iTail, units.end());
    units = std::move(cut);
  }
  if (IsDeviceName(units)) units[0] = Escaped(units[0][0]);
  return Join(units, 0, units.size());
}

bool Extractor::Write(const zm::FileResult& r, Extracted* pOut) {
  auto listed = [](const zm::MacroListing& l) {
    return l.detail == zm::MacroDetail::kBodies && !l.records.empty();
  };
  Extracted& x = *pOut;
  x = Extracted();
  if (listed(r.listing)) WriteListing(r.sPath, r.listing, &x);
  for (const zm::MemberListing& m : r.memberListings) {
    x.members.emplace_back();
    const container::Member& rec = r.members[m.iMember];
    if (listed(m.listing))
      WriteListing(container::DisplayPath(r.sPath, rec.chain, rec.sName), m.listing,
                   &x.members.back());
  }
  return x.bOwn || !x.members.empty();
}

void Extractor::WriteListing(const std::string& sDocument, const zm::MacroListing& l,
                             Extracted* pOut) {
  Extracted& x = *pOut;
  x.bOwn = true;
  if (!m_bDirMade && !zm::MakeDirectories(m_sDir, &x.sError)) return;
  m_bDirMade = true;
  const std::string sStem = zm::JoinPath(m_sDir, SafeName(sDocument));
  for (int iTry = 1; iTry <= kMaxTries && x.sFolder.empty(); ++iTry) {
    const int iMade = zm::MakePrivateDirectory(Tried(sStem, iTry), &x.sError);
    if (iMade < 0) return;
    if (iMade == 1) x.sFolder = Tried(sStem, iTry);
  }
  if (x.sFolder.empty()) {
    x.sError = "every name up to ~" + std::to_string(kMaxTries) + " is taken";
    return;
  }
  std::set<std::string> used;  // the macros' names given so far, as a case-blind system sees them
  for (const MacroRecord& m : l.records) {
    const std::string sName = SafeName(m.bNamed ? zm::Cp1252ToUtf8(m.sName) : "(no name)");
    bool bDone = false;
    for (int iTry = 1; iTry <= kMaxTries && !bDone; ++iTry) {
      const std::string sTry = Tried(sName, iTry);
      if (used.count(Folded(sTry))) continue;
      const std::string sPath = zm::JoinPath(x.sFolder, sTry);
      int iDone = zm::WriteNewFile(sPath + ".bin", m.body, &x.sError);
      if (iDone < 0) return;
      if (iDone == 0) continue;
      iDone = zm::WriteNewFile(sPath + ".wbs", zm::PlatformLineEnds(m.sSource), &x.sError);
      if (iDone < 0) return;
      if (iDone == 0) {  // the pair must share its name
        zm::RemoveFile(sPath + ".bin", nullptr);
        continue;
      }
      used.insert(Folded(sTry));
      x.nFiles += 2;
      bDone = true;
    }
    if (!bDone) {
      x.sError = "every name up to ~" + std::to_string(kMaxTries) + " is taken";
      return;
    }
  }
}

}  // namespace zebscan
