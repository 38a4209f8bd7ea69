// The C library over the scan core: scanners whose scans take turns, results with their JSON
// records, the walk in batches of entries, and a pool over a scan session. Every export catches
// what the C++ underneath may throw (no memory, no thread) and answers null, -1 or nothing.
#include "zmscan.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "columns.h"
#include "fsys.h"
#include "loadlib.h"
#include "platform.h"
#include "pool.h"
#include "record.h"
#include "scanner.h"
#include "session.h"
#include "walk.h"
#include "zmapi.h"

struct ZmsResult {
  zm::FileResult r;
  std::string sRecord;  // made when first asked for
};

struct ZmsScanner {
  ZmApi api;
  std::string sLibrary;
  zm::EngineFacts facts;
  std::unique_ptr<zm::Scanner> pScanner;
};

namespace capi {
namespace {

// The name the walk and the pool reach a file by, for a buffer without one: clamd's.
const char kBufferName[] = "stream";
// The worker program of the pool, beside this library.
const char kWorkerName[] = "zmscan-worker";
// Results a pool holds for its caller at most: past it the pool's walk waits.
constexpr size_t kPoolHeld = 4096;
// The walk's entries handed on together, in bytes at most (one longer entry goes alone).
constexpr size_t kWalkBatch = 64 * 1024;

// One caller of the library at a time in this process, for every scanner and pool.
std::mutex& LibraryLock() {
  static std::mutex s_lock;
  return s_lock;
}

// Runs f, answering fallback when it throws: nothing thrown below leaves the library.
template <typename T, typename F>
T Guarded(T fallback, F f) {
  try {
    return f();
  } catch (...) {
    return fallback;
  }
}

void SetError(char* pszError, size_t cchError, const std::string& s) {
  if (pszError == nullptr || cchError == 0) return;
  size_t n = std::min(s.size(), cchError - 1);
  std::memcpy(pszError, s.data(), n);
  pszError[n] = '\0';
}

// The caller's options over the defaults; a caller built with a larger ZmsOptions than this
// library's is refused, since it may have set fields that would go unseen.
bool ReadOptions(const ZmsOptions* pGiven, ZmsOptions* pOut, std::string* psError) {
  ZMS_InitOptions(pOut);
  if (pGiven == nullptr) return true;
  if (pGiven->cbSize < sizeof pGiven->cbSize || pGiven->cbSize > sizeof *pOut) {
    *psError = "options of " + std::to_string(pGiven->cbSize) + " bytes (this zmscan knows " +
               std::to_string(sizeof *pOut) + ")";
    return false;
  }
  std::memcpy(pOut, pGiven, pGiven->cbSize);
  pOut->cbSize = sizeof *pOut;
  if (pOut->iMacros < 0 || pOut->iMacros > 2) {
    *psError = "macros " + std::to_string(pOut->iMacros) + " (0, 1 or 2)";
    return false;
  }
  return true;
}

zm::ScanOptions ScanOptionsOf(const ZmsOptions& o) {
  zm::ScanOptions scan;
  scan.bDeep = o.bDeep != 0;
  scan.bAlertEncrypted = o.bAlertEncrypted != 0;
  scan.macros = o.iMacros == 2   ? zm::MacroDetail::kSource
                : o.iMacros == 1 ? zm::MacroDetail::kList
                                 : zm::MacroDetail::kNone;
  container::Options& c = scan.containers;
  c.limits.nMaxRecursion = o.nMaxRecursion;
  c.limits.nMaxFiles = o.nMaxFiles;
  c.limits.cbMaxScanSize = o.cbMaxScanSize;
  c.limits.cbMaxFileSize = o.cbMaxFileSize;
  c.bScanArchive = o.bScanArchive != 0;
  c.bScanMail = o.bScanMail != 0;
  c.bAlertExceedsMax = o.bAlertExceedsMax != 0;
  c.bAlertEncrypted = o.bAlertEncryptedArchive != 0;
  return scan;
}

const char s_cAnchor = 0;  // an address inside this library

// This library's directory, with a separator at its end; empty when unknown.
std::string ThisDirectory() {
  std::string s = zm::SharedLibraryPath(&s_cAnchor);
  size_t i = s.find_last_of(zm::PathSeparators());
  return i == std::string::npos ? std::string() : s.substr(0, i + 1);
}

// Loads the library the options name, or the one beside this library: by its plain name, else by
// its versioned file name (a package that holds only the file). Its path into *psLibrary.
bool LoadLibrary(const ZmsOptions& o, ZmApi* pApi, std::string* psLibrary, std::string* psError) {
  std::vector<std::string> tries;
  if (o.pszLibrary != nullptr) {
    tries.push_back(o.pszLibrary);
  } else {
    tries.push_back(ThisDirectory() + ZmLibraryName());
    tries.push_back(ThisDirectory() + ZMSCAN_LIBRARY_FILE);
  }
  for (const std::string& s : tries) {
    if (ZmLoadApi(s.c_str(), pApi) < 0) continue;
    if (!pApi->MACRO_Handler || !pApi->MACRO_ScanRaw || !pApi->MACRO_Signatures) {
      *psError = s + " lacks the exports a scan needs";
      return false;
    }
    *psLibrary = s;
    return true;
  }
  *psError = "cannot load " + tries.front();
  return false;
}

ZmsResult* NewResult(zm::FileResult&& r) {
  auto* p = new ZmsResult;
  p->r = std::move(r);
  return p;
}

// The record as zebscan --json prints it, its line end left off.
std::string RecordText(const zm::FileResult& r) {
  std::string s = zm::RecordLine(r);
  s.pop_back();
  return s;
}

}  // namespace
}  // namespace capi

