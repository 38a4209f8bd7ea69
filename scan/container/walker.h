// Inside the container layer: the walk of one file's tree of containers, shared by the archive
// reader (libarchive) and the mail reader (GMime). Built only where those libraries are, into the
// module that loader.cpp loads.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "container.h"

namespace container::detail {

constexpr uint64_t kUnknownSize = ~0ull;
// clamd passes over files of this many bytes or fewer without a scan or a count (no document, no
// container is so small), and so does MaxFiles here.
constexpr uint64_t kUncountedBytes = 5;
// Members looked at in one file, of any size, at most this many times MaxFiles: those too small
// to count still cost their walk (an archive's header may list millions of empty files).
constexpr uint64_t kMembersPerFile = 64;
// Bytes moved per read, and a container reader's input buffer.
constexpr size_t kChunk = 64 * 1024;

// The bytes of one member as its container decodes them; forward only.
class MemberStream {
 public:
  virtual ~MemberStream() = default;
  // Up to cb bytes into pb: how many, 0 at the end, -1 on failure (Error() says why).
  virtual ptrdiff_t Read(uint8_t* pb, size_t cb) = 0;
  virtual std::string Error() const = 0;
  // The failure was the member's encryption.
  virtual bool Encrypted() const { return false; }
  // The container passes over an unread member without decoding it (a zip read by position).
  virtual bool SkipIsCheap() const { return false; }
  // The kind of the container it is read from (names an encrypted member's heuristic).
  virtual Kind ContainerKind() const { return Kind::kNone; }
  // The failure was the parent's (its member, holding this container, failed or reached a
  // limit): recorded there, not here.
  virtual bool ParentFailed() const { return false; }
  // Damage seen only once every byte was given (a checksum that does not hold): the bytes are
  // judged all the same, and the damage is recorded beside them. "" when none.
  virtual std::string LateDamage() const { return ""; }
};

// Bytes of a file read by position, [at, at + cb): a member stored as it is.
class RangeStream : public MemberStream {
 public:
  RangeStream(int fd, uint64_t at, uint64_t cb, Kind kind, const char* szEndsEarly)
      : m_fd(fd), m_at(at), m_end(at + cb), m_kind(kind), m_szEndsEarly(szEndsEarly) {}
  ptrdiff_t Read(uint8_t* pb, size_t cb) override;
  std::string Error() const override { return m_szEndsEarly; }
  bool SkipIsCheap() const override { return true; }
  Kind ContainerKind() const override { return m_kind; }

 private:
  int m_fd;
  uint64_t m_at, m_end;
  Kind m_kind;
  const char* m_szEndsEarly;
};

class Walker;

// A member being read, with the limits applied: its head first (already read to sniff it), then
// the rest of the stream. Every byte counts against MaxScanSize, and against MaxFileSize until
// the member has been found over it.
class Reader {
 public:
  enum class State { kReading, kEnd, kFailed, kFileLimit, kScanLimit };
  Reader(Walker* pWalker, MemberStream* pStream) : m_pWalker(pWalker), m_pStream(pStream) {}
  // Reads the head into m_head (up to kSniffBytes): false when the member ended in failure or a
  // limit before that.
  bool ReadHead();
  const std::vector<uint8_t>& Head() const { return m_head; }
  // The member from its start (the head again, then the rest): count, 0 at the end, -1 when it
  // failed or reached a limit (State() says which).
  ptrdiff_t Read(uint8_t* pb, size_t cb);
  // Reads the rest through, discarding it, within the limits (it may stop at MaxFileSize).
  void ReadThrough();
  // Reads the rest through, discarding it; MaxFileSize no longer applies, MaxScanSize does.
  void Drain();
  State state() const { return m_state; }
  uint64_t Bytes() const { return m_cbMember; }
  std::string Error() const { return m_pStream->Error(); }
  bool Encrypted() const { return m_pStream->Encrypted(); }
  Kind ContainerKind() const { return m_pStream->ContainerKind(); }
  bool ParentFailed() const { return m_pStream->ParentFailed(); }
  std::string LateDamage() const { return m_pStream->LateDamage(); }
  void IgnoreFileLimit() { m_bFileLimit = false; }

 private:
  ptrdiff_t ReadStream(uint8_t* pb, size_t cb);
  Walker* m_pWalker;
  MemberStream* m_pStream;
  std::vector<uint8_t> m_head;
  size_t m_nHeadServed = 0;
  uint64_t m_cbMember = 0;
  bool m_bFileLimit = true;
  State m_state = State::kReading;
};

// Where a container's bytes are: a file read by position (the file itself, or a member spilled
// into a file of its own), or a member being read from its parent.
struct Source {
  int fd = -1;  // >= 0: read by position, cb bytes
  uint64_t cb = 0;
  Reader* pReader = nullptr;  // else: forward only
};

// A member's place: the names of the containers above it, and its depth (the file itself is 1).
struct Place {
  std::vector<std::string>* pChain;
  uint32_t nDepth;
};

class Walker {
 public:
  Walker(const Options& options, const ScanFunction& scan, Result* pResult)
      : m_options(options), m_scan(scan), m_pResult(pResult) {}

