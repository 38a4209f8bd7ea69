// The front end's file system: directories read through open handles (no path length limit),
// files opened without blocking and never through a final link unless asked, identities for loop
// and duplicate detection, and the system's own words for failures. One file per platform
// (fsys_posix.cpp, fsys_win32.cpp), picked by CMake. Paths and names are byte strings as the
// platform gives them (POSIX), or UTF-8 from the platform's UTF-16 (Windows).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zm {

// Reasons the file system calls give in the system's absence of words for them.
inline constexpr char kReasonNotRegular[] = "Not a regular file";
inline constexpr char kReasonLink[] = "Symbolic link";

// A file's identity: device and inode, or volume serial and file index.
struct FileId {
  uint64_t uVolume = 0, uIndex = 0;
  bool operator==(const FileId& o) const { return uVolume == o.uVolume && uIndex == o.uIndex; }
  bool operator<(const FileId& o) const {
    return uVolume != o.uVolume ? uVolume < o.uVolume : uIndex < o.uIndex;
  }
};

enum class EntryType { kFile, kDirectory, kLink, kOther };

struct EntryInfo {
  EntryType type = EntryType::kOther;
  FileId id;
  uint32_t nLinks = 1;  // hard links to it (1 where the platform does not tell)
};

// An open directory; its children are reached relative to it.
class Dir {
 public:
  struct Impl;
  Dir();
  ~Dir();
  Dir(Dir&&) noexcept;
  Dir& operator=(Dir&&) noexcept;
  bool IsOpen() const { return m_p != nullptr; }
  Impl* impl() const { return m_p.get(); }
  void Adopt(Impl* p);

 private:
  std::unique_ptr<Impl> m_p;
};

// An open regular file, read by position.
class File {
 public:
  struct Impl;
  File();
  ~File();
  File(File&&) noexcept;
  File& operator=(File&&) noexcept;
  bool IsOpen() const { return m_p != nullptr; }
  Impl* impl() const { return m_p.get(); }
  void Adopt(Impl* p);
  void Close();

  FileId id;
  uint64_t cbSize = 0;
  uint32_t nLinks = 1;  // hard links to it (1 where the platform does not tell)

 private:
  std::unique_ptr<Impl> m_p;
};

// In all of these a null parent means "relative to the current directory" (sName is then a path).
// Failures answer false with the system's description of the cause in *psError.

// What sName is, without following a final link (bFollow false) or following it.
bool StatEntry(const Dir* pParent, const std::string& sName, bool bFollow, EntryInfo* pInfo,
               std::string* psError);
// Opens the directory sName; without bFollow a final link is refused.
bool OpenDir(const Dir* pParent, const std::string& sName, bool bFollow, Dir* pDir, FileId* pId,
             std::string* psError);
// The names in the directory ("." and ".." left out), each with its type where the listing tells
// it without a further call (kOther and bKnown false otherwise).
struct DirEntry {
  std::string sName;
  EntryType type = EntryType::kOther;
  bool bKnown = false;
};
bool ReadDir(Dir* pDir, std::vector<DirEntry>* pEntries, std::string* psError);
// Opens sName for reading, never blocking and never opening a FIFO, device or socket (they answer
// false with "Not a regular file"); without bFollow a final link is refused ("Symbolic link").
// bKnownRegular: the directory listing already said it is a regular file, so its kind is not
// asked again before the open (a swap in between is still caught, and nothing blocks).
bool OpenFile(const Dir* pParent, const std::string& sName, bool bFollow, bool bKnownRegular,
              File* pFile, std::string* psError);
// A file to scan as the walk met it, opened by whoever scans it (the walk's own process, or a
// worker): its directory, kept open while a reference lives, and its name; or, without a
// directory, a path relative to the current directory.
struct FileRef {
  std::shared_ptr<Dir> pDir;
  std::string sName;
  bool bFollow = false;        // a final link is followed (the walk was told to)
  bool bKnownRegular = false;  // the listing said it is a regular file
};
inline bool OpenRef(const FileRef& ref, File* pFile, std::string* psError) {
  return OpenFile(ref.pDir.get(), ref.sName, ref.bFollow, ref.bKnownRegular, pFile, psError);
}

// Reads up to cb bytes at offset; the bytes read (short only at the end of the file), or -1.
int64_t ReadAt(const File& f, uint64_t lOffset, void* pv, size_t cb);

