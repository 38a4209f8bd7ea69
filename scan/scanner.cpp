// Scanning one document through the loaded library's exports.
#include "scanner.h"

#include <algorithm>
#include <cstring>

#include "platform.h"
#include "textutil.h"

namespace zm {

const char kNotWord6Reason[] = "Not a Word 6/95 document";
const char kEicarName[] = "Eicar-Test-Signature";
const char kEncryptedName[] = "Heuristics.Encrypted.Doc";

FileResult ResultOf(const std::string& sPath, Outcome outcome, const std::string& sReason,
                    Cause cause) {
  FileResult r;
  r.sPath = sPath;
  r.outcome = outcome;
  r.sReason = sReason;
  r.cause = cause;
  return r;
}

FileResult ResultOf(const std::string& sPath, Outcome outcome, const std::string& sReason) {
  return ResultOf(sPath, outcome, sReason,
                  outcome == Outcome::kError ? Cause::kUnreached : Cause::kNone);
}

FileResult NotOpened(const std::string& sPath, const std::string& sWhy) {
  // The platform seam answers these two in its own fixed words, and in no other way yet.
  const Cause cause = sWhy == kReasonNotRegular ? Cause::kNotRegular
                      : sWhy == kReasonLink     ? Cause::kLink
                                                : Cause::kUnreached;
  const bool bSkip = cause != Cause::kUnreached;
  return ResultOf(sPath, bSkip ? Outcome::kSkipped : Outcome::kError, sWhy, cause);
}

const char* FoundByText(FoundBy by) {
  switch (by) {
    case FoundBy::kNames:
      return "names";
    case FoundBy::kSignature:
      return "signature";
    case FoundBy::kDeepScan:
      return "deep scan";
    case FoundBy::kRawScan:
      return "raw scan";
    case FoundBy::kTestFile:
      return "test file";
    case FoundBy::kEncryption:
      return "encryption";
    case FoundBy::kLimit:
      return "limit";
    case FoundBy::kNone:
      break;
  }
  return "";
}

namespace {

const char kConfirm[] = "MACRO_CHECK_FALSE_ALARMS";
const char kUnread[] = "MACRO_ERROR_OPENING_OLE2";
// Jobs 1 and 2 could not read the document's macros, though the name reader found some: the
// byte scan did not happen.
const char kUnreadReason[] = "Macros unreadable for the byte scan";

// The fixed answers ("MACRO_NO_VIRUS_FOUND", "MACRO_ERROR_...") as opposed to a virus name.
bool IsStatusText(const std::string& s) { return s.compare(0, 6, "MACRO_") == 0; }

}  // namespace

const char* KindReason(DocKind kind) {
  switch (kind) {
    case DocKind::kUnreadable:
      return "Unreadable";
    case DocKind::kNotWord6:
      return kNotWord6Reason;
    case DocKind::kTruncated:
      return "Truncated document";
    case DocKind::kTooLarge:
      return "Document too large";
    case DocKind::kDamaged:
      return "Damaged document";
    case DocKind::kEncrypted:
      return "Encrypted document";
    case DocKind::kWord6:
      break;
  }
  return "";
}

Cause KindCause(DocKind kind) {
  switch (kind) {
    case DocKind::kUnreadable:
      return Cause::kUnreadable;
    case DocKind::kNotWord6:
      return Cause::kNotWord6;
    case DocKind::kTruncated:
      return Cause::kTruncated;
    case DocKind::kTooLarge:
      return Cause::kTooLarge;
    case DocKind::kDamaged:
      return Cause::kDamaged;
    case DocKind::kEncrypted:
      return Cause::kEncrypted;
    case DocKind::kWord6:
      break;
  }
  return Cause::kNone;
}

namespace {

// The EICAR test file, as its makers define it: the 68-byte string at the file's start, then
// nothing but whitespace (space, tab, CR, LF, Ctrl-Z), 128 bytes at most. Kept in two halves so
// that no file of ours holds the whole string.
bool IsEicarTestFile(const File& f) {
  static const char kHead[] = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$";
  static const char kTail[] = "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
  constexpr size_t cbHead = sizeof kHead - 1, cbString = cbHead + sizeof kTail - 1;
  static_assert(cbString == 68, "the EICAR string is 68 bytes");
  char ab[128];
  if (f.cbSize < cbString || f.cbSize > sizeof ab) return false;
  const size_t cb = static_cast<size_t>(f.cbSize);
  if (ReadAt(f, 0, ab, cb) != static_cast<int64_t>(cb) || std::memcmp(ab, kHead, cbHead) != 0 ||
      std::memcmp(ab + cbHead, kTail, cbString - cbHead) != 0)
    return false;
  for (size_t i = cbString; i < cb; ++i)
    if (std::strchr(" \t\r\n\x1a", ab[i]) == nullptr || ab[i] == '\0') return false;
  return true;
}

}  // namespace

Scanner::Answer Scanner::Call(int32_t iJob, const std::string& sPath, const std::string& sList) {
  char szResult[ZM_RESULT_SIZE] = "";
  char szMacros[ZM_RESULT_SIZE] = "";
  int32_t iReturn = m_api.MACRO_Handler(iJob, sPath.c_str(), sList.c_str(), szResult, "", szMacros);
  szResult[ZM_RESULT_SIZE - 1] = szMacros[ZM_RESULT_SIZE - 1] = '\0';
  return {iReturn, szResult, szMacros};
}

// Job 0 on each list the names need; job 2 confirms a "MACRO_CHECK_FALSE_ALARMS" at once, before
// the next list can replace the pending record. Job 1 runs when asked for, or when names are
// missing (no name section, a cut table, ids that name nothing, names no call can carry) or
// split over several calls, since then the names alone cannot be trusted to identify. A job 1 or
// job 2 that could not read the document is an error: the bytes were not scanned.
void Scanner::ScanNames(FileResult* pR, const std::string& sLibraryPath) {
  const MacroTable& t = pR->doc.table;
  std::vector<std::string> lists = BuildMacroLists(t.names, &pR->nLeftOut);
  pR->nCalls = lists.size();
  // Names split over several calls are scored apart, so they too may miss what one call finds.
  pR->bFallback = t.nUnnamed > 0 || t.bCut || pR->nLeftOut > 0 || lists.size() > 1;
  auto found = [pR](const Answer& a, FoundBy by) {
    pR->outcome = Outcome::kFound;
    pR->sVirus = a.sResult;
    pR->foundBy = by;
    pR->sResultMacros = a.sMacros;
  };
  auto unread = [pR] {
    pR->outcome = Outcome::kError;
    pR->sReason = kUnreadReason;
    pR->cause = Cause::kMacrosUnread;
  };
  for (const std::string& sList : lists) {
    Answer a = Call(0, sLibraryPath, sList);
    if (a.sResult == kConfirm) {
      a = Call(2, sLibraryPath, sList);
      if (a.iReturn == 1) return found(a, FoundBy::kSignature);
      if (a.sResult == kUnread) return unread();
      pR->bUnconfirmed = true;
    } else if (!IsStatusText(a.sResult)) {
      return found(a, FoundBy::kNames);
    }
  }
  if (!(m_options.bDeep || pR->bFallback || lists.empty())) return;
  Answer a = Call(1, sLibraryPath, lists.empty() ? std::string("&") : lists.front());
  if (a.iReturn == 1 && !IsStatusText(a.sResult)) return found(a, FoundBy::kDeepScan);
  if (a.sResult == kUnread) unread();
}

namespace {

Outcome FromContainer(container::Outcome o) {
  switch (o) {
    case container::Outcome::kFound:
      return Outcome::kFound;
    case container::Outcome::kError:
      return Outcome::kError;
    case container::Outcome::kSkipped:
      return Outcome::kSkipped;
    case container::Outcome::kOk:
      break;
  }
  return Outcome::kOk;
}

container::Outcome ToContainer(Outcome o) {
  switch (o) {
    case Outcome::kFound:
      return container::Outcome::kFound;
    case Outcome::kError:
      return container::Outcome::kError;
    case Outcome::kSkipped:
      return container::Outcome::kSkipped;
    case Outcome::kOk:
      break;
  }
  return container::Outcome::kOk;
}

// Clears the flag on every way out of a container's walk.
class InContainer {
 public:
  explicit InContainer(bool* pb) : m_pb(pb) { *m_pb = true; }
  ~InContainer() { *m_pb = false; }
  InContainer(const InContainer&) = delete;
  InContainer& operator=(const InContainer&) = delete;

