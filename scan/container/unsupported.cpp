// The container layer where libarchive and GMime are not to be had (the mingw-w64 builds): every
// container is told by its content and answered as not opened: an ERROR while its scanning is on
// (what it holds was not looked at, so it is never clean), SKIPPED when it was turned off.
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
  } else {
    result.verdict.sReason = bMail ? "Mail scanning turned off" : "Archive scanning turned off";
  }
  return result;
}

}  // namespace container
