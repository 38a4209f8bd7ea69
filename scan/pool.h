// Every core at work: a pool of worker processes, each with its own copy of the library (whose
// state is per process and whose calls must not overlap), scanning the files it is handed and
// sending back each result in a compact form (wire.h). A worker that dies or runs past the time
// limit costs its file an ERROR line and is replaced; the run goes on. The parent's side: a thread
// per worker, and the fit of the workers to what the process may open and start.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fsys.h"
#include "proc.h"
#include "scanner.h"

namespace zm {

struct PoolOptions {
  unsigned nWorkers = 1;
  std::string sExecutable;  // the program that runs as a worker (RunAsWorker)
  std::string sLibrary;     // the library the workers load
  ScanOptions scan;         // how each document is scanned
  std::chrono::milliseconds fileTimeout{std::chrono::minutes(2)};
  // Every worker starts with the pool, to be ready when files come, rather than with the first
  // files it is given.
  bool bStartAtOnce = false;
  // Descriptors one batch passes at most: each is open in the worker while it works on the batch,
  // so a low limit on open files calls for fewer.
  size_t nMaxPassed = kMaxPassed;
  // Scans a file in this process: what the last worker that cannot start does with its files
  // (the file is open already, or opened through ref). None: such files are errors.
  std::function<FileResult(File* pOpen, const FileRef& ref, std::string sPath)> inProcess;
};

// What a worker's link saw of one batch: every result in, or the event that ended it early.
enum class LinkEvent : uint8_t {
  kReplied,       // every file of the batch answered
  kTimedOut,      // a file ran past the time limit; the worker was stopped
  kDied,          // the channel ended: the worker died or exited
  kDamaged,       // a reply that does not decode; the worker was stopped
  kNeverStarted,  // no worker took the batch: none could start, or the request could not be sent
};
struct LinkReport {
  LinkEvent event = LinkEvent::kReplied;
  size_t nDone = 0;        // results taken, in the batch's order, before the event
  bool bMarked = false;    // the worker marked a file of this batch as the one it is on
  size_t iMarked = 0;      // that file
  bool bAnswered = false;  // the worker had sent results (of this batch or of one before)
  std::string sError;      // the event, for the file that is charged with it
};
// Whom a batch's event is charged to and what is sent again. Files before nDone are answered;
// the rest go back to the queue, but for iBlamed, which is given the error.
struct BatchFate {
  static constexpr size_t kNoFile = SIZE_MAX;
  // No worker could take the files: none is to blame, and they go to other workers or are
  // scanned in this process.
  bool bNoWorker = false;
  size_t iBlamed = kNoFile;
};
BatchFate JudgeBatch(const LinkReport& report, size_t nBatch);

class Pool {
 public:
  using Done = std::function<void(FileResult&&)>;
  // Starts a thread per worker, as many as can be made (see Notes).
  explicit Pool(PoolOptions options);
  ~Pool();  // waits for the work queued, then ends every worker
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Queues one open file, or one that the worker opens itself (a walk's reference); done(result)
  // runs on a pool thread when its result is in, whatever happens to the worker. Without any
  // worker thread, done runs here, with the file scanned in this process or failed.
  void Submit(File&& file, std::string sPath, Done done);
  void Submit(FileRef ref, std::string sPath, Done done);
  // Drops the files still queued, each done with an error result.
  void Cancel(const std::string& sReason);
  // Files submitted whose results have not been given yet (queued, or with a worker).
  size_t InFlight() const { return m_nInFlight.load(std::memory_order_relaxed); }
  // What went wrong with threads and workers since the last call, once a kind, for the user:
  // "only 1 of 2 worker threads could be made (Resource temporarily unavailable)", ...
  std::vector<std::string> Notes();

 private:
  struct Job {
    File file;    // open already, or
    FileRef ref;  // to be opened by the worker
    std::string sPath;
    Done done;
  };
  void Enqueue(Job&& job);
  // Gives a job its result.
  void Answer(Job& job, FileResult&& r);
  // Waits for files and takes a batch of them into *pBatch; false when the pool closes.
  bool TakeBatch(std::vector<Job>* pBatch, size_t nMaxPassed);
  void Drive();
  // The files of a batch that no worker took, from nDone on: to the other workers while there
  // are any, else scanned here. False when the pool closed while this thread waited to try again.
  bool NoWorker(std::vector<Job>* pBatch, size_t nDone, const std::string& sError);
  // The blamed file's error, and the files not answered back to the queue.
  void Settle(std::vector<Job>* pBatch, size_t nDone, const BatchFate& fate,
              const std::string& sError);
  FileResult InProcess(Job& job, const std::string& sError);
  void Note(const std::string& s);
  void NoteLocked(const std::string& s);  // m_mutex held
  // The request for a batch, and the descriptors that go with it: each open file's, and each
  // directory's once (a worker opens the walk's files itself, through their directory).
  static std::string Request(uint32_t uBatch, const std::vector<Job>& batch,
                             std::vector<int>* pFds);

  PoolOptions m_options;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<Job> m_jobs;
  bool m_bClosing = false;
  std::vector<std::thread> m_threads;
  unsigned m_nLive = 0;    // threads taking files: one that cannot start its worker retires
  std::mutex m_inProcess;  // one caller of the library at a time in this process
  std::vector<std::string> m_notes;
  std::vector<std::string> m_noted;   // every note given, so each kind is given once
  std::atomic<bool> m_bNotes{false};  // m_notes holds some
  std::atomic<size_t> m_nInFlight{0};
};

// The workers that fit what a process may open and start. Each costs the parent a thread, its
// channel, and for a moment the descriptors that starting it takes; the worker process holds its
// own few and a batch's passed descriptors, under the same limit.
struct WorkerFit {
  unsigned nWorkers = 0;           // 0: none fits, scan in this process
  size_t nMaxPassed = kMaxPassed;  // descriptors one batch may pass
  size_t nHeldBudget = SIZE_MAX;   // descriptors the walk and the files in flight may hold here
  std::string sWhy;  // the limit that left room for fewer than asked for; empty when all fit
};
WorkerFit FitWorkers(unsigned nWanted, size_t nFileLimit, size_t nFilesFree, size_t nTaskLimit,
                     size_t nTasksFree);

}  // namespace zm