// A pool: its workers, and a thread that drives a scan session over the paths, putting each
// result in a queue for the caller as the session emits it.
struct ZmsPool {
  std::unique_ptr<zm::Scanner> pHere;  // the scans in this process, with no worker
  std::unique_ptr<zm::Pool> pPool;
  unsigned nWorkers = 0;
  std::thread driver;
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<zm::FileResult> ready;
  bool bDone = false;
  bool bFailed = false;  // the session gave up (no memory): results are missing
  std::atomic<bool> bClosing{false};

  void Put(const zm::FileResult& r) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [this] { return ready.size() < capi::kPoolHeld || bClosing; });
    if (bClosing) return;
    ready.push_back(r);
    cv.notify_all();
  }
  void Drive(std::vector<std::string> paths, zm::SessionOptions options) {
    bool bThrown = false;
    try {
      zm::Session session(options, [this](const zm::FileResult& r) { Put(r); });
      for (const std::string& s : paths) session.AddPath(s);
      session.Flush();
    } catch (...) {  // no memory: the results so far stand, and the caller is told of the rest
      bThrown = true;
    }
    std::lock_guard<std::mutex> lock(mutex);
    bDone = true;
    bFailed = bThrown;
    cv.notify_all();
  }
};

ZM_EXPORT(const char*) ZMS_pszVersion(void) { return ZMSCAN_VERSION; }

ZM_EXPORT(void) ZMS_InitOptions(ZmsOptions* pOptions) {
  if (pOptions == nullptr) return;
  *pOptions = ZmsOptions{};
  pOptions->cbSize = sizeof *pOptions;
  const container::Options defaults;
  pOptions->nMaxRecursion = defaults.limits.nMaxRecursion;
  pOptions->nMaxFiles = defaults.limits.nMaxFiles;
  pOptions->cbMaxScanSize = defaults.limits.cbMaxScanSize;
  pOptions->cbMaxFileSize = defaults.limits.cbMaxFileSize;
  pOptions->bScanArchive = defaults.bScanArchive;
  pOptions->bScanMail = defaults.bScanMail;
  pOptions->bAlertExceedsMax = defaults.bAlertExceedsMax;
  pOptions->bAlertEncryptedArchive = defaults.bAlertEncrypted;
}

