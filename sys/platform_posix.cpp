// The front ends' platform calls on POSIX: isatty, fstat, sched_getaffinity, the limits, mkstemp
// with its interrupt watch, zebscan's inputs and log, and the case-sensitive name lookup of the
// library's list file.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform.h"

namespace zm {
namespace {

const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kInterruptCount = sizeof kInterrupts / sizeof kInterrupts[0];
constexpr int kChildSlots = 1024;
// Temporary files that an interrupt removes: a library walk's list and a copy of stdin at once.
constexpr int kTempSlots = 4;
char g_aszInterruptPaths[kTempSlots][4096];
std::atomic<bool> g_abSlotTaken[kTempSlots];
std::atomic<pid_t> g_aChildren[kChildSlots];
struct sigaction g_aOld[kInterruptCount];
int g_nGuards = 0;  // changed with the interrupts blocked

void OnInterrupt(int iSignal) {
  for (const char* sz : g_aszInterruptPaths)
    if (sz[0] != '\0') unlink(sz);  // async-signal-safe
  for (auto& child : g_aChildren) {
    pid_t pid = child.load();
    if (pid > 0) kill(pid, SIGKILL);
  }
  signal(iSignal, SIG_DFL);
  raise(iSignal);
}

// Blocks the interrupts for the life of the object, so the watch changes as one step.
struct BlockInterrupts {
  sigset_t old;
  BlockInterrupts() {
    sigset_t block;
    sigemptyset(&block);
    for (int iSignal : kInterrupts) sigaddset(&block, iSignal);
    pthread_sigmask(SIG_BLOCK, &block, &old);
  }
  ~BlockInterrupts() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
};

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

const char* PathSeparators() { return "/"; }

std::string ExecutablePath() {
  char sz[4096];
  ssize_t n = readlink("/proc/self/exe", sz, sizeof sz - 1);
  return n <= 0 ? std::string() : std::string(sz, static_cast<size_t>(n));
}

std::string ProgramFileName(const std::string& sName) { return sName; }

std::string ExecutableDirectory() {
  std::string s = ExecutablePath();
  return s.empty() ? s : s.substr(0, s.rfind('/') + 1);
}

bool IsTerminal(std::FILE* p) { return isatty(fileno(p)) == 1; }

bool SameFile(std::FILE* pA, std::FILE* pB) {
  struct stat a, b;
  return fstat(fileno(pA), &a) == 0 && fstat(fileno(pB), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// glibc buffers a stream that is no terminal already.
void SetUpStandardOutput() {}

bool WriteText(std::FILE* p, const std::string& s) {
  return std::fwrite(s.data(), 1, s.size(), p) == s.size() && !std::ferror(p);
}

std::string PlatformLineEnds(const std::string& s) { return s; }

unsigned UsableCores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

namespace {

// Entries of a /proc directory that are numbers (processes, descriptors), each given to f.
template <typename F>
bool ForEachNumber(const char* szDir, F f) {
  DIR* p = opendir(szDir);
  if (p == nullptr) return false;
  while (dirent* e = readdir(p))
    if (e->d_name[0] >= '0' && e->d_name[0] <= '9') f(e->d_name);
  closedir(p);
  return true;
}

// Tasks (processes and their threads) whose real user is uid, as RLIMIT_NPROC counts them.
size_t TasksOfUser(uid_t uid) {
  size_t n = 0;
  ForEachNumber("/proc", [&](const char* szPid) {
    std::string sStatus = std::string("/proc/") + szPid + "/status";
    FILE* f = fopen(sStatus.c_str(), "re");
    if (f == nullptr) return;
    char sz[256];
    bool bMine = false;
    while (fgets(sz, sizeof sz, f)) {
      unsigned long v = 0;
      if (std::sscanf(sz, "Uid: %lu", &v) == 1) bMine = v == uid;
      if (std::sscanf(sz, "Threads: %lu", &v) == 1 && bMine) n += v;
    }
    fclose(f);
  });
  return n;
}

}  // namespace

ProcessRoom RoomToGrow() {
  ProcessRoom room;
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
    // Raised as far as the kernel takes (its own ceiling, nr_open, is 2^20 by default).
    if (rl.rlim_cur < rl.rlim_max) {
      rlimit up = rl;
      up.rlim_cur = std::min<rlim_t>(rl.rlim_max, 1 << 20);
      if (setrlimit(RLIMIT_NOFILE, &up) == 0) rl = up;
    }
    room.nFileLimit = rl.rlim_cur;
    size_t nOpen = 0;
    if (ForEachNumber("/proc/self/fd", [&](const char*) { ++nOpen; }))
      nOpen = nOpen > 0 ? nOpen - 1 : 0;  // the listing's own
    else
      nOpen = 16;  // a guess: the standard three and a few the run opened
    room.nFilesFree = room.nFileLimit > nOpen ? room.nFileLimit - nOpen : 0;
  }
  // Root is not held to RLIMIT_NPROC; others are counted only where the limit is near enough to
  // matter, since that reads every process's status.
  if (getrlimit(RLIMIT_NPROC, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && geteuid() != 0) {
    room.nTaskLimit = rl.rlim_cur;
    if (rl.rlim_cur < 65536) {
      size_t nTasks = TasksOfUser(getuid());
      room.nTasksFree = room.nTaskLimit > nTasks ? room.nTaskLimit - nTasks : 0;
    }
  }
  return room;
}

InterruptGuard::InterruptGuard() {
  BlockInterrupts block;
  if (g_nGuards++ > 0) return;
  for (int i = 0; i < kInterruptCount; ++i) {
    sigaction(kInterrupts[i], nullptr, &g_aOld[i]);
    if (g_aOld[i].sa_handler == SIG_IGN) continue;  // nohup, a background job: left as it is
    struct sigaction sa = {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(kInterrupts[i], &sa, nullptr);
  }
}

InterruptGuard::~InterruptGuard() {
  BlockInterrupts block;
  if (--g_nGuards > 0) return;
  for (int i = 0; i < kInterruptCount; ++i)
    if (g_aOld[i].sa_handler != SIG_IGN) sigaction(kInterrupts[i], &g_aOld[i], nullptr);
}

bool WatchChild(intptr_t child) {
  for (auto& slot : g_aChildren) {
    pid_t expected = 0;
    if (slot.compare_exchange_strong(expected, static_cast<pid_t>(child))) return true;
  }
  return false;
}

void UnwatchChild(intptr_t child) {
  for (auto& slot : g_aChildren) {
    pid_t expected = static_cast<pid_t>(child);
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

TempFile::TempFile() {
  const char* szDir = getenv("TMPDIR");
  std::string sTemplate = std::string(szDir && *szDir ? szDir : "/tmp") + "/zebscan-XXXXXX";
  if (sTemplate.size() >= sizeof g_aszInterruptPaths[0]) return;
  for (int i = 0; i < kTempSlots && m_iSlot < 0; ++i)
    if (!g_abSlotTaken[i].exchange(true)) m_iSlot = i;
  if (m_iSlot < 0) return;
  std::vector<char> ab(sTemplate.begin(), sTemplate.end());
  ab.push_back('\0');
  BlockInterrupts block;  // no interrupt before the file is known to the handler
  int fd = mkstemp(ab.data());
  if (fd < 0) {
    g_abSlotTaken[m_iSlot] = false;
    m_iSlot = -1;
    return;
  }
  close(fd);
  m_sPath = ab.data();
  std::memcpy(g_aszInterruptPaths[m_iSlot], ab.data(), ab.size());
}

TempFile::~TempFile() {
  if (m_sPath.empty()) return;
  unlink(m_sPath.c_str());  // while still watched
  BlockInterrupts block;
  g_aszInterruptPaths[m_iSlot][0] = '\0';
  g_abSlotTaken[m_iSlot] = false;
}

int OpenInput(const std::string& sPath, std::string* psError) {
  if (sPath == "-") return 0;
  int fd;
  do fd = open(sPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) *psError = std::strerror(errno);
  return fd;
}

bool IsRegularInput(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

long ReadInput(int fd, void* pv, size_t cb, std::string* psError) {
  ssize_t n;
  do n = read(fd, pv, cb);
  while (n < 0 && errno == EINTR);
  if (n < 0) *psError = std::strerror(errno);
  return static_cast<long>(n);
}

void CloseInput(int fd) {
  if (fd > 2) close(fd);
}

std::FILE* OpenAppend(const std::string& sPath, std::string* psError) {
  std::FILE* p = std::fopen(sPath.c_str(), "ae");
  if (p == nullptr) *psError = std::strerror(errno);
  return p;
}

void KeepFromChildren(std::FILE* p) { fcntl(fileno(p), F_SETFD, FD_CLOEXEC); }

namespace {

// The name as the library's walk lists it: 'a' to 'z' upper-cased, every other byte kept.
std::string ListedName(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

std::vector<std::string> ResolveListedPath(const std::string& line) {
  // Each directory is read once: its files by upper-cased name. A walk lists every file of a
  // directory, so reading the directory again per line would cost its size squared.
  using Names = std::multimap<std::string, std::string>;  // upper-cased name -> name on disk
  static std::map<std::string, Names> s_dirs;
  size_t iSep = line.rfind('/');
  std::string sDir = iSep == std::string::npos ? "." : line.substr(0, iSep == 0 ? 1 : iSep);
  std::string sPrefix = iSep == std::string::npos ? "" : line.substr(0, iSep + 1);
  std::string sName = iSep == std::string::npos ? line : line.substr(iSep + 1);
  auto itDir = s_dirs.find(sDir);
  if (itDir == s_dirs.end()) {
    itDir = s_dirs.emplace(sDir, Names()).first;
    if (DIR* pDir = opendir(sDir.c_str())) {
      while (dirent* e = readdir(pDir)) {
        struct stat st;
        bool bFile = e->d_type == DT_REG ||
                     ((e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) &&
                      stat((sPrefix + e->d_name).c_str(), &st) == 0 && !S_ISDIR(st.st_mode));
        if (bFile) itDir->second.emplace(ListedName(e->d_name), e->d_name);
      }
      closedir(pDir);
    }
  }
  std::vector<std::string> aMatches;
  auto range = itDir->second.equal_range(sName);
  for (auto it = range.first; it != range.second; ++it) aMatches.push_back(sPrefix + it->second);
  std::sort(aMatches.begin(), aMatches.end());
  return aMatches;
}

}  // namespace zm
