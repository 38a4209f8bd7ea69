// Text lines in the form command-line virus scanners use ("path: NAME FOUND", "path: OK",
// "path: REASON ERROR", "path: REASON SKIPPED"), or JSON Lines built with nlohmann-json.
#include "report.h"

#include <nlohmann/json.hpp>

#include "platform.h"
#include "textutil.h"

namespace zebscan {
namespace {

using nlohmann::json;

constexpr auto kProgressEvery = std::chrono::milliseconds(100);  // at most ten redraws a second

std::string Dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// '&'-terminated Windows-1252 names as UTF-8 strings.
json NameArray(const std::string& sList) {
  json a = json::array();
  size_t from = 0;
  for (size_t i; (i = sList.find('&', from)) != std::string::npos; from = i + 1)
    a.push_back(Cp1252ToUtf8(sList.substr(from, i - from)));
  return a;
}

const char* const kOutcome[] = {"OK", "FOUND", "ERROR", "SKIPPED"};
// A text line's end, after the name or the reason ("OK" stands alone).
const char* const kEnding[] = {"OK\n", " FOUND\n", " ERROR\n", " SKIPPED\n"};

}  // namespace

Report::Report(std::FILE* pOut, std::FILE* pErr, ReportOptions options, EngineInfo engine)
    : m_pOut(pOut),
      m_pErr(pErr),
      m_options(options),
      m_engine(std::move(engine)),
      m_bSameFile(SameFile(pOut, pErr)),
      m_tLastProgress(std::chrono::steady_clock::now()) {}

void Report::Line(std::FILE* p, const std::string& s) {
  if (m_bProgressShown) ClearProgress();
  if (std::fwrite(s.data(), 1, s.size(), p) != s.size() && p == m_pOut) m_bWriteFailed = true;
}

void Report::ClearProgress() {
  std::fprintf(m_pErr, "\r%*s\r", 60, "");
  m_bProgressShown = false;
}

void Report::Progress() {
  if (!m_options.bProgress) return;
  auto now = std::chrono::steady_clock::now();
  if (now - m_tLastProgress < kProgressEvery) return;
  m_tLastProgress = now;
  std::fflush(m_pOut);  // the report's lines ahead of the progress line
  std::fprintf(m_pErr, "\rzebscan: %zu files, %zu infected, %zu errors",
               m_nScanned + m_nSkipped + m_nErrors, m_nInfected, m_nErrors);
  std::fflush(m_pErr);
  m_bProgressShown = true;
}

void Report::Add(const FileResult& r) {
  m_nScanned += r.outcome == Outcome::kOk || r.outcome == Outcome::kFound;
  m_nSkipped += r.outcome == Outcome::kSkipped;
  m_nWithMacros += r.doc.table.nMacros > 0;
  m_nInfected += r.outcome == Outcome::kFound;
  m_nErrors += r.outcome == Outcome::kError;
  Print(r);
  Progress();
}

void Report::Print(const FileResult& r) {
  const MacroTable& t = r.doc.table;
  std::string& sText = m_sLine;  // one buffer for every line of the run
  sText.clear();
  AppendEscaped(&sText, r.sPath);
  sText += ": ";
  if (r.outcome != Outcome::kOk)
    AppendEscaped(&sText, r.outcome == Outcome::kFound ? r.sVirus : r.sReason);
  sText += kEnding[static_cast<int>(r.outcome)];
  bool bOnReport = !(m_options.bInfectedOnly && r.outcome != Outcome::kFound) &&
                   !(!m_options.bSkipped && r.outcome == Outcome::kSkipped);
  // An error also goes to stderr, unless the report already shows it there.
  if (r.outcome == Outcome::kError && (!bOnReport || !m_bSameFile)) Line(m_pErr, sText);
  if (!bOnReport) return;
  if (m_options.bJson) {
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
    return Line(m_pOut, Dump(j));
  }
  if (m_options.bNames && t.nMacros > 0) {
    sText += "    names: ";
    for (const std::string& name : t.names) sText += EscapeControls(Cp1252ToUtf8(name)) + "&";
    if (t.nUnnamed) sText += " (" + std::to_string(t.nUnnamed) + " without a name)";
    if (r.nLeftOut) sText += " (" + std::to_string(r.nLeftOut) + " too long to pass)";
    if (t.bCut) sText += " (macro table cut short)";
    if (r.bUnconfirmed)
      sText += " (the names suggested a virus that its byte signatures did not confirm)";
    sText += "\n";
  }
  Line(m_pOut, sText);
}

void Report::Finish(double seconds, size_t nDirectories) {
  if (m_bProgressShown) ClearProgress();
  if (m_options.bSummary && m_options.bJson) {
    Line(m_pOut, Dump({{"summary",
                        {{"schema", kJsonSchema},
                         {"scanned_files", m_nScanned},
                         {"skipped_files", m_nSkipped},
                         {"infected_files", m_nInfected},
                         {"total_errors", m_nErrors},
                         {"with_macros", m_nWithMacros},
                         {"scanned_directories", nDirectories},
                         {"seconds", seconds},
                         {"engine_version", m_engine.sVersion},
                         {"known_viruses", m_engine.nDefinitions}}}}));
  } else if (m_options.bSummary) {
    char sz[512];
    long lSeconds = static_cast<long>(seconds);
    std::snprintf(sz, sizeof sz,
                  "\n----------- SCAN SUMMARY -----------\n"
                  "Known viruses: %d\nEngine version: %s\nScanned directories: %zu\n"
                  "Scanned files: %zu\nSkipped files: %zu\nWith macros: %zu\nInfected files: %zu\n"
                  "Total errors: %zu\nTime: %.3f sec (%ld m %ld s)\n",
                  m_engine.nDefinitions, m_engine.sVersion.c_str(), nDirectories, m_nScanned,
                  m_nSkipped, m_nWithMacros, m_nInfected, m_nErrors, seconds, lSeconds / 60,
                  lSeconds % 60);
    Line(m_pOut, sz);
  }
  if (std::fflush(m_pOut) != 0 || std::ferror(m_pOut)) m_bWriteFailed = true;
  if (m_bWriteFailed) std::fprintf(m_pErr, "zebscan: the report could not be written\n");
}

int Report::ExitStatus() const {
  if (m_nInfected) return 1;
  return m_nErrors || m_bWriteFailed ? 2 : 0;
}

}  // namespace zebscan