ZM_EXPORT(ZmsScanner*)
ZMS_pOpenScanner(const ZmsOptions* pOptions, char* pszError, size_t cchError) {
  return capi::Guarded<ZmsScanner*>(nullptr, [&]() -> ZmsScanner* {
    ZmsOptions o;
    std::string sError;
    auto p = std::make_unique<ZmsScanner>();
    if (!capi::ReadOptions(pOptions, &o, &sError) ||
        !capi::LoadLibrary(o, &p->api, &p->sLibrary, &sError)) {
      capi::SetError(pszError, cchError, sError);
      return nullptr;
    }
    p->facts = zm::ReadEngineFacts(p->api, p->sLibrary);
    p->pScanner = std::make_unique<zm::Scanner>(p->api, capi::ScanOptionsOf(o));
    return p.release();
  });
}

ZM_EXPORT(void) ZMS_CloseScanner(ZmsScanner* pScanner) {
  // The scanner's reader block is released under the lock: a scan may be under way elsewhere.
  std::lock_guard<std::mutex> lock(capi::LibraryLock());
  delete pScanner;
}

ZM_EXPORT(const char*) ZMS_pszEngineVersion(const ZmsScanner* pScanner) {
  return pScanner ? pScanner->facts.sVersion.c_str() : "";
}

ZM_EXPORT(int32_t) ZMS_iDefinitions(const ZmsScanner* pScanner) {
  return pScanner ? pScanner->facts.nDefinitions : -1;
}

ZM_EXPORT(const char*) ZMS_pszEngineDate(const ZmsScanner* pScanner) {
  return pScanner ? pScanner->facts.sDate.c_str() : "";
}

ZM_EXPORT(const char*) ZMS_pszLibrary(const ZmsScanner* pScanner) {
  return pScanner ? pScanner->sLibrary.c_str() : "";
}

ZM_EXPORT(ZmsResult*) ZMS_pScanPath(ZmsScanner* pScanner, const char* pszPath) {
  if (pScanner == nullptr || pszPath == nullptr) return nullptr;
  return capi::Guarded<ZmsResult*>(nullptr, [&] {
    std::lock_guard<std::mutex> lock(capi::LibraryLock());
    return capi::NewResult(pScanner->pScanner->ScanPath(pszPath));
  });
}

ZM_EXPORT(ZmsResult*)
ZMS_pScanBuffer(ZmsScanner* pScanner, const void* pvBytes, size_t cbBytes, const char* pszName) {
  if (pScanner == nullptr || (pvBytes == nullptr && cbBytes > 0)) return nullptr;
  return capi::Guarded<ZmsResult*>(nullptr, [&] {
    const std::string sName = pszName ? pszName : capi::kBufferName;
    zm::File f;
    std::string sError;
    if (!zm::FileOfBytes(std::string(static_cast<const char*>(pvBytes), cbBytes), &f, &sError))
      return capi::NewResult(zm::ResultOf(sName, zm::Outcome::kError, sError));
    std::lock_guard<std::mutex> lock(capi::LibraryLock());
    return capi::NewResult(pScanner->pScanner->Scan(f, sName));
  });
}

