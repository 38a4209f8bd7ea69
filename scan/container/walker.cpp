// The walk of one file's containers: members counted and read within clamd's limits, documents
// handed to the scan function from a memfd, nested containers opened in turn, and the verdict of
// the whole. Linux: members live in memfds, reached by the library as /proc/self/fd/N.
#include "walker.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "cfb.h"

namespace container {

namespace detail {

namespace {

constexpr char kEncryptedReason[] = "Encrypted archive member";
constexpr char kHiddenReason[] = "Not in the zip's central directory (found by its local header)";

// Kinds read by position, never from a stream: their readers seek (zip's central directory at
// the end, 7z's header, an Outlook store's trees) or need the whole (GMime's parts stay in the
// file it parsed, TNEF).
bool NeedsFile(Kind kind) { return kind == Kind::kZip || kind == Kind::k7z || IsMailKind(kind); }

// Moves up to cb bytes at offset at of fd by pread or pwrite, again when a signal interrupts it:
// the count moved (short only where the file ends), -1 on failure.
template <typename Move, typename Byte>
int64_t MoveAll(Move move, int fd, Byte* pb, size_t cb, uint64_t at) {
  size_t done = 0;
  while (done < cb) {
    ssize_t n = move(fd, pb + done, cb - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool WriteAll(int fd, const uint8_t* pb, size_t cb, uint64_t at) {
  return MoveAll(pwrite, fd, pb, cb, at) == static_cast<int64_t>(cb);
}

}  // namespace

ptrdiff_t RangeStream::Read(uint8_t* pb, size_t cb) {
  if (m_at >= m_end) return 0;
  if (cb > m_end - m_at) cb = static_cast<size_t>(m_end - m_at);
  ssize_t n;
  do {
    n = pread(m_fd, pb, cb, static_cast<off_t>(m_at));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  m_at += static_cast<uint64_t>(n);
  return n;
}

bool ReadAt(int fd, uint64_t at, void* pv, size_t cb) {
  return MoveAll(pread, fd, static_cast<uint8_t*>(pv), cb, at) == static_cast<int64_t>(cb);
}

ReadAtFunction ReadFrom(int fd) {
  return [fd](uint64_t at, uint8_t* pb, size_t cb) { return MoveAll(pread, fd, pb, cb, at); };
}

// ---------------------------------------------------------------------------------------------
// Reader
// ---------------------------------------------------------------------------------------------

ptrdiff_t Reader::ReadStream(uint8_t* pb, size_t cb) {
  if (m_state != State::kReading) return m_state == State::kEnd ? 0 : -1;
  ptrdiff_t n = m_pStream->Read(pb, cb);
  if (n < 0) {
    m_state = State::kFailed;
    return -1;
  }
  if (n == 0) {
    m_state = State::kEnd;
    return 0;
  }
  m_cbMember += static_cast<uint64_t>(n);
  if (!m_pWalker->AddBytes(static_cast<uint64_t>(n))) {
    m_state = State::kScanLimit;
    return -1;
  }
  uint64_t cbMax = m_pWalker->options().limits.cbMaxFileSize;
  if (m_bFileLimit && cbMax != 0 && m_cbMember > cbMax) {
    m_state = State::kFileLimit;
    return -1;
  }
  return n;
}

bool Reader::ReadHead() {
  m_head.resize(kSniffBytes);
  size_t n = 0;
  while (n < kSniffBytes) {
    ptrdiff_t r = ReadStream(m_head.data() + n, kSniffBytes - n);
    if (r <= 0) break;
    n += static_cast<size_t>(r);
  }
  m_head.resize(n);
  return m_state == State::kReading || m_state == State::kEnd;
}

ptrdiff_t Reader::Read(uint8_t* pb, size_t cb) {
  if (m_nHeadServed < m_head.size()) {
    size_t n = m_head.size() - m_nHeadServed;
    if (n > cb) n = cb;
    std::memcpy(pb, m_head.data() + m_nHeadServed, n);
    m_nHeadServed += n;
    return static_cast<ptrdiff_t>(n);
  }
  return ReadStream(pb, cb);
}

void Reader::ReadThrough() {
  m_nHeadServed = m_head.size();
  static uint8_t s_abSink[kChunk];
  while (ReadStream(s_abSink, sizeof s_abSink) > 0) {
  }
}

void Reader::Drain() {
  m_bFileLimit = false;
  if (m_state == State::kFileLimit) m_state = State::kReading;
  ReadThrough();
}

// ---------------------------------------------------------------------------------------------
// Walker
// ---------------------------------------------------------------------------------------------

bool Walker::AddBytes(uint64_t cb) {
  m_pResult->cbRead += cb;
  uint64_t cbMax = m_options.limits.cbMaxScanSize;
  if (cbMax != 0 && m_pResult->cbRead > cbMax) {
    m_bStopped = true;
    m_bScanSizeExceeded = true;
    return false;
  }
  return true;
}

bool Walker::Tally(uint64_t* pn, uint64_t nMax, const std::string& sName, const Place& place) {
  if (nMax != 0 && *pn >= nMax) {
    RecordLimit(place, sName, Limit::kMaxFiles, 0);
    m_bStopped = true;
    return false;
  }
  ++*pn;
  return true;
}

bool Walker::Count(const std::string& sName, const Place& place) {
  return Tally(&m_pResult->nCounted, m_options.limits.nMaxFiles, sName, place);
}

bool Walker::Look(const std::string& sName, const Place& place) {
  return Tally(&m_pResult->nMembers, m_options.limits.nMaxFiles * kMembersPerFile, sName, place);
}

void Walker::Record(const Place& place, const std::string& sName, Kind kind, Why why,
                    const std::string& sReason, Limit limit, uint64_t cbRead) {
  container::Member m;
  m.chain = *place.pChain;
  m.sName = sName;
  m.kind = kind;
  m.why = why;
  m.outcome = Outcome::kError;
  m.sReason = sReason;
  m.limit = limit;
  m.cbRead = cbRead;
  if (limit != Limit::kNone && m_pResult->firstLimit == Limit::kNone) m_pResult->firstLimit = limit;
  m_pResult->members.push_back(std::move(m));
}

void Walker::RecordLimit(const Place& place, const std::string& sName, Limit limit,
                         uint64_t cbRead) {
  Record(place, sName, Kind::kNone, Why::kLimit, LimitReason(limit, m_options.limits), limit,
         cbRead);
  if (m_options.bAlertExceedsMax) {
    m_pResult->members.back().outcome = Outcome::kFound;
    m_pResult->members.back().sVirus = LimitVirusName(limit);
  }
}

void Walker::RecordEncrypted(const Place& place, const std::string& sName, Kind kind) {
  Record(place, sName, Kind::kNone, Why::kEncrypted, kEncryptedReason);
  if (m_options.bAlertEncrypted) {
    m_pResult->members.back().outcome = Outcome::kFound;
    m_pResult->members.back().sVirus = EncryptedVirusName(kind);
  }
}

void Walker::RecordHidden(const Place& place, const std::string& sName) {
  Record(place, sName, Kind::kNone, Why::kHidden, kHiddenReason);
  m_pResult->members.back().outcome = Outcome::kOk;
}

void Walker::Settle(Reader* pReader, const std::string& sName, const Place& place) {
  if (pReader->state() == Reader::State::kEnd) {
    std::string sDamage = pReader->LateDamage();
    if (!sDamage.empty())
      Record(place, sName, Kind::kNone, Why::kDamaged, sDamage, Limit::kNone, pReader->Bytes());
    return;
  }
  if (pReader->state() == Reader::State::kFileLimit) {
    RecordLimit(place, sName, Limit::kMaxFileSize, pReader->Bytes());
    pReader->Drain();  // the container's next member lies beyond it
  }
  switch (pReader->state()) {
    case Reader::State::kScanLimit:
      RecordLimit(place, sName, Limit::kMaxScanSize, pReader->Bytes());
      break;
    case Reader::State::kFailed:
      if (pReader->ParentFailed()) break;
      if (pReader->Encrypted())
        RecordEncrypted(place, sName, pReader->ContainerKind());
      else
        Record(place, sName, Kind::kNone, Why::kDamaged, pReader->Error(), Limit::kNone,
               pReader->Bytes());
      break;
    default:
      break;
  }
}

// Copies what pSource reads into a new memfd from offset lAt on, a whole buffer a write:
// decoders give a few KiB a read, and a write for each would be a system call for each.
template <class Source>
int HoldAll(Source* pSource, uint64_t* pcb, std::string* psError, uint64_t lAt) {
  int fd = memfd_create("zebmacro-member", MFD_CLOEXEC);
  if (fd < 0) {
    *psError = std::string("Cannot hold the member: ") + std::strerror(errno);
    return -1;
  }
  static uint8_t s_ab[4 * kChunk];
  uint64_t cb = 0;
  for (bool bEnd = false; !bEnd;) {
    size_t cbHeld = 0;
    while (cbHeld < sizeof s_ab) {
      ptrdiff_t n = pSource->Read(s_ab + cbHeld, sizeof s_ab - cbHeld);
      if (n < 0) {
        close(fd);
        return -1;
      }
      if (n == 0) {
        bEnd = true;
        break;
      }
      cbHeld += static_cast<size_t>(n);
    }
    if (!WriteAll(fd, s_ab, cbHeld, lAt + cb)) {
      *psError = std::string("Cannot hold the member: ") + std::strerror(errno);
      close(fd);
      return -1;
    }
    cb += cbHeld;
  }
  *pcb = cb;
  return fd;
}

int HoldInMemory(MemberStream* pStream, uint64_t* pcb, std::string* psError) {
  return HoldAll(pStream, pcb, psError, 0);
}

int Walker::Spill(Reader* pReader, uint64_t* pcb, std::string* psError, uint64_t lAt) {
  return HoldAll(pReader, pcb, psError, lAt);
}

int Walker::Hold(Reader* pReader, const std::string& sName, Kind kind, const Place& place,
                 uint64_t* pcb) {
  std::string sError;
  int fd = Spill(pReader, pcb, &sError);
  if (fd >= 0) return fd;
  if (!sError.empty())
    Record(place, sName, kind, Why::kDamaged, sError, Limit::kNone, pReader->Bytes());
  else
    Settle(pReader, sName, place);
  return -1;
}

void Walker::Document(Reader* pReader, const std::string& sName, const Place& place) {
  uint64_t cb = 0;
  int fd = Hold(pReader, sName, Kind::kNone, place, &cb);
  if (fd < 0) return;
  Outcome judged = Judge(fd, cb, sName, place);
  if (IsCompoundFile(pReader->Head().data(), pReader->Head().size()))
    CompoundContents(fd, cb, sName, place, judged);
  close(fd);
  Settle(pReader, sName, place);  // damage seen once it was read whole (a CRC)
}

Outcome Walker::Judge(int fd, uint64_t cb, const std::string& sName, const Place& place) {
  MemberFile file;
  file.fd = fd;
  file.sPath = "/proc/self/fd/" + std::to_string(fd);
  file.cb = cb;
  file.pChain = place.pChain;
  file.psName = &sName;
  Verdict v = m_scan(file);
  ++m_pResult->nDocuments;
  container::Member m;
  m.chain = *place.pChain;
  m.sName = sName;
  m.why = Why::kDocument;
  m.outcome = v.outcome;
  m.sVirus = std::move(v.sVirus);
  m.sReason = std::move(v.sReason);
  m.cause = v.cause;
  m.cbRead = cb;
  if (m.outcome == Outcome::kFound && !m_options.bAllMatch) m_bStopped = true;
  m_pResult->members.push_back(std::move(m));
  return m_pResult->members.back().outcome;
}

void Walker::EmbeddedDocument(MemberStream* pStream, uint64_t cb, const std::string& sName,
                              const Place& place) {
  if (Stopped() || !Count(sName, place) || !Look(sName, place)) return;
  uint64_t cbMax = m_options.limits.cbMaxFileSize;
  if (cbMax != 0 && cb > cbMax) {
    RecordLimit(place, sName, Limit::kMaxFileSize, 0);
    return;
  }
  Reader reader(this, pStream);
  uint64_t cbRead = 0;
  std::string sError;
  int fd = Spill(&reader, &cbRead, &sError, cfb::kFrameDataAt);
  cfb::Frame frame;
  if (fd >= 0) {
    // The stream's bytes lie at 512 on; the header and the tail make them a file of their own.
    frame = cfb::FrameFor(cbRead);
    if (!WriteAll(fd, frame.tail.data(), frame.tail.size(), frame.lTailAt) ||
        !WriteAll(fd, frame.header.data(), frame.header.size(), 0)) {
      sError = std::string("Cannot hold the member: ") + std::strerror(errno);
      close(fd);
      fd = -1;
    }
  }
  if (fd < 0) {
    if (!sError.empty())
      Record(place, sName, Kind::kNone, Why::kDamaged, sError, Limit::kNone, reader.Bytes());
    else
      Settle(&reader, sName, place);
    return;
  }
  Judge(fd, frame.lTailAt + frame.tail.size(), sName, place);
  close(fd);
}

bool Walker::MayNest(const std::string& sName, const Place& place, uint64_t cbRead) {
  uint32_t nMax = m_options.limits.nMaxRecursion;
  if (nMax == 0 || place.nDepth + 1 <= nMax) return true;
  RecordLimit(place, sName, Limit::kMaxRecursion, cbRead);
  return false;
}

void Walker::OpenHeld(int fd, uint64_t cb, Kind kind, const std::string& sName,
                      const Place& place) {
  std::vector<std::string> chain = *place.pChain;
  chain.push_back(sName);
  Place inner{&chain, place.nDepth + 1};
  Source src;
  src.fd = fd;
  src.cb = cb;
  Container(src, kind, sName, inner);
}

void Walker::Nested(Reader* pReader, Kind kind, const std::string& sName, const Place& place) {
  if (!MayNest(sName, place, pReader->Bytes())) {
    pReader->Drain();
    Settle(pReader, sName, place);
    return;
  }
  if (NeedsFile(kind)) {
    uint64_t cb = 0;
    int fd = Hold(pReader, sName, kind, place, &cb);
    if (fd < 0) return;
    OpenHeld(fd, cb, kind, sName, place);
    close(fd);
    Settle(pReader, sName, place);
    return;
  }
  std::vector<std::string> chain = *place.pChain;
  chain.push_back(sName);
  Place inner{&chain, place.nDepth + 1};
  Source src;
  src.pReader = pReader;
  Container(src, kind, sName, inner);
  if (!Stopped()) pReader->ReadThrough();  // what the inner reader left (a tar's end blocks)
  Settle(pReader, sName, place);
}

void Walker::Program(Reader* pReader, const std::string& sName, const Place& place) {
  // Its end comes last: the program is held whole (within MaxFileSize) to be read there.
  uint64_t cb = 0;
  int fd = Hold(pReader, sName, Kind::kNone, place, &cb);
  if (fd < 0) return;
  const std::vector<uint8_t>& head = pReader->Head();
  Kind kind = SniffFile(head.data(), head.size(), cb, ReadFrom(fd));
  if (kind == Kind::kZip && MayNest(sName, place, cb)) OpenHeld(fd, cb, kind, sName, place);
  close(fd);
  Settle(pReader, sName, place);
}

void Walker::Member(MemberStream* pStream, const std::string& sName, uint64_t cbDeclared,
                    const Place& place, Role role, int* pnMessage) {
  if (Stopped()) return;
  Reader reader(this, pStream);
  // A compressed stream's content is looked at once it is known not to be a tar. A member that
  // declares more than kUncountedBytes is counted before it is read, any other once its head
  // says how long it is.
  const bool bStream = role == Role::kStream;
  bool bCounted = !bStream && cbDeclared != kUnknownSize && cbDeclared > kUncountedBytes;
  if (bCounted && !Count(sName, place)) return;
  if (!bStream && !Look(sName, place)) return;
  uint64_t cbMax = m_options.limits.cbMaxFileSize;
  if (cbDeclared != kUnknownSize && cbMax != 0 && cbDeclared > cbMax) {
    RecordLimit(place, sName, Limit::kMaxFileSize, 0);
    if (!pStream->SkipIsCheap()) {
      reader.Drain();  // the container's next member lies beyond it: read, within MaxScanSize
      Settle(&reader, sName, place);
    }
    return;
  }
  bool bHead = reader.ReadHead();
  const std::vector<uint8_t>& head = reader.Head();
  if (!bCounted &&
      !(bHead && reader.state() == Reader::State::kEnd && head.size() <= kUncountedBytes)) {
    // (a compressed stream's content too: clamd counts the tar it holds as a file)
    if (!Count(sName, place)) return;
  }
  Kind kind = bHead ? Sniff(head.data(), head.size()) : Kind::kNone;
  if (bStream) {
    if (kind == Kind::kTar && m_options.bScanArchive) {
      Source src;
      src.pReader = &reader;
      // Its problems are the compressed file's own, recorded where that lies.
      std::vector<std::string> outerChain = *place.pChain;
      std::string sContainer;
      if (!outerChain.empty()) {
        sContainer = outerChain.back();
        outerChain.pop_back();
      }
      Place outer{&outerChain, place.nDepth > 1 ? place.nDepth - 1 : 1};
      WalkArchive(this, src, Kind::kTar, sContainer, place);
      if (!Stopped()) reader.ReadThrough();  // a tar's end blocks
      Settle(&reader, sContainer, outer);
      return;
    }
    if (!Look(sName, place)) return;
  }
  if (!bHead) {
    Settle(&reader, sName, place);
    return;
  }
  if (IsCompoundFile(head.data(), head.size()) ||
      (reader.state() == Reader::State::kEnd && MayBeTestFile(head.data(), head.size()))) {
    Document(&reader, sName, place);
    return;
  }
  if (kind != Kind::kNone && (IsMailKind(kind) ? m_options.bScanMail : m_options.bScanArchive)) {
    Nested(&reader, kind, sName, place);
    return;
  }
  if (kind == Kind::kNone && m_options.bScanArchive && MayCarryZip(head.data(), head.size())) {
    Program(&reader, sName, place);
    return;
  }
  if (role == Role::kText) TextBlocks(this, &reader, place, pnMessage);
  if (!Stopped()) reader.ReadThrough();
  Settle(&reader, sName, place);
}

void Walker::Text(MemberStream* pStream, const std::string& sName, const Place& place,
                  int* pnMessage) {
  if (Stopped()) return;
  Reader reader(this, pStream);
  TextBlocks(this, &reader, place, pnMessage);
  if (!Stopped()) reader.ReadThrough();
  Settle(&reader, sName, place);
}

void Walker::Container(const Source& src, Kind kind, const std::string& sName, const Place& place) {
  if (kind == Kind::kTnef)
    WalkTnef(this, src, sName, place);
  else if (kind == Kind::kBinhex)
    WalkBinhex(this, src, sName, place);
  else if (kind == Kind::kPst)
    WalkPst(this, src, sName, place);
  else if (IsMailKind(kind))
    WalkMail(this, src, kind, sName, place);
  else
    WalkArchive(this, src, kind, sName, place);
}

std::string GzipStoredName(const uint8_t* pb, size_t cb) {
  // ID1 ID2 CM FLG MTIME(4) XFL OS, then FEXTRA (u16 length and bytes), then FNAME (NUL-ended).
  if (cb < 10 || pb[0] != 0x1F || pb[1] != 0x8B || !(pb[3] & 0x08)) return "";
  size_t at = 10;
  if (pb[3] & 0x04) {
    if (cb - at < 2) return "";
    size_t cbExtra = pb[at] | (pb[at + 1] << 8);
    at += 2;
    if (cbExtra > cb - at) return "";
    at += cbExtra;
  }
  const void* pEnd = std::memchr(pb + at, 0, cb - at);
  if (!pEnd) return "";
  return std::string(reinterpret_cast<const char*>(pb + at),
                     static_cast<const uint8_t*>(pEnd) - (pb + at));
}

Options Bounded(const Options& options) {
  Options bounded = options;
  uint32_t& nRecursion = bounded.limits.nMaxRecursion;
  if (nRecursion == 0 || nRecursion > kDeepestNesting) nRecursion = kDeepestNesting;
  return bounded;
}

Result WalkFile(int fd, uint64_t cb, Kind kind, const std::string& sName, const Options& options,
                const ScanFunction& scan) {
  Result result;
  result.kind = kind;
  if (kind == Kind::kNone) {
    result.verdict.outcome = Outcome::kSkipped;
    result.verdict.sReason = "Not a container";
    return result;
  }
  if (!(IsMailKind(kind) ? options.bScanMail : options.bScanArchive)) {
    result.verdict.outcome = Outcome::kSkipped;
    result.verdict.sReason =
        IsMailKind(kind) ? "Mail scanning turned off" : "Archive scanning turned off";
    result.verdict.cause = Cause::kTurnedOff;
    return result;
  }
  result.nCounted = 1;  // the file itself, as clamd counts it
  Walker walker(Bounded(options), scan, &result);
  walker.SetFileName(sName);
  std::vector<std::string> chain;
  Place place{&chain, 1};
  if (options.limits.cbMaxFileSize != 0 && cb > options.limits.cbMaxFileSize) {
    walker.RecordLimit(place, "", Limit::kMaxFileSize, 0);
  } else {
    Source src;
    src.fd = fd;
    src.cb = cb;
    walker.Container(src, kind, "", place);
  }

  result.verdict = VerdictOf(result.members);
  return result;
}

}  // namespace detail
}  // namespace container

// The module's one entry (libzebmacro-containers.so), found by name by loader.cpp: Scan() of
// container.h, with everything by pointer.
extern "C" __attribute__((visibility("default"))) void ZmContainerScan(
    int fd, uint64_t cb, container::Kind kind, const std::string* psName,
    const container::Options* pOptions, const container::ScanFunction* pScan,
    container::Result* pResult) {
  *pResult = container::detail::WalkFile(fd, cb, kind, *psName, *pOptions, *pScan);
}

// The same for ScanCompound() of container.h.
extern "C" __attribute__((visibility("default"))) void ZmCompoundScan(
    int fd, uint64_t cb, const container::Options* pOptions, const container::ScanFunction* pScan,
    container::Result* pResult) {
  *pResult = container::detail::WalkCompoundFile(fd, cb, *pOptions, *pScan);
}
