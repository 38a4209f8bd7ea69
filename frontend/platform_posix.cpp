// zebscan's platform calls on POSIX: isatty, mkstemp, and the case-sensitive name lookup.
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "platform.h"
#include "textutil.h"

namespace zebscan {
namespace {

const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};
char g_szInterruptPath[260];

void OnInterrupt(int iSignal) {
  if (g_szInterruptPath[0] != '\0') unlink(g_szInterruptPath);  // async-signal-safe
  signal(iSignal, SIG_DFL);
  raise(iSignal);
}

}  // namespace

void RemoveOnInterrupt(const std::string& sPath) {
  g_szInterruptPath[0] = '\0';
  if (sPath.empty() || sPath.size() >= sizeof g_szInterruptPath) return;
  std::memcpy(g_szInterruptPath, sPath.c_str(), sPath.size() + 1);
  for (int iSignal : kInterrupts) {
    struct sigaction sa = {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(iSignal, &sa, nullptr);
  }
}

const char* PathSeparators() { return "/"; }

std::string ExecutableDirectory() {
  char sz[4096];
  ssize_t n = readlink("/proc/self/exe", sz, sizeof sz - 1);
  if (n <= 0) return {};
  std::string s(sz, static_cast<size_t>(n));
  return s.substr(0, s.rfind('/') + 1);
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

std::string MakeTempFile() {
  const char* szDir = getenv("TMPDIR");
  std::string sTemplate = std::string(szDir && *szDir ? szDir : "/tmp") + "/zebscan-XXXXXX";
  std::vector<char> ab(sTemplate.begin(), sTemplate.end());
  ab.push_back('\0');
  // Interrupts wait until the file is known to their handler.
  sigset_t block, old;
  sigemptyset(&block);
  for (int iSignal : kInterrupts) sigaddset(&block, iSignal);
  sigprocmask(SIG_BLOCK, &block, &old);
  int fd = mkstemp(ab.data());
  if (fd >= 0) {
    close(fd);
    RemoveOnInterrupt(ab.data());
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return fd < 0 ? std::string() : std::string(ab.data());
}

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
        if (bFile) itDir->second.emplace(AsciiUpper(e->d_name), e->d_name);
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

}  // namespace zebscan
