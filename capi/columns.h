// Many results' records as a table, a column a field, for a caller that makes a data frame of
// them: reading the records' JSON back costs an interpreter more than the scan of a file.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "scanner.h"

namespace capi {

// The layout, little-endian, every part starting on a multiple of 8 bytes:
//   "ZMC1", uint32 columns, uint64 rows; then each column: uint32 name length, the name, its
//   kind, uint64 payload length, the payload.
// Texts are UTF-8, each followed by a 0xFF byte (no UTF-8 text holds one). A payload by kind:
//   'i' int64 a row;  'I' int64 a row, then a byte a row (1: present);
//   'b' a byte a row;  'B' a byte a row (0, 1; 2: absent);
//   's' uint64 texts, int32 a row (an index into them, -1: absent), then the texts;
//   't' a text a row;  'l' int32 a row (its count of texts, -1: absent), then the texts;
//   'j' a text a row, the field's JSON (empty: absent).
// A field is present in a row where the row's record has it, with the value it has there;
// `record` (kind 't') is the record itself, as ZMS_pszScanPaths writes it.
class RecordColumns {
 public:
  // nRows: the rows expected, for room made at once.
  explicit RecordColumns(size_t nRows);
  // Adds r's row; its record line into *psLine.
  void Add(const zm::FileResult& r, std::string* psLine);
  // The table's bytes, and their writing into Size() bytes at pch.
  size_t Size() const;
  void Write(char* pch) const;

 private:
  enum Kind : char {
    kInt = 'i',
    kOptInt = 'I',
    kBool = 'b',
    kOptBool = 'B',
    kCoded = 's',
    kText = 't',
    kList = 'l',
    kJson = 'j',
  };
  struct Column {
    const char* szName;
    Kind kind;
    std::vector<int64_t> ints;
    std::vector<uint8_t> bytes;  // booleans, or whether an int is present
    std::vector<int32_t> codes;  // indexes into texts (kCoded), counts of texts (kList)
    std::unordered_map<std::string, int32_t> index;  // kCoded: each text's place in texts
    std::string texts;
    bool bSet = false;  // in the row being added
  };

  void Int(Column& c, int64_t v);
  void Bool(Column& c, bool b);
  void Text(Column& c, const std::string& s);
  void List(Column& c, const std::vector<std::string>& items);
  void Json(Column& c, const std::string& sJson);
  void FromResult(const zm::FileResult& r);
  void FromRecord(const std::string& sLine);
  void EndRow();

  std::vector<Column> m_columns;
  std::vector<std::string> m_items;  // a list field's, reused from row to row
  uint64_t m_nRows = 0;
};

}  // namespace capi
