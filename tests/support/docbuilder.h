// The Word 6 document builder: writes real OLE2 compound files (version 3, 512-byte sectors)
// holding a Word 6/95 "WordDocument" stream with a macro table, for the tests, the front end's
// sample generator and the benchmarks. Independent of the library's reader: nothing here calls
// it. No GoogleTest dependency.
//
// What a built file holds, by default:
//   - a header (full signature D0 CF 11 E0 A1 B1 1A E1, FAT sector list, directory start, mini
//     cutoff 4096, mini-FAT start), the FAT, a directory with "Root Entry" (entry 0) and a
//     "WordDocument" entry (entry 1), entries below the root kept in a balanced tree;
//   - the WordDocument stream: a Word 6 FIB (wIdent 0xA5DC, nFib 0x65) whose fields at 0x118 /
//     0x11C give the macro table's offset and length; then the macro bodies, XOR-encrypted with
//     their keys; then the macro table:
//       0xFF 0x01, u16 count, count x 24-byte entries (0x00 mark 0x55, 0x01 key, 0x02 u16 name id,
//       0x04 u16 index of its description, 0x0C u32 length, 0x10 u32 state, 0x14 u32 stream
//       offset), then any extra sections as given, the menu section 0x05 (u16 count; 12-byte
//       records: u16 context, menu, text index, 0, name id, position) and the text section 0x10
//       (u16 size from the size field on, 0xFFFF first for UTF-16; per text u8 length (UTF-16:
//       u16), the text, u16 reference count) when a macro has a description or a menu text, then
//       the name section 0x11 (u16 count; per name u16 id, u8 length, the name bytes, one NUL),
//       then the end mark 0x40;
//   - the stream in the mini-stream when it is smaller than the cutoff (like Word itself), in
//     regular sectors otherwise.
// Bytes of the stream that nothing else fills follow a fixed pattern (PatternByte), so a test can
// check any range it reads.
//
// Typical use:
//   zmdoc::DocSpec spec;
//   spec.macros.push_back(zmdoc::MacroCarrying(zmdoc::DatabaseSignature(45, 1), 0x5A, "AutoOpen"));
//   std::vector<uint8_t> file = zmdoc::BuildWord6(spec);
//   zmdoc::WriteFile("wieder.doc", file);
//
// Every knob defaults to a well-formed file; the knobs below make the edge cases of the reader.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zmdoc {

// Compound-file markers (32-bit).
constexpr uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr uint32_t kFreeSector = 0xFFFFFFFFu;
constexpr uint32_t kFatSector = 0xFFFFFFFDu;
constexpr uint32_t kNoStream = 0xFFFFFFFFu;
constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kMiniSectorSize = 64;
// Size of the FIB area at the start of the stream; automatic layout places bodies after it.
constexpr uint32_t kFibSize = 0x180;

// One macro: an entry of the 0x01 section, its body, and its name in the 0x11 section.
struct MacroSpec {
  std::string name = "AutoOpen";           // 8-bit name for the 0x11 section
  std::vector<uint8_t> body;               // the macro's bytes in the clear
  uint8_t key = 0;                         // XOR key; 0 stores the body plain
  uint8_t mark = 0x55;                     // entry byte 0 (0x55: an entry to take)
  std::optional<uint32_t> lengthField;     // entry 0x0C; default: body size
  std::optional<uint32_t> offsetField;     // entry 0x14; default: where the body was placed
  std::optional<uint32_t> at;              // stream offset of the body; default: laid out in order
  std::optional<uint16_t> nameId;          // entry bytes 2-3 and the name's id; default: its index
  std::optional<std::string> description;  // a 0x10 text named by entry bytes 4-5
  std::optional<std::string> menuText;     // a 0x10 text named by a 0x05 record for this macro
  uint32_t state = 0;                      // entry 0x10
};

enum class Placement {
  kAuto,     // mini-stream when the stream is smaller than the cutoff, regular sectors otherwise
  kRegular,  // regular sectors whatever the size (with a small size: not what a reader expects)
  kMini,     // the mini-stream whatever the size
};

enum class ChainOrder {
  kForward,      // the stream's sectors follow one another in the file
  kReverse,      // its chain visits them from the last to the first
  kInterleaved,  // a free sector lies after each of its sectors
};

// A further directory entry: a stream or a storage, below the root or below a storage of its own.
struct EntrySpec {
  std::u16string name;        // UTF-16 code units, at most 31
  uint8_t type = 2;           // 1 storage, 2 stream
  std::vector<uint8_t> data;  // stream content
  int index = -1;             // directory position; -1: the next free one
  Placement placement = Placement::kAuto;
  std::optional<uint32_t> startField;  // the entry's start sector as written
  std::optional<uint32_t> sizeField;   // the entry's size as written
  int parent = 0;                      // directory position of the storage it lies in; 0: root
};

