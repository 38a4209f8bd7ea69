// A service's process: stop requests and log reopening by signal (or a console's events), detaching
// from the terminal, a private directory with the files that hold streamed data, and where the
// system has a service manager (Windows), running under it, installed in it, and its log. One file
// per platform (service_posix.cpp, service_win32.cpp), picked by CMake.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fsys.h"

namespace zm {

// Stop requests (SIGTERM, SIGINT, a console's Ctrl-C or close, RequestStop) and log reopening
// (SIGHUP) reach every wait of socket.h; SIGPIPE is ignored, so a client that went away is only a
// failed send. False with the reason when what carries them cannot be made.
bool InstallSignalHandlers(std::string* psError);
void RequestStop();  // from any thread
bool StopRequested();
// What a wait watches for them: the stop (once set, seen by every wait from then on) and the
// reopening (drained by the wait that takes it). A descriptor on POSIX, an event handle on
// Windows (no reopening there: -1).
intptr_t StopWaitable();
intptr_t ReopenWaitable();
void TakeReopen();

// A directory only this user can enter, for the stream files; removed with what it holds.
bool MakePrivateDirectory(std::string* psPath, std::string* psError);
void RemovePrivateDirectory(const std::string& sPath);

// One stream's data on disk, readable only by this user, gone when the object goes (POSIX:
// unlinked at once, living on as an open descriptor, so gone even after a crash).
class StreamFile {
 public:
  struct Impl;
  StreamFile();
  ~StreamFile();
  StreamFile(const StreamFile&) = delete;
  StreamFile& operator=(const StreamFile&) = delete;

  bool Create(const std::string& sDirectory, std::string* psError);
  bool Write(const char* pb, size_t cb, std::string* psError);
  // The data written, as an open file for the pool; the path by which a worker that cannot be
  // handed a descriptor opens it.
  bool Finish(File* pFile, std::string* psPath, std::string* psError);

 private:
  std::unique_ptr<Impl> m_p;
};

// Continues in a child process without a terminal, the parent exiting with status 0; false with
// the reason where that cannot be done (the daemon then stays in the foreground).
bool Detach(std::string* psError);
long ProcessId();

// Where a service that is not told otherwise finds its configuration file sName: /etc/ on POSIX;
// on Windows beside the executable when it is there, else in %ProgramData%\zebmacro\.
std::string DefaultConfigFile(const std::string& sName);

// The system's service manager (Windows' services; POSIX has none here: a daemon detaches, or a
// supervisor runs it in the foreground). RunService connects this process, which the manager
// started, as the service sName: it is reported starting, serve runs on the service's own thread
// and calls its argument once it serves (reported running), and what serve returns is its exit
// status (reported stopped, a non-zero one as the service's own error code). A stop or shutdown
// control is a stop request (RequestStop). True once the service has stopped, with serve's
// status in *piExit; false with the reason when no manager is there to connect to.
using ServeFunction = std::function<int(const std::function<void()>& ready)>;
bool RunService(const std::string& sName, const ServeFunction& serve, int* piExit,
                std::string* psError);
// True while RunService runs: there is no console, and messages go to SystemLog.
bool InService();
enum class LogLevel { kInformation, kWarning, kError };
// One line for the system's log, as the service sName (Windows' Application event log; on POSIX,
// standard error, which a supervisor keeps).
void SystemLog(const std::string& sName, LogLevel level, const std::string& sLine);
// Installs the service sName, started at boot under the system's own account with this
// executable and args, its description shown by the manager, and its event log source; removes
// it (stopped first, when it runs). False with the system's reason (not an administrator: "Access
// is denied"; on POSIX: none here).
bool InstallService(const std::string& sName, const std::string& sDescription,
                    const std::vector<std::string>& args, std::string* psError);
bool UninstallService(const std::string& sName, std::string* psError);

}  // namespace zm
