// Property: for any bytes, the sniff names a kind without reading past them; walked as that kind
// (or, when it names none, as the kind the first byte picks, over the bytes after it), the
// container layer ends within its limits (no more files counted than MaxFiles, no more members
// looked at than 64 times that, no more bytes read than MaxScanSize and one read more, no chain
// deeper than MaxRecursion), hands the scan function only
// whole members that begin with the compound file signature (or may be the EICAR test file), are
// no larger than MaxFileSize and read back whole through their path, answers OK only when every
// record is a document judged OK or skipped, FOUND only with a name, ERROR only with a reason
// (and a record of the problem, unless this build cannot open the kind), and leaves no
// descriptor open.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "container.h"
#include "fuzzsupport.h"

namespace {

// Handles on Windows: under Wine, /proc/self/fd would list Wine's own descriptors, which its
// threads open and close while the target runs.
size_t OpenDescriptors() {
#ifdef _WIN32
  DWORD n = 0;
  FZ_CHECK(GetProcessHandleCount(GetCurrentProcess(), &n));
  return n;
#else
  std::error_code ec;
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++n;
  return n;
#endif
}

container::Verdict Judge(const container::MemberFile& f, const container::Limits& limits) {
  FZ_CHECK(f.cb <= limits.cbMaxFileSize);
  FZ_CHECK(f.pChain->size() < limits.nMaxRecursion);
  std::vector<uint8_t> ab(f.cb + 1);
  std::FILE* p = std::fopen(f.sPath.c_str(), "rb");
  FZ_CHECK(p != nullptr);
  size_t n = std::fread(ab.data(), 1, ab.size(), p);
  std::fclose(p);
  FZ_CHECK(n == f.cb);
  FZ_CHECK(container::IsCompoundFile(ab.data(), n) || container::MayBeTestFile(ab.data(), n));
  // Every third document is "infected", so that found and clean both occur.
  if (n % 3 == 0) return {container::Outcome::kFound, "Test.Found", ""};
  if (n % 3 == 1) return {container::Outcome::kSkipped, "", "Not a Word 6/95 document"};
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  container::Kind kind =
      container::SniffFile(pb, cb, cb, [pb, cb](uint64_t at, uint8_t* pbTo, size_t n) {
        if (n > cb || at > cb - n) return int64_t{-1};
        std::memcpy(pbTo, pb + at, n);
        return static_cast<int64_t>(n);
      });
  if (kind == container::Kind::kNone) {
    if (cb == 0) return 0;
    const int nKinds = static_cast<int>(container::kLastKind);
    kind = static_cast<container::Kind>(pb[0] % nKinds + 1);  // kZip .. kLastKind
    ++pb;
    --cb;
  }
  container::Options options;
  options.limits.nMaxRecursion = 6;
  options.limits.nMaxFiles = 64;
  options.limits.cbMaxScanSize = 4u << 20;
  options.limits.cbMaxFileSize = 1u << 20;
  options.bAllMatch = cb == 0 || (pb[cb / 2] & 1);
  const container::Limits& limits = options.limits;

  const char* szPath = FZ_szFile(0, pb, cb);
  size_t nBefore = OpenDescriptors();
  std::FILE* f = std::fopen(szPath, "rb");
  FZ_CHECK(f != nullptr);
  size_t nJudged = 0;
  container::Result r =
      container::Scan(fileno(f), cb, kind, "fuzz.gz", options, [&](const container::MemberFile& m) {
        ++nJudged;
        return Judge(m, limits);
      });
  std::fclose(f);
  FZ_CHECK(OpenDescriptors() == nBefore);

  FZ_CHECK(r.nCounted <= limits.nMaxFiles);
  FZ_CHECK(r.nMembers <= limits.nMaxFiles * 64);  // of any size, kMembersPerFile times MaxFiles
  FZ_CHECK(r.cbRead <= limits.cbMaxScanSize + 64 * 1024);
  FZ_CHECK(r.nDocuments == nJudged && r.nDocuments <= r.nMembers);
  bool bProblem = false, bFound = false;
  for (const container::Member& m : r.members) {
    FZ_CHECK(m.chain.size() < limits.nMaxRecursion);
    if (m.why != container::Why::kDocument) FZ_CHECK(!m.sReason.empty());
    bProblem |= m.outcome == container::Outcome::kError;
    bFound |= m.outcome == container::Outcome::kFound;
  }
  switch (r.verdict.outcome) {
    case container::Outcome::kOk:
      FZ_CHECK(!bProblem && !bFound);
      break;
    case container::Outcome::kFound:
      FZ_CHECK(bFound && !r.verdict.sVirus.empty());
      break;
    case container::Outcome::kError:  // a member's problem, or a kind this build cannot open
      FZ_CHECK((bProblem || !container::Supported(kind)) && !r.verdict.sReason.empty());
      break;
    case container::Outcome::kSkipped:
      FZ_CHECK(!container::Supported(kind) && !r.verdict.sReason.empty());
      break;
  }
  return 0;
}
