// The JSON record of one result, built with nlohmann-json. The line of a plain file is written
// directly: the same text at a fraction of the cost, paid for every file of a tree.
#include "record.h"

#include <charconv>
#include <cstdint>

#include "textutil.h"

namespace zm {
namespace {

using nlohmann::json;

// '&'-terminated Windows-1252 names as UTF-8 strings.
json NameArray(const std::string& sList) {
  json a = json::array();
  size_t from = 0;
  for (size_t i; (i = sList.find('&', from)) != std::string::npos; from = i + 1)
    a.push_back(Cp1252ToUtf8(sList.substr(from, i - from)));
  return a;
}

const char* const kWhy[] = {"document", "encrypted", "limit", "damaged", "unsupported", "hidden"};

// The macro listing (ScanOptions::macros): a record a macro, with olevba's field names where they
// mean the same (vba_filename, ole_stream, code), and the document's flags.
void AddListing(const MacroListing& l, json* pj) {
  json records = json::array(), autos = json::array(), commands = json::array();
  const bool bSource = l.detail >= MacroDetail::kSource;
  for (const MacroRecord& m : l.records) {
    const json name = m.bNamed ? json(Cp1252ToUtf8(m.sName)) : json(nullptr);
    json o = {{"vba_filename", name},
              {"ole_stream", "WordDocument"},
              {"description", m.sDescription.empty() ? json(nullptr) : json(m.sDescription)},
              {"key", m.bKey},
              {"encrypted", m.bKey != 0},
              {"size", m.cbSize},
              {"offset", m.lOffset},
              {"bytes_read", m.cbRead},
              {"sha256", m.eBody == BodyRead::kWhole ? json(Sha256Text(m)) : json(nullptr)},
              {"byte_scan", ByteScanText(m.eByteScan)}};
    if (bSource) {
      o["code"] = m.sSource;
      o["code_cut"] = m.bSourceCut;
      o["unknown_tokens"] = m.nUnknown;
    }
    records.push_back(std::move(o));
    if (m.bNamed && IsAutoMacro(m.sName)) autos.push_back(name);
    if (m.bNamed && CommandNamed(m.sName)) commands.push_back(name);
  }
  json& j = *pj;
  j["macro_records"] = records;
  j["macro_records_left_out"] = l.nLeftOut;
  j["template"] = l.bTemplate;
  j["auto_macros"] = autos;
  j["command_macros"] = commands;
}

// A string as JsonLine dumps it (nlohmann's escapes, UTF-8 kept as it is); s is UTF-8.
void AppendString(std::string* pOut, const std::string& s) {
  static const char kHex[] = "0123456789abcdef";
  std::string& o = *pOut;
  o += '"';
  size_t from = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    o.append(s, from, i - from);
    from = i + 1;
    switch (c) {
      case '"':
        o += "\\\"";
        break;
      case '\\':
        o += "\\\\";
        break;
      case '\b':
        o += "\\b";
        break;
      case '\f':
        o += "\\f";
        break;
      case '\n':
        o += "\\n";
        break;
      case '\r':
        o += "\\r";
        break;
      case '\t':
        o += "\\t";
        break;
      default: {
        const char ach[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        o.append(ach, 6);
      }
    }
  }
  o.append(s, from, std::string::npos);
  o += '"';
}

void AppendNumber(std::string* pOut, uint64_t v) {
  char ach[24];
  auto r = std::to_chars(ach, ach + sizeof ach, v);
  pOut->append(ach, static_cast<size_t>(r.ptr - ach));
}

// ,"key": and a string or a number, as the record's fields after its first.
void AppendField(std::string* pOut, const char* szKey, const std::string& sValue) {
  *pOut += ",\"";
  *pOut += szKey;
  *pOut += "\":";
  AppendString(pOut, sValue);
}

void AppendField(std::string* pOut, const char* szKey, uint64_t v) {
  *pOut += ",\"";
  *pOut += szKey;
  *pOut += "\":";
  AppendNumber(pOut, v);
}

// '&'-terminated Windows-1252 names as an array of UTF-8 strings.
void AppendNames(std::string* pOut, const std::string& sList) {
  *pOut += '[';
  size_t from = 0;
  for (size_t i; (i = sList.find('&', from)) != std::string::npos; from = i + 1) {
    if (from > 0) *pOut += ',';
    AppendString(pOut, Cp1252ToUtf8(sList.substr(from, i - from)));
  }
  *pOut += ']';
}

// U+0085, U+2028 and U+2029 as escapes: legal in a JSON string as they are, but line ends to
// readers that split on every Unicode line break (Python's str.splitlines(), JavaScript before
// 2019), which would cut the record in two. Outside strings a line is ASCII.
void EscapeUnicodeLineEnds(std::string* pLine) {
  const std::string& s = *pLine;
  unsigned char bHigh = 0;  // most lines are ASCII: one pass the compiler vectorises
  for (char c : s) bHigh |= static_cast<unsigned char>(c);
  if (bHigh < 0x80) return;
  std::string out;
  bool bEscaped = false;
  size_t from = 0;
  for (size_t i = 0; i + 1 < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c != 0xC2 && c != 0xE2) continue;
    const unsigned char c1 = static_cast<unsigned char>(s[i + 1]);
    const unsigned char c2 = i + 2 < s.size() ? static_cast<unsigned char>(s[i + 2]) : 0;
    const char* pszEscape;
    size_t cb;
    if (c == 0xC2 && c1 == 0x85) {
      pszEscape = "\\u0085", cb = 2;
    } else if (c == 0xE2 && c1 == 0x80 && (c2 == 0xA8 || c2 == 0xA9)) {
      pszEscape = c2 == 0xA8 ? "\\u2028" : "\\u2029", cb = 3;
    } else {
      continue;
    }
    out.append(s, from, i - from);
    out += pszEscape;
    from = i + cb;
    i = from - 1;
    bEscaped = true;
  }
  if (!bEscaped) return;
  out.append(s, from, std::string::npos);
  pLine->swap(out);
}

}  // namespace

