// The WordBasic macros of a Word 6/95 document, read from bytes alone: the macro table in full,
// a macro's body in the clear with its SHA-256, and the body de-tokenised into readable source.
// Pure functions: no I/O, no allocation (every buffer is the caller's), time linear in the input
// (the table's cross-references: n log n). Plain structs and functions, so that a C API can wrap
// them as they are. docs/wordbasic.md says what each layout rests on and how far it is checked.
#pragma once
#include <cstddef>
#include <cstdint>

namespace wordbasic {

// ---------------------------------------------------------------------------------------------
// The macro table (the WordDocument stream's bytes at the FIB's offset 0x118, of its length
// 0x11C): 0xFF, then sections, each an id byte and its records:
//   0x01 macro entries: u16 count, count x 24 bytes (see Entry)
//   0x03 u8 count of 14-byte records, u8 count of 4-byte records (a 0 may be followed by 0x02 and
//        the count) and one byte more
//   0x05 menu records: u16 count, count x 12 bytes (u16 context, menu, text index, unknown,
//        name id, position)
//   0x10 texts (descriptions and menu texts): u16 size counted from the size field itself (0xFFFF
//        first: UTF-16 texts, the size follows); per text u8 length (UTF-16: u16, in code units),
//        the text, u16 reference count
//   0x11 names: u16 count; per name u16 id, u8 length, the name, one byte more
//   0x12, 0x40 (the end mark) and any other id end the table.
// ---------------------------------------------------------------------------------------------

// Sections walked at most: a table holds a handful; more is a loop in damaged bytes.
constexpr size_t kMaxSections = 64;

// A text inside the table's bytes. UTF-16LE when bUtf16 (cb counts bytes), else 8-bit text in the
// document's ANSI code page (Windows-1252 for the languages that TextToUtf8 knows).
struct TextRef {
  uint32_t lAt = 0;
  uint32_t cb = 0;
  bool bPresent = false;
  bool bUtf16 = false;
};

// What the library's byte scan (MACRO_Handler job 1) makes of an entry: it lists the entries of a
// table that begins with the 0x01 section, marked 0x55, 1 to 3999 bytes long, the first 64.
enum class ByteScan : uint8_t {
  kTaken,      // searched for signatures
  kNotMarked,  // byte 0 is not 0x55
  kEmpty,      // length 0
  kTooLong,    // 4000 bytes or more
  kBeyondCap,  // a usable entry after the first 64
  kNotFirst,   // in a 0x01 section that does not directly follow the table's 0xFF
  kCut,        // in that section, which the bytes cut: its reading fails as a whole
};

// One 24-byte record of a 0x01 section, and what the other sections say of it.
struct Entry {
  uint32_t lAt = 0;             // offset of the record in the table
  uint8_t bMark = 0;            // byte 0: 0x55 marks a macro in use
  uint8_t bKey = 0;             // byte 1: XOR key of the body; 0 stores it plain
  uint16_t wNameId = 0;         // bytes 2-3: id of its name in the 0x11 section
  uint16_t wTextIndex = 0;      // bytes 4-5: its description among the 0x10 texts
  uint32_t lLength = 0;         // 0x0C: bytes of the body
  uint32_t lState = 0;          // 0x10
  uint32_t lOffset = 0;         // 0x14: WordDocument stream offset of the body
  TextRef name;                 // from a whole 0x11 section
  TextRef description;          // the 0x10 text wTextIndex
  TextRef menuText;             // the 0x10 text of the first 0x05 record that names this macro
  uint16_t wMenuTextIndex = 0;  // that record's text index (with menuText, or bMenu)
  bool bMenu = false;           // a 0x05 record names this macro
  ByteScan eByteScan = ByteScan::kNotMarked;
  bool Encrypted() const { return bKey != 0; }
  bool Marked() const { return bMark == 0x55; }
};

// One section as the walk met it.
struct Section {
  uint8_t bId = 0;
  uint32_t lAt = 0;       // offset of its id byte
  uint32_t cb = 0;        // bytes with the id; for 0x12, 0x40 and unknown ids only the id byte
  uint32_t nRecords = 0;  // records it holds (0x03: both kinds; 0x10: whole texts)
  bool bCut = false;      // the bytes end inside it
};

struct Table {
  bool bTable = false;        // the bytes begin with 0xFF
  bool bCut = false;          // they end inside a section (what came before it is kept)
  bool bNameSection = false;  // a whole 0x11 section was read
  size_t nEntries = 0;        // whole 0x01 records met
  size_t nStored = 0;         // of them given to the caller's array, in table order
  size_t nMarked = 0;         // whole records marked 0x55
  size_t nTexts = 0;          // whole 0x10 texts
  size_t nNames = 0;          // names of whole 0x11 sections
  size_t nSections = 0;
  Section aSections[kMaxSections];
};

// Walks the table pb[0..cb) and stores its first cEntries macro entries in aEntries[], names,
// descriptions and menu texts resolved. Not a table (empty, or no 0xFF first): bTable false.
// A 0x11 section cut short gives no names; the first name given for an id wins.
Table ReadTable(const uint8_t* pb, size_t cb, Entry* aEntries, size_t cEntries);

// A text of the table as UTF-8 (Windows-1252 or UTF-16 to UTF-8; a lone surrogate as its
// three-byte WTF-8 form), NUL-terminated within cchOut. Returns the bytes the whole text needs
// (without the NUL): more than cchOut - 1 means it was cut. A NUL in the text is kept, so the
// length, not the terminator, says where it ends (as in the de-tokenised source).
size_t TextToUtf8(const uint8_t* pbTable, size_t cbTable, const TextRef& text, char* pchOut,
                  size_t cchOut);

// ---------------------------------------------------------------------------------------------
// Bodies: XOR with the entry's key; the digest of the body in the clear.
// ---------------------------------------------------------------------------------------------

// pbOut[i] = pbStored[i] ^ bKey for i < cb; pbOut may be pbStored.
void DecryptBody(const uint8_t* pbStored, size_t cb, uint8_t bKey, uint8_t* pbOut);

constexpr size_t kSha256Bytes = 32;

// SHA-256's round constants (FIPS 180-4, 4.2.2), for its block functions.
inline constexpr uint32_t kSha256Round[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// SHA-256 (FIPS 180-4), fed in pieces of any size.
struct Sha256 {
  uint32_t alState[8];
  uint64_t qwBytes;
  uint8_t abBlock[64];
};
void Sha256Init(Sha256* p);
void Sha256Update(Sha256* p, const uint8_t* pb, size_t cb);
// The same fed a body's stored bytes: the digest is of them in the clear (each XOR bKey).
void Sha256UpdateStored(Sha256* p, const uint8_t* pbStored, size_t cb, uint8_t bKey);
void Sha256Final(Sha256* p, uint8_t abDigest[kSha256Bytes]);
// The block function under them: nBlocks 64-byte blocks (each byte XOR bKey) into the state, with
// the processor's SHA instructions when bHardware and Sha256Hardware() say so, else portable code
// (the tests compare the two).
void Sha256Blocks(uint32_t alState[8], const uint8_t* pb, size_t nBlocks, bool bHardware,
                  uint8_t bKey);
bool Sha256Hardware();
// The digest of the body in the clear, from its stored bytes and key, without a copy.
void BodySha256(const uint8_t* pbStored, size_t cb, uint8_t bKey, uint8_t abDigest[kSha256Bytes]);
// A body's stored bytes and key, for BodySha256Many.
struct BodyRef {
  const uint8_t* pbStored;
  size_t cb;
  uint8_t bKey;
};
// The digest of each body in the clear (paDigests[i] of pBodies[i]), as BodySha256 gives it: with
// bAtOnce, sixteen bodies a pass where the processor can (Sha256ManyAtOnce), else one at a time
// (the tests compare the two).
void BodySha256Many(const BodyRef* pBodies, size_t n, uint8_t (*paDigests)[kSha256Bytes],
                    bool bAtOnce = true);
bool Sha256ManyAtOnce();
// 64 lower-case hex digits and a NUL.
void Sha256Hex(const uint8_t abDigest[kSha256Bytes], char achHex[2 * kSha256Bytes + 1]);

// ---------------------------------------------------------------------------------------------
// The token stream of a body in the clear. It begins two bytes into the body (kBodyHeader).
// ---------------------------------------------------------------------------------------------

constexpr size_t kBodyHeader = 2;

enum class TokenKind : uint8_t {
  kSymbol,       // 0x01-0x54, 0x71, 0x72: an operator, a keyword or punctuation (TokenText)
  kLineEnd,      // 0x64
  kLabel,        // 0x65: u8 length, text
  kLineNumber,   // 0x66: u16 number
  kCall,         // 0x67: u16 id of a built-in statement or function (CommandName)
  kDouble,       // 0x68: 8-byte IEEE double
  kIdentifier,   // 0x69: u8 length, text
  kString,       // 0x6A: u8 length, text
  kComment,      // 0x6B: u8 length, text after the '
  kInteger,      // 0x6C: u16
  kSpaces,       // 0x6E: u8 count
  kTabs,         // 0x6F: u8 count
  kRem,          // 0x70: u8 length, text after REM
  kField,        // 0x73: u16 id of a dialog field (FieldName)
  kFieldName,    // 0x76: u8 length, the field's name
  kStringWide,   // 0x79: u16 length in code units, UTF-16 text
  kCommentWide,  // 0x7C: u8 length in code units, UTF-16 text
  kTextToken,    // 0x6D, 0x77: u8 length and text, of a meaning not known
  kUnknown,      // a byte that begins no known token (its length is not known either)
  kCut,          // a known token whose operand the body's end cuts: the bytes that are left
};

struct Token {
  TokenKind eKind = TokenKind::kUnknown;
  uint8_t bToken = 0;                // the token byte
  uint32_t lAt = 0;                  // offset in the body
  uint32_t cb = 0;                   // bytes it spans, token byte included
  uint16_t wValue = 0;               // id, count, number
  double dValue = 0;                 // kDouble
  uint32_t lTextAt = 0, cbText = 0;  // the operand text in the body (UTF-16: bytes)
};

// Decodes the token at *pPos of the body pb[0..cb) (the caller starts at kBodyHeader) and moves
// *pPos past it; false at the end. Every byte belongs to exactly one token.
bool NextToken(const uint8_t* pb, size_t cb, size_t* pPos, Token* pTok);

// Names from the tables: null when the id or byte is not known.
const char* TokenText(uint8_t bToken);  // "And", "(", "EndIf", ...
const char* CommandName(uint16_t wId);  // "FileSaveAs", "MacroCopy", ...
const char* FieldName(uint16_t wId);    // "Name" (printed as .Name)

// Where a table's fact comes from (docs/wordbasic.md).
enum class Source : uint8_t {
  kMsDoc,            // MS-DOC 2.9.75 Fci, as published
  kMsDocWw7,         // MS-DOC's "WW7_" name, the prefix dropped: the Word 95 command
  kMsDocAndPeer,     // MS-DOC, and a peer's table gives the id the same name
  kMsDocWw7AndPeer,  // the two above at once
  kPeer,             // a peer's table alone
  kPeerCorrected,    // a peer's table, its evident misspelling corrected
};

struct NameRow {
  uint16_t wId;
  const char* szName;
  Source eSource;
};

// The tables, sorted by id, for tests and the documentation.
const NameRow* CommandRows(size_t* pn);
const NameRow* FieldRows(size_t* pn);
const NameRow* SymbolRows(size_t* pn);

// ---------------------------------------------------------------------------------------------
// The body as WordBasic source text.
// ---------------------------------------------------------------------------------------------

struct SourceInfo {
  size_t cchSource = 0;     // bytes the whole source takes (without a NUL)
  size_t cchWritten = 0;    // of them written to the caller's buffer
  bool bTruncated = false;  // the buffer held less than the whole source
  uint16_t wHeader = 0;     // the body's first two bytes (little-endian)
  size_t cbHeader = 0;      // 2, or fewer in a shorter body
  size_t nLines = 0;        // line ends met
  size_t nTokens = 0;
  size_t nUnknownTokens = 0;  // bytes shown as [token 0xNN]
  size_t nUnknownCalls = 0;   // ids shown as [cmd 0xNNNN]
  size_t nUnknownFields = 0;  // ids shown as .[field 0xNNNN]
  size_t nTextTokens = 0;     // tokens of a known length, unknown meaning
  size_t cbCut = 0;           // bytes shown as [cut ...]
  size_t cbNotDecoded = 0;    // bytes after a line of kMaxUnknownInLine unknown tokens
  size_t cbDecoded = 0;       // bytes of tokens decoded (header, unknown and cut bytes apart)
};

// Writes the body pb[0..cb) (in the clear) as source text into pchOut[0..cchOut), NUL-terminated
// when cchOut > 0, UTF-8 (8-bit texts read as Windows-1252), lines ended by '\n'. Spaces that the
// stream leaves implicit are put between tokens as WordBasic is written. Whatever is not known
// shows as such: [token 0xNN] (a byte that begins no known token: decoding goes on at the next
// byte, so what follows on that line may be misread), [cmd 0xNNNN], .[field 0xNNNN],
// [token 0xNN "text"] (a known length of unknown meaning), [cut 0xNN ...] (the bytes of a token
// that the body's end cuts; the first kMaxCutShown, then "... N bytes" counting them all),
// [not decoded: N bytes] (see kMaxUnknownInLine). A smaller buffer gives
// a prefix of the same text; cchSource says how much the whole needs, at most kMaxExpansion * cb +
// kMaxExpansion.
SourceInfo Detokenise(const uint8_t* pb, size_t cb, char* pchOut, size_t cchOut);

// A line holding this many bytes that begin no known token is taken for bytes that are no token
// stream (a wrong key, data, damage): the rest of the body shows as [not decoded: N bytes], not
// as a marker a byte. WordBasic that a table misses puts a marker or two on a line, not this.
constexpr size_t kMaxUnknownInLine = 16;

// The bytes of a cut token shown one by one.
constexpr size_t kMaxCutShown = 8;

// The most source text one body byte can make (a run of 255 spaces from two bytes).
constexpr size_t kMaxExpansion = 128;

}  // namespace wordbasic
