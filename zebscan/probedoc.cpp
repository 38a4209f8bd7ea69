// Header, one FAT sector, the stream's sectors, the directory last (the reader reads a whole block
// of entries from its first sector on, and the file's end gives zeros, which are empty entries).
#include "probedoc.h"

#include <cstdint>

namespace zebscan {
namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kEndOfChain = 0xFFFFFFFEu, kFree = 0xFFFFFFFFu, kFatSector = 0xFFFFFFFDu;
constexpr uint32_t kNoEntry = 0xFFFFFFFFu;
// The header's mini-stream cutoff: a stream at least this long lies in regular sectors.
constexpr uint32_t kMiniCutoff = 4096;
// The FIB fields of a Word 6 stream that the reader looks at, and where the body is put.
constexpr uint32_t kFibMacroTable = 0x118, kFibMacroTableSize = 0x11C, kBodyAt = 0x180;
constexpr size_t kMaxBody = 3999;

void Put16(std::string* p, size_t at, uint32_t v) {
  if (p->size() < at + 2) p->resize(at + 2);
  for (int i = 0; i < 2; ++i) (*p)[at + i] = static_cast<char>(v >> (8 * i));
}

void Put32(std::string* p, size_t at, uint32_t v) {
  if (p->size() < at + 4) p->resize(at + 4);
  for (int i = 0; i < 4; ++i) (*p)[at + i] = static_cast<char>(v >> (8 * i));
}

// A directory entry: its UTF-16 name (ASCII here), type, child and stream.
std::string Entry(const char* szName, uint8_t bType, uint32_t uChild, uint32_t uStart,
                  uint32_t cbSize) {
  std::string e(128, '\0');
  size_t n = 0;
  for (; szName[n] != '\0'; ++n) e[2 * n] = szName[n];
  Put16(&e, 0x40, static_cast<uint32_t>(2 * (n + 1)));
  e[0x42] = static_cast<char>(bType);
  e[0x43] = 1;  // black
  Put32(&e, 0x44, kNoEntry);
  Put32(&e, 0x48, kNoEntry);
  Put32(&e, 0x4C, uChild);
  Put32(&e, 0x74, uStart);
  Put32(&e, 0x78, cbSize);
  return e;
}

}  // namespace

std::string ProbeDocument(const std::string& sBody) {
  if (sBody.empty() || sBody.size() > kMaxBody) return "";
  // The stream: the FIB (version 0x65, Word 6), the body, the macro table with its one entry.
  std::string stream(kBodyAt, '\0');
  Put16(&stream, 0, 0xA5DC);
  Put16(&stream, 2, 0x65);
  stream += sBody;
  const uint32_t lTable = static_cast<uint32_t>(stream.size());
  std::string table = "\xFF\x01";
  Put16(&table, 2, 1);
  std::string entry(24, '\0');
  entry[0] = 0x55;  // a macro to take; key 0: stored plain
  Put32(&entry, 0x0C, static_cast<uint32_t>(sBody.size()));
  Put32(&entry, 0x14, kBodyAt);
  table += entry + "\x40";
  stream += table;
  Put32(&stream, kFibMacroTable, lTable);
  Put32(&stream, kFibMacroTableSize, static_cast<uint32_t>(table.size()));
  if (stream.size() < kMiniCutoff) stream.resize(kMiniCutoff, '\0');
  const uint32_t cbStream = static_cast<uint32_t>(stream.size());
  const uint32_t nStream = (cbStream + kSector - 1) / kSector;
  stream.resize(size_t{nStream} * kSector, '\0');

  // Sector 0 the FAT, 1 to nStream the stream, then the directory.
  const uint32_t uDir = nStream + 1;
  std::string header(kSector, '\0');
  header.replace(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
  Put16(&header, 0x18, 0x3E);
  Put16(&header, 0x1A, 3);
  Put16(&header, 0x1C, 0xFFFE);
  Put16(&header, 0x1E, 9);
  Put16(&header, 0x20, 6);
  Put32(&header, 0x2C, 1);
  Put32(&header, 0x30, uDir);
  Put32(&header, 0x38, kMiniCutoff);
  Put32(&header, 0x3C, kEndOfChain);
  Put32(&header, 0x44, kEndOfChain);
  Put32(&header, 0x4C, 0);
  for (uint32_t k = 1; k < 109; ++k) Put32(&header, 0x4C + 4 * k, kFree);
  std::string fat(kSector, '\xFF');
  Put32(&fat, 0, kFatSector);
  for (uint32_t s = 1; s < nStream; ++s) Put32(&fat, 4 * s, s + 1);
  Put32(&fat, 4 * nStream, kEndOfChain);
  Put32(&fat, 4 * uDir, kEndOfChain);
  std::string dir = Entry("Root Entry", 5, 1, kEndOfChain, 0) +
                    Entry("WordDocument", 2, kNoEntry, 1, cbStream) + std::string(256, '\0');
  return header + fat + stream + dir;
}

}  // namespace zebscan
