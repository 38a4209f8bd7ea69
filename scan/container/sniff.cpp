// What the container layer decides from bytes alone, on every platform: the kind of a head, the
// texts of limits and heuristic names, and the names members are shown by.
#include <cstring>
#include <memory>

#include "container.h"
#include "le.h"

namespace container {

namespace {

bool Has(const uint8_t* pb, size_t cb, size_t at, const char* sz, size_t n) {
  return n <= cb && at <= cb - n && std::memcmp(pb + at, sz, n) == 0;
}

// A tar header: the checksum field (8 bytes at 148, octal, spaces and NULs around it) equals the
// sum of the block's bytes with that field counted as spaces, unsigned or (old tars) signed.
bool IsTarHeader(const uint8_t* pb, size_t cb) {
  if (cb < 512) return false;
  size_t i = 148, end = 156;
  while (i < end && pb[i] == ' ') ++i;
  uint32_t lField = 0;
  size_t nDigits = 0;
  for (; i < end && pb[i] >= '0' && pb[i] <= '7'; ++i, ++nDigits)
    lField = lField * 8 + (pb[i] - '0');
  if (nDigits == 0) return false;
  for (; i < end; ++i)
    if (pb[i] != ' ' && pb[i] != '\0') return false;
  uint32_t lUnsigned = 0;
  int32_t lSigned = 0;
  for (size_t k = 0; k < 512; ++k) {
    uint8_t b = (k >= 148 && k < 156) ? ' ' : pb[k];
    lUnsigned += b;
    lSigned += static_cast<int8_t>(b);
  }
  return lField == lUnsigned || static_cast<int32_t>(lField) == lSigned;
}

struct FieldName {
  const char* sz;
  bool bStrong;        // found in mail and hardly anywhere else
  bool bMime = false;  // says how the body is encoded or built of parts
};
constexpr FieldName kMailFields[] = {
    {"received", true},
    {"return-path", true},
    {"message-id", true},
    {"mime-version", true},
    {"delivered-to", true},
    {"x-original-to", true},
    {"dkim-signature", true},
    {"arc-seal", true},
    {"from", false},
    {"to", false},
    {"cc", false},
    {"subject", false},
    {"date", false},
    {"reply-to", false},
    {"sender", false},
    {"content-type", false, true},
    {"x-mailer", false},
    {"in-reply-to", false},
    {"references", false},
    {"user-agent", false},
    {"content-transfer-encoding", false, true},
    {"organization", false},
    {"envelope-to", false},
    {"thread-topic", false},
};

bool IsField(const uint8_t* pb, size_t cb, const char* szLower) {
  size_t n = std::strlen(szLower);
  if (cb != n) return false;
  for (size_t i = 0; i < n; ++i) {
    uint8_t b = pb[i];
    if (b >= 'A' && b <= 'Z') b = static_cast<uint8_t>(b - 'A' + 'a');
    if (b != static_cast<uint8_t>(szLower[i])) return false;
  }
  return true;
}

// Header lines from pb[at] on, up to the blank line that ends them or the end of the bytes looked
// at: every line a field ("name:" with a name of printable ASCII) or a folded continuation, the
// first a field, and among the field names one strong mail field or two others.
constexpr size_t kHeaderWindow = 8192;
// *pbMime (when given) is set when a field is one of MIME's content fields.
bool IsMailHeader(const uint8_t* pb, size_t cb, size_t at, bool* pbMime) {
  size_t end = cb - at > kHeaderWindow ? at + kHeaderWindow : cb;
  size_t nStrong = 0, nWeak = 0, nLines = 0;
  size_t i = at;
  while (i < end) {
    const uint8_t* pLine = pb + i;
    const void* pNl = std::memchr(pLine, '\n', end - i);
    size_t cbLine = pNl ? static_cast<const uint8_t*>(pNl) - pLine : end - i;
    size_t cbText = cbLine > 0 && pLine[cbLine - 1] == '\r' ? cbLine - 1 : cbLine;
    if (cbText == 0) break;  // the blank line: the header ends
    if (pLine[0] == ' ' || pLine[0] == '\t') {
      if (nLines == 0) return false;
    } else {
      size_t k = 0;
      while (k < cbText && pLine[k] > 0x20 && pLine[k] < 0x7F && pLine[k] != ':') ++k;
      if (k == 0 || k == cbText || pLine[k] != ':') {
        if (!pNl) break;  // a last line cut by the window
        return false;
      }
      for (const FieldName& f : kMailFields) {
        if (IsField(pLine, k, f.sz)) {
          ++(f.bStrong ? nStrong : nWeak);
          if (pbMime && f.bMime) *pbMime = true;
          break;
        }
      }
    }
    ++nLines;
    if (!pNl) break;
    i += cbLine + 1;
  }
  return nStrong >= 1 || nWeak >= 2;
}

// BinHex 4.0: its banner line at the start of a line (text may come before it, as decoders skip
// it), then only blank lines up to the ':' that opens the encoded data, all within the head.
constexpr char kBinhexBanner[] = "(This file must be converted with BinHex";
bool IsBinhex(const uint8_t* pb, size_t cb) {
  const size_t cbBanner = sizeof kBinhexBanner - 1;
  for (size_t at = 0; at < cb;) {
    const void* pOpen = std::memchr(pb + at, '(', cb - at);
    if (!pOpen) return false;
    size_t i = static_cast<const uint8_t*>(pOpen) - pb;
    at = i + 1;
    if ((i > 0 && pb[i - 1] != '\n' && pb[i - 1] != '\r') ||
        !Has(pb, cb, i, kBinhexBanner, cbBanner))
      continue;
    const void* pNl = std::memchr(pb + i, '\n', cb - i);
    if (!pNl) return false;
    for (size_t k = static_cast<const uint8_t*>(pNl) - pb + 1; k < cb; ++k) {
      if (pb[k] == ':') return true;
      if (pb[k] != '\r' && pb[k] != '\n' && pb[k] != ' ' && pb[k] != '\t') break;
    }
  }
  return false;
}

bool EndsWithNoCase(const std::string& s, const char* szSuffix) {
  size_t n = std::strlen(szSuffix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = s[s.size() - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != szSuffix[i]) return false;
  }
  return true;
}

void AppendHexByte(std::string* p, unsigned char c) {
  static const char kHex[] = "0123456789abcdef";
  *p += "\\x";
  *p += kHex[c >> 4];
  *p += kHex[c & 15];
}

void AppendName(std::string* p, const std::string& s, bool bBackslash) {
  for (char c : s) {
    if (c == '!' || (bBackslash && c == '\\'))
      AppendHexByte(p, static_cast<unsigned char>(c));
    else
      *p += c;
  }
}

// Outlook's personal folders and offline stores: "!BDN", the client's mark ("SM" a .pst, "SO" an
// .ost; an address book's "AB" holds no mail), a version whose layout is known (14 and 15 ANSI,
// 21 to 23 Unicode, 36 Unicode with 4 KiB pages), and the header's sentinel 0x80 where that
// layout keeps it. Its CRC is left to the reader: a header that fails it is damage to record.
bool IsPstHeader(const uint8_t* pb, size_t cb) {
  if (cb < 12 || !Has(pb, cb, 0, "!BDN", 4) ||
      !(Has(pb, cb, 8, "SM", 2) || Has(pb, cb, 8, "SO", 2)))
    return false;
  const unsigned wVer = pb[10] | pb[11] << 8;
  size_t atSentinel;
  if (wVer == 14 || wVer == 15)
    atSentinel = 460;
  else if ((wVer >= 21 && wVer <= 23) || wVer == 36)
    atSentinel = 512;
  else
    return false;
  return atSentinel < cb && pb[atSentinel] == 0x80;
}

}  // namespace

bool IsCompoundFile(const uint8_t* pb, size_t cb) {
  return Has(pb, cb, 0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
}

bool MayBeTestFile(const uint8_t* pb, size_t cb) {
  return cb <= 128 && Has(pb, cb, 0, "X5O!P%@AP", 9);
}

Kind Sniff(const uint8_t* pb, size_t cb) {
  if (cb == 0 || IsCompoundFile(pb, cb)) return Kind::kNone;
  if (Has(pb, cb, 0, "PK\x03\x04", 4) || Has(pb, cb, 0, "PK\x05\x06", 4) ||
      Has(pb, cb, 0, "PK\x07\x08PK\x03\x04", 8))
    return Kind::kZip;
  if (Has(pb, cb, 0, "\x1F\x8B\x08", 3)) return Kind::kGzip;
  if (cb >= 10 && Has(pb, cb, 0, "BZh", 3) && pb[3] >= '1' && pb[3] <= '9' &&
      (Has(pb, cb, 4, "\x31\x41\x59\x26\x53\x59", 6) ||
       Has(pb, cb, 4, "\x17\x72\x45\x38\x50\x90", 6)))
    return Kind::kBzip2;
  if (Has(pb, cb, 0,
          "\xFD"
          "7zXZ\x00",
          6))
    return Kind::kXz;
  if (Has(pb, cb, 0, "\x28\xB5\x2F\xFD", 4)) return Kind::kZstd;
  if (Has(pb, cb, 0, "7z\xBC\xAF\x27\x1C", 6)) return Kind::k7z;
  if (Has(pb, cb, 0, "MSCF\0\0\0\0", 8)) return Kind::kCab;
  if (Has(pb, cb, 0, "Rar!\x1A\x07\x00", 7) || Has(pb, cb, 0, "Rar!\x1A\x07\x01\x00", 8))
    return Kind::kRar;
  if (Has(pb, cb, 0, "\x78\x9F\x3E\x22", 4)) return Kind::kTnef;
  if (IsPstHeader(pb, cb)) return Kind::kPst;
  if (IsTarHeader(pb, cb)) return Kind::kTar;
  if (Has(pb, cb, 0x8001, "CD001", 5)) return Kind::kIso9660;
  if (IsMboxStart(pb, cb)) return Kind::kMbox;
  if (!Has(pb, cb, 0, "From ", 5) && IsMailHeader(pb, cb, 0, nullptr)) return Kind::kMail;
  if (IsBinhex(pb, cb)) return Kind::kBinhex;
  return Kind::kNone;
}

bool IsMboxStart(const uint8_t* pb, size_t cb) {
  if (!Has(pb, cb, 0, "From ", 5)) return false;
  const void* pNl = std::memchr(pb, '\n', cb < 1024 ? cb : 1024);
  if (!pNl) return false;
  size_t at = static_cast<const uint8_t*>(pNl) - pb + 1;
  return at < cb && IsMailHeader(pb, cb, at, nullptr);
}

bool IsMailStart(const uint8_t* pb, size_t cb, bool* pbMime) {
  if (pbMime) *pbMime = false;
  return cb > 0 && IsMailHeader(pb, cb, 0, pbMime);
}

// ---------------------------------------------------------------------------------------------
// Zips told by their end
// ---------------------------------------------------------------------------------------------

namespace {

// All cb bytes at at, through readAt.
bool ReadAll(const ReadAtFunction& readAt, uint64_t at, uint8_t* pb, size_t cb) {
  return readAt(at, pb, cb) == static_cast<int64_t>(cb);
}

constexpr size_t kEndRecordBytes = 22;
constexpr size_t kLocatorBytes = 20;
constexpr size_t kZip64RecordBytes = 56;
constexpr size_t kCentralEntryBytes = 46;

// The zip64 end record the locator at pb points at, as libarchive checks it: one disk, the
// directory whole on it. Its entries, size and offset into *pEnd.
bool ReadZip64End(const uint8_t* pb, uint64_t cbFile, const ReadAtFunction& readAt, ZipEnd* pEnd,
                  uint64_t* patRecorded, uint64_t* patEnd) {
  if (Le32(pb + 4) != 0 || Le32(pb + 16) != 1) return false;
  const uint64_t at = Le64(pb + 8);
  uint8_t ab[kZip64RecordBytes];
  if (kZip64RecordBytes > cbFile || at > cbFile - kZip64RecordBytes ||
      !ReadAll(readAt, at, ab, sizeof ab) || !Has(ab, sizeof ab, 0, "PK\x06\x06", 4) ||
      Le32(ab + 16) != 0 || Le32(ab + 20) != 0 || Le64(ab + 24) != Le64(ab + 32))
    return false;
  pEnd->bZip64 = true;
  pEnd->nEntries = Le64(ab + 32);
  pEnd->cbCentral = Le64(ab + 40);
  *patRecorded = Le64(ab + 48);
  *patEnd = at;
  return true;
}

}  // namespace

bool MayCarryZip(const uint8_t* pb, size_t cb) {
  return Has(pb, cb, 0, "MZ", 2) ||
         Has(pb, cb, 0,
             "\x7F"
             "ELF",
             4) ||
         Has(pb, cb, 0, "#!", 2) || Has(pb, cb, 0, "\xFE\xED\xFA\xCE", 4) ||
         Has(pb, cb, 0, "\xFE\xED\xFA\xCF", 4) || Has(pb, cb, 0, "\xCE\xFA\xED\xFE", 4) ||
         Has(pb, cb, 0, "\xCF\xFA\xED\xFE", 4);
}

bool FindZipEnd(uint64_t cbFile, const ReadAtFunction& readAt, ZipEnd* pEnd) {
  if (cbFile < kEndRecordBytes) return false;
  const size_t cbTail = cbFile < kZipEndBytes ? static_cast<size_t>(cbFile) : kZipEndBytes;
  const uint64_t atTail = cbFile - cbTail;
  std::unique_ptr<uint8_t[]> tail(new uint8_t[cbTail]);  // (not zeroed: read over at once)
  if (!ReadAll(readAt, atTail, tail.get(), cbTail)) return false;
  // The last record only, as libarchive takes it: a stored zip member holds records of its own.
  // Found by its last byte, 06, rarer in programs' ends than the P it begins with.
  const uint8_t* pb = nullptr;
  const uint8_t* pLast = tail.get() + cbTail - kEndRecordBytes + 3;  // the last record's 06
  for (const uint8_t* p = tail.get() + 3; p <= pLast; ++p) {
    p = static_cast<const uint8_t*>(std::memchr(p, 0x06, static_cast<size_t>(pLast - p) + 1));
    if (!p) break;
    if (std::memcmp(p - 3, "PK\x05\x06", 4) == 0) pb = p - 3;
  }
  if (!pb) return false;
  const size_t i = static_cast<size_t>(pb - tail.get());
  ZipEnd end;
  end.atRecord = atTail + i;
  const uint64_t cbAfter = cbFile - end.atRecord - kEndRecordBytes;
  end.cbZip = end.atRecord + kEndRecordBytes + (Le16(pb + 20) < cbAfter ? Le16(pb + 20) : cbAfter);
  uint64_t atRecorded = 0;
  uint64_t atCentralEnd = end.atRecord;  // the record, or the zip64 record, follows the directory
  if (!(i >= kLocatorBytes && Has(tail.get(), cbTail, i - kLocatorBytes, "PK\x06\x07", 4) &&
        ReadZip64End(pb - kLocatorBytes, cbFile, readAt, &end, &atRecorded, &atCentralEnd))) {
    if (Le16(pb + 4) != 0 || Le16(pb + 6) != 0 || Le16(pb + 8) != Le16(pb + 10)) return false;
    end.nEntries = Le16(pb + 10);
    end.cbCentral = Le32(pb + 12);
    atRecorded = Le32(pb + 16);
  }
  auto entryAt = [&readAt](uint64_t at) {
    uint8_t ab[4];
    return ReadAll(readAt, at, ab, sizeof ab) && Has(ab, sizeof ab, 0, "PK\x01\x02", 4);
  };
  // The directory lies just before the record; where its offset says less, the bytes between are
  // a program's. libarchive takes a zip64 zip's offset as it is where an entry lies there.
  if (end.cbCentral > atCentralEnd || atRecorded > atCentralEnd - end.cbCentral) return false;
  end.atCentral = atCentralEnd - end.cbCentral;
  if (end.bZip64 && end.atCentral != atRecorded && entryAt(atRecorded)) end.atCentral = atRecorded;
  end.cbPrefix = end.atCentral - atRecorded;
  if ((end.nEntries > 0 || end.cbCentral > 0) &&
      (end.cbCentral < kCentralEntryBytes || !entryAt(end.atCentral)))
    return false;
  *pEnd = end;
  return true;
}

Kind SniffFile(const uint8_t* pb, size_t cb, uint64_t cbFile, const ReadAtFunction& readAt) {
  const Kind kind = Sniff(pb, cb);
  if (kind != Kind::kNone || !MayCarryZip(pb, cb)) return kind;
  ZipEnd end;
  return FindZipEnd(cbFile, readAt, &end) && end.nEntries > 0 ? Kind::kZip : Kind::kNone;
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kNone:
      return "";
    case Kind::kZip:
      return "zip";
    case Kind::kTar:
      return "tar";
    case Kind::kGzip:
      return "gzip";
    case Kind::kBzip2:
      return "bzip2";
    case Kind::kXz:
      return "xz";
    case Kind::kZstd:
      return "zstd";
    case Kind::k7z:
      return "7z";
    case Kind::kCab:
      return "cab";
    case Kind::kRar:
      return "rar";
    case Kind::kIso9660:
      return "iso9660";
    case Kind::kMail:
      return "mail";
    case Kind::kMbox:
      return "mbox";
    case Kind::kTnef:
      return "tnef";
    case Kind::kPst:
      return "pst";
    case Kind::kBinhex:
      return "binhex";
    case Kind::kCompound:
      return "compound";
  }
  return "";
}

bool IsMailKind(Kind kind) {
  return kind == Kind::kMail || kind == Kind::kMbox || kind == Kind::kTnef || kind == Kind::kPst;
}

std::string NotInBuildReason(const std::string& sWhat) {
  return sWhat +
         " support not in this build (extract it and scan the folder, or use the Linux build)";
}

const char* LimitName(Limit limit) {
  switch (limit) {
    case Limit::kNone:
      return "";
    case Limit::kMaxRecursion:
      return "MaxRecursion";
    case Limit::kMaxFiles:
      return "MaxFiles";
    case Limit::kMaxScanSize:
      return "MaxScanSize";
    case Limit::kMaxFileSize:
      return "MaxFileSize";
  }
  return "";
}

std::string LimitValue(Limit limit, const Limits& limits) {
  switch (limit) {
    case Limit::kNone:
      return "";
    case Limit::kMaxRecursion:
      return std::to_string(limits.nMaxRecursion);
    case Limit::kMaxFiles:
      return std::to_string(limits.nMaxFiles);
    case Limit::kMaxScanSize:
    case Limit::kMaxFileSize:
      break;
  }
  uint64_t cb = limit == Limit::kMaxScanSize ? limits.cbMaxScanSize : limits.cbMaxFileSize;
  if (cb != 0 && cb % (1u << 20) == 0) return std::to_string(cb >> 20) + "M";
  if (cb != 0 && cb % 1024 == 0) return std::to_string(cb >> 10) + "K";
  return std::to_string(cb);
}

std::string LimitReason(Limit limit, const Limits& limits) {
  return std::string("Archive limit exceeded: ") + LimitName(limit) + " " +
         LimitValue(limit, limits);
}

std::string LimitVirusName(Limit limit) {
  return std::string("Heuristics.Limits.Exceeded.") + LimitName(limit);
}

std::string EncryptedVirusName(Kind kind) {
  switch (kind) {
    case Kind::kZip:
      return "Heuristics.Encrypted.Zip";
    case Kind::kRar:
      return "Heuristics.Encrypted.RAR";
    case Kind::k7z:
      return "Heuristics.Encrypted.7Zip";
    default:
      return "Heuristics.Encrypted.Archive";
  }
}

std::string StreamMemberName(const std::string& sStored, const std::string& sContainer) {
  if (!sStored.empty()) return sStored;
  size_t at = sContainer.find_last_of("/\\");
  std::string sBase = at == std::string::npos ? sContainer : sContainer.substr(at + 1);
  static const struct {
    const char* szSuffix;
    const char* szReplace;
  } kSuffixes[] = {{".tgz", ".tar"}, {".taz", ".tar"},  {".tbz2", ".tar"}, {".tbz", ".tar"},
                   {".txz", ".tar"}, {".tzst", ".tar"}, {".gz", ""},       {".bz2", ""},
                   {".xz", ""},      {".zst", ""},      {".z", ""}};
  for (const auto& s : kSuffixes) {
    if (EndsWithNoCase(sBase, s.szSuffix) && sBase.size() > std::strlen(s.szSuffix))
      return sBase.substr(0, sBase.size() - std::strlen(s.szSuffix)) + s.szReplace;
  }
  return "data";
}

Cause CauseOf(const Member& m) {
  switch (m.why) {
    case Why::kDocument:
      return m.cause;
    case Why::kEncrypted:
      return Cause::kEncryptedMember;
    case Why::kLimit:
      return Cause::kLimit;
    case Why::kDamaged:
      return Cause::kBroken;
    case Why::kUnsupported:
      return Cause::kNotInBuild;
    case Why::kHidden:
      break;
  }
  return Cause::kNone;
}

Verdict VerdictOf(const std::vector<Member>& members) {
  const Member* pVirus = nullptr;
  const Member* pHeuristic = nullptr;
  const Member* pProblem = nullptr;
  for (const Member& m : members) {
    if (m.outcome == Outcome::kFound) {
      if (m.why == Why::kDocument && !pVirus) pVirus = &m;
      if (m.why != Why::kDocument && !pHeuristic) pHeuristic = &m;
    } else if (m.outcome == Outcome::kError && !pProblem) {
      pProblem = &m;
    }
  }
  Verdict v;
  const Member* pFound = pVirus ? pVirus : pHeuristic;
  if (pFound) {
    v.outcome = Outcome::kFound;
    v.sVirus = pFound->sVirus;
    v.cause = CauseOf(*pFound);
  } else if (pProblem) {
    v.outcome = Outcome::kError;
    v.sReason = pProblem->sReason;
    v.cause = CauseOf(*pProblem);
  }
  return v;
}

std::string DisplayPath(const std::string& sFile, const std::vector<std::string>& chain,
                        const std::string& sName) {
  std::string s;
  AppendName(&s, sFile, false);
  for (const std::string& c : chain) {
    s += '!';
    AppendName(&s, c, true);
  }
  s += '!';
  AppendName(&s, sName, true);
  return s;
}

}  // namespace container
