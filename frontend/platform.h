// What zebscan needs from the operating system beyond the library: one file per platform
// (platform_posix.cpp, platform_win32.cpp), picked by CMake.
#pragma once
#include <string>
#include <vector>

namespace zebscan {

// The characters that separate path parts here, the preferred one first.
const char* PathSeparators();

// The directory of the running executable, with a separator at its end; empty when unknown.
std::string ExecutableDirectory();

// True when standard error is an interactive terminal (the progress line goes there only then).
bool StderrIsTerminal();

// Creates an empty, uniquely named file in the temporary directory and returns its path; empty
// when none can be made. From its creation on, an interrupt removes it (RemoveOnInterrupt), so
// no moment is left in which an interrupt would leave it behind.
std::string MakeTempFile();

// While a path is set here, an interrupt (Ctrl-C, a termination request) removes that file before
// the process ends as it would have. An empty path clears it. At most 259 characters are kept.
void RemoveOnInterrupt(const std::string& sPath);

// The existing files that a line of a list file names. The walk upper-cases a file's name, which
// a case-sensitive file system does not find: there every file of the line's directory whose name
// upper-cases (a to z only) to the line's name is returned, in byte order of the real names.
// Elsewhere the line itself, with the name spelled as on disk. Empty when nothing matches.
std::vector<std::string> ResolveListedPath(const std::string& line);

}  // namespace zebscan