// Where the first bytes of an open file stand: in the system's cache already, asked for by
// ReadAheadHead (the read under way), or unknown where the platform has no way to ask.
enum class HeadCache { kCached, kAsked, kCannot };
// Asks the system to read the first cb bytes of the file into its cache and returns at once,
// without waiting for them, so that a later read finds them there; kCached when the first of them
// are there already, and nothing is asked. On Windows always kCannot.
HeadCache ReadAheadHead(const File& f, size_t cb);
// Whether ReadAheadHead can ask the system anything here (false on Windows).
bool CanReadAhead();

// A path of at most 255 characters by which the library's own opens reach exactly this open file:
// on Linux /proc/self/fd/N; elsewhere the path itself when it fits the library's texts, else a
// private temporary copy that lives as long as the returned holder. Empty when none can be had,
// with the cause in *psError.
class LibraryPath {
 public:
  LibraryPath() = default;
  ~LibraryPath();
  LibraryPath(const LibraryPath&) = delete;
  LibraryPath& operator=(const LibraryPath&) = delete;
  const std::string& str() const { return m_sPath; }

 private:
  friend bool MakeLibraryPath(const File&, const std::string&, LibraryPath*, std::string*);
  std::string m_sPath;
  std::string m_sTempCopy;  // removed with the holder
};
bool MakeLibraryPath(const File& f, const std::string& sPath, LibraryPath* pOut,
                     std::string* psError);

// The open file as a handle of the library's own file calls (its descriptor, or its Win32 handle),
// for the static core's reader to read without opening the file again.
int32_t LibraryHandle(const File& f);

// A path that names the same thing from any current directory (POSIX: it begins with '/';
// Windows: a drive and a separator, or two separators).
bool IsAbsolutePath(const std::string& sPath);
// The path with its last separators removed (the root kept).
std::string WithoutTrailingSeparators(const std::string& sPath);
// A file's modification time in seconds since 1970; false when it cannot be read.
bool FileModified(const std::string& sPath, int64_t* pSeconds);

// Joins a directory path and a name with the platform's preferred separator (none added after
// one already there).
std::string JoinPath(const std::string& sDir, const std::string& sName);
// Names the file system treats alike: case-blind on Windows.
bool NamesIgnoreCase();

// On POSIX the open file's or directory's descriptor, to pass to a worker process, and a File or
// Dir made from one received (taking it over); -1 / false where descriptors are not passed.
int NativeFd(const File& f);
int NativeFd(const Dir& d);
bool FileFromFd(int fd, File* pFile, std::string* psError);
// A File of its own over a descriptor that stays its owner's (a container's member, held by the
// container layer): a duplicate of it, closed with the File. False where descriptors are not used.
bool FileFromDuplicate(int fd, File* pFile, std::string* psError);
bool DirFromFd(int fd, Dir* pDir);

// Closes a descriptor received or passed (one not held by a File or Dir); -1 is ignored.
void CloseNativeFd(int fd);

// Descriptors (or handles) that Dir and File objects of this process hold open now.
size_t HeldDescriptors();

// The bytes of standard input as an open file, for the path "-": standard input itself when it
// is a regular file read from its start, else a copy only this process reaches (on Linux a memfd,
// which the library reaches as /proc/self/fd/N; on Windows a private temporary file, removed when
// the File closes or the run is interrupted).
bool StdinFile(File* pFile, std::string* psError);
// Bytes as an open file that only this process reaches, made as StdinFile makes its copy: a
// document to scan that lives in memory, or a probe.
bool FileOfBytes(const std::string& sBytes, File* pFile, std::string* psError);

// For --copy and --move. MakeDirectories makes every missing directory of sPath (owner only where
// the system says so).
bool MakeDirectories(const std::string& sPath, std::string* psError);
// Moves sFrom to sTo unless something is there: 1 moved, 0 sTo exists, -1 failed, with
// *pbCopyInstead when only a copy can take it there (another file system).
int MoveNoReplace(const std::string& sFrom, const std::string& sTo, bool* pbCopyInstead,
                  std::string* psError);
// Copies the open file's bytes to sTo, made new for its owner alone: 1 copied, 0 sTo exists, -1
// failed (and nothing left at sTo).
int CopyToNew(const File& from, const std::string& sTo, std::string* psError);
bool RemoveFile(const std::string& sPath, std::string* psError);

// For --extract, what only its owner reaches: mode 0700 and 0600 on POSIX, on Windows a DACL that
// lets in the process's user alone and inherits nothing. MakePrivateDirectory makes sPath: 1 made,
// 0 something is there, -1 failed. WriteNewFile makes sPath with the bytes, never replacing what
// is there and never through a link: 1 written, 0 sPath exists, -1 failed (nothing left there).
int MakePrivateDirectory(const std::string& sPath, std::string* psError);
int WriteNewFile(const std::string& sPath, const std::string& sBytes, std::string* psError);

}  // namespace zm