struct DocSpec {
  // ---- The WordDocument stream ----
  std::vector<MacroSpec> macros;
  bool macroTable = true;              // write a macro table at all
  uint8_t tableMark = 0xFF;            // table byte 0
  uint8_t tableSection = 0x01;         // table byte 1
  std::optional<uint16_t> countField;  // table bytes 2-3; default: number of macros
  bool nameSection = true;             // write the 0x11 name section
  bool wideTexts = false;              // the 0x10 section in UTF-16 (each byte a code unit)
  std::vector<std::vector<uint8_t>> extraSections;  // written as given (id byte first) after 0x01
  std::optional<uint32_t> tableAt;         // stream offset of the table; default: after bodies
  std::optional<uint32_t> fibMacroTable;   // FIB 0x118; default: the table's offset (0: none)
  std::optional<uint32_t> fibMacroLength;  // FIB 0x11C; default: the table's length
  uint32_t minStreamSize = 0;              // the stream is padded (pattern) to at least this
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> patches;  // poked last, at offsets
  // A password-protected document as Word 95 writes it: FIB fEncrypted (0x0A, bit 8) set and
  // lKey (0x0E) given, and every stream byte from 0x30 on XOR-ed with a 16-byte key (kScrambleKey,
  // by the offset's low four bits) unless it is zero, so the macro table's position and the table
  // are scrambled like the rest. Applied last, after the patches.
  bool encrypted = false;
  // The macro table is just FF 40: a table with no sections at all (the macros are not listed).
  bool emptyTable = false;
  // Word 97 layout for negative controls: wIdent 0xA5EC, nFib 0xC1, fWhichTblStm set, a
  // "1Table" stream holding the macro table (its bodies stay in WordDocument); FIB 0x118 is 0
  // unless fibMacroTable says otherwise.
  bool word97 = false;

  // ---- The compound file ----
  std::u16string streamName = u"WordDocument";  // empty: no such entry (a mail, a workbook)
  int wordDocIndex = 1;                         // directory position of the WordDocument entry
  std::vector<EntrySpec> extraEntries;
  Placement placement = Placement::kAuto;         // of the WordDocument stream
  uint32_t miniCutoff = 4096;                     // header 0x38
  ChainOrder streamOrder = ChainOrder::kForward;  // of a WordDocument stream in regular sectors
  bool miniReverse = false;  // its mini-chain visits its mini-sectors backwards
  int minDirSectors = 1;
  int dirGapSectors = 0;               // sectors between the first directory sector and the rest
  std::vector<uint8_t> dirGapContent;  // content of each gap sector (default: zeros)
  bool fatReversed = false;            // FAT sectors at the file's end, in reverse order
  bool badSignatureTail = false;       // header bytes 4-7 are not A1 B1 1A E1
  std::optional<uint32_t> sizeField;   // the WordDocument entry's size as written (a lie)
  std::optional<uint32_t> startField;  // the WordDocument entry's start as written
  bool streamChainLoop = false;        // regular chain: the last sector links to the first
  bool miniChainLoop = false;          // mini-chain: the last mini-sector links to the first
  bool miniFatChainLoop = false;       // the mini-FAT's own chain loops
  bool rootChainLoop = false;          // the container's chain loops
  int rootChainSectors = 0;            // > 0: the container's chain ends after so many sectors
  size_t truncateTo = 0;               // > 0: the file is cut to this many bytes
};

// Where things went, for tests that aim at them.
struct BuildInfo {
  std::vector<uint8_t> wordDocument;          // the stream's bytes as written
  uint32_t tableOffset = 0, tableLength = 0;  // 0/0 without a table
  std::vector<uint32_t> bodyOffsets;          // per macro
  bool inMiniStream = false;
  std::vector<uint32_t> chain;  // the stream's sectors (or mini-sectors), in stream order
  uint32_t dirStart = 0;        // first directory sector
  uint32_t fatSectors = 0;
};

// The key of DocSpec::encrypted: stream byte i (from 0x30 on) is XOR-ed with kScrambleKey[i % 16].
// Byte 11 is below 0xF0, so a table position of 0xFFFFFFFF comes out at 0x10000000 or more.
extern const uint8_t kScrambleKey[16];

// The byte that pattern-filled stream offset `offset` holds.
uint8_t PatternByte(uint32_t offset);

// The whole compound file, or an empty vector when the spec cannot be laid out (more than 109
// FAT sectors, a name over 31 code units, an entry position taken twice).
std::vector<uint8_t> BuildWord6(const DocSpec& spec, BuildInfo* pInfo = nullptr);

// Writes bytes to a file (binary, replacing it); false on failure.
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// Hex text ("4D5A...", two digits a byte) to bytes; a lone last digit is dropped.
std::vector<uint8_t> HexBytes(const std::string& hex);
// The decoded bytes of the signature in slot iSlot of macro iMacro of g_aVirusDefs[iDef] (the
// library's database, 0-based positions); empty when there is none.
// Example: DatabaseSignature(45, 1) is Macro.Word.Wieder's AutoOpen signature.
std::vector<uint8_t> DatabaseSignature(int iDef, int iMacro, int iSlot = 0);

// An object embedded as Word keeps it: a storage "ObjectPool" below the root at directory position
// `at`, in it a storage `name`, in that the streams given (their parent set; positions at + 2 on).
std::vector<EntrySpec> ObjectPoolEntries(int at, std::vector<EntrySpec> streams,
                                         const std::u16string& name = u"_1234");
// The entries of another built document's WordDocument stream, for ObjectPoolEntries.
EntrySpec WordDocumentEntry(const DocSpec& embedded);

// A macro that matches nothing: 40 spaces under key 0x21, named `name`.
MacroSpec HarmlessMacro(const std::string& name);

// A macro of `size` bytes (deterministic filler) carrying `embedded` at offset `at`.
MacroSpec MacroCarrying(const std::vector<uint8_t>& embedded, uint8_t key = 0x5A,
                        const std::string& name = "AutoOpen", size_t size = 200, size_t at = 40);

}  // namespace zmdoc
