// Worker processes on POSIX: posix_spawn of the executable with one end of a socket pair as its
// descriptor 3, files passed as SCM_RIGHTS, poll for the time limits, waitpid to reap.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <new>

#include "fdpass.h"
#include "platform.h"
#include "proc.h"

extern char** environ;

namespace zm {
namespace {

constexpr int kChannelFd = 3;   // the worker's end of the channel
constexpr int kProgressFd = 4;  // the memory of its progress marks
constexpr uint32_t kMaxMessage = 1u << 24;

std::string Frame(const std::string& s) {
  uint32_t n = static_cast<uint32_t>(s.size());
  std::string r(4, '\0');
  for (int i = 0; i < 4; ++i) r[i] = static_cast<char>(n >> (8 * i));
  return r + s;
}

// Takes one framed message off the front of *pBuffer: 1 taken, 0 not whole yet, -1 too long.
int TakeMessage(std::string* pBuffer, std::string* ps) {
  if (pBuffer->size() < 4) return 0;
  uint32_t cb = 0;
  for (int i = 0; i < 4; ++i)
    cb |= static_cast<uint32_t>(static_cast<unsigned char>((*pBuffer)[i])) << (8 * i);
  if (cb > kMaxMessage) return -1;
  if (pBuffer->size() - 4 < cb) return 0;
  ps->assign(*pBuffer, 4, cb);
  pBuffer->erase(0, 4 + cb);
  return 1;
}

// Reads one framed message, keeping what arrives beyond it in *pBuffer for the next call (a busy
// worker's results come many to a read). iTimeoutMs < 0: no limit. 1 read, 0 timed out, -1 ended.
int ReadMessage(int sock, std::string* pBuffer, std::string* ps, std::vector<int>* pfds,
                int iTimeoutMs) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
  char ab[65536];
  for (;;) {
    int r = TakeMessage(pBuffer, ps);
    if (r != 0) return r;
    if (iTimeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p = {sock, POLLIN, 0};
      int n = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) return 0;
    }
    // A read never runs past data that carries descriptors (the kernel stops there), so the
    // descriptors read belong to the message being taken.
    ssize_t n = ReceiveWithDescriptors(sock, ab, sizeof ab, pfds);
    if (n <= 0) return -1;
    pBuffer->append(ab, static_cast<size_t>(n));
  }
}

int g_parentChannel = -1;
std::string g_parentBuffer;
WorkerProgress* g_pParentProgress = nullptr;

// A descriptor moved above the worker's numbers (0 to kProgressFd), so that a dup2 onto one of
// them never meets another that is still to be moved; -1 with errno when there is no room.
int AboveWorkerFds(int fd) {
  constexpr int kFloor = kProgressFd + 1;
  if (fd < 0 || fd >= kFloor) return fd;
  int r = fcntl(fd, F_DUPFD_CLOEXEC, kFloor);
  int iErr = errno == EINVAL ? EMFILE : errno;  // EINVAL: the limit is below kFloor
  close(fd);
  errno = iErr;
  return r;
}

}  // namespace

struct Child::Impl {
  pid_t pid = -1;
  int sock = -1;
  std::string buffer;  // bytes read beyond the last message
  WorkerProgress* pProgress = nullptr;
  ~Impl() {
    if (pProgress) munmap(pProgress, sizeof *pProgress);
  }
};

uint32_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

const WorkerProgress& Child::Progress() const { return *m_p->pProgress; }

Child::Child() : m_p(new Impl) {}
Child::~Child() {
  if (Running()) Stop(true);
}

bool Child::Running() const { return m_p->pid > 0; }

