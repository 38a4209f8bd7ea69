// A plain file's row is taken from its result, as RecordLine writes its line; any other row from
// its record read back, so that every value is the one its record holds.
#include "columns.h"

#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>

#include "record.h"
#include "textutil.h"

namespace capi {
namespace {

// The fields of zebscan's records that are columns, and how each is kept; ColumnIndex names them.
struct ColumnDef {
  const char* szName;
  char kind;
};
constexpr ColumnDef kColumns[] = {
    {"schema", 'i'},
    {"path", 't'},
    {"path_bytes", 's'},
    {"result", 's'},
    {"reason", 's'},
    {"virus", 's'},
    {"found_by", 's'},
    {"virus_macros", 'l'},
    {"macros", 'i'},
    {"names", 'l'},
    {"unnamed", 'i'},
    {"names_left_out", 'i'},
    {"table_cut", 'b'},
    {"deep_fallback", 'b'},
    {"unconfirmed_alarm", 'b'},
    {"container", 's'},
    {"members_scanned", 'I'},
    {"members", 'j'},
    {"macro_records", 'j'},
    {"macro_records_left_out", 'I'},
    {"template", 'B'},
    {"auto_macros", 'l'},
    {"command_macros", 'l'},
    {"member_listings_left_out", 'I'},
    {"record", 't'},
};
enum ColumnIndex : size_t {
  kColSchema,
  kColPath,
  kColPathBytes,
  kColResult,
  kColReason,
  kColVirus,
  kColFoundBy,
  kColVirusMacros,
  kColMacros,
  kColNames,
  kColUnnamed,
  kColNamesLeftOut,
  kColTableCut,
  kColDeepFallback,
  kColUnconfirmed,
  kColRecord = sizeof kColumns / sizeof kColumns[0] - 1,
};
static_assert(std::string_view(kColumns[kColUnconfirmed].szName) == "unconfirmed_alarm" &&
                  std::string_view(kColumns[kColRecord].szName) == "record",
              "ColumnIndex follows kColumns");

const char kEnd = '\xFF';  // ends each text: no UTF-8 text holds the byte

size_t Aligned(size_t cb) { return (cb + 7) / 8 * 8; }

// Writes the table into a buffer of its size, little-endian, as every platform we build for is.
struct Writer {
  char* pch;
  size_t at;
  void Bytes(const void* pv, size_t cb) {
    if (cb) std::memcpy(pch + at, pv, cb);
    at += cb;
  }
  template <typename T>
  void Put(T v) {
    Bytes(&v, sizeof v);
  }
  template <typename T>
  void Array(const std::vector<T>& v) {
    Bytes(v.data(), v.size() * sizeof(T));
  }
  void Pad() {
    const size_t to = Aligned(at);
    std::memset(pch + at, 0, to - at);
    at = to;
  }
};

}  // namespace

RecordColumns::RecordColumns(size_t nRows) {
  for (const ColumnDef& d : kColumns) {
    Column c;
    c.szName = d.szName;
    c.kind = static_cast<Kind>(d.kind);
    m_columns.push_back(std::move(c));
  }
  // Room for a plain file's row: its fields grow without copying themselves again.
  for (size_t i : {kColSchema, kColMacros, kColUnnamed, kColNamesLeftOut})
    m_columns[i].ints.reserve(nRows);
  for (size_t i : {kColTableCut, kColDeepFallback, kColUnconfirmed})
    m_columns[i].bytes.reserve(nRows);
  for (Column& c : m_columns)
    if (c.kind == kCoded || c.kind == kList) c.codes.reserve(nRows);
  m_columns[kColPath].texts.reserve(nRows * 64);
  m_columns[kColRecord].texts.reserve(nRows * 256);
}

void RecordColumns::Int(Column& c, int64_t v) {
  c.ints.push_back(v);
  if (c.kind == kOptInt) c.bytes.push_back(1);
  c.bSet = true;
}

void RecordColumns::Bool(Column& c, bool b) {
  c.bytes.push_back(b ? 1 : 0);
  c.bSet = true;
}

void RecordColumns::Text(Column& c, const std::string& s) {
  if (c.kind == kText) {
    c.texts += s;
    c.texts += kEnd;
  } else {
    auto it = c.index.find(s);
    if (it == c.index.end()) {
      it = c.index.emplace(s, static_cast<int32_t>(c.index.size())).first;
      c.texts += s;
      c.texts += kEnd;
    }
    c.codes.push_back(it->second);
  }
  c.bSet = true;
}

void RecordColumns::List(Column& c, const std::vector<std::string>& items) {
  c.codes.push_back(static_cast<int32_t>(items.size()));
  for (const std::string& s : items) {
    c.texts += s;
    c.texts += kEnd;
  }
  c.bSet = true;
}

void RecordColumns::Json(Column& c, const std::string& sJson) {
  c.texts += sJson;
  c.texts += kEnd;
  c.bSet = true;
}

// Each column not set in the row is absent from it (a plain column always is set).
void RecordColumns::EndRow() {
  for (Column& c : m_columns) {
    if (!c.bSet) {
      switch (c.kind) {
        case kOptInt:
          c.ints.push_back(0);
          c.bytes.push_back(0);
          break;
        case kOptBool:
          c.bytes.push_back(2);
          break;
        case kCoded:
        case kList:
          c.codes.push_back(-1);
          break;
        case kJson:
          c.texts += kEnd;
          break;
        default:  // always present in a record
          throw std::logic_error(c.szName);
      }
    }
    c.bSet = false;
  }
  ++m_nRows;
}

void RecordColumns::FromResult(const zm::FileResult& r) {
  const zm::MacroTable& t = r.doc.table;
  Int(m_columns[kColSchema], zm::kJsonSchema);
  if (zm::IsUtf8(r.sPath)) {
    Text(m_columns[kColPath], r.sPath);
  } else {
    Text(m_columns[kColPath], zm::LossyUtf8(r.sPath));
    Text(m_columns[kColPathBytes], zm::Base64(r.sPath));
  }
  Text(m_columns[kColResult], zm::kOutcome[static_cast<int>(r.outcome)]);
  if (r.outcome == zm::Outcome::kFound) {
    Text(m_columns[kColVirus], r.sVirus);
    Text(m_columns[kColFoundBy], zm::FoundByText(r.foundBy));
    m_items.clear();
    size_t from = 0;
    for (size_t i; (i = r.sResultMacros.find('&', from)) != std::string::npos; from = i + 1)
      m_items.push_back(zm::Cp1252ToUtf8(r.sResultMacros.substr(from, i - from)));
    List(m_columns[kColVirusMacros], m_items);
  }
  if (r.outcome == zm::Outcome::kError || r.outcome == zm::Outcome::kSkipped)
    Text(m_columns[kColReason], zm::LossyUtf8(r.sReason));
  Int(m_columns[kColMacros], t.nMacros);
  m_items.clear();
  for (const std::string& name : t.names) m_items.push_back(zm::Cp1252ToUtf8(name));
  List(m_columns[kColNames], m_items);
  Int(m_columns[kColUnnamed], t.nUnnamed);
  Int(m_columns[kColNamesLeftOut], r.nLeftOut);
  Bool(m_columns[kColTableCut], t.bCut);
  Bool(m_columns[kColDeepFallback], r.bFallback);
  Bool(m_columns[kColUnconfirmed], r.bUnconfirmed);
}

void RecordColumns::FromRecord(const std::string& sLine) {
  const nlohmann::json j = nlohmann::json::parse(sLine);
  for (Column& c : m_columns) {
    if (&c == &m_columns[kColRecord]) continue;  // the line itself, added after
    auto it = j.find(c.szName);
    if (it == j.end()) continue;
    const nlohmann::json& v = *it;
    switch (c.kind) {
      case kInt:
      case kOptInt:
        if (v.is_number_integer()) Int(c, v.get<int64_t>());
        break;
      case kBool:
      case kOptBool:
        if (v.is_boolean()) Bool(c, v.get<bool>());
        break;
      case kCoded:
      case kText:
        if (v.is_string()) Text(c, v.get<std::string>());
        break;
      case kList:
        if (v.is_array()) {
          std::vector<std::string> items;
          for (const nlohmann::json& e : v)
            if (e.is_string()) items.push_back(e.get<std::string>());
          if (items.size() == v.size()) List(c, items);
        }
        break;
      case kJson:
        Json(c, v.dump());
        break;
    }
  }
}

void RecordColumns::Add(const zm::FileResult& r, std::string* psLine) {
  *psLine = zm::RecordLine(r);
  if (zm::IsPlainRecord(r))
    FromResult(r);
  else
    FromRecord(*psLine);
  Column& record = m_columns[kColRecord];
  record.texts.append(*psLine, 0, psLine->size() - 1);  // without its line end
  record.texts += kEnd;
  record.bSet = true;
  EndRow();
}

size_t RecordColumns::Size() const {
  size_t cb = 16;
  for (const Column& c : m_columns) {
    cb = Aligned(cb + sizeof(uint32_t) + std::strlen(c.szName) + 1) + sizeof(uint64_t);
    cb += c.ints.size() * sizeof(int64_t) + c.bytes.size() + c.codes.size() * sizeof(int32_t) +
          (c.kind == kCoded ? sizeof(uint64_t) : 0) + c.texts.size();
    cb = Aligned(cb);
  }
  return cb;
}

void RecordColumns::Write(char* pch) const {
  Writer w{pch, 0};
  w.Bytes("ZMC1", 4);
  w.Put<uint32_t>(static_cast<uint32_t>(m_columns.size()));
  w.Put<uint64_t>(m_nRows);
  for (const Column& c : m_columns) {
    const uint32_t cchName = static_cast<uint32_t>(std::strlen(c.szName));
    w.Put(cchName);
    w.Bytes(c.szName, cchName);
    const char kind = c.kind;
    w.Bytes(&kind, 1);
    w.Pad();
    const size_t atLength = w.at;
    w.Put<uint64_t>(0);  // the payload's length, set below
    if (c.kind == kCoded) w.Put<uint64_t>(c.index.size());
    w.Array(c.ints);  // a kind's parts that it has not are empty
    w.Array(c.bytes);
    w.Array(c.codes);
    w.Bytes(c.texts.data(), c.texts.size());
    const uint64_t cbPayload = w.at - atLength - sizeof(uint64_t);
    std::memcpy(pch + atLength, &cbPayload, sizeof cbPayload);
    w.Pad();
  }
}

}  // namespace capi