const char* const kOutcome[] = {"OK", "FOUND", "ERROR", "SKIPPED"};

bool IsPlainRecord(const FileResult& r) {
  // The object's dump replaces bytes that are not UTF-8 its own way: those texts go through it.
  return r.containerKind == container::Kind::kNone && r.listing.detail == MacroDetail::kNone &&
         IsUtf8(r.sVirus);
}

std::string RecordLine(const FileResult& r) {
  if (!IsPlainRecord(r)) return JsonLine(JsonRecord(r));
  // The keys in the order of the object's map, as JsonRecord's dump has them.
  const MacroTable& t = r.doc.table;
  const bool bFound = r.outcome == Outcome::kFound;
  std::string s;
  s.reserve(192 + r.sPath.size());
  s += r.bFallback ? "{\"deep_fallback\":true" : "{\"deep_fallback\":false";
  if (bFound) AppendField(&s, "found_by", FoundByText(r.foundBy));
  AppendField(&s, "macros", t.nMacros);
  s += ",\"names\":[";
  for (size_t i = 0; i < t.names.size(); ++i) {
    if (i > 0) s += ',';
    AppendString(&s, Cp1252ToUtf8(t.names[i]));
  }
  s += ']';
  AppendField(&s, "names_left_out", r.nLeftOut);
  if (IsUtf8(r.sPath)) {
    AppendField(&s, "path", r.sPath);
  } else {
    AppendField(&s, "path", LossyUtf8(r.sPath));
    AppendField(&s, "path_bytes", Base64(r.sPath));
  }
  if (r.outcome == Outcome::kError || r.outcome == Outcome::kSkipped)
    AppendField(&s, "reason", LossyUtf8(r.sReason));
  s += ",\"result\":\"";
  s += kOutcome[static_cast<int>(r.outcome)];
  s += '"';
  AppendField(&s, "schema", kJsonSchema);
  s += t.bCut ? ",\"table_cut\":true" : ",\"table_cut\":false";
  s += r.bUnconfirmed ? ",\"unconfirmed_alarm\":true" : ",\"unconfirmed_alarm\":false";
  AppendField(&s, "unnamed", t.nUnnamed);
  if (bFound) {
    AppendField(&s, "virus", r.sVirus);
    s += ",\"virus_macros\":";
    AppendNames(&s, r.sResultMacros);
  }
  s += "}\n";
  EscapeUnicodeLineEnds(&s);
  return s;
}

