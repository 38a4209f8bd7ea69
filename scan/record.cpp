// The JSON record of one result, built with nlohmann-json.
#include "record.h"

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

const char* const kOutcome[] = {"OK", "FOUND", "ERROR", "SKIPPED"};
const char* const kWhy[] = {"document", "encrypted", "limit", "damaged"};

// The macro listing (ScanOptions::macros): a record a macro, with olevba's field names where they
// mean the same (vba_filename, ole_stream, code), and the document's flags.
void AddListing(const FileResult& r, json* pj) {
  const MacroListing& l = r.listing;
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
              {"sha256", m.sSha256.empty() ? json(nullptr) : json(m.sSha256)},
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

}  // namespace

std::string JsonLine(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

json JsonRecord(const FileResult& r) {
  const MacroTable& t = r.doc.table;
  json j = {{"schema", kJsonSchema}, {"path", LossyUtf8(r.sPath)}};
  if (!IsUtf8(r.sPath)) j["path_bytes"] = Base64(r.sPath);
  j["result"] = kOutcome[static_cast<int>(r.outcome)];
  if (r.outcome == Outcome::kFound) {
    j["virus"] = r.sVirus;
    j["found_by"] = r.sFoundBy;
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
    for (const container::Member& m : r.members) members.push_back(MemberRecord(r, m));
    j["members"] = std::move(members);
  }
  if (r.listing.detail != MacroDetail::kNone) AddListing(r, &j);
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
  if (m.outcome == container::Outcome::kError || m.outcome == container::Outcome::kSkipped)
    j["reason"] = LossyUtf8(m.sReason);
  j["why"] = kWhy[static_cast<int>(m.why)];
  if (m.limit != container::Limit::kNone) j["limit"] = container::LimitName(m.limit);
  if (m.kind != container::Kind::kNone) j["container"] = container::KindName(m.kind);
  j["bytes_read"] = m.cbRead;
  return j;
}

}  // namespace zm
