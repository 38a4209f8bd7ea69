// Property: for any bytes, the walk of a compound file's contents ends within its bounds: the
// reader opens or refuses them, the storage walk meets each object once (no more objects than
// directory entries) and every stream it names reads no more bytes than it declares, the
// question whether a file holds objects is answered, and ScanCompound (the container module
// where the build has one) hands the scan function only whole compound files (or the test
// file) no larger than MaxFileSize, a written-out document among them
// WordDocument stream, and answers OK only when no record is a problem.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cfb.h"
#include "container.h"
#include "fuzzsupport.h"

namespace {

class Count : public container::cfb::Visitor {
 public:
  explicit Count(container::cfb::File* pFile) : m_pFile(pFile) {}
  void Meet(const container::cfb::Object& o) override {
    ++nObjects;
    if (o.type == container::cfb::Object::Type::kMessage) {
      if (nDepth < 8) {
        ++nDepth;
        container::cfb::WalkLevel(m_pFile, o.iStorage, this);
        --nDepth;
      }
      return;
    }
    container::cfb::File::Stream s(m_pFile, o.iEntry);
    uint8_t ab[4096];
    uint64_t cb = 0;
    for (ptrdiff_t n; (n = s.Read(ab, sizeof ab)) > 0;) cb += static_cast<uint64_t>(n);
    FZ_CHECK(cb <= s.Size());
  }
  void Problem(const std::string& sReason) override { FZ_CHECK(!sReason.empty()); }
  size_t nObjects = 0;
  int nDepth = 0;

 private:
  container::cfb::File* m_pFile;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  auto read = [pb, cb](uint64_t at, uint8_t* pOut, size_t n) -> int64_t {
    if (at >= cb) return 0;
    const size_t k = n < cb - at ? n : static_cast<size_t>(cb - at);
    std::memcpy(pOut, pb + at, k);
    return static_cast<int64_t>(k);
  };
  container::cfb::File f;
  if (f.Open(read, cb)) {
    Count count(&f);
    container::cfb::WalkLevel(&f, 0, &count);
    FZ_CHECK(count.nObjects <= f.Entries().size());
  }
  if (!container::CompoundHoldsObjects(read, cb)) return 0;

  container::Options options;
  options.limits.nMaxRecursion = 6;
  options.limits.nMaxFiles = 64;
  options.limits.cbMaxScanSize = 4u << 20;
  options.limits.cbMaxFileSize = 1u << 20;
  const char* szPath = FZ_szFile(0, pb, cb);
  std::FILE* p = std::fopen(szPath, "rb");
  FZ_CHECK(p != nullptr);
  size_t nJudged = 0;
  container::Result r =
      container::ScanCompound(fileno(p), cb, read, options, [&](const container::MemberFile& m) {
        ++nJudged;
        FZ_CHECK(m.cb <= options.limits.cbMaxFileSize + (64u << 10));
        std::vector<uint8_t> ab(static_cast<size_t>(m.cb));
        std::FILE* q = std::fopen(m.sPath.c_str(), "rb");
        FZ_CHECK(q != nullptr);
        FZ_CHECK(std::fread(ab.data(), 1, ab.size(), q) == ab.size());
        std::fclose(q);
        FZ_CHECK(container::IsCompoundFile(ab.data(), ab.size()) ||
                 container::MayBeTestFile(ab.data(), ab.size()));
        return container::Verdict{};
      });
  std::fclose(p);
  FZ_CHECK(r.nDocuments == nJudged && r.nMembers <= options.limits.nMaxFiles);
  bool bProblem = false;
  for (const container::Member& m : r.members) bProblem |= m.outcome == container::Outcome::kError;
  if (r.verdict.outcome == container::Outcome::kOk) FZ_CHECK(!bProblem);
  if (r.verdict.outcome == container::Outcome::kError) FZ_CHECK(!r.verdict.sReason.empty());
  return 0;
}
