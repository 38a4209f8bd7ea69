// One scan session, the glue that both front ends share: paths walked, their files scanned in this
// process or by a pool of workers, each result emitted in the order the walk met its file, and
// each file once. A session of zebscan starts its own pool when it proves worth it (at a run's
// second file, or a directory); one of zebmacrod shares the daemon's pool among its connections.
//
// Where later work plugs in: what a scan finds of a file (its members, its macros) travels in
// FileResult and its wire form, not here; Take() is the one place a walk's file is handed on (its
// head read ahead there, HeadReadAhead); a library caller gets results as they come through Emit,
// and a buffer scanned through AddScannedHere with a File made from the bytes (FileOfBytes).
#pragma once
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fsys.h"
#include "ordered.h"
#include "platform.h"
#include "pool.h"
#include "readahead.h"
#include "scanner.h"
#include "walk.h"
#include "zmapi.h"

namespace zm {

struct SessionOptions {
  WalkOptions walk;
  // The same file may be met again (several paths, a list of them): every file is remembered.
  bool bManyRoots = false;
  // Where files are scanned: pSharedPool (its nWindow results outstanding at most), or with
  // pool.nWorkers above 1 a pool of the session's own, or else in this process as they are met.
  Pool* pSharedPool = nullptr;
  size_t nWindow = 1;
  PoolOptions pool;
  // Descriptors the files in flight and in line may hold in this process (FitWorkers'
  // nHeldBudget): past it the line goes on and the session waits for results, so that the walk
  // can still open its next directory.
  size_t nHeldBudget = SIZE_MAX;
  // Checked before each entry of a walk: true ends the walk, which Interrupted() then tells.
  std::function<bool()> interrupted;
  // What went wrong with the pool's threads and workers, for the user, as it comes.
  std::function<void(const std::string&)> note;
  // Files whose heads are read ahead of their scan on a tree not in the system's cache
  // (HeadReadAhead): each file's head is asked for as it comes, and it waits in line until this
  // many have come after it. 0: none; a warm tree's files do not wait.
  size_t nReadAhead = 0;
};

class Session {
 public:
  using Emit = std::function<void(const FileResult&)>;
  // api and scan serve the scans made in this process.
  Session(const ZmApi& api, const ScanOptions& scan, SessionOptions options, Emit emit);
  // A session whose every file goes to options.pSharedPool.
  Session(SessionOptions options, Emit emit) : Session(ZmApi(), ScanOptions(), options, emit) {}
  ~Session();  // waits for what is still in flight; the session's own workers end
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // A path as the user gave it: a directory is walked, anything else is one file (opened here
  // when a pool scans it: it may name this process's own, /dev/stdin or /proc/self/fd/N).
  void AddPath(const std::string& sPath);
  // A file named by path, its final link followed (a line of the library's list).
  void AddNamedFile(const std::string& sPath);
  // A result known without a scan.
  void AddResult(FileResult&& r);
  // A file of this process's own (standard input's bytes), scanned here, reported in its place.
  void AddScannedHere(const File& f, const std::string& sPath);

  // Emits everything, waiting for what is outstanding.
  void Flush();
  // Emits what is done without waiting for a worker (with no pool yet, the files held are scanned
  // here). While a wake is set, it is called (on a pool thread) whenever results become ready, so
  // that a thread waiting for something else (the next path of a slow list) can emit them.
  void EmitAvailable();
  void SetIdleWake(std::function<void()> wake);
  // The walk under way looks at no further entry; what is in flight is still emitted.
  void StopWalk() { m_walker.Stop(); }
  // Ends the session early: the walk stops, nothing more is emitted, and files queued for a pool
  // of its own are answered with sReason.
  void Stop(const std::string& sReason);

  size_t DirectoriesWalked() const { return m_walker.DirectoriesWalked(); }
  bool Interrupted() const { return m_bInterrupted; }

 private:
  // A file or result waiting its turn, in order: met before the session's own pool started, or
  // in line while heads are read ahead.
  struct Held {
    File file;     // a file opened here, or
    FileRef ref;   // one to be opened by whoever scans it, or
    FileResult r;  // a result known already (r.sPath: the path of all three)
    enum { kOpen, kRef, kResult } kind;
  };
  bool InProcess() const { return !m_options.pSharedPool && m_options.pool.nWorkers <= 1; }
  void Take(FileRef&& ref, std::string sPath);
  void HandOn(FileRef&& ref, std::string sPath);
  void HandOnResult(FileResult&& r);
  void HandOnAhead(size_t nKeep);
  void StartPool();
  FileResult ScanHere(File* pOpen, const FileRef& ref, std::string sPath);
  bool Admit(const FileResult& r);
  void Deliver(const FileResult& r);
  void Deliver(FileResult&& r);
  void HoldForDigests(FileResult&& r);
  void EmitDigested();
  void Notes();

  SessionOptions m_options;
  Emit m_emit;
  Scanner m_scanner;      // scans made in this process
  std::mutex m_scanLock;  // one caller of the library at a time: this thread, or a pool's
  SeenFiles m_seen;
  Walker m_walker;
  std::vector<Held> m_held;
  // Read-ahead: files whose heads are being read, and the results met behind them, in order.
  std::unique_ptr<HeadReadAhead> m_pReadAhead;
  std::deque<Held> m_ahead;
  size_t m_nFilesAhead = 0;
  std::function<void()> m_idleWake;          // SetIdleWake's, kept for a pool that starts later
  std::unique_ptr<InterruptGuard> m_pGuard;  // the own pool's workers end with an interrupt
  std::unique_ptr<Pool> m_pOwnPool;
  std::unique_ptr<OrderedResults> m_pOrdered;
  bool m_bStopped = false;
  bool m_bInterrupted = false;
  // Scanning here with listings: the bodies' digests are made many at once, the results held
  // until then (in order: once one is held, all are).
  bool m_bQueueDigests = false;
  DigestQueue m_digests;
  std::vector<FileResult> m_digestHeld, m_digestEmitting;
  uint32_t m_tFirstHeld = 0;  // MonotonicMs() when the first of them came
  bool m_bEmitting = false;
};

}  // namespace zm
