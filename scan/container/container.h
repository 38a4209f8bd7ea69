// The container layer: archives, compressed files and mail, told by their content and walked one
// member at a time. A member that may be a Word 6/95 document (its head is a compound file's) is
// put where only this process reaches it and handed to the caller's scan function; a member that
// is itself a container is opened in turn; every other member is read through and counted, never
// kept. clamd's limits bound the walk, and nothing ends as OK that was not looked at.
//
// Sniff() and the naming helpers are pure and built everywhere. Scan() opens archives through
// libarchive and mail through GMime where the build has them (ArchiveSupport(), MailSupport());
// elsewhere it answers each container as an ERROR, "... support not in this build" with a hint
// (NotInBuildReason), never OK.
// docs/containers.md describes the kinds, the limits, the names and the memory bound.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace container {

// ---------------------------------------------------------------------------------------------
// Kinds, by content
// ---------------------------------------------------------------------------------------------

enum class Kind : uint8_t {
  kNone,     // not a container this layer opens
  kZip,      // PK 03 04, PK 05 06 (empty), PK 07 08 (spanned mark); zip64 included
  kTar,      // a header block whose checksum holds: ustar, pax, GNU and old tar alike
  kGzip,     // 1F 8B 08
  kBzip2,    // "BZh1".."BZh9" and a block or end-of-stream mark
  kXz,       // FD "7zXZ" 00
  kZstd,     // 28 B5 2F FD
  k7z,       // "7z" BC AF 27 1C
  kCab,      // "MSCF" and four zero bytes
  kRar,      // "Rar!" 1A 07 00 (RAR 4) or 1A 07 01 00 (RAR 5)
  kIso9660,  // "CD001" at 0x8001, the first volume descriptor
  kMail,     // an RFC 5322 header block with at least one field that mail has
  kMbox,     // "From " and a mail header block on the lines after it
  kTnef,     // 78 9F 3E 22: MS-TNEF (winmail.dat)
  kPst,      // "!BDN", "SM" or "SO": Outlook's personal folders (.pst) and offline stores (.ost)
  kBinhex,   // "(This file must be converted with BinHex" at a line's start, then a ':' line
  // A compound file (OLE2) whose storages hold documents or files: never told by Sniff, whose
  // compound files are documents for the scanner; their contents are walked by ScanCompound.
  kCompound,
};
// The last kind: what a kind read from elsewhere (the wire, a fuzzer's byte) may be at most.
constexpr Kind kLastKind = Kind::kCompound;

// Bytes of a file's head that tell every kind (the ISO 9660 mark lies in sector 16). Fewer tell
// all but ISO 9660; a head read whole from a shorter file is the whole file.
constexpr size_t kSniffBytes = 0x8006;

// The kind of the file or member whose first cb bytes are pb (cb < kSniffBytes only when the
// file is that short, or when the caller accepts missing ISO images). Pure; reads nothing else.
Kind Sniff(const uint8_t* pb, size_t cb);
// True when pb begins as an mbox's message does: a "From " line, then a mail header block (what
// Sniff() calls an mbox).
bool IsMboxStart(const uint8_t* pb, size_t cb);
// True when pb begins with a mail header block (what Sniff() calls mail, when it is not an mbox);
// *pbMime (when given) says whether a field of it says how the body is encoded or built
// (Content-Type, Content-Transfer-Encoding).
bool IsMailStart(const uint8_t* pb, size_t cb, bool* pbMime = nullptr);
// True when pb begins with the compound file signature D0 CF 11 E0 A1 B1 1A E1: a Word 6/95
// candidate, for the caller's scanner to judge.
bool IsCompoundFile(const uint8_t* pb, size_t cb);
// True when pb, a member's whole bytes, may be the EICAR test file: no longer than it may be (128
// bytes) and beginning as it begins. Such a member goes to the scan function too, which tells it,
// so that a zipped test file is found as scanners find it.
bool MayBeTestFile(const uint8_t* pb, size_t cb);

// ---------------------------------------------------------------------------------------------
// Zips told by their end: a self-extracting zip is a program with a zip after it
// ---------------------------------------------------------------------------------------------

// Reads cb bytes at offset at into pb: the count (short only at the file's end), -1 on failure.
using ReadAtFunction = std::function<int64_t(uint64_t at, uint8_t* pb, size_t cb)>;

// The end of a file that holds a zip's end record wherever it may lie: the record (22 bytes)
// after the longest comment it may have (65,535).
constexpr size_t kZipEndBytes = 22 + 65535;

