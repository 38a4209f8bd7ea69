// What the front ends need from the operating system beyond files: one file per platform
// (platform_posix.cpp, platform_win32.cpp), picked by CMake.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zm {

// The program's arguments as byte strings: as given on POSIX, UTF-8 on Windows (from the UTF-16
// command line, so no name is lost to the code page), where "/?", which can name no file there,
// is "--help" as Windows' own programs take it.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// The characters that separate path parts here, the preferred one first.
const char* PathSeparators();

// The directory of the running executable, with a separator at its end; empty when unknown.
std::string ExecutableDirectory();
// The running executable's own path; empty when unknown.
std::string ExecutablePath();
// The platform's file name of the program called sName ("zmscan-worker", "zmscan-worker.exe").
std::string ProgramFileName(const std::string& sName);

// True when the stream is an interactive terminal (on Windows a console: NUL is none).
bool IsTerminal(std::FILE* p);
// True when both streams write to one file (one terminal, or 2>&1).
bool SameFile(std::FILE* pA, std::FILE* pB);

// Sets standard output up for text written a piece at a time, before anything is written to it:
// on Windows, where the C runtime takes every character device (NUL among them) for a terminal
// and writes to it unbuffered, a system call a character, a stream that is no console gets a
// buffer, as a file or a pipe has.
void SetUpStandardOutput();
// Writes all of the UTF-8 text s: to a console (on Windows, standard output or error) as its
// characters (WriteConsoleW), so that names in any script show as the system's own listings show
// them whatever the console's code page; anywhere else as the bytes. False with errno set when
// it could not be written.
bool WriteText(std::FILE* p, const std::string& s);
// Text as this platform's text files hold it, for files a user opens in an editor: lines end in
// CR LF on Windows (as the report and the log do there), LF elsewhere.
std::string PlatformLineEnds(const std::string& s);

// The number of processors this process may run on (at least 1).
unsigned UsableCores();

// What this process may still open and start, once its limit on open files has been raised as
// far as it may be (the soft limit to the hard one). SIZE_MAX: no limit.
struct ProcessRoom {
  size_t nFileLimit = SIZE_MAX;  // descriptors a process may hold (RLIMIT_NOFILE)
  size_t nFilesFree = SIZE_MAX;  // of which this one has not opened yet
  size_t nTaskLimit = SIZE_MAX;  // processes and threads its user may run (RLIMIT_NPROC)
  size_t nTasksFree = SIZE_MAX;  // of which are not running yet
};
ProcessRoom RoomToGrow();

// While a guard lives, an interrupt (SIGINT, SIGTERM, SIGHUP; a console Ctrl-C or close on
// Windows) first removes the watched temporary file and ends the watched child processes, then
// ends the process as it would have. A signal that was ignored when the first guard was made stays
// ignored (nohup, a background job); the dispositions found then are restored when the last guard
// goes. Guards nest.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};
// A child process (pid, or process handle on Windows) that an interrupt ends; false when all
// slots are taken. Unwatched before it is reaped, so no reused pid is ever signalled.
bool WatchChild(intptr_t child);
void UnwatchChild(intptr_t child);

// A uniquely named empty file in the temporary directory, watched by an InterruptGuard from its
// creation on. Destroying it removes the file first and only then stops watching.
class TempFile {
 public:
  TempFile();
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  // Empty when no file could be made.
  const std::string& Path() const { return m_sPath; }

 private:
  InterruptGuard m_guard;
  int m_iSlot = -1;  // the interrupt handler's place for it
  std::string m_sPath;
};

// zebscan's own inputs (a file list, standard input) as plain descriptors, read without stdio,
// so that a thread blocked on a pipe holds no lock that the process's exit needs. OpenInput
// opens sPath for reading ("-": standard input, in binary mode), or answers -1 with the cause.
int OpenInput(const std::string& sPath, std::string* psError);
// True when reading fd never waits for a writer (a regular file).
bool IsRegularInput(int fd);
// Up to cb bytes: the count, 0 at the end, or -1 with the cause.
long ReadInput(int fd, void* pv, size_t cb, std::string* psError);
void CloseInput(int fd);
// sPath opened for appending text, made when missing (the log; its line ends those of
// PlatformLineEnds); null with the cause.
std::FILE* OpenAppend(const std::string& sPath, std::string* psError);
// The open stream is not inherited by child processes (a log opened by other means).
void KeepFromChildren(std::FILE* p);

// The existing files that a line of the library's list file names. The library's walk
// upper-cases a file's name, which a case-sensitive file system does not find: there every file
// of the line's directory whose name upper-cases (a to z only) to the line's name is returned, in
// byte order of the real names. Elsewhere the line itself, with the name spelled as on disk.
// Empty when nothing matches.
std::vector<std::string> ResolveListedPath(const std::string& line);

}  // namespace zm
