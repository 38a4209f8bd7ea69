// Text lines in the form command-line virus scanners use ("path: NAME FOUND", "path: OK",
// "path: REASON ERROR", "path: REASON SKIPPED"), or JSON Lines built with nlohmann-json.
#include "report.h"

#include <errno.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform.h"
#include "record.h"
#include "textutil.h"

namespace zebscan {

using zm::AppendEscaped;
using zm::Cp1252ToUtf8;
using zm::EscapeControls;
using zm::FileResult;
using zm::LossyUtf8;
using zm::MacroTable;
using zm::Outcome;

namespace {

using nlohmann::json;

constexpr auto kProgressEvery = std::chrono::milliseconds(100);  // at most ten redraws a second

// A text line's end, after the name or the reason ("OK" stands alone).
const char* const kEnding[] = {"OK\n", " FOUND\n", " ERROR\n", " SKIPPED\n"};

// The macro listing (--macros, --source): the document's flags, then a line a macro, then under
// it its source, indented and escaped as paths are.
void AppendListing(const zm::MacroListing& l, bool bSource, std::string* pText) {
  std::string& s = *pText;
  if (l.bTemplate) s += "    template\n";
  for (const zm::MacroRecord& m : l.records) {
    s += "    macro ";
    if (!m.bNamed)
      s += "without a name";
    else if (std::all_of(m.sName.begin(), m.sName.end(),
                         [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
      AppendEscaped(&s, m.sName);  // ASCII reads the same in Windows-1252
    else
      AppendEscaped(&s, Cp1252ToUtf8(m.sName));
    // ": N bytes, key 0xKK, sha256 <64 digits>", made here and appended at once.
    static const char kHex[] = "0123456789abcdef";
    char ach[128];
    char* p = ach;
    std::memcpy(p, ": ", 2);
    p = std::to_chars(p + 2, ach + 24, m.cbSize).ptr;
    std::memcpy(p, " bytes, key 0x", 14);
    p += 14;
    *p++ = kHex[m.bKey >> 4];
    *p++ = kHex[m.bKey & 15];
    std::memcpy(p, ", ", 2);
    p += 2;
    if (m.eBody == zm::BodyRead::kWhole) {
      std::memcpy(p, "sha256 ", 7);
      char achHex[2 * wordbasic::kSha256Bytes + 1];
      wordbasic::Sha256Hex(m.abSha256, achHex);
      std::memcpy(p + 7, achHex, 2 * wordbasic::kSha256Bytes);
      p += 7 + 2 * wordbasic::kSha256Bytes;
    }
    s.append(ach, static_cast<size_t>(p - ach));
    if (m.eBody == zm::BodyRead::kCut)
      s += "body cut (" + std::to_string(m.cbRead) + " bytes in the file)";
    else if (m.eBody == zm::BodyRead::kOverCap)
      s += "body not read whole (the listing's bytes of bodies are spent)";
    if (m.bNamed && zm::IsAutoMacro(m.sName)) s += " [auto macro]";
    if (m.bNamed && zm::CommandNamed(m.sName)) s += " [built-in command]";
    if (bSource && m.bSourceCut) s += " [source cut]";
    s += "\n";
    if (!bSource) continue;
    const char* pch = m.sSource.data();
    for (size_t from = 0, cch = m.sSource.size(); from < cch;) {
      const void* pEnd = std::memchr(pch + from, '\n', cch - from);
      const size_t to = pEnd ? static_cast<size_t>(static_cast<const char*>(pEnd) - pch) : cch;
      s += "        ";
      AppendEscaped(&s, pch + from, to - from);
      s += '\n';
      from = to + 1;
    }
  }
  if (l.nLeftOut)
    s += "    " + std::to_string(l.nLeftOut) + " macros more, not listed (over " +
         std::to_string(zm::MacroBytes::kMaxMacros) + ")\n";
}

// What --extract did with a document: a line under it.
void AppendExtracted(const std::string& sPath, const Extracted& x, std::string* pText) {
  std::string& s = *pText;
  AppendEscaped(&s, sPath);
  if (x.sFolder.empty()) {
    s += ": not extracted: ";
  } else {
    s += x.sError.empty() ? ": extracted to '" : ": extracted in part to '";
    AppendEscaped(&s, x.sFolder);
    s += x.sError.empty() ? "'" : "': ";
  }
  AppendEscaped(&s, x.sError);
  s += "\n";
}

void AddExtracted(const Extracted& x, json* pj) {
  if (!x.sFolder.empty()) (*pj)["extracted_to"] = LossyUtf8(x.sFolder);
  if (!x.sError.empty()) (*pj)["extract_error"] = LossyUtf8(x.sError);
}

}  // namespace

std::string MessageLine(bool bJson, const std::string& sText) {
  if (bJson) return zm::JsonLine({{"schema", zm::kJsonSchema}, {"message", LossyUtf8(sText)}});
  return "zebscan: " + EscapeControls(sText) + "\n";
}

Report::Report(std::FILE* pOut, std::FILE* pErr, std::FILE* pLog, ReportOptions options,
               zm::EngineFacts engine)
    : m_pOut(pOut),
      m_pErr(pErr),
      m_pLog(pLog),
      m_options(options),
      m_engine(std::move(engine)),
      m_bSameFile(pOut == pErr || zm::SameFile(pOut, pErr)),
      m_tLastProgress(std::chrono::steady_clock::now()) {}

void Report::Write(std::FILE* p, const std::string& s) {
  int& iError = p == m_pLog ? m_iLogError : p == m_pOut ? m_iWriteError : m_iErrError;
  if (iError != 0) return;  // its reader has gone: nothing more is written there
  if (m_bProgressShown) ClearProgress();
  errno = 0;
  if (!zm::WriteText(p, s)) iError = errno != 0 ? errno : EIO;
}

void Report::ClearProgress() {
  zm::WriteText(m_pErr, "\r" + std::string(60, ' ') + "\r");
  m_bProgressShown = false;
}

void Report::Progress() {
  if (!m_options.bProgress) return;
  auto now = std::chrono::steady_clock::now();
  if (now - m_tLastProgress < kProgressEvery) return;
  m_tLastProgress = now;
  std::fflush(m_pOut);  // the report's lines ahead of the progress line
  char sz[128];
  std::snprintf(sz, sizeof sz, "\rzebscan: %zu files, %zu infected, %zu errors",
                m_nScanned + m_nSkipped + m_nErrors, m_nInfected, m_nErrors);
  zm::WriteText(m_pErr, sz);
  std::fflush(m_pErr);
  m_bProgressShown = true;
}

void Report::Add(const FileResult& r, const Placement* pPlaced, const Extracted* pExtracted) {
  m_nScanned += r.outcome == Outcome::kOk || r.outcome == Outcome::kFound;
  m_nSkipped += r.outcome == Outcome::kSkipped;
  m_nWithMacros += r.doc.table.nMacros > 0;
  m_nInfected += r.outcome == Outcome::kFound;
  m_nErrors += r.outcome == Outcome::kError;
  m_bContainers |= r.containerKind != container::Kind::kNone;
  m_nMembers += r.nMembers;
  if (pExtracted) {
    m_nNotExtracted += !pExtracted->sError.empty();
    for (const Extracted& x : pExtracted->members) m_nNotExtracted += !x.sError.empty();
  }
  Print(r, pPlaced, pExtracted);
  // A container's members with something to say follow its line; JSON holds them in its record.
  if (!m_options.bJson) {
    size_t k = 0;  // r.memberListings, and what --extract did with each
    for (size_t i = 0; i < r.members.size(); ++i) {
      const bool bListed = k < r.memberListings.size() && r.memberListings[k].iMember == i;
      const bool bExtracted = bListed && pExtracted && k < pExtracted->members.size();
      PrintMember(r, r.members[i], bListed ? &r.memberListings[k].listing : nullptr,
                  bExtracted ? &pExtracted->members[k] : nullptr);
      k += bListed;
    }
  }
  Progress();
}

// Listed: every document (but those that are no Word 6/95 document) and every member not judged
// in full; the record of the file itself is told by the container's own line. The line obeys the
// options as a file's does.
void Report::PrintMember(const FileResult& r, const container::Member& m,
                         const zm::MacroListing* pListing, const Extracted* pExtracted) {
  using container::Outcome;
  if (m.chain.empty() && m.sName.empty()) return;
  if (m.why == container::Why::kDocument && m.outcome == Outcome::kSkipped &&
      m.cause == container::Cause::kNotWord6)
    return;
  const bool bListed = !(m_options.bInfectedOnly && m.outcome != Outcome::kFound) &&
                       !(!m_options.bSkipped && m.outcome == Outcome::kSkipped) &&
                       !(!m_options.bOk && m.outcome == Outcome::kOk);
  const bool bOnReport = bListed && !m_options.bQuiet;
  const bool bTrouble = m.outcome == Outcome::kError ||
                        (pExtracted != nullptr && pExtracted->bOwn && !pExtracted->sError.empty());
  const bool bToErr = bTrouble && (!bOnReport || !m_bSameFile);
  if (!bOnReport && !bToErr && !(m_pLog && (bListed || bTrouble))) return;
  std::string& sText = m_sLine;
  sText.clear();
  const std::string sPath = container::DisplayPath(r.sPath, m.chain, m.sName);
  AppendEscaped(&sText, sPath);
  sText += ": ";
  if (m.outcome != Outcome::kOk)
    AppendEscaped(&sText, m.outcome == Outcome::kFound ? m.sVirus : m.sReason);
  else if (m.why == container::Why::kHidden)
    AppendEscaped(&sText, m.sReason + " ");  // a note, not a problem: its reason, then OK
  sText += kEnding[static_cast<int>(m.outcome)];
  if (pExtracted && pExtracted->bOwn) AppendExtracted(sPath, *pExtracted, &sText);
  if (bToErr) Write(m_pErr, sText);
  // The log, like stderr, has a document that is not listed without its macros.
  if (m_pLog && !bListed && bTrouble) Write(m_pLog, sText);
  if (pListing && (m_options.bMacros || m_options.bSource))
    AppendListing(*pListing, m_options.bSource, &sText);
  if (bOnReport) Write(m_pOut, sText);
  if (m_pLog && bListed) Write(m_pLog, sText);
}

void Report::Message(const std::string& sText) {
  std::string s = MessageLine(m_options.bJson, sText);
  Write(m_pErr, s);
  if (m_pLog) Write(m_pLog, s);
}

void Report::Print(const FileResult& r, const Placement* pPlaced, const Extracted* pExtracted) {
  const MacroTable& t = r.doc.table;
  // Listed: on the report as its options choose; the log keeps that whatever --quiet says.
  const bool bListed = !(m_options.bInfectedOnly && r.outcome != Outcome::kFound) &&
                       !(!m_options.bSkipped && r.outcome == Outcome::kSkipped) &&
                       !(!m_options.bOk && r.outcome == Outcome::kOk);
  const bool bOnReport = bListed && !m_options.bQuiet;
  // An error, or a found file that could not be put away, also goes to stderr, unless the report
  // already shows it there.
  const bool bTrouble = r.outcome == Outcome::kError ||
                        (pPlaced != nullptr && pPlaced->sDest.empty()) ||
                        (pExtracted != nullptr && !pExtracted->sError.empty());
  const bool bToErr = bTrouble && (!bOnReport || !m_bSameFile);
  if (!bOnReport && !bToErr && !(m_pLog && (bListed || bTrouble))) return;
  const bool bErrPart = bToErr || (m_pLog && !bListed);  // the result alone is written somewhere
  std::string& sText = m_sLine;                          // one buffer for every line of the run
  std::string& sErr = m_sErrLine;                        // the part of it that stderr gets
  sText.clear();
  sErr.clear();
  if (m_options.bJson && pPlaced == nullptr && pExtracted == nullptr) {
    sText = zm::RecordLine(r);
    if (bErrPart) sErr = sText;
  } else if (m_options.bJson) {
    json j = zm::JsonRecord(r);
    if (pPlaced && !pPlaced->sDest.empty())
      j[std::string(pPlaced->szDone) + "_to"] = LossyUtf8(pPlaced->sDest);
    else if (pPlaced)
      j["quarantine_error"] = LossyUtf8(pPlaced->sError);
    if (pExtracted) {
      AddExtracted(*pExtracted, &j);
      // A container's documents: in their records, by the listings' order.
      for (size_t k = 0; k < pExtracted->members.size() && k < r.memberListings.size(); ++k) {
        json& members = j["members"];
        if (members.is_array() && r.memberListings[k].iMember < members.size())
          AddExtracted(pExtracted->members[k], &members[r.memberListings[k].iMember]);
      }
    }
    sText = zm::JsonLine(j);
    if (bErrPart) sErr = sText;
  } else {
    if (m_options.bVerbose && r.nLinks != 0) {
      sText += "Scanning ";
      AppendEscaped(&sText, r.sPath);
      sText += "\n";
    }
    size_t at = sText.size();
    AppendEscaped(&sText, r.sPath);
    sText += ": ";
    if (r.outcome != Outcome::kOk)
      AppendEscaped(&sText, r.outcome == Outcome::kFound ? r.sVirus : r.sReason);
    sText += kEnding[static_cast<int>(r.outcome)];
    if (pPlaced) {
      AppendEscaped(&sText, r.sPath);
      if (!pPlaced->sDest.empty()) {
        sText += std::string(": ") + pPlaced->szDone + " to '";
        AppendEscaped(&sText, pPlaced->sDest);
        sText += "'\n";
      } else {
        sText += std::string(": not ") + pPlaced->szDone + ": ";
        AppendEscaped(&sText, pPlaced->sError);
        sText += "\n";
      }
    }
    if (pExtracted && pExtracted->bOwn) AppendExtracted(r.sPath, *pExtracted, &sText);
    if (bErrPart) sErr.assign(sText, at, std::string::npos);
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
    if ((m_options.bMacros || m_options.bSource) && r.listing.detail != zm::MacroDetail::kNone)
      AppendListing(r.listing, m_options.bSource, &sText);
    if (r.nMemberListingsLeftOut)
      sText += "    macros of " + std::to_string(r.nMemberListingsLeftOut) +
               " documents in it not listed (more than one file's result carries)\n";
  }
  if (bToErr) Write(m_pErr, sErr);
  if (bOnReport) Write(m_pOut, sText);
  if (m_pLog && (bListed || bTrouble)) Write(m_pLog, bListed ? sText : sErr);
}

void Report::Flush() {
  for (std::FILE* p : {m_pOut, m_pLog}) {
    if (p == nullptr) continue;
    int& iError = p == m_pLog ? m_iLogError : m_iWriteError;
    errno = 0;
    if ((std::fflush(p) != 0 || std::ferror(p)) && iError == 0) iError = errno ? errno : EIO;
  }
}

void Report::Finish(double seconds, size_t nDirectories) {
  if (m_bProgressShown) ClearProgress();
  std::string s;
  if (m_options.bSummary && m_options.bJson) {
    s = zm::JsonLine({{"summary",
                       {{"schema", zm::kJsonSchema},
                        {"scanned_files", m_nScanned},
                        {"skipped_files", m_nSkipped},
                        {"infected_files", m_nInfected},
                        {"total_errors", m_nErrors},
                        {"with_macros", m_nWithMacros},
                        {"scanned_directories", nDirectories},
                        {"scanned_members", m_nMembers},
                        {"seconds", seconds},
                        {"engine_version", m_engine.sVersion},
                        {"known_viruses", m_engine.nDefinitions}}}});
  } else if (m_options.bSummary) {
    char sz[512];
    long lSeconds = static_cast<long>(seconds);
    // The members of containers, when the run met any.
    char szMembers[64] = "";
    if (m_bContainers)
      std::snprintf(szMembers, sizeof szMembers, "Scanned members: %llu\n",
                    static_cast<unsigned long long>(m_nMembers));
    std::snprintf(sz, sizeof sz,
                  "\n----------- SCAN SUMMARY -----------\n"
                  "Known viruses: %d\nEngine version: %s\nScanned directories: %zu\n"
                  "Scanned files: %zu\n%sSkipped files: %zu\nWith macros: %zu\n"
                  "Infected files: %zu\nTotal errors: %zu\nTime: %.3f sec (%ld m %ld s)\n",
                  m_engine.nDefinitions, m_engine.sVersion.c_str(), nDirectories, m_nScanned,
                  szMembers, m_nSkipped, m_nWithMacros, m_nInfected, m_nErrors, seconds,
                  lSeconds / 60, lSeconds % 60);
    s = sz;
  }
  if (!m_options.bQuiet) Write(m_pOut, s);
  if (m_pLog) Write(m_pLog, s);
  Flush();
  if (m_iWriteError)
    Message(std::string("the report could not be written (") + std::strerror(m_iWriteError) + ")");
  if (m_iLogError)
    Message(std::string("the log could not be written (") + std::strerror(m_iLogError) + ")");
}

int Report::ExitStatus() const {
  if (m_nInfected) return 1;
  return m_nErrors || m_iWriteError || m_iLogError || m_nNotExtracted ? 2 : 0;
}

}  // namespace zebscan
