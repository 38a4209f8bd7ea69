// What a scan shows of a document's WordBasic macros when asked (zebscan --macros, --source,
// --extract): one record a macro, made by whoever scanned the document (a worker, or the front
// end's own process) from the bytes the name reader kept, and the document's own flags that an
// analyst reads first: a template, auto macros, macros named like built-in commands.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "namereader.h"
#include "wordbasic.h"

namespace zm {

// How much of each macro a scan lists (ScanOptions::macros); each level holds those before it.
enum class MacroDetail : uint8_t {
  kNone,    // nothing beyond the names: no cost
  kList,    // name, description, key, size, offset, SHA-256, the byte scan's judgement
  kSource,  // and the de-tokenised source
  kBodies,  // and the body in the clear
};

// Source text of one document's macros in all, at most: one byte of body can stand for 128 bytes
// of source (a run of spaces), and the result crosses the workers' channel.
constexpr size_t kMaxListedSourceBytes = 1 << 20;
// A description longer than this is cut (at a character's end).
constexpr size_t kMaxDescriptionBytes = 1024;

// How much of a body was read.
enum class BodyRead : uint8_t {
  kWhole,
  kCut,     // the stream (or the file) ends inside it
  kOverCap  // the listing's cap on body bytes was spent (MacroBytes::kMaxBodyBytes)
};

struct MacroRecord {
  bool bNamed = false;       // the 0x11 section names it
  std::string sName;         // Windows-1252 bytes, as the table holds them
  std::string sDescription;  // UTF-8; empty when the table gives none
  uint8_t bKey = 0;          // XOR key of the stored body; 0: stored plain
  uint32_t cbSize = 0;       // the entry's length
  uint32_t lOffset = 0;      // the body's offset in the WordDocument stream
  uint32_t cbRead = 0;       // bytes of it read
  BodyRead eBody = BodyRead::kWhole;
  uint8_t abSha256[wordbasic::kSha256Bytes] = {};  // of the body in the clear, when read whole
  uint32_t iQueuedDigest = DigestQueue::kNone;     // or its number in the scan's DigestQueue
  wordbasic::ByteScan eByteScan = wordbasic::ByteScan::kTaken;
  // MacroDetail::kSource: the source of the bytes read (UTF-8, save for a lone surrogate of a
  // UTF-16 text, kept as WTF-8), cut when kMaxListedSourceBytes was spent.
  std::string sSource;
  bool bSourceCut = false;
  uint32_t nUnknown =
      0;  // markers of what the tables do not know ([token 0xNN], [cmd 0xNNNN], ...)
  // MacroDetail::kBodies: the bytes read, in the clear.
  std::string body;
};

struct MacroListing {
  MacroDetail detail = MacroDetail::kNone;  // the level listed; kNone: not asked for, or no macros
  bool bTemplate = false;  // FIB fDot: a template, whose macros Word runs in every document made
                           // from it
  std::vector<MacroRecord> records;  // the macros (entries marked 0x55), in table order
  size_t nLeftOut = 0;               // macros beyond MacroBytes::kMaxMacros, not listed
};

// The listing of a document's macros from the name reader's bytes, to the level asked (kSource and
// kBodies need the bytes read with bKeep).
MacroListing ListMacros(const MacroBytes& bytes, MacroDetail detail);

// The 64 hex digits of m's digest; empty unless its body was read whole.
std::string Sha256Text(const MacroRecord& m);

// A document inside a container, listed: its record's index in FileResult::members.
struct MemberListing {
  size_t iMember = 0;
  MacroListing listing;
};
// The members' listings of one container, at most, by ListingBytes: with its member records
// (the worker's kMaxRecordBytes) a result stays within what the workers' channel carries.
constexpr size_t kMaxMemberListingBytes = 4u << 20;
// About the bytes a listing takes on the workers' channel.
size_t ListingBytes(const MacroListing& l);

// Names that make Word run a macro by itself (AutoOpen, AutoClose, AutoNew, AutoExec, AutoExit),
// without regard to case, as Word finds them.
bool IsAutoMacro(const std::string& sName);
// The built-in command (a statement of the module's command table) whose name the macro carries,
// without regard to case: Word runs the macro in the command's place. Null when none.
const char* CommandNamed(const std::string& sName);

// What ByteScan says, in words: "taken", "not marked", "empty", "too long", "beyond the 64th",
// "not in the first section", "in a cut section".
const char* ByteScanText(wordbasic::ByteScan e);

}  // namespace zm
