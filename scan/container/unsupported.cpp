// The container layer where libarchive and GMime are not to be had (the mingw-w64 builds): every
// container is told by its content and answered as not opened, never as clean.
#include "container.h"

namespace container {

bool Supported(Kind) { return false; }

Result Scan(int, uint64_t, Kind kind, const std::string&, const Options& options,
            const ScanFunction&) {
  Result result;
  result.kind = kind;
  result.verdict.outcome = Outcome::kSkipped;
  if (kind == Kind::kNone)
    result.verdict.sReason = "Not a container";
  else if (IsMailKind(kind))
    result.verdict.sReason =
        options.bScanMail ? "Mail support not in this build" : "Mail scanning turned off";
  else
    result.verdict.sReason =
        options.bScanArchive ? "Archive support not in this build" : "Archive scanning turned off";
  return result;
}

}  // namespace container
