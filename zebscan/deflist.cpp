// The listing reads the static core's tables directly, before anything asks the static core (the
// confirmation's job 0 folds their names in place): the data as it ships in the library.
#include "deflist.h"

#include <nlohmann/json.hpp>

#include "confirm.h"
#include "rawscan.h"
#include "sigdb.h"
#include "textutil.h"

namespace zebscan {
namespace {

using nlohmann::json;

// Differences said one by one; the rest are counted.
constexpr size_t kDifferencesSaid = 5;

// The compiled database as one JSON document.
json Listing() {
  json defs = json::array();
  size_t nSlots = 0;
  for (const VirusDef* pDef = g_pDatabaseHead; pDef != nullptr; pDef = SIG_pNext(pDef)) {
    json macros = json::array();
    for (int32_t i = 0; i < pDef->nMacros; ++i) {
      const MacroDef& m = pDef->pMacros[i];
      json sigs = json::array();
      for (const char* szSig : m.apszSignature) {
        if (szSig == nullptr) break;  // slots are filled from the first
        sigs.push_back(szSig);
      }
      nSlots += sigs.size();
      macros.push_back({{"name", zm::Cp1252ToUtf8(m.szName)}, {"signatures", sigs}});
    }
    defs.push_back({{"name", pDef->szName},
                    {"threshold", pDef->iThreshold},
                    {"verify", pDef->iVerify},
                    {"macros", macros}});
  }
  json raw = json::array();
  for (const RawSignature& e : g_aRawSignatures)
    raw.push_back({{"name", e.szName}, {"signature", e.szSignature}});
  return {{"definitions", defs},
          {"definition_count", defs.size()},
          {"signature_slots_used", nSlots},
          {"raw_signatures", raw}};
}

void PrintText(std::FILE* pOut, const json& doc) {
  int iPos = 0;
  for (const json& d : doc["definitions"]) {
    std::fprintf(pOut, "%2d %-26s threshold %2d  verify %d\n", ++iPos,
                 d["name"].get<std::string>().c_str(), d["threshold"].get<int>(),
                 d["verify"].get<int>());
    for (const json& m : d["macros"]) {
      std::fprintf(pOut, "     %s", m["name"].get<std::string>().c_str());
      int iSlot = 0;
      for (const json& s : m["signatures"])
        std::fprintf(pOut, "\n         slot %d: %s", ++iSlot, s.get<std::string>().c_str());
      std::fprintf(pOut, "\n");
    }
  }
  std::fprintf(pOut, "%zu definitions, %zu signature slots used\n\nRaw scan (--raw NAME):\n",
               doc["definitions"].size(), doc["signature_slots_used"].get<size_t>());
  for (const json& e : doc["raw_signatures"])
    std::fprintf(pOut, "   %-9s %s\n", e["name"].get<std::string>().c_str(),
                 e["signature"].get<std::string>().c_str());
}

}  // namespace

std::vector<std::string> RawScanNames() {
  std::vector<std::string> names;
  for (const RawSignature& e : g_aRawSignatures) names.emplace_back(e.szName);
  return names;
}

int ListDefinitions(const ZmApi& api, const std::string& sLibrary,
                    const std::string& sBuiltWithDigest, bool bJson, std::FILE* pOut,
                    const std::function<void(const std::string&)>& say) {
  json doc = Listing();
  const Confirmation c = ConfirmDatabase(api, ZmCompiledInApi(), sBuiltWithDigest);
  if (!c.differences.empty()) {
    say("the library " + sLibrary +
        " holds another database than zebscan's: " + std::to_string(c.differences.size()) +
        " of its " + std::to_string(c.nAnswers) + " answers differ; nothing is listed");
    for (size_t i = 0; i < c.differences.size() && i < kDifferencesSaid; ++i)
      say(c.differences[i].sQuestion + ": the library answers " + c.differences[i].sLibrary +
          ", zebscan's database " + c.differences[i].sDatabase);
    return 2;
  }
  if (!c.bSameLibrary) {
    say("the library " + sLibrary + " is not the one zebscan was built with (SHA-256 " + c.sDigest +
        "): its " + std::to_string(c.nAnswers) +
        " answers agree with zebscan's database, but its exports cannot show the whole of one, "
        "so nothing is listed. Not confirmed: the letter case of names, verify 1 beside 2, "
        "which macro carries a signature, signatures zebscan's database lacks");
    for (const std::string& s : c.unreached) say("not confirmed: " + s);
    return 2;
  }
  if (bJson) {
    doc["confirmed_with"] = {
        {"library", zm::LossyUtf8(sLibrary)}, {"sha256", c.sDigest}, {"answers", c.nAnswers}};
    std::fprintf(pOut, "%s\n", doc.dump(2).c_str());
  } else {
    PrintText(pOut, doc);
    std::fprintf(pOut,
                 "\nConfirmed: %s is the library zebscan was built with, and %zu answers of "
                 "its exports agree.\n",
                 zm::EscapeControls(sLibrary).c_str(), c.nAnswers);
  }
  return 0;
}

}  // namespace zebscan