  // Opens a container of the given kind at depth place.nDepth, its members named below
  // place.pChain. Problems of the container itself are recorded under sName (the file itself:
  // the verdict's reason, sName empty).
  void Container(const Source& src, Kind kind, const std::string& sName, const Place& place);
  enum class Role : uint8_t {
    kPlain,   // a member like any other
    kText,    // a text part of a mail: searched for uuencoded blocks as well
    kStream,  // the content of a compressed stream: a tar there is opened in its place (one
              // level: a.tar.gz!x.doc), anything else is its one member
  };
  // One member of a container at place (place.nDepth: the container's depth): counts it, reads
  // its head and goes on as its content says. cbDeclared: the size the container gives, or
  // kUnknownSize. pnMessage (kText): counts, and so names, the messages found in the texts of
  // the message the text is part of.
  void Member(MemberStream* pStream, const std::string& sName, uint64_t cbDeclared,
              const Place& place, Role role = Role::kPlain, int* pnMessage = nullptr);
  // A text that is no member (a multipart's preamble or epilogue): read within the limits (its
  // problems recorded under sName) and searched as a text part is.
  void Text(MemberStream* pStream, const std::string& sName, const Place& place, int* pnMessage);
  // Counts one file against MaxFiles as clamd counts: the file itself is the first, then every
  // member of more than kUncountedBytes bytes at every depth, containers included (an mbox's
  // messages are not: clamd reads them as one file). False (the limit recorded, the walk stopped)
  // when it is one too many.
  bool Count(const std::string& sName, const Place& place);
  // One more member looked at (Result::nMembers, what the summary counts): false (MaxFiles
  // recorded, the walk stopped) past kMembersPerFile times MaxFiles.
  bool Look(const std::string& sName, const Place& place);
  // Records a problem with a member (or with a nested container as a whole).
  void Record(const Place& place, const std::string& sName, Kind kind, Why why,
              const std::string& sReason, Limit limit = Limit::kNone, uint64_t cbRead = 0);
  void RecordLimit(const Place& place, const std::string& sName, Limit limit, uint64_t cbRead);
  void RecordEncrypted(const Place& place, const std::string& sName, Kind kind);
  // Notes a zip member that its central directory leaves out (Why::kHidden).
  void RecordHidden(const Place& place, const std::string& sName);
  // MaxFiles or MaxScanSize was reached, or a virus found without bAllMatch: no more members are
  // looked at. (One zip's entries past MaxFiles end that zip alone, as in clamd.)
  bool Stopped() const { return m_bStopped; }
  // Bytes read out of members so far; false (and stopped) once MaxScanSize is passed.
  bool AddBytes(uint64_t cb);
  bool ScanSizeExceeded() const { return m_bScanSizeExceeded; }
  const Options& options() const { return m_options; }
  Result* result() { return m_pResult; }
  const std::string& FileName() const { return m_sFileName; }
  void SetFileName(const std::string& s) { m_sFileName = s; }

  // The contents of the compound file in fd (cb bytes): the member sName at place, its objects
  // one level below, within MaxRecursion; nothing when it holds none. Its problems are recorded
  // only where its own document was judged OK or SKIPPED (a cut document says it already).
  void CompoundContents(int fd, uint64_t cb, const std::string& sName, const Place& place,
                        Outcome judged);
  // A storage's WordDocument stream (pStream, cb bytes), written out as a compound file of its own
  // and handed to the scan function as the document sName at place.
  void EmbeddedDocument(MemberStream* pStream, uint64_t cb, const std::string& sName,
                        const Place& place);