 private:
  bool* m_pb;
};

}  // namespace

container::Kind ContainerKindOf(const File& f) {
  std::vector<uint8_t> head(
      static_cast<size_t>(f.cbSize < container::kSniffBytes ? f.cbSize : container::kSniffBytes));
  if (head.empty()) return container::Kind::kNone;
  int64_t cbHead = ReadAt(f, 0, head.data(), head.size());
  if (cbHead <= 0) return container::Kind::kNone;
  // A program's end is read too: a self-extracting zip.
  return container::SniffFile(
      head.data(), static_cast<size_t>(cbHead), f.cbSize,
      [&f](uint64_t at, uint8_t* pb, size_t cb) { return ReadAt(f, at, pb, cb); });
}

container::Result Scanner::WalkMembers(const File& f, container::Kind kind,
                                       const std::string& sPath, FileResult* pR,
                                       FoundBy* pFirstFoundBy) {
  InContainer busy(&m_bInContainer);
  // The listings of the documents with macros, by the order the documents came in: each has the
  // record that Scan() adds when the scan function returns.
  std::vector<MemberListing> listings;
  size_t nDocuments = 0, cbListed = 0;
  auto scan = [&](const container::MemberFile& m) {
    const size_t iDocument = nDocuments++;
    container::Verdict v;
    File member;
    std::string sError;
    if (!FileFromDuplicate(m.fd, &member, &sError)) {
      v.outcome = container::Outcome::kError;
      v.sReason = "Cannot reach the member: " + sError;
      v.cause = Cause::kUnreached;
      return v;
    }
    FileResult mr = Scan(member, container::DisplayPath(sPath, *m.pChain, *m.psName));
    v.outcome = ToContainer(mr.outcome);
    v.sVirus = std::move(mr.sVirus);
    v.sReason = std::move(mr.sReason);
    v.cause = mr.cause;
    if (mr.outcome == Outcome::kFound && *pFirstFoundBy == FoundBy::kNone)
      *pFirstFoundBy = mr.foundBy;
    if (mr.listing.detail != MacroDetail::kNone) {
      const size_t cb = ListingBytes(mr.listing);
      if (cb > kMaxMemberListingBytes - cbListed) {
        ++pR->nMemberListingsLeftOut;
      } else {
        cbListed += cb;
        listings.push_back({iDocument, std::move(mr.listing)});
      }
    }
    return v;
  };
  container::Result res;
  if (kind == container::Kind::kCompound) {
    auto read = [&f](uint64_t at, uint8_t* pb, size_t cb) { return ReadAt(f, at, pb, cb); };
    res = container::ScanCompound(NativeFd(f), f.cbSize, read, m_options.containers, scan);
  } else {
    res = container::Scan(NativeFd(f), f.cbSize, kind, sPath, m_options.containers, scan);
  }
  // Each listing to its document's record.
  size_t iDocument = 0, k = 0;
  for (size_t i = 0; i < res.members.size() && k < listings.size(); ++i) {
    if (res.members[i].why != container::Why::kDocument) continue;
    if (iDocument++ != listings[k].iMember) continue;
    listings[k].iMember = i;
    pR->memberListings.push_back(std::move(listings[k++]));
  }
  pR->nMemberListingsLeftOut += listings.size() - k;
  return res;
}

namespace {

// How a container's finding was made: as its first document's was; else by the record the
// verdict came from, a limit or an encrypted member.
FoundBy ContainerFoundBy(FoundBy firstFoundBy, Cause cause) {
  return firstFoundBy != FoundBy::kNone ? firstFoundBy
         : cause == Cause::kLimit       ? FoundBy::kLimit
                                        : FoundBy::kEncryption;
}

}  // namespace

bool Scanner::ScanContainer(const File& f, FileResult* pR) {
  if (m_bInContainer) return false;
  const container::Kind kind = ContainerKindOf(f);
  if (kind == container::Kind::kNone) return false;
  FoundBy firstFoundBy = FoundBy::kNone;
  container::Result res = WalkMembers(f, kind, pR->sPath, pR, &firstFoundBy);
  pR->containerKind = kind;
  pR->nMembers = res.nMembers;
  pR->members = std::move(res.members);
  pR->outcome = FromContainer(res.verdict.outcome);
  pR->sReason = std::move(res.verdict.sReason);
  pR->sVirus = std::move(res.verdict.sVirus);
  pR->cause = res.verdict.cause;
  if (pR->outcome == Outcome::kFound) pR->foundBy = ContainerFoundBy(firstFoundBy, pR->cause);
  return true;
}

void Scanner::ScanCompoundContents(const File& f, FileResult* pR) {
  auto read = [&f](uint64_t at, uint8_t* pb, size_t cb) { return ReadAt(f, at, pb, cb); };
  if (m_bInContainer || !container::CompoundHoldsObjects(read, f.cbSize)) return;
  FoundBy firstFoundBy = FoundBy::kNone;
  FileResult walked;
  container::Result w =
      WalkMembers(f, container::Kind::kCompound, pR->sPath, &walked, &firstFoundBy);
  // A walk that could not be made at all (no module) is a problem of the file itself.
  if (w.members.empty() && w.verdict.outcome == container::Outcome::kError) {
    container::Member m;
    m.kind = container::Kind::kCompound;
    m.why = container::Why::kDamaged;
    m.outcome = container::Outcome::kError;
    m.sReason = w.verdict.sReason;
    w.members.push_back(std::move(m));
  }
  const bool bMembers = std::any_of(w.members.begin(), w.members.end(), [](const auto& m) {
    return !m.chain.empty() || !m.sName.empty();
  });
  // Nothing to say, or only that the file's structure is damaged where its verdict already is
  // no clean answer: the file stays as it was.
  if (w.members.empty() ||
      (!bMembers && (pR->outcome == Outcome::kFound || pR->outcome == Outcome::kError)))
    return;
  pR->containerKind = container::Kind::kCompound;
  pR->nMembers = w.nMembers;
  pR->members = std::move(w.members);
  pR->memberListings = std::move(walked.memberListings);
  pR->nMemberListingsLeftOut = walked.nMemberListingsLeftOut;
  if (pR->outcome == Outcome::kFound) return;
  if (w.verdict.outcome == container::Outcome::kFound) {
    pR->outcome = Outcome::kFound;
    pR->sVirus = w.verdict.sVirus;
    pR->cause = w.verdict.cause;
    pR->foundBy = ContainerFoundBy(firstFoundBy, pR->cause);
    pR->sResultMacros.clear();
    pR->sReason.clear();
    return;
  }
  if (pR->outcome == Outcome::kError) return;
  if (w.verdict.outcome == container::Outcome::kError) {
    pR->outcome = Outcome::kError;
    pR->sReason = w.verdict.sReason;
    pR->cause = w.verdict.cause;
    return;
  }
  // No Word 6/95 document at the root: OK once a document inside was judged so.
  if (pR->outcome == Outcome::kSkipped &&
      std::any_of(pR->members.begin(), pR->members.end(), [](const container::Member& m) {
        return m.why == container::Why::kDocument && m.outcome == container::Outcome::kOk;
      })) {
    pR->outcome = Outcome::kOk;
    pR->sReason.clear();
    pR->cause = Cause::kNone;
  }
}

FileResult Scanner::Scan(const File& f, std::string sPath) {
  FileResult r = ScanFile(f, std::move(sPath));
  if (r.doc.bCompound && r.containerKind == container::Kind::kNone) ScanCompoundContents(f, &r);
  return r;
}

FileResult Scanner::ScanFile(const File& f, std::string sPathIn) {
  FileResult r;
  r.sPath = std::move(sPathIn);
  const std::string& sPath = r.sPath;
  r.id = f.id;
  r.nLinks = f.nLinks;
  LibraryPath lib;  // made only for the calls that take a path: most documents need none
  if (IsEicarTestFile(f)) {
    r.outcome = Outcome::kFound;
    r.sVirus = kEicarName;
    r.foundBy = FoundBy::kTestFile;
    return r;
  }
  if (!m_options.sRawName.empty()) {
    if (!MakeLibraryPath(f, sPath, &lib, &r.sReason)) {
      r.outcome = Outcome::kError;
      r.cause = Cause::kUnreached;
    } else if (m_api.MACRO_ScanRaw(lib.str().c_str(), m_options.sRawName.c_str()) == 1) {
      r.outcome = Outcome::kFound;
      r.sVirus = m_options.sRawName;
      r.foundBy = FoundBy::kRawScan;
    }
    return r;
  }
  const bool bList = m_options.macros != MacroDetail::kNone;
  m_bytes.bKeep = m_options.macros >= MacroDetail::kSource;
  r.doc = ReadDocumentNames(f, &m_block, bList ? &m_bytes : nullptr);
  // No document: perhaps a container, told by its content (a compound file never is one).
  if (r.doc.kind == DocKind::kNotWord6 && ScanContainer(f, &r)) return r;
  if ((r.doc.kind == DocKind::kWord6 || r.doc.kind == DocKind::kTruncated) &&
      r.doc.table.nMacros > 0) {
    if (bList) r.listing = ListMacros(m_bytes, m_options.macros);
    if (!MakeLibraryPath(f, sPath, &lib, &r.sReason)) {
      r.outcome = Outcome::kError;
      r.cause = Cause::kUnreached;
      return r;
    }
    ScanNames(&r, lib.str());
  }
  // Unless a virus was found, what the document is decides: a cut one is an error even when the
  // byte scan could not read it either.
  if (r.outcome == Outcome::kFound || r.doc.kind == DocKind::kWord6) return r;
  if (r.doc.kind == DocKind::kEncrypted && m_options.bAlertEncrypted) {
    r.outcome = Outcome::kFound;
    r.sVirus = kEncryptedName;
    r.foundBy = FoundBy::kEncryption;
    r.cause = Cause::kEncrypted;
    return r;
  }
  const bool bSkip = r.doc.kind == DocKind::kNotWord6 || r.doc.kind == DocKind::kEncrypted;
  r.outcome = bSkip ? Outcome::kSkipped : Outcome::kError;
  r.sReason = r.doc.sError.empty() ? KindReason(r.doc.kind) : r.doc.sError;
  r.cause = KindCause(r.doc.kind);
  return r;
}

FileResult Scanner::ScanRef(const FileRef& ref, std::string sPath) {
  File f;
  std::string sWhy;
  if (!OpenRef(ref, &f, &sWhy)) return NotOpened(sPath, sWhy);
  return Scan(f, std::move(sPath));
}

FileResult Scanner::ScanPath(const std::string& sPath) {
  FileRef ref;
  ref.sName = sPath;
  ref.bFollow = true;
  return ScanRef(ref, sPath);
}

namespace {

// Each record of r's listings, the document's and its members'.
template <typename Result, typename Each>
void EachRecord(Result& r, Each each) {
  for (auto& m : r.listing.records) each(m);
  for (auto& ml : r.memberListings)
    for (auto& m : ml.listing.records) each(m);
}

}  // namespace

void FillDigests(const std::vector<std::array<uint8_t, wordbasic::kSha256Bytes>>& digests,
                 FileResult* pR) {
  EachRecord(*pR, [&](MacroRecord& m) {
    if (m.iQueuedDigest < digests.size())
      std::memcpy(m.abSha256, digests[m.iQueuedDigest].data(), sizeof m.abSha256);
    m.iQueuedDigest = DigestQueue::kNone;
  });
}

bool HasQueuedDigests(const FileResult& r) {
  bool b = false;
  EachRecord(r, [&](const MacroRecord& m) { b = b || m.iQueuedDigest != DigestQueue::kNone; });
  return b;
}

}  // namespace zm
