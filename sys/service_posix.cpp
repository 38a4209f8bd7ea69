// A service's process on POSIX: a self-pipe for each signal kind (stop, reopen) that every poll
// of the sockets watches, mkdtemp for the private directory, fork and setsid to detach.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "service.h"

namespace zm {
namespace {

// Stop: written once, never drained, so every poll that watches it sees it from then on.
int g_stopPipe[2] = {-1, -1};
int g_reopenPipe[2] = {-1, -1};
std::atomic<bool> g_bStop{false};

bool Fail(std::string* psError, const std::string& sWhat) {
  if (psError) *psError = sWhat + ": " + strerror(errno);
  return false;
}

void OnStop(int) {
  g_bStop = true;
  int iErr = errno;
  if (write(g_stopPipe[1], "s", 1) < 0) {
  }
  errno = iErr;
}

void OnReopen(int) {
  int iErr = errno;
  if (write(g_reopenPipe[1], "r", 1) < 0) {
  }
  errno = iErr;
}

bool MakePipe(int fds[2]) { return pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0; }

}  // namespace

bool InstallSignalHandlers(std::string* psError) {
  if (g_stopPipe[0] < 0 && (!MakePipe(g_stopPipe) || !MakePipe(g_reopenPipe)))
    return Fail(psError, "pipe");
  struct sigaction sa = {};
  sigemptyset(&sa.sa_mask);
  sa.sa_handler = OnStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sa.sa_handler = OnReopen;
  sa.sa_flags = SA_RESTART;
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

void RequestStop() { OnStop(0); }
bool StopRequested() { return g_bStop; }
intptr_t StopWaitable() { return g_stopPipe[0]; }
intptr_t ReopenWaitable() { return g_reopenPipe[0]; }

void TakeReopen() {
  char ab[64];
  while (read(g_reopenPipe[0], ab, sizeof ab) > 0) {
  }
}

bool MakePrivateDirectory(std::string* psPath, std::string* psError) {
  const char* szTmp = getenv("TMPDIR");
  std::string s = std::string(szTmp && *szTmp ? szTmp : "/tmp") + "/zebmacrod-XXXXXX";
  std::vector<char> ab(s.begin(), s.end());
  ab.push_back('\0');
  if (mkdtemp(ab.data()) == nullptr) return Fail(psError, "the private directory " + s);
  *psPath = ab.data();  // mkdtemp makes it 0700
  return true;
}

void RemovePrivateDirectory(const std::string& sPath) {
  if (sPath.empty()) return;
  // Stream files are unlinked as they are made: only a crash between the two leaves one.
  if (DIR* p = opendir(sPath.c_str())) {
    while (dirent* e = readdir(p))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
        unlink((sPath + "/" + e->d_name).c_str());
    closedir(p);
  }
  rmdir(sPath.c_str());
}

struct StreamFile::Impl {
  int fd = -1;
  ~Impl() {
    if (fd >= 0) close(fd);
  }
};

StreamFile::StreamFile() : m_p(new Impl) {}
StreamFile::~StreamFile() = default;

bool StreamFile::Create(const std::string& sDirectory, std::string* psError) {
  static std::atomic<unsigned> s_n{0};
  std::string sPath = sDirectory + "/stream-" + std::to_string(++s_n);
  m_p->fd = open(sPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (m_p->fd < 0) return Fail(psError, "Cannot make a file for the stream");
  unlink(sPath.c_str());  // from now on it is only the open descriptor: nothing to remove later
  return true;
}

bool StreamFile::Write(const char* pb, size_t cb, std::string* psError) {
  while (cb > 0) {
    ssize_t n = write(m_p->fd, pb, cb);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(psError, "Cannot store the stream");
    pb += n;
    cb -= static_cast<size_t>(n);
  }
  return true;
}

bool StreamFile::Finish(File* pFile, std::string* psPath, std::string* psError) {
  int fd = fcntl(m_p->fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return Fail(psError, "Cannot read the stream back");
  *psPath = "stream";
  return FileFromFd(fd, pFile, psError);
}

bool Detach(std::string* psError) {
  pid_t pid = fork();
  if (pid < 0) return Fail(psError, "fork");
  if (pid > 0) _exit(0);
  setsid();
  if (chdir("/") != 0) {
  }
  int fd = open("/dev/null", O_RDWR);
  if (fd >= 0) {
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2) close(fd);
  }
  return true;
}

long ProcessId() { return static_cast<long>(getpid()); }

std::string DefaultConfigFile(const std::string& sName) { return "/etc/" + sName; }

namespace {
constexpr char kNoManager[] =
    "no service manager here: run it as a daemon, or in the foreground under a supervisor";
}  // namespace

bool RunService(const std::string&, const ServeFunction&, int*, std::string* psError) {
  *psError = kNoManager;
  return false;
}

bool InService() { return false; }

void SystemLog(const std::string& sName, LogLevel, const std::string& sLine) {
  std::fprintf(stderr, "%s: %s\n", sName.c_str(), sLine.c_str());
}

bool InstallService(const std::string&, const std::string&, const std::vector<std::string>&,
                    std::string* psError) {
  *psError = kNoManager;
  return false;
}

bool UninstallService(const std::string&, std::string* psError) {
  *psError = kNoManager;
  return false;
}

}  // namespace zm
