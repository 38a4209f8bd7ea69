// The road of one document as the front ends drive the library: names read by the front end, job 0,
// job 2 after "MACRO_CHECK_FALSE_ALARMS", job 1 when asked for or when names are missing.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "container.h"
#include "fsys.h"
#include "macrolist.h"
#include "namereader.h"
#include "zmapi.h"

namespace zm {

struct ScanOptions {
  bool bDeep = false;            // job 1 on every document with macros
  bool bAlertEncrypted = false;  // an encrypted document is found as kEncryptedName, not skipped
  std::string sRawName;          // not empty: MACRO_ScanRaw with this short name instead
  // Archives and mail: opened (ScanArchive, ScanMail), within clamd's limits, each document
  // member scanned as a file is. Its bAlertEncrypted is the archives' (bAlertEncrypted above is
  // the documents').
  container::Options containers;
  MacroDetail macros = MacroDetail::kNone;  // each document's macros listed to this level
};

// The names of the findings the front end makes itself, as other scanners name them.
extern const char kEicarName[];      // the EICAR test file
extern const char kEncryptedName[];  // an encrypted document, with bAlertEncrypted

// Every file of a run ends as exactly one of these.
enum class Outcome { kOk, kFound, kError, kSkipped };

// What a file's verdict rests on (the container layer's codes, shared by its members' records).
using Cause = container::Cause;

// How a finding was made. Its words are made where a result is shown (FoundByText).
enum class FoundBy : uint8_t {
  kNone,        // no finding
  kNames,       // job 0: the macro names
  kSignature,   // job 2 confirmed job 0
  kDeepScan,    // job 1: the macro bodies
  kRawScan,     // MACRO_ScanRaw (--raw)
  kTestFile,    // the EICAR test file
  kEncryption,  // an encrypted document or member, alerted on
  kLimit,       // a container's limit, alerted on
};
constexpr FoundBy kLastFoundBy = FoundBy::kLimit;
// "names", "signature", "deep scan", "raw scan", "test file", "encryption", "limit"; "" for kNone.
const char* FoundByText(FoundBy by);

struct FileResult {
  std::string sPath;
  Outcome outcome = Outcome::kOk;
  std::string sVirus;                // kFound: the library's answer
  FoundBy foundBy = FoundBy::kNone;  // kFound: how
  std::string sResultMacros;         // kFound: the '&' list the library answered with, if any
  std::string sReason;         // kError, kSkipped: why, in the system's words where it has them
  Cause cause = Cause::kNone;  // what the verdict rests on: decisions take this, never sReason
  DocNames doc;                // the names read (not in raw mode)
  size_t nLeftOut = 0;         // names that no MACRO_Handler call can carry
  size_t nCalls = 0;           // job-0 calls the names needed
  bool bFallback = false;      // names missing, left out or split: job 1 runs as well
  bool bUnconfirmed = false;   // job 0 asked for confirmation and job 2 found nothing
  FileId id;                   // the file's identity, once it was opened
  uint32_t nLinks = 0;         // its hard links (0: never opened)
  // A container (archive, compressed file, mail), told by its content: its kind, the members
  // looked at (every depth), and the records of its members (every document, whatever its
  // verdict, and every member not judged in full), in the order met. kNone: no container.
  container::Kind containerKind = container::Kind::kNone;
  uint64_t nMembers = 0;
  std::vector<container::Member> members;
  // ScanOptions::macros: the document's macros, listed by whoever scanned it; for a container,
  // those of its member documents that have any, in the members' order, within
  // kMaxMemberListingBytes; the documents left out beyond it are counted.
  MacroListing listing;
  std::vector<MemberListing> memberListings;
  size_t nMemberListingsLeftOut = 0;
};

// The digests that r's listings left in a DigestQueue, from what its Make() gave.
void FillDigests(const std::vector<std::array<uint8_t, wordbasic::kSha256Bytes>>& digests,
                 FileResult* pR);
// Whether r's listings wait for digests in a DigestQueue.
bool HasQueuedDigests(const FileResult& r);

// Why a file is not scanned: it is no Word 6/95 document (skipped, not an error).
extern const char kNotWord6Reason[];
// The reason a document of this kind is not judged ("Truncated document", ...); "" for kWord6.
const char* KindReason(DocKind kind);
// The cause a document of this kind rests on when it is not judged; kNone for kWord6.
Cause KindCause(DocKind kind);

// The kind of container the open file's content says it is (kNone: none, or unreadable).
container::Kind ContainerKindOf(const File& f);

// A result known without a scan: a walk's skipped entry or error, a file that failed before it.
// An ERROR without a cause of its own could not be reached (kUnreached).
FileResult ResultOf(const std::string& sPath, Outcome outcome, const std::string& sReason);
FileResult ResultOf(const std::string& sPath, Outcome outcome, const std::string& sReason,
                    Cause cause);
// The result for a file that could not be opened for the reason sWhy: skipped when it is no
// regular file or a link not to be followed, an error with the cause otherwise.
FileResult NotOpened(const std::string& sPath, const std::string& sWhy);

class Scanner {
 public:
  Scanner(const ZmApi& api, ScanOptions options) : m_api(api), m_options(std::move(options)) {}

  // Scans one open file, known to the report as sPath. Never fails: every way ends in a
  // FileResult. The library reaches the file by a short path of its own (MakeLibraryPath),
  // whatever the length of sPath.
  FileResult Scan(const File& f, std::string sPath);
  // Opens what the walk handed on and scans it. A file that has become something else since the
  // walk (a FIFO, a link) is skipped; one that cannot be opened is an error with the cause.
  FileResult ScanRef(const FileRef& ref, std::string sPath);
  // The same for a path (a final link followed).
  FileResult ScanPath(const std::string& sPath);
  // The listings' digests are queued there from now on (a worker's, made before it sends), rather
  // than made as each body is read; nullptr: made at once again.
  void QueueDigests(DigestQueue* pQueue) { m_bytes.pQueue = pQueue; }

 private:
  struct Answer {
    int32_t iReturn;
    std::string sResult, sMacros;
  };
  Answer Call(int32_t iJob, const std::string& sPath, const std::string& sList);
  void ScanNames(FileResult* pR, const std::string& sLibraryPath);
  // The file's own road, before its compound file's contents.
  FileResult ScanFile(const File& f, std::string sPath);
  // The file when its content is a container's: walked, its documents scanned; false when it is
  // none (or a member's scan is under way: containers in members are the walk's to open).
  bool ScanContainer(const File& f, FileResult* pR);
  // A compound file's contents (embedded documents, packaged files, a mail's attachments), once
  // its root document was judged: walked as a container's members when it holds any, the file's
  // verdict the first finding of the two, else the first problem, else OK where anything was
  // judged OK. A file that holds none is left as it was.
  void ScanCompoundContents(const File& f, FileResult* pR);
  // The walk of a container (container::Scan, or ScanCompound for kCompound), each document
  // member down the road of a file; the listings of its documents go to pR.
  container::Result WalkMembers(const File& f, container::Kind kind, const std::string& sPath,
                                FileResult* pR, FoundBy* pFirstFoundBy);

  ZmApi m_api;
  ScanOptions m_options;
  ReaderBlock m_block;          // the name reader's, for every document of the run
  MacroBytes m_bytes;           // what the name reader kept of the last document for its listing
  bool m_bInContainer = false;  // a container's member is being scanned
};

}  // namespace zm