bool Child::Start(const std::string& sExecutable, const std::vector<std::string>& args,
                  std::string* psError) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    if (psError) *psError = strerror(errno);
    return false;
  }
  // The progress marks: a page of memory both processes map. The first failure's cause is the
  // one reported.
  int iErr = 0;
  int fdProgress = AboveWorkerFds(memfd_create("zebscan-progress", MFD_CLOEXEC));
  if (fdProgress < 0) iErr = errno;
  void* pv = MAP_FAILED;
  if (fdProgress >= 0 && ftruncate(fdProgress, sizeof(WorkerProgress)) != 0) iErr = errno;
  if (fdProgress >= 0 && iErr == 0) {
    pv = mmap(nullptr, sizeof(WorkerProgress), PROT_READ | PROT_WRITE, MAP_SHARED, fdProgress, 0);
    if (pv == MAP_FAILED) iErr = errno;
  }
  // dup2 onto the worker's numbers clears close-on-exec only when the numbers differ.
  sv[1] = AboveWorkerFds(sv[1]);
  if (sv[1] < 0 && iErr == 0) iErr = errno;
  if (iErr != 0) {
    if (psError) *psError = strerror(iErr);
    if (pv != MAP_FAILED) munmap(pv, sizeof(WorkerProgress));
    for (int fd : {sv[0], sv[1], fdProgress})
      if (fd >= 0) close(fd);
    return false;
  }
  if (m_p->pProgress) munmap(m_p->pProgress, sizeof(WorkerProgress));
  m_p->pProgress = new (pv) WorkerProgress{{0}, {0}, {0}};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, sv[1], kChannelFd);
  posix_spawn_file_actions_adddup2(&fa, fdProgress, kProgressFd);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(sExecutable.c_str()));
  for (const std::string& s : args) argv.push_back(const_cast<char*>(s.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int r = posix_spawn(&pid, sExecutable.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(sv[1]);
  close(fdProgress);
  if (r != 0) {
    close(sv[0]);
    if (psError) *psError = strerror(r);
    return false;
  }
  WatchChild(pid);
  m_p->pid = pid;
  m_p->sock = sv[0];
  m_p->buffer.clear();
  return true;
}

bool Child::Send(const std::string& sMessage, const std::vector<int>& fds) {
  std::string s = Frame(sMessage);
  return m_p->sock >= 0 && SendWithDescriptors(m_p->sock, s.data(), s.size(), fds);
}

int Child::Receive(std::string* psMessage, int iTimeoutMs) {
  if (m_p->sock < 0) return -1;
  return ReadMessage(m_p->sock, &m_p->buffer, psMessage, nullptr, iTimeoutMs);
}

std::string Child::Stop(bool bKill) {
  if (m_p->pid <= 0) return "not running";
  if (bKill) kill(m_p->pid, SIGKILL);
  if (m_p->sock >= 0) close(m_p->sock);  // a worker waiting for work sees the end
  m_p->sock = -1;
  int status = 0;
  pid_t r;
  do r = waitpid(m_p->pid, &status, 0);
  while (r < 0 && errno == EINTR);
  UnwatchChild(m_p->pid);
  m_p->pid = -1;
  if (r < 0) return strerror(errno);
  if (WIFSIGNALED(status))
    return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  return "exited with status " + std::to_string(WEXITSTATUS(status));
}

bool OpenParentChannel(const std::string& sChannel, const std::string& sProgress) {
  if (sChannel != std::to_string(kChannelFd) || sProgress != std::to_string(kProgressFd))
    return false;
  void* pv =
      mmap(nullptr, sizeof(WorkerProgress), PROT_READ | PROT_WRITE, MAP_SHARED, kProgressFd, 0);
  close(kProgressFd);
  if (pv == MAP_FAILED) return false;
  g_pParentProgress = static_cast<WorkerProgress*>(pv);
  g_parentChannel = kChannelFd;
  fcntl(g_parentChannel, F_SETFD, FD_CLOEXEC);
  return true;
}

WorkerProgress* ParentProgress() { return g_pParentProgress; }

bool ReceiveFromParent(std::string* psMessage, std::vector<int>* pfds) {
  pfds->clear();
  if (ReadMessage(g_parentChannel, &g_parentBuffer, psMessage, pfds, -1) == 1) return true;
  for (int fd : *pfds) close(fd);
  pfds->clear();
  return false;
}

bool SendToParent(const std::string& sMessage) {
  std::string s = Frame(sMessage);
  return SendWithDescriptors(g_parentChannel, s.data(), s.size(), {});
}

}  // namespace zm
