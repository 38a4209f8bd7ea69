// The session's road for each file: walked, then scanned here, held until the pool starts, or
// handed to the pool through the ordered window; emitted once, in order.
#include "session.h"

#include <algorithm>

#include "proc.h"

namespace zm {
namespace {

// The window of a session's own pool: wide enough that every worker gets whole batches while the
// earliest result waits.
size_t OwnWindow(unsigned nWorkers) { return 128 * nWorkers + 256; }

// Results held for their digests go on once their bodies take this many bytes (in the cache still
// when hashed), or once the first has waited this long, asked every few results (as a worker
// sends its group).
constexpr size_t kDigestBytes = 256u << 10;
constexpr uint32_t kDigestMs = 50;
constexpr size_t kDigestClockEvery = 16;
// And once this many are held, whatever the clock says (a fast run of files without macros).
constexpr size_t kDigestMostHeld = 1024;

bool IsDirectory(const std::string& sPath) {
  EntryInfo info;
  return StatEntry(nullptr, sPath, true, &info, nullptr) && info.type == EntryType::kDirectory;
}

}  // namespace

Session::Session(const ZmApi& api, const ScanOptions& scan, SessionOptions options, Emit emit)
    : m_options(std::move(options)),
      m_emit(std::move(emit)),
      m_scanner(api, scan),
      m_seen(m_options.walk, m_options.bManyRoots),
      m_walker(m_options.walk, [this](WalkItem&& item) {
        if (m_options.interrupted && m_options.interrupted()) {
          m_bInterrupted = true;
          return m_walker.Stop();
        }
        switch (item.kind) {
          case WalkItem::kFile:
            return Take(std::move(item.ref), std::move(item.sPath));
          case WalkItem::kSkipped:
            return AddResult(ResultOf(item.sPath, Outcome::kSkipped, item.sReason));
          case WalkItem::kError:
            return AddResult(ResultOf(item.sPath, Outcome::kError, item.sReason));
        }
      }) {
  if (m_options.pSharedPool)
    m_pOrdered = std::make_unique<OrderedResults>(m_options.pSharedPool, m_options.nWindow,
                                                  [this](const FileResult& r) { Deliver(r); });
  if (m_options.nReadAhead > 0) m_pReadAhead = std::make_unique<HeadReadAhead>();
  m_bQueueDigests = InProcess() && scan.macros != MacroDetail::kNone;
  if (m_bQueueDigests) m_scanner.QueueDigests(&m_digests);
}

Session::~Session() {
  // Results still to come would fill slots of a window that is going.
  if (m_pOrdered) m_pOrdered->Flush();
  m_pOrdered.reset();
  m_pOwnPool.reset();
  m_pGuard.reset();
}

void Session::Notes() {
  if (!m_pOwnPool) return;
  for (const std::string& s : m_pOwnPool->Notes())
    if (m_options.note) m_options.note(s);
}

// The filter between a scan and the caller: nothing after a stop, and each file once (by its
// identity, once it was opened).
bool Session::Admit(const FileResult& r) {
  Notes();
  return !m_bStopped && (r.nLinks == 0 || m_seen.FirstTime(r.id, r.nLinks));
}

void Session::Deliver(const FileResult& r) {
  if (!Admit(r)) return;
  if (!m_bQueueDigests || (m_digestHeld.empty() && !HasQueuedDigests(r))) return m_emit(r);
  HoldForDigests(FileResult(r));
}

void Session::Deliver(FileResult&& r) {
  if (!Admit(r)) return;
  if (!m_bQueueDigests || (m_digestHeld.empty() && !HasQueuedDigests(r))) return m_emit(r);
  HoldForDigests(std::move(r));
}

void Session::HoldForDigests(FileResult&& r) {
  if (m_digestHeld.empty()) m_tFirstHeld = MonotonicMs();
  m_digestHeld.push_back(std::move(r));
  if (m_digests.Bytes() >= kDigestBytes || m_digestHeld.size() >= kDigestMostHeld ||
      (m_digestHeld.size() % kDigestClockEvery == 0 && MonotonicMs() - m_tFirstHeld >= kDigestMs))
    EmitDigested();
}

void Session::EmitDigested() {
  if (m_digestHeld.empty() || m_bEmitting) return;
  m_bEmitting = true;
  const auto digests = m_digests.Make();
  // Emitted from a vector of their own (the caller may stop the session on one of them), whose
  // room is kept for the next.
  m_digestEmitting.swap(m_digestHeld);
  for (FileResult& r : m_digestEmitting) {
    if (m_bStopped) break;
    FillDigests(digests, &r);
    m_emit(r);
  }
  m_digestEmitting.clear();
  m_bEmitting = false;
}

FileResult Session::ScanHere(File* pOpen, const FileRef& ref, std::string sPath) {
  std::lock_guard<std::mutex> lock(m_scanLock);
  return pOpen ? m_scanner.Scan(*pOpen, std::move(sPath))
               : m_scanner.ScanRef(ref, std::move(sPath));
}

void Session::StartPool() {
  m_pGuard = std::make_unique<InterruptGuard>();
  PoolOptions pool = m_options.pool;
  pool.bStartAtOnce = true;
  // The last worker that cannot start leaves its files to this process.
  pool.inProcess = [this](File* pOpen, const FileRef& ref, std::string sPath) {
    return ScanHere(pOpen, ref, std::move(sPath));
  };
  m_pOwnPool = std::make_unique<Pool>(pool);
  m_pOrdered = std::make_unique<OrderedResults>(m_pOwnPool.get(), OwnWindow(pool.nWorkers),
                                                [this](const FileResult& r) { Deliver(r); });
  if (m_idleWake) m_pOrdered->SetIdleWake(m_idleWake);
  std::vector<Held> held;
  held.swap(m_held);
  for (Held& h : held) {
    if (h.kind == Held::kOpen)
      m_pOrdered->AddFile(std::move(h.file), std::move(h.r.sPath));
    else if (h.kind == Held::kRef)
      m_pOrdered->AddRef(std::move(h.ref), std::move(h.r.sPath));
    else
      m_pOrdered->AddResult(std::move(h.r));
  }
}

// Every file of the session comes here once, as the walk meets it. While heads are read ahead, it
// waits in line behind the files met before it, its head asked for, until nReadAhead files have
// come after it; on a warm tree it goes straight on.
void Session::Take(FileRef&& ref, std::string sPath) {
  if (m_pReadAhead) m_pReadAhead->Ask(ref);
  if (!m_pReadAhead || !m_pReadAhead->Reading()) {
    HandOnAhead(0);
    return HandOn(std::move(ref), std::move(sPath));
  }
  m_ahead.push_back({File(), std::move(ref), ResultOf(sPath, Outcome::kOk, ""), Held::kRef});
  ++m_nFilesAhead;
  // Files in line hold their directories open: past the room there is for them, the line goes on,
  // or the walk could not open its next directory.
  HandOnAhead(HeldDescriptors() > m_options.nHeldBudget ? 0 : m_options.nReadAhead);
}

// What waits in line goes on, until nKeep files are left in it (a result goes as soon as no file
// is before it).
void Session::HandOnAhead(size_t nKeep) {
  while (!m_ahead.empty() && (m_nFilesAhead > nKeep || m_ahead.front().kind == Held::kResult)) {
    Held h = std::move(m_ahead.front());
    m_ahead.pop_front();
    if (h.kind == Held::kResult) {
      HandOnResult(std::move(h.r));
    } else {
      --m_nFilesAhead;
      HandOn(std::move(h.ref), std::move(h.r.sPath));
    }
  }
}

// A file in its turn: scanned here, handed to the pool, or held until the pool starts.
void Session::HandOn(FileRef&& ref, std::string sPath) {
  if (InProcess()) return Deliver(ScanHere(nullptr, ref, std::move(sPath)));
  File opened;
  if (!ref.pDir) {
    std::string sWhy;
    if (!OpenRef(ref, &opened, &sWhy)) return HandOnResult(NotOpened(sPath, sWhy));
  }
  if (m_pOrdered) {
    // Files in flight hold descriptors (their own, or their directory's): within the room there
    // is for them, or the walk could not open its next directory.
    if (HeldDescriptors() > m_options.nHeldBudget) m_pOrdered->Flush();
    if (opened.IsOpen()) return m_pOrdered->AddFile(std::move(opened), std::move(sPath));
    return m_pOrdered->AddRef(std::move(ref), std::move(sPath));
  }
  // A run of one file scans it here without starting any worker: what is held begins with the
  // first file, so anything held means this is the second.
  const bool bSecond = !m_held.empty();
  const auto kind = opened.IsOpen() ? Held::kOpen : Held::kRef;
  m_held.push_back({std::move(opened), std::move(ref), ResultOf(sPath, Outcome::kOk, ""), kind});
  if (bSecond) StartPool();
}

void Session::AddPath(const std::string& sPath) {
  if (m_bStopped) return;
  // A directory will most likely hand on many files: the workers start now, and are ready by the
  // time the walk has read it.
  if (!m_pOrdered && !InProcess() && IsDirectory(sPath)) StartPool();
  m_walker.Add(sPath);
}

void Session::AddNamedFile(const std::string& sPath) {
  FileRef ref;
  ref.sName = sPath;
  ref.bFollow = true;
  Take(std::move(ref), sPath);
}

void Session::AddResult(FileResult&& r) {
  if (!m_ahead.empty()) return m_ahead.push_back({File(), FileRef(), std::move(r), Held::kResult});
  HandOnResult(std::move(r));
}

void Session::HandOnResult(FileResult&& r) {
  if (m_pOrdered) return m_pOrdered->AddResult(std::move(r));
  if (!m_held.empty()) return m_held.push_back({File(), FileRef(), std::move(r), Held::kResult});
  Deliver(std::move(r));
}

void Session::AddScannedHere(const File& f, const std::string& sPath) {
  std::unique_lock<std::mutex> lock(m_scanLock);
  FileResult r = m_scanner.Scan(f, sPath);
  lock.unlock();
  AddResult(std::move(r));
}

void Session::Flush() {
  HandOnAhead(0);
  // A run of one file scans it here, unless it is a container this build opens: archives and
  // mail are opened in a worker, so that a decoder's crash or hang costs that file alone
  // (--file-timeout holds).
  if (!m_pOrdered && !InProcess() && std::any_of(m_held.begin(), m_held.end(), [](const Held& h) {
        return h.kind == Held::kOpen && container::Supported(ContainerKindOf(h.file));
      }))
    StartPool();
  if (m_pOrdered) {
    m_pOrdered->Flush();
    return Notes();
  }
  std::vector<Held> held;
  held.swap(m_held);
  for (Held& h : held) {
    if (h.kind == Held::kOpen)
      Deliver(ScanHere(&h.file, FileRef(), std::move(h.r.sPath)));
    else if (h.kind == Held::kRef)
      Deliver(ScanHere(nullptr, h.ref, std::move(h.r.sPath)));
    else
      Deliver(std::move(h.r));
  }
  EmitDigested();
}

void Session::EmitAvailable() {
  HandOnAhead(0);  // the files in line go on: their results come while the caller waits
  if (!m_pOrdered) return Flush();
  m_pOrdered->EmitAvailable();
}

void Session::SetIdleWake(std::function<void()> wake) {
  m_idleWake = wake;  // for a pool that starts while the caller waits (files in line handed on)
  if (m_pOrdered) m_pOrdered->SetIdleWake(std::move(wake));
}

void Session::Stop(const std::string& sReason) {
  m_bStopped = true;
  if (!m_bEmitting) m_digestHeld.clear();
  m_walker.Stop();
  m_ahead.clear();
  m_nFilesAhead = 0;
  if (m_pOwnPool) m_pOwnPool->Cancel(sReason);
}

}  // namespace zm
