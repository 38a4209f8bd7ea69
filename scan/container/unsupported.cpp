// The container layer where libarchive and GMime are not to be had (the mingw-w64 builds): every
// container is told by its content and answered as not opened: an ERROR while its scanning is on
// (what it holds was not looked at, so it is never clean), SKIPPED when it was turned off.
#include <algorithm>
#include <utility>
#include <vector>

#include "cfb.h"
#include "container.h"

namespace container {

bool Supported(Kind) { return false; }

Result Scan(int, uint64_t, Kind kind, const std::string&, const Options& options,
            const ScanFunction&) {
  Result result;
  result.kind = kind;
  const bool bMail = IsMailKind(kind);
  result.verdict.outcome = Outcome::kSkipped;
  if (kind == Kind::kNone) {
    result.verdict.sReason = "Not a container";
  } else if (bMail ? options.bScanMail : options.bScanArchive) {
    result.verdict.outcome = Outcome::kError;
    result.verdict.sReason = NotInBuildReason(bMail ? "Mail" : "Archive");
    result.verdict.cause = Cause::kNotInBuild;
  } else {
    result.verdict.sReason = bMail ? "Mail scanning turned off" : "Archive scanning turned off";
    result.verdict.cause = Cause::kTurnedOff;
  }
  return result;
}

}  // namespace container

// Compound files: their storages are walked here too (the reader is pure), but no member can be
// handed to the scan function, which takes a file only the container module makes. So every
// object that may hold a document is recorded as not read in this build: never OK.
namespace container {
namespace {

constexpr char kNotHere[] = "Embedded documents not scanned in this build";

class NotRead : public cfb::Visitor {
 public:
  NotRead(cfb::File* pFile, const Options& options, Result* pResult, std::vector<std::string> chain)
      : m_pFile(pFile), m_options(options), m_pResult(pResult), m_chain(std::move(chain)) {}
  void Meet(const cfb::Object& o) override {
    ++m_pResult->nMembers;
    if (o.type == cfb::Object::Type::kDocument) return Add(o.sName, Why::kUnsupported, kNotHere);
    if (o.type == cfb::Object::Type::kMessage) {
      if (m_chain.size() + 1 >= kDeepestNesting) return;
      std::vector<std::string> chain = m_chain;
      chain.push_back(o.sName);
      NotRead inner(m_pFile, m_options, m_pResult, std::move(chain));
      cfb::WalkLevel(m_pFile, o.iStorage, &inner);
      return;
    }
    // A packaged or attached file: what its head says it is.
    cfb::File::Stream s(m_pFile, o.iEntry);
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(o.cb, kSniffBytes)));
    size_t n = 0;
    if (s.Skip(o.lOffset)) {
      for (ptrdiff_t r; n < head.size() && (r = s.Read(head.data() + n, head.size() - n)) > 0;)
        n += static_cast<size_t>(r);
    }
    if (n < head.size()) return Add(o.sName, Why::kDamaged, "Damaged compound file: " + s.Error());
    const Kind kind = Sniff(head.data(), n);
    if (IsCompoundFile(head.data(), n) || (n == o.cb && MayBeTestFile(head.data(), n)))
      Add(o.sName, Why::kUnsupported, kNotHere);
    else if (kind != Kind::kNone &&
             (IsMailKind(kind) ? m_options.bScanMail : m_options.bScanArchive))
      Add(o.sName, Why::kUnsupported, NotInBuildReason(IsMailKind(kind) ? "Mail" : "Archive"));
  }
  void Problem(const std::string& sReason) override {
    std::vector<std::string> chain = m_chain;
    std::string sName;
    if (!chain.empty()) {
      sName = chain.back();
      chain.pop_back();
    }
    Member m;
    m.chain = std::move(chain);
    m.sName = std::move(sName);
    m.kind = Kind::kCompound;
    m.why = Why::kDamaged;
    m.outcome = Outcome::kError;
    m.sReason = "Damaged compound file: " + sReason;
    m_pResult->members.push_back(std::move(m));
  }

 private:
  void Add(const std::string& sName, Why why, const std::string& sReason) {
    Member m;
    m.chain = m_chain;
    m.sName = sName;
    m.why = why;
    m.outcome = Outcome::kError;
    m.sReason = sReason;
    m_pResult->members.push_back(std::move(m));
  }
  cfb::File* m_pFile;
  const Options& m_options;
  Result* m_pResult;
  std::vector<std::string> m_chain;
};

}  // namespace

Result ScanCompound(int, uint64_t cb, const ReadAtFunction& read, const Options& options,
                    const ScanFunction&) {
  Result result;
  result.kind = Kind::kCompound;
  cfb::File file;
  NotRead walk(&file, options, &result, {});
  if (!file.Open(read, cb))
    walk.Problem(file.Error());
  else
    cfb::WalkLevel(&file, 0, &walk);
  result.verdict = VerdictOf(result.members);
  return result;
}

}  // namespace container