// True when pb, a file's head, is a program's (DOS and PE "MZ", ELF, Mach-O, a "#!" script): the
// heads that self-extracting zips and zip launchers (jar, Python zipapp) have. Only those have
// their end read for a zip: reading every file's end would cost a read a file.
bool MayCarryZip(const uint8_t* pb, size_t cb);

// A zip's end as its end record gives it, offsets within the file.
struct ZipEnd {
  uint64_t atRecord = 0;   // the end record (PK 05 06)
  uint64_t atCentral = 0;  // the central directory's first entry
  uint64_t cbCentral = 0;
  uint64_t cbPrefix = 0;  // bytes before the zip that its offsets leave out (a program whose zip
                          // was not adjusted with zip -A); its offsets plus these are the file's
  uint64_t nEntries = 0;
  uint64_t cbZip = 0;  // where the zip ends: the record and its comment (bytes after it, such as a
                       // signature appended to the program, are no part of it)
  bool bZip64 = false;
};

// Finds the last end record in the file's last kZipEndBytes (cbFile its size, its bytes read
// through readAt), as libarchive's reader takes it: on the first disk, its entries all there,
// its central directory before it and beginning with an entry (PK 01 02), or empty. The zip64
// record its locator points at is read too. False when there is none.
bool FindZipEnd(uint64_t cbFile, const ReadAtFunction& readAt, ZipEnd* pEnd);

// The kind of a file of cbFile bytes whose head is pb..cb: Sniff()'s, or kZip for a program
// (MayCarryZip) whose end holds a zip of one entry or more (FindZipEnd, reading through readAt).
// A compound file is never a zip: it is no program.
Kind SniffFile(const uint8_t* pb, size_t cb, uint64_t cbFile, const ReadAtFunction& readAt);

// "zip", "tar", "gzip", ..., "mail", "mbox", "tnef", "pst", "binhex", "compound"; "" for kNone.
const char* KindName(Kind kind);
// Mail kinds (kMail, kMbox, kTnef, kPst: a store of messages, as an mbox is) follow ScanMail; the
// others follow ScanArchive.
bool IsMailKind(Kind kind);
// Whether this build opens the kind (false for kNone).
bool Supported(Kind kind);
// What a part that this build has no reader for answers, an ERROR: "Archive support not in this
// build (extract it and scan the folder, or use the Linux build)" for sWhat "Archive". One form
// for every such part (archives, mail, objects embedded in a document), so that a reader finds
// the way round in each.
std::string NotInBuildReason(const std::string& sWhat);

// ---------------------------------------------------------------------------------------------
// Limits and options, as clamd names them (0: no limit, as in clamd)
// ---------------------------------------------------------------------------------------------

enum class Limit : uint8_t { kNone, kMaxRecursion, kMaxFiles, kMaxScanSize, kMaxFileSize };

// The deepest a walk nests, whatever MaxRecursion says (0, no limit, included): each level holds
// its reader's buffers (some 90 KB), and a zip that contains itself nests for ever.
constexpr uint32_t kDeepestNesting = 64;

struct Limits {
  uint32_t nMaxRecursion = 17;            // containers inside one another, the file itself the 1st
                                          // (0 and more than kDeepestNesting: kDeepestNesting)
  uint32_t nMaxFiles = 10000;             // files, as clamd counts them (Result::nCounted), and
                                          // entries of any one zip
  uint64_t cbMaxScanSize = 400ull << 20;  // bytes read out of members, at every depth together
  uint64_t cbMaxFileSize = 100ull << 20;  // bytes of one member (declared, then as read), and of
                                          // the file itself when it is a container
};

struct Options {
  Limits limits;
  bool bScanArchive = true;       // ScanArchive: archives and compressed files are opened
  bool bScanMail = true;          // ScanMail: mail, mbox, TNEF and Outlook's stores are opened
  bool bAlertExceedsMax = false;  // a limit reached is Heuristics.Limits.Exceeded.<Limit> FOUND
  bool bAlertEncrypted = false;   // an encrypted member is Heuristics.Encrypted.<Kind> FOUND
  bool bAllMatch = true;          // go on after a virus (false: stop at the first, as clamd SCAN)
};