namespace capi {
namespace {

// Opens the directory at sDir a piece at a time where its path is longer than a system takes
// whole: a walk reaches such a tree through its directories, and its caller hands the files'
// paths back. False where a piece cannot be opened.
bool OpenDirInPieces(const std::string& sDir, zm::Dir* pDir) {
  constexpr size_t kPiece = 2048;  // well under PATH_MAX (4096 on Linux)
  zm::Dir dir;
  bool bOpened = false;
  for (size_t from = 0;;) {
    size_t to = sDir.size();
    if (to - from > kPiece) {
      to = sDir.rfind('/', from + kPiece);
      if (to == std::string::npos || to <= from) return false;
    }
    zm::Dir next;
    zm::FileId id;
    std::string sError;
    if (!zm::OpenDir(bOpened ? &dir : nullptr, sDir.substr(from, to - from), true, &next, &id,
                     &sError))
      return false;
    dir = std::move(next);
    bOpened = true;
    if (to == sDir.size()) break;
    from = to + 1;
  }
  *pDir = std::move(dir);
  return true;
}

// Scans the files in turn, as ZMS_pScanPath scans each, handing each result to take as it is
// named for its record. False for a null path or name.
template <typename F>
bool ScanEach(ZmsScanner* pScanner, const char* const* apszPaths, const char* const* apszNames,
              size_t nPaths, F take) {
  // The files of one directory come one after another (a walk's batch): the directory is
  // opened once and each reached by its name in it, not by its whole path again. Where the
  // directory cannot be opened, the path is opened as it is, and fails as it would.
  std::string sDir;
  std::shared_ptr<zm::Dir> pDir;
  for (size_t i = 0; i < nPaths; ++i) {
    const char* szName = apszNames ? apszNames[i] : apszPaths[i];
    if (apszPaths[i] == nullptr || szName == nullptr) return false;
    const std::string sPath = apszPaths[i];
    zm::FileRef ref;
    ref.sName = sPath;
    ref.bFollow = true;
    // Not after a drive letter: "C:" alone is that drive's current directory, not its root.
    const size_t cut = sPath.rfind('/');
    if (cut != std::string::npos && cut > 0 && sPath[cut - 1] != ':' && cut + 1 < sPath.size()) {
      if (sPath.compare(0, cut, sDir) != 0 || sDir.size() != cut) {
        sDir.assign(sPath, 0, cut);
        pDir = std::make_shared<zm::Dir>();
        if (!OpenDirInPieces(sDir, pDir.get())) pDir.reset();
      }
      if (pDir) {
        ref.pDir = pDir;
        ref.sName.erase(0, cut + 1);
      }
    }
    zm::FileResult r;
    {  // a file at a time: the scans of other threads come in between
      std::lock_guard<std::mutex> lock(LibraryLock());
      r = pScanner->pScanner->ScanRef(ref, sPath);
    }
    // Named once scanned: where the library opens files by path (Windows), it opens this one
    // by the path it was opened by.
    r.sPath = szName;
    take(r);
  }
  return true;
}

char* NewText(const std::string& s, size_t* pcb) {
  auto* p = new char[s.size() + 1];
  std::memcpy(p, s.c_str(), s.size() + 1);
  *pcb = s.size();
  return p;
}

}  // namespace
}  // namespace capi

ZM_EXPORT(char*)
ZMS_pszScanPaths(ZmsScanner* pScanner, const char* const* apszPaths, const char* const* apszNames,
                 size_t nPaths, size_t* pcbText) {
  if (pScanner == nullptr || (apszPaths == nullptr && nPaths > 0) || pcbText == nullptr)
    return nullptr;
  return capi::Guarded<char*>(nullptr, [&]() -> char* {
    std::string sText;
    if (!capi::ScanEach(pScanner, apszPaths, apszNames, nPaths,
                        [&](const zm::FileResult& r) { sText += zm::RecordLine(r); }))
      return nullptr;
    return capi::NewText(sText, pcbText);
  });
}

ZM_EXPORT(char*)
ZMS_pScanPathsColumns(ZmsScanner* pScanner, const char* const* apszPaths,
                      const char* const* apszNames, size_t nPaths, size_t* pcbTable) {
  if (pScanner == nullptr || (apszPaths == nullptr && nPaths > 0) || pcbTable == nullptr)
    return nullptr;
  return capi::Guarded<char*>(nullptr, [&]() -> char* {
    capi::RecordColumns table(nPaths);
    std::string sLine;
    if (!capi::ScanEach(pScanner, apszPaths, apszNames, nPaths,
                        [&](const zm::FileResult& r) { table.Add(r, &sLine); }))
      return nullptr;
    const size_t cb = table.Size();
    auto* p = new char[cb + 1];
    table.Write(p);
    p[cb] = '\0';
    *pcbTable = cb;
    return p;
  });
}

