// A service's process: stop requests and log reopening by signal (or a console's events), detaching
// from the terminal, a private directory with the files that hold streamed data. One file per
// platform (service_posix.cpp, service_win32.cpp), picked by CMake.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

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

}  // namespace zm
