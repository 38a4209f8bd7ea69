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
  return j;
}

}  // namespace zm