ZM_EXPORT(void) ZMS_FreeText(char* pszText) { delete[] pszText; }

ZM_EXPORT(ZmsResult*)
ZMS_pKnownResult(const char* pszPath, int32_t iOutcome, const char* pszReason) {
  if (pszPath == nullptr || (iOutcome != ZMS_ERROR && iOutcome != ZMS_SKIPPED)) return nullptr;
  return capi::Guarded<ZmsResult*>(nullptr, [&] {
    const auto outcome = iOutcome == ZMS_ERROR ? zm::Outcome::kError : zm::Outcome::kSkipped;
    return capi::NewResult(zm::ResultOf(pszPath, outcome, pszReason ? pszReason : ""));
  });
}

ZM_EXPORT(int32_t) ZMS_iOutcome(const ZmsResult* pResult) {
  return pResult ? static_cast<int32_t>(pResult->r.outcome) : -1;
}

ZM_EXPORT(const char*) ZMS_pszPath(const ZmsResult* pResult) {
  return pResult ? pResult->r.sPath.c_str() : "";
}

ZM_EXPORT(const char*) ZMS_pszVirus(const ZmsResult* pResult) {
  return pResult && pResult->r.outcome == zm::Outcome::kFound ? pResult->r.sVirus.c_str() : "";
}

ZM_EXPORT(const char*) ZMS_pszReason(const ZmsResult* pResult) {
  return pResult ? pResult->r.sReason.c_str() : "";
}

ZM_EXPORT(const char*) ZMS_pszRecord(ZmsResult* pResult) {
  if (pResult == nullptr) return "";
  return capi::Guarded<const char*>(nullptr, [&] {
    if (pResult->sRecord.empty()) pResult->sRecord = capi::RecordText(pResult->r);
    return pResult->sRecord.c_str();
  });
}

ZM_EXPORT(void) ZMS_FreeResult(ZmsResult* pResult) { delete pResult; }

ZM_EXPORT(int64_t) ZMS_nWalk(const char* pszPath, ZmsWalkSink sink, void* pvContext) {
  if (pszPath == nullptr || sink == nullptr) return -1;
  return capi::Guarded<int64_t>(-1, [&] {
    int64_t n = 0;
    bool bStopped = false;
    std::string sBatch;
    auto hand = [&] {
      if (!bStopped && !sBatch.empty())
        bStopped = sink(pvContext, sBatch.data(), sBatch.size()) == 0;
      sBatch.clear();
    };
    zm::Walker* pWalker = nullptr;
    zm::Walker walker(zm::WalkOptions(), [&](zm::WalkItem&& item) {
      const bool bFile = item.kind == zm::WalkItem::kFile;
      const std::string sText =
          bFile
              ? item.sPath
              : capi::RecordText(zm::ResultOf(
                    item.sPath,
                    item.kind == zm::WalkItem::kError ? zm::Outcome::kError : zm::Outcome::kSkipped,
                    item.sReason));
      if (!sBatch.empty() && sBatch.size() + sText.size() + 2 > capi::kWalkBatch) hand();
      if (bStopped) return pWalker->Stop();
      sBatch += bFile ? 'F' : 'R';
      sBatch += sText;
      sBatch += '\0';
      ++n;
    });
    pWalker = &walker;
    walker.Add(pszPath);
    hand();
    return n;
  });
}