std::string JsonLine(const json& j) {
  std::string s = j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  EscapeUnicodeLineEnds(&s);
  return s;
}

json JsonRecord(const FileResult& r) {
  const MacroTable& t = r.doc.table;
  json j = {{"schema", kJsonSchema}, {"path", LossyUtf8(r.sPath)}};
  if (!IsUtf8(r.sPath)) j["path_bytes"] = Base64(r.sPath);
  j["result"] = kOutcome[static_cast<int>(r.outcome)];
  if (r.outcome == Outcome::kFound) {
    j["virus"] = r.sVirus;
    j["found_by"] = FoundByText(r.foundBy);
    j["virus_macros"] = NameArray(r.sResultMacros);
  }
  if (r.outcome == Outcome::kError || r.outcome == Outcome::kSkipped)
    j["reason"] = LossyUtf8(r.sReason);
  j["macros"] = t.nMacros;
  json names = json::array();
  for (const std::string& name : t.names) names.push_back(Cp1252ToUtf8(name));
  j["names"] = names;
  j["unnamed"] = t.nUnnamed;
  j["names_left_out"] = r.nLeftOut;
  j["table_cut"] = t.bCut;
  j["deep_fallback"] = r.bFallback;
  j["unconfirmed_alarm"] = r.bUnconfirmed;
  if (r.containerKind != container::Kind::kNone) {
    j["container"] = container::KindName(r.containerKind);
    j["members_scanned"] = r.nMembers;
    json members = json::array();
    auto pListed = r.memberListings.begin();
    for (size_t i = 0; i < r.members.size(); ++i) {
      json m = MemberRecord(r, r.members[i]);
      if (pListed != r.memberListings.end() && pListed->iMember == i)
        AddListing((pListed++)->listing, &m);
      members.push_back(std::move(m));
    }
    j["members"] = std::move(members);
    if (r.nMemberListingsLeftOut) j["member_listings_left_out"] = r.nMemberListingsLeftOut;
  }
  if (r.listing.detail != MacroDetail::kNone) AddListing(r.listing, &j);
  return j;
}

json MemberRecord(const FileResult& r, const container::Member& m) {
  json j = {{"path", LossyUtf8(container::DisplayPath(r.sPath, m.chain, m.sName))}};
  json chain = json::array(), chainBytes = json::array();
  bool bBytes = false;
  for (const std::string& s : m.chain) {
    chain.push_back(LossyUtf8(s));
    chainBytes.push_back(Base64(s));
    bBytes |= !IsUtf8(s);
  }
  j["chain"] = std::move(chain);
  if (bBytes) j["chain_bytes"] = std::move(chainBytes);
  j["name"] = LossyUtf8(m.sName);
  if (!IsUtf8(m.sName)) j["name_bytes"] = Base64(m.sName);
  j["result"] = kOutcome[static_cast<int>(m.outcome)];
  if (m.outcome == container::Outcome::kFound) j["virus"] = m.sVirus;
  if (m.outcome == container::Outcome::kError || m.outcome == container::Outcome::kSkipped ||
      m.why == container::Why::kHidden)
    j["reason"] = LossyUtf8(m.sReason);
  j["why"] = kWhy[static_cast<int>(m.why)];
  if (m.limit != container::Limit::kNone) j["limit"] = container::LimitName(m.limit);
  if (m.kind != container::Kind::kNone) j["container"] = container::KindName(m.kind);
  j["bytes_read"] = m.cbRead;
  return j;
}

}  // namespace zm
