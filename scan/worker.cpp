// The worker's loop: a batch in, each file opened as the batch says and scanned, the results back
// in groups; the progress marks tell the parent which file it is on.
#include "worker.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fsys.h"
#include "proc.h"
#include "wire.h"
#include "zmapi.h"

namespace zm {
namespace {

const char kWorkerFlag[] = "--zm-worker";
// A worker sends the results it has when this long has passed since it last sent some.
constexpr uint32_t kGroupMs = 50;
// And once they take this much: listings of macros and a container's member records make results
// large, and a message on the channel stays below 16 MiB (one result, within the listing's caps
// and kMaxRecordBytes, takes some 10 MiB at most).
constexpr size_t kGroupBytes = 1u << 20;
// And once the bodies whose digests wait for it take this much: enough for full passes of sixteen,
// few enough that they are still in the cache when hashed.
constexpr size_t kQueueBytes = 256u << 10;
// The member records of one result travel within this many bytes; a container holding more
// (thousands of documents under long names) keeps its verdict and count, and the records that
// fit, so that a reply stays within what the channel carries.
constexpr size_t kMaxRecordBytes = 4u << 20;

// Trims r's member records to those that fit kMaxRecordBytes, and the listings to the records kept
// (those of the others are counted as left out).
void FitRecords(FileResult* pR) {
  size_t cb = 0, n = 0;
  for (const container::Member& m : pR->members) {
    cb += 64 + m.sName.size() + m.sVirus.size() + m.sReason.size();
    for (const std::string& c : m.chain) cb += 4 + c.size();
    if (cb > kMaxRecordBytes) break;
    ++n;
  }
  pR->members.resize(n);
  std::vector<MemberListing>& l = pR->memberListings;
  size_t nKept = 0;
  while (nKept < l.size() && l[nKept].iMember < n) ++nKept;
  pR->nMemberListingsLeftOut += l.size() - nKept;
  l.resize(nKept);
}

// The file of one item, opened as the batch says, scanned. A descriptor or directory passed is
// taken over once (taken[k]); the directories are kept for the other files of the batch.
FileResult ScanItem(Scanner* pScanner, const BatchItem& it, const std::vector<int>& fds,
                    std::vector<std::shared_ptr<Dir>>* pDirs, std::vector<bool>* pTaken) {
  std::vector<bool>& taken = *pTaken;
  if (it.reach == Reach::kPassedFile) {
    File f;
    std::string sError;
    bool bOpen = !taken[it.uSlot] && FileFromFd(fds[it.uSlot], &f, &sError);
    taken[it.uSlot] = true;
    return bOpen ? pScanner->Scan(f, it.sPath) : NotOpened(it.sPath, sError);
  }
  FileRef ref;
  ref.sName = it.sName;
  ref.bFollow = it.bFollow;
  ref.bKnownRegular = it.bKnownRegular;
  if (it.reach == Reach::kInDirectory) {
    std::shared_ptr<Dir>& pDir = (*pDirs)[it.uSlot];
    if (!pDir && !taken[it.uSlot]) {
      pDir = std::make_shared<Dir>();
      DirFromFd(fds[it.uSlot], pDir.get());
      taken[it.uSlot] = true;
    }
    ref.pDir = pDir;
  }
  return pScanner->ScanRef(ref, it.sPath);
}

// One batch: its files scanned in order, the results sent in groups (when the batch is done, or
// when the last group left a while ago, so the report keeps moving while a batch of slow files is
// scanned). False when the parent has gone.
bool ScanBatch(Scanner* pScanner, DigestQueue* pQueue, uint32_t uBatch,
               const std::vector<BatchItem>& items, const std::vector<int>& fds) {
  WorkerProgress* pProgress = ParentProgress();
  // The directories passed, each taken over once; descriptors nobody takes are closed at the end.
  std::vector<std::shared_ptr<Dir>> dirs(fds.size());
  std::vector<bool> taken(fds.size());
  ReplyWriter reply;
  uint32_t tLastSent = MonotonicMs();
  bool bParentGone = false;
  for (size_t i = 0; i < items.size() && !bParentGone; ++i) {
    pProgress->uStartMs.store(MonotonicMs());
    pProgress->uIndex.store(static_cast<uint32_t>(i));
    pProgress->uBatch.store(uBatch, std::memory_order_release);
    FileResult r = ScanItem(pScanner, items[i], fds, &dirs, &taken);
    if (!r.members.empty()) FitRecords(&r);
    reply.Add(r);
    if (i + 1 < items.size() && MonotonicMs() - tLastSent < kGroupMs &&
        reply.Bytes() < kGroupBytes && pQueue->Bytes() < kQueueBytes)
      continue;
    if (!pQueue->Empty()) reply.FillDigests(pQueue->Make());
    bParentGone = !SendToParent(reply.Reply());
    reply.Clear();
    tLastSent = MonotonicMs();
  }
  for (size_t k = 0; k < fds.size(); ++k)
    if (!taken[k]) CloseNativeFd(fds[k]);
  return !bParentGone;
}

}  // namespace

std::vector<std::string> WorkerArguments(const std::string& sLibrary, const ScanOptions& scan) {
  std::vector<std::string> args = {kWorkerFlag, "--zm-channel=3", "--zm-progress=4",
                                   "--zm-library=" + sLibrary};
  if (scan.bDeep) args.push_back("--zm-deep");
  if (scan.bAlertEncrypted) args.push_back("--zm-alert-encrypted");
  if (!scan.sRawName.empty()) args.push_back("--zm-raw=" + scan.sRawName);
  // The container layer's options: its limits, then the switches that are not its defaults.
  const container::Options& c = scan.containers;
  args.push_back("--zm-limits=" + std::to_string(c.limits.nMaxRecursion) + "," +
                 std::to_string(c.limits.nMaxFiles) + "," + std::to_string(c.limits.cbMaxScanSize) +
                 "," + std::to_string(c.limits.cbMaxFileSize));
  if (!c.bScanArchive) args.push_back("--zm-no-archive");
  if (!c.bScanMail) args.push_back("--zm-no-mail");
  if (c.bAlertExceedsMax) args.push_back("--zm-alert-exceeds-max");
  if (c.bAlertEncrypted) args.push_back("--zm-alert-encrypted-archive");
  if (!c.bAllMatch) args.push_back("--zm-first-match");
  if (scan.macros != MacroDetail::kNone)
    args.push_back("--zm-macros=" + std::to_string(static_cast<int>(scan.macros)));
  return args;
}

namespace {

// "--zm-limits=R,F,S,Z" into the limits; false when it is not four numbers.
bool ParseLimits(const std::string& s, container::Limits* pLimits) {
  uint64_t av[4];
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    size_t end = s.find(',', at);
    std::string sPart = s.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (sPart.empty() || sPart.find_first_not_of("0123456789") != std::string::npos ||
        sPart.size() > 19 || (i < 3) != (end != std::string::npos))
      return false;
    av[i] = std::stoull(sPart);
    at = end + 1;
  }
  if (av[0] > UINT32_MAX || av[1] > UINT32_MAX) return false;
  *pLimits = {static_cast<uint32_t>(av[0]), static_cast<uint32_t>(av[1]), av[2], av[3]};
  return true;
}

}  // namespace