ZM_EXPORT(ZmsPool*)
ZMS_pOpenPool(const ZmsOptions* pOptions, uint32_t nJobs, const char* const* apszPaths,
              size_t nPaths, char* pszError, size_t cchError) {
  if (apszPaths == nullptr && nPaths > 0) return nullptr;
  return capi::Guarded<ZmsPool*>(nullptr, [&]() -> ZmsPool* {
    ZmsOptions o;
    ZmApi api;
    std::string sLibrary, sError;
    if (!capi::ReadOptions(pOptions, &o, &sError) ||
        !capi::LoadLibrary(o, &api, &sLibrary, &sError)) {
      capi::SetError(pszError, cchError, sError);
      return nullptr;
    }
    std::vector<std::string> paths;
    for (size_t i = 0; i < nPaths; ++i)
      if (apszPaths[i] != nullptr) paths.emplace_back(apszPaths[i]);
    const zm::ProcessRoom room = zm::RoomToGrow();
    const zm::WorkerFit fit = zm::FitWorkers(nJobs ? nJobs : zm::UsableCores(), room.nFileLimit,
                                             room.nFilesFree, room.nTaskLimit, room.nTasksFree);

    auto p = std::make_unique<ZmsPool>();
    p->pHere = std::make_unique<zm::Scanner>(api, capi::ScanOptionsOf(o));
    zm::PoolOptions pool;
    pool.nWorkers = fit.nWorkers;
    pool.sExecutable = capi::ThisDirectory() + zm::ProgramFileName(capi::kWorkerName);
    pool.sLibrary = sLibrary;
    pool.scan = capi::ScanOptionsOf(o);
    pool.nMaxPassed = fit.nMaxPassed;
    ZmsPool* pRaw = p.get();
    pool.inProcess = [pRaw](zm::File* pOpen, const zm::FileRef& ref, std::string sPath) {
      std::lock_guard<std::mutex> lock(capi::LibraryLock());
      return pOpen ? pRaw->pHere->Scan(*pOpen, std::move(sPath))
                   : pRaw->pHere->ScanRef(ref, std::move(sPath));
    };
    p->nWorkers = fit.nWorkers;
    p->pPool = std::make_unique<zm::Pool>(pool);

    zm::SessionOptions session;
    session.bManyRoots = paths.size() > 1;
    session.pSharedPool = p->pPool.get();
    // As wide as a session's own pool's window: every worker gets whole batches.
    session.nWindow = 128 * std::max(1u, fit.nWorkers) + 256;
    session.nHeldBudget = fit.nHeldBudget;
    session.interrupted = [pRaw] { return pRaw->bClosing.load(); };
    p->driver = std::thread(
        [pRaw, paths, session]() mutable { pRaw->Drive(std::move(paths), std::move(session)); });
    return p.release();
  });
}

ZM_EXPORT(int32_t) ZMS_iPoolNext(ZmsPool* pPool, int32_t msTimeout, ZmsResult** ppResult) {
  if (pPool == nullptr || ppResult == nullptr) return -1;
  *ppResult = nullptr;
  return capi::Guarded<int32_t>(-1, [&] {
    std::unique_lock<std::mutex> lock(pPool->mutex);
    auto any = [pPool] { return !pPool->ready.empty() || pPool->bDone; };
    if (msTimeout < 0)
      pPool->cv.wait(lock, any);
    else if (!pPool->cv.wait_for(lock, std::chrono::milliseconds(msTimeout), any))
      return 0;
    if (pPool->ready.empty()) return pPool->bFailed ? -2 : -1;
    *ppResult = capi::NewResult(std::move(pPool->ready.front()));
    pPool->ready.pop_front();
    pPool->cv.notify_all();
    return 1;
  });
}

ZM_EXPORT(uint32_t) ZMS_uPoolWorkers(const ZmsPool* pPool) { return pPool ? pPool->nWorkers : 0; }

ZM_EXPORT(void) ZMS_ClosePool(ZmsPool* pPool) {
  if (pPool == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(pPool->mutex);
    pPool->bClosing = true;
  }
  pPool->cv.notify_all();
  pPool->pPool->Cancel("Not scanned: the pool was closed");
  if (pPool->driver.joinable()) pPool->driver.join();
  delete pPool;  // the workers end with the pool
}
