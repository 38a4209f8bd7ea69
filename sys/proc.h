// Worker processes and the channel between a front end and each of them: length-prefixed
// messages over a socket pair (POSIX, where an open file travels along with a message) or a pipe
// (Windows, where the worker opens the file by its path). One file per platform (proc_posix.cpp,
// proc_win32.cpp), picked by CMake.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fdpass.h"

namespace zm {

// Where a worker is, in memory it shares with its parent: it marks each file as it starts it, so
// the parent can tell which file a worker that died or hangs was on, while results travel in
// groups. Times are MonotonicMs(), one clock for every process of the machine.
struct WorkerProgress {
  std::atomic<uint32_t> uBatch;    // the batch being worked on (the parent numbers them from 1)
  std::atomic<uint32_t> uIndex;    // the file of that batch being scanned
  std::atomic<uint32_t> uStartMs;  // when it was started
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "shared between processes");
uint32_t MonotonicMs();

// The parent's side of one worker.
class Child {
 public:
  struct Impl;
  Child();
  ~Child();  // ends and reaps a worker still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts sExecutable with args and a channel to it (the worker finds it with OpenParentChannel);
  // its standard input and output are the null device, its standard error is shared. Watched by
  // the interrupt handler until reaped. The cause of a failure in *psError, unless null.
  bool Start(const std::string& sExecutable, const std::vector<std::string>& args,
             std::string* psError);
  bool Running() const;
  // Sends one message; the descriptors (at most kMaxPassed) travel with it where the platform
  // passes them.
  bool Send(const std::string& sMessage, const std::vector<int>& fds);
  // One message: 1 received, 0 nothing within iTimeoutMs, -1 the channel ended (the worker died).
  int Receive(std::string* psMessage, int iTimeoutMs);
  // Ends the worker (killing it when bKill, else closing its channel and waiting), reaps it, and
  // says how it ended: "exited with status 0", "killed by signal 9", ...
  std::string Stop(bool bKill);
  // The worker's progress marks (valid while it runs).
  const WorkerProgress& Progress() const;

 private:
  std::unique_ptr<Impl> m_p;
};

// The worker's side: the channel and the progress marks its parent made, named by the arguments
// the parent passed (--zm-channel=, --zm-progress=), opened once.
bool OpenParentChannel(const std::string& sChannel, const std::string& sProgress);
WorkerProgress* ParentProgress();
// One message from the parent, blocking, with the descriptors that came with it. False when the
// parent has closed the channel.
bool ReceiveFromParent(std::string* psMessage, std::vector<int>* pfds);
bool SendToParent(const std::string& sMessage);

}  // namespace zm
