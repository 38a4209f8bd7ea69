// Text lines in the form command-line virus scanners use ("path: NAME FOUND", "path: OK",
// "path: REASON ERROR"), or JSON Lines built with nlohmann-json.
#include "report.h"

#include <nlohmann/json.hpp>

#include "textutil.h"

namespace zebscan {
namespace {

using nlohmann::json;

// Paths and names are 8-bit texts; JSON needs UTF-8, so invalid sequences become U+FFFD.
void PrintJson(std::FILE* pOut, const json& j) {
  std::fprintf(pOut, "%s\n", j.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
}

std::string NameList(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& name : names) s += Cp1252ToUtf8(name) + "&";
  return s;
}

}  // namespace

void Report::Add(const FileResult& r) {
  ++m_nScanned;
  m_nWithMacros += r.doc.table.nMacros > 0;
  m_nInfected += r.outcome == Outcome::kFound;
  m_nErrors += r.outcome == Outcome::kError;
  Print(r);
}

void Report::Print(const FileResult& r) {
  const MacroTable& t = r.doc.table;
  if (m_options.bInfectedOnly && r.outcome != Outcome::kFound) return;
  if (m_options.bJson) {
    static const char* const kOutcome[] = {"OK", "FOUND", "ERROR"};
    json j = {{"path", r.sPath}, {"result", kOutcome[static_cast<int>(r.outcome)]}};
    if (r.outcome == Outcome::kFound) {
      j["virus"] = r.sVirus;
      j["found_by"] = r.sFoundBy;
      if (!r.sResultMacros.empty()) j["virus_macros"] = Cp1252ToUtf8(r.sResultMacros);
    }
    if (r.outcome == Outcome::kError) j["reason"] = r.sReason;
    j["macros"] = t.nMacros;
    json names = json::array();
    for (const std::string& name : t.names) names.push_back(Cp1252ToUtf8(name));
    j["names"] = names;
    j["unnamed"] = t.nUnnamed;
    j["names_left_out"] = r.nLeftOut;
    j["table_cut"] = t.bCut;
    j["deep_fallback"] = r.bFallback;
    j["unconfirmed_alarm"] = r.bUnconfirmed;
    PrintJson(m_pOut, j);
    return;
  }
  switch (r.outcome) {
    case Outcome::kFound:
      std::fprintf(m_pOut, "%s: %s FOUND\n", r.sPath.c_str(), r.sVirus.c_str());
      break;
    case Outcome::kOk:
      std::fprintf(m_pOut, "%s: OK\n", r.sPath.c_str());
      break;
    case Outcome::kError:
      std::fprintf(m_pOut, "%s: %s ERROR\n", r.sPath.c_str(), r.sReason.c_str());
      break;
  }
  if (m_options.bNames && t.nMacros > 0) {
    std::fprintf(m_pOut, "    names: %s", NameList(t.names).c_str());
    if (t.nUnnamed) std::fprintf(m_pOut, " (%zu without a name)", t.nUnnamed);
    if (r.nLeftOut) std::fprintf(m_pOut, " (%zu too long to pass)", r.nLeftOut);
    if (t.bCut) std::fprintf(m_pOut, " (macro table cut short)");
    if (r.bUnconfirmed)
      std::fprintf(m_pOut,
                   " (the names suggested a virus that its byte signatures did not confirm)");
    std::fprintf(m_pOut, "\n");
  }
}

void Report::AddError(const std::string& sPath, const std::string& sReason) {
  FileResult r;
  r.sPath = sPath;
  r.outcome = Outcome::kError;
  r.sReason = sReason;
  ++m_nErrors;
  Print(r);
}

void Report::Finish(double seconds) {
  if (!m_options.bSummary) return;
  if (m_options.bJson) {
    PrintJson(m_pOut, {{"summary",
                        {{"scanned", m_nScanned},
                         {"with_macros", m_nWithMacros},
                         {"infected", m_nInfected},
                         {"errors", m_nErrors},
                         {"seconds", seconds}}}});
    return;
  }
  std::fprintf(m_pOut,
               "\n----------- SCAN SUMMARY -----------\n"
               "Documents scanned: %zu\nWith macros: %zu\nInfected: %zu\nErrors: %zu\n"
               "Time: %.3f sec\n",
               m_nScanned, m_nWithMacros, m_nInfected, m_nErrors, seconds);
}

}  // namespace zebscan
