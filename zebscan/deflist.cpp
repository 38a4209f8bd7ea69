// The database listing reads the static core's tables directly: they are the data that ships in
// the library, unchanged, since no job has run in this process to fold its names.
#include "deflist.h"

#include <nlohmann/json.hpp>

#include "rawscan.h"
#include "sigdb.h"
#include "textutil.h"

namespace zebscan {

std::vector<std::string> RawScanNames() {
  std::vector<std::string> names;
  for (const RawSignature& e : g_aRawSignatures) names.emplace_back(e.szName);
  return names;
}

void ListDefinitions(std::FILE* pOut, bool bJson) {
  using nlohmann::json;
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
      macros.push_back({{"name", Cp1252ToUtf8(m.szName)}, {"signatures", sigs}});
    }
    defs.push_back({{"name", pDef->szName},
                    {"threshold", pDef->iThreshold},
                    {"verify", pDef->iVerify},
                    {"macros", macros}});
  }
  json raw = json::array();
  for (const RawSignature& e : g_aRawSignatures)
    raw.push_back({{"name", e.szName}, {"signature", e.szSignature}});

  if (bJson) {
    json doc = {{"definitions", defs},
                {"definition_count", defs.size()},
                {"signature_slots_used", nSlots},
                {"raw_signatures", raw}};
    std::fprintf(pOut, "%s\n", doc.dump(2).c_str());
    return;
  }
  int iPos = 0;
  for (const json& d : defs) {
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
               defs.size(), nSlots);
  for (const json& e : raw)
    std::fprintf(pOut, "   %-9s %s\n", e["name"].get<std::string>().c_str(),
                 e["signature"].get<std::string>().c_str());
}

}  // namespace zebscan