 private:
  // One more in *pn, unless nMax (0: no limit) are there: then MaxFiles is recorded for sName and
  // the walk stopped.
  bool Tally(uint64_t* pn, uint64_t nMax, const std::string& sName, const Place& place);
  void Document(Reader* pReader, const std::string& sName, const Place& place);
  // Hands the document in fd (cb bytes) to the scan function and records its verdict.
  Outcome Judge(int fd, uint64_t cb, const std::string& sName, const Place& place);
  void Nested(Reader* pReader, Kind kind, const std::string& sName, const Place& place);
  // A program: held whole, and opened as a zip when its end holds one (a self-extracting zip).
  void Program(Reader* pReader, const std::string& sName, const Place& place);
  // Whether a container inside the one at place may be opened; else MaxRecursion is recorded.
  bool MayNest(const std::string& sName, const Place& place, uint64_t cbRead);
  // Opens the container held by the file fd (cb bytes) one level below place.
  void OpenHeld(int fd, uint64_t cb, Kind kind, const std::string& sName, const Place& place);
  // Copies the member whole into a new in-memory file: its descriptor, or -1 (the reader's state,
  // or *psError, says why).
  int Spill(Reader* pReader, uint64_t* pcb, std::string* psError, uint64_t lAt = 0);
  // Spill() for the member sName at place, what kept it from being held recorded (under kind,
  // when it is a container): the descriptor, or -1.
  int Hold(Reader* pReader, const std::string& sName, Kind kind, const Place& place, uint64_t* pcb);
  // Records what ended a member's reading early: a limit, its encryption, a decoder's failure;
  // and damage seen once it was read whole.
  void Settle(Reader* pReader, const std::string& sName, const Place& place);

  Options m_options;
  const ScanFunction& m_scan;
  Result* m_pResult;
  std::string m_sFileName;
  bool m_bStopped = false;
  bool m_bScanSizeExceeded = false;
};

// Copies a stream whole into a new in-memory file (a memfd, only this process reaches it): its
// descriptor, *pcb its size; -1 when the stream failed (*psError then empty: the stream's owner
// says why) or the file could not be written (*psError says why).
int HoldInMemory(MemberStream* pStream, uint64_t* pcb, std::string* psError);

// The archive reader and the mail readers (archive.cpp, mail.cpp, tnef.cpp).
void WalkArchive(Walker* pWalker, const Source& src, Kind kind, const std::string& sName,
                 const Place& place);
void WalkMail(Walker* pWalker, const Source& src, Kind kind, const std::string& sName,
              const Place& place);
void WalkTnef(Walker* pWalker, const Source& src, const std::string& sName, const Place& place);
// BinHex 4.0 (binhex.cpp): the data fork, and the resource fork when it has one, as members.
void WalkBinhex(Walker* pWalker, const Source& src, const std::string& sName, const Place& place);
// Outlook's stores through libpff (pst.cpp).
void WalkPst(Walker* pWalker, const Source& src, const std::string& sName, const Place& place);

// The compound file's walk (compound.cpp): the objects of a level at place, read from the file in
// fd; sName and outer name the level itself, for its problems (the file itself: "", place).
void WalkCompoundLevel(Walker* pWalker, int fd, uint64_t cb, uint32_t iLevel, const Place& place,
                       const std::string& sName, const Place& outer);
// ScanCompound() of container.h, in this module.
Result WalkCompoundFile(int fd, uint64_t cb, const Options& options, const ScanFunction& scan);
// Options bounded as a walk takes them: MaxRecursion 0 and over kDeepestNesting as that.
Options Bounded(const Options& options);
// Reads cb bytes at offset at of fd: false unless all of them were there.
bool ReadAt(int fd, uint64_t at, void* pv, size_t cb);
// The same as a function that sniffing and the compound-file reader take: the count, short only
// where the file ends.
ReadAtFunction ReadFrom(int fd);

// Searches a mail's text (a text part from its start, read from *pReader) for what it carries:
// uuencoded blocks ("begin 644 name" ... "end") and yEnc blocks ("=ybegin ... name=" ... "=yend"),
// each a member at place; and, where pnMessage is given, messages (MessageStarts()): the text
// from the first on is split into messages (Split::kText), each a member at place named
// message-N, N counted by *pnMessage.
void TextBlocks(Walker* pWalker, Reader* pReader, const Place& place, int* pnMessage);

// Scan() of container.h, in this module: the walk of the file fd.
Result WalkFile(int fd, uint64_t cb, Kind kind, const std::string& sName, const Options& options,
                const ScanFunction& scan);

// A zip's members beside its central directory (ziplayout.cpp). A run of the zip: [at, at + cb).
struct Span {
  uint64_t at;
  uint64_t cb;
};
enum class Layout : uint8_t {
  kCompared,  // the directory and the local headers were compared
  kUnread,    // the directory could not be read as libarchive reads it (whose walk said so)
  kTooMany,   // too many entries to hold for the comparison
};
// The runs of the zip in fd (cb bytes, its end end) that begin with a local header no entry of
// the central directory accounts for, each up to the next member the directory lists (or the
// directory itself): what a reader of local headers finds there, the directory's readers never.
// Bytes before the zip that are not a local header are a program's: only the local headers in it
// that lead, one after the other, to the zip's first member count.
Layout HiddenSpans(int fd, uint64_t cb, const ZipEnd& end, std::vector<Span>* pSpans);

// The name a gzip stream stores for its content (FNAME), from its head; "" when none.
std::string GzipStoredName(const uint8_t* pb, size_t cb);

}  // namespace container::detail