// "MaxFiles", "MaxScanSize", ...
const char* LimitName(Limit limit);
// The limit's value as clamd's configuration spells it: "17", "10000", "400M", "100M", "1536K".
std::string LimitValue(Limit limit, const Limits& limits);
// "Archive limit exceeded: MaxFiles 10000"
std::string LimitReason(Limit limit, const Limits& limits);
// "Heuristics.Limits.Exceeded.MaxFiles"
std::string LimitVirusName(Limit limit);
// clamd's name for an encrypted member of this kind: "Heuristics.Encrypted.Zip", ".RAR",
// ".7Zip"; other kinds "Heuristics.Encrypted.Archive" (clamd has no name for them).
std::string EncryptedVirusName(Kind kind);

// ---------------------------------------------------------------------------------------------
// Results
// ---------------------------------------------------------------------------------------------

enum class Outcome : uint8_t { kOk, kFound, kError, kSkipped };

// What a verdict rests on, as a code: every decision taken on a verdict after it was made (how a
// finding was made, zebmacrod's AlertBrokenWord6, which records a report lists) branches on it,
// never on the reason's or the virus's words, which are for the reader alone and may be reworded.
enum class Cause : uint8_t {
  kNone,  // judged on its content: OK, or a virus found
  // A document's own state, as the scanner's name reader told it.
  kNotWord6,      // SKIPPED: no Word 6/95 document
  kEncrypted,     // a password-protected document: SKIPPED, or Heuristics.Encrypted.Doc FOUND
  kTruncated,     // ERROR: it ends before sectors that its own structure names
  kTooLarge,      // ERROR: its WordDocument stream leaves what the reader covers
  kDamaged,       // ERROR: a WordDocument stream the reader cannot follow
  kUnreadable,    // ERROR: it could not be read (the system's words)
  kMacrosUnread,  // ERROR: the byte scan could not read the macros that the names showed
  // Reaching the file.
  kNotRegular,  // SKIPPED: no regular file
  kLink,        // SKIPPED: a link that is not followed
  kUnreached,   // ERROR: it could not be opened, reached or handed on (the system's words)
  // A container's records other than documents (Why says which record; these say why its verdict).
  kLimit,            // a limit stopped it: ERROR, or Heuristics.Limits.Exceeded.<Limit> FOUND
  kEncryptedMember,  // encrypted member: ERROR, or Heuristics.Encrypted.<Kind> FOUND
  kBroken,           // a member or container not read in full: the decoder's reason
  kNotInBuild,       // this build has no reader for it (NotInBuildReason)
  kTurnedOff,        // SKIPPED: the scanning of its kind is turned off (ScanArchive, ScanMail)
};
// The last cause: what a cause read from elsewhere (the wire) may be at most.
constexpr Cause kLastCause = Cause::kTurnedOff;

// What the caller's scan function answers for a member, and what a container answers as a whole.
struct Verdict {
  Outcome outcome = Outcome::kOk;
  std::string sVirus;   // kFound
  std::string sReason;  // kError, kSkipped
  Cause cause = Cause::kNone;
};

// A member handed to the scan function: a Word 6/95 candidate, whole, in a file only this process
// reaches (Linux: a memfd), valid for the call only.
struct MemberFile {
  int fd = -1;                             // open for reading and writing; read it by position
  std::string sPath;                       // the path the library opens: "/proc/self/fd/N"
  uint64_t cb = 0;                         // its size
  const std::vector<std::string>* pChain;  // the containers it lies in, below the file
  const std::string* psName;               // its own name
};
using ScanFunction = std::function<Verdict(const MemberFile&)>;

// Why a member has a record: every document handed to the scan function has one, whatever its
// verdict; other members only when they were not judged in full.
enum class Why : uint8_t {
  kDocument,     // a Word 6/95 candidate: the scan function's verdict
  kEncrypted,    // its data is encrypted: never read, never clean
  kLimit,        // a limit stopped it (not read, not opened, or read in part)
  kDamaged,      // it, or the container it is, could not be read in full: the decoder's reason
  kUnsupported,  // it may hold a document that this build cannot reach: never read, never clean
  kHidden,       // a note, not a problem (outcome OK): a zip member that its central directory
                 // leaves out, found by its local header and walked all the same; its own
                 // records (a document's verdict) follow
};