bool RunAsWorker(int argc, char** argv, int* piExit) {
  if (argc < 2 || std::strcmp(argv[1], kWorkerFlag) != 0) return false;
  *piExit = 2;
  std::string sChannel, sProgress, sLibrary, sLimits, sMacros;
  ScanOptions scan;
  for (int i = 2; i < argc; ++i) {
    std::string s = argv[i];
    auto value = [&s](const char* szKey, std::string* pOut) {
      size_t n = std::strlen(szKey);
      if (s.compare(0, n, szKey) != 0) return false;
      *pOut = s.substr(n);
      return true;
    };
    if (value("--zm-channel=", &sChannel) || value("--zm-progress=", &sProgress) ||
        value("--zm-library=", &sLibrary) || value("--zm-raw=", &scan.sRawName))
      continue;
    if (value("--zm-macros=", &sMacros) && sMacros.size() == 1 && sMacros[0] >= '1' &&
        sMacros[0] <= '0' + static_cast<int>(MacroDetail::kBodies))
      scan.macros = static_cast<MacroDetail>(sMacros[0] - '0');
    if (value("--zm-limits=", &sLimits) && !ParseLimits(sLimits, &scan.containers.limits))
      return true;  // not from our parent
    container::Options& c = scan.containers;
    if (s == "--zm-deep") scan.bDeep = true;
    if (s == "--zm-alert-encrypted") scan.bAlertEncrypted = true;
    if (s == "--zm-no-archive") c.bScanArchive = false;
    if (s == "--zm-no-mail") c.bScanMail = false;
    if (s == "--zm-alert-exceeds-max") c.bAlertExceedsMax = true;
    if (s == "--zm-alert-encrypted-archive") c.bAlertEncrypted = true;
    if (s == "--zm-first-match") c.bAllMatch = false;
  }
  ZmApi api;
  if (!OpenParentChannel(sChannel, sProgress) || ZmLoadApi(sLibrary.c_str(), &api) < 0 ||
      !api.MACRO_Handler || !api.MACRO_ScanRaw)
    return true;
  Scanner scanner(api, scan);
  // The digests of the bodies listed are made together, sixteen a pass, as each group is sent.
  DigestQueue queue;
  scanner.QueueDigests(&queue);
  std::string sRequest;
  std::vector<int> fds;
  std::vector<BatchItem> items;
  while (ReceiveFromParent(&sRequest, &fds)) {
    uint32_t uBatch = 0;
    if (!DecodeBatch(sRequest, fds.size(), &uBatch, &items)) {  // not from our parent
      for (int fd : fds) CloseNativeFd(fd);
      break;
    }
    if (!ScanBatch(&scanner, &queue, uBatch, items, fds)) break;
  }
  *piExit = 0;
  return true;
}

}  // namespace zm