// A record with an empty name and chain is the file itself: its own limit or damage.
struct Member {
  std::vector<std::string> chain;  // names of the containers it lies in, outermost first, the
                                   // file itself left out: a.zip!b.tar.gz!x.doc has {"b.tar.gz"}
  std::string sName;               // its name as the container gives it: any bytes
  Kind kind = Kind::kNone;         // a container's own kind, when the member is one
  Why why = Why::kDocument;
  Outcome outcome = Outcome::kOk;
  std::string sVirus;
  std::string sReason;
  Limit limit = Limit::kNone;  // kLimit: which one
  uint64_t cbRead = 0;         // bytes of it read
  Cause cause = Cause::kNone;  // kDocument: what the scan function's verdict rests on (the other
                               // records' causes follow from why: CauseOf)
};

// What a record's verdict rests on: a document's own cause, else what why gives.
Cause CauseOf(const Member& m);

// The verdict of the whole from its records, as Scan() gives it: the first virus a document
// gave, else the first heuristic finding, else the first problem's reason, else OK; its cause
// that of the record it came from. A caller that
// judges records again (zebmacrod's AlertBrokenWord6) takes it anew.
Verdict VerdictOf(const std::vector<Member>& members);

struct Result {
  Kind kind = Kind::kNone;
  // The whole: the first virus found (a heuristic name only when asked for), else ERROR when a
  // member could not be read, was encrypted or a limit was reached, or this build cannot open
  // it (NotInBuildReason), else OK; SKIPPED only when its scanning was turned off.
  Verdict verdict;
  std::vector<Member> members;  // in the order met
  uint64_t nMembers = 0;        // members looked at, at every depth (containers included)
  uint64_t nCounted = 0;        // what MaxFiles counts, as clamd counts: the file itself and
                                // every member of more than 5 bytes, at every depth
  uint64_t nDocuments = 0;      // of them handed to the scan function
  uint64_t cbRead = 0;          // bytes read out of members (what MaxScanSize counts)
  Limit firstLimit = Limit::kNone;
};

// Walks the container held by the open file fd (cb bytes; read by position only, its offset never
// used) whose head sniffed as kind; sName (the file's name, may be empty) names the single member
// of a compressed file that stores no name of its own (x.doc.gz: x.doc). Never throws for the
// input's sake: every way ends in a Result. One call at a time per process (its read buffers
// are static; GMime is initialised on first use); the scan function may not call it again.
Result Scan(int fd, uint64_t cb, Kind kind, const std::string& sName, const Options& options,
            const ScanFunction& scan);

// ---------------------------------------------------------------------------------------------
// Compound files
// ---------------------------------------------------------------------------------------------
// The document at a compound file's root is the scanner's to judge. What its storages hold is
// walked as a container's members, within the same limits: each storage with a Word 6/95
// WordDocument stream is handed to the scan function as a compound file of its own (named by its
// storage path, "ObjectPool/_1234"), each file that an Ole10Native stream packages or a mail
// (.msg) attaches is a member as an archive's are ("report.doc"), and an attached mail or an
// embedded document is a level of nesting for what lies inside it. docs/containers.md has the
// names.

// Whether the compound file of cb bytes that read reads holds anything to walk, or cannot be
// walked in full. Pure, on every platform, and cheap: the header, the FAT sectors the directory's
// chain needs, the directory, the first bytes of embedded WordDocument streams. False for a file
// that is no compound file.
bool CompoundHoldsObjects(const ReadAtFunction& read, uint64_t cb);

// Walks the contents of the compound file held in fd (cb bytes, read by position; read reads
// the same bytes), its root document left to the caller. kind kCompound, the records as Scan()
// gives them. Where the build has no container module, every object that may hold a document is
// a record of kUnsupported, ERROR: not in this build, never OK. As Scan(), one call at a time.
Result ScanCompound(int fd, uint64_t cb, const ReadAtFunction& read, const Options& options,
                    const ScanFunction& scan);

// ---------------------------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------------------------

// The member of a single compressed stream is called by the name its container stores (gzip's
// FNAME), else by sContainer without its compression suffix (".gz", ".tgz" -> ".tar", ".bz2",
// ".xz", ".zst", ...), else "data".
std::string StreamMemberName(const std::string& sStored, const std::string& sContainer);

// The path of a member as a report line shows it: the file's path, then each container and the
// member, joined by '!'. A '!' inside any name is shown as \x21, so every '!' shown separates; in
// member names '\' is shown as \x5c too, so every \xHH in a member name stands for one byte.
// The caller escapes control characters afterwards, as for every path (they are left as they are
// here).
std::string DisplayPath(const std::string& sFile, const std::vector<std::string>& chain,
                        const std::string& sName);

}  // namespace container
