// The run-time binding: the export list's names looked up in a library loaded through sys/.
#include "zmapi.h"

#include <ctime>
#include <type_traits>

#include "fsys.h"
#include "loadlib.h"
#include "platform.h"
#include "textutil.h"
#include "zebmacro.h"

// Each pointer of the table has the type of its export's declaration in zebmacro.h.
#define ZM_SAME_TYPE(ret, name, params)                                        \
  static_assert(std::is_same<decltype(&::name), decltype(ZmApi::name)>::value, \
                #name " differs between zm_exports.h and zebmacro.h");
ZM_EXPORT_LIST(ZM_SAME_TYPE)
#undef ZM_SAME_TYPE
static_assert(sizeof(ZmApi) == kZmExports * sizeof(void*), "one member per export");

int ZmLoadApi(const char* szPath, ZmApi* pApi) {
  *pApi = ZmApi{};
  void* h = zm::LoadSharedLibrary(szPath);
  if (h == nullptr) return -1;
  int n = 0;
#define ZM_LOOK_UP(ret, name, params)                                                     \
  pApi->name = reinterpret_cast<decltype(pApi->name)>(zm::SharedLibrarySymbol(h, #name)); \
  n += pApi->name != nullptr;
  ZM_EXPORT_LIST(ZM_LOOK_UP)
#undef ZM_LOOK_UP
  return n;
}

std::string ZmLibraryName() { return zm::SharedLibraryName("zebmacro"); }

namespace zm {

EngineFacts ReadEngineFacts(const ZmApi& api, const std::string& sLibrary) {
  EngineFacts facts;
  facts.sVersion = SharedLibraryVersion(reinterpret_cast<const void*>(api.MACRO_Handler));
  facts.nDefinitions = api.MACRO_Signatures ? api.MACRO_Signatures() : 0;
  // The date of the definitions: they are compiled into the library, so its file's time.
  int64_t t = 0;
  facts.sDate = FileModified(sLibrary, &t) ? CtimeText(static_cast<std::time_t>(t)) : "unknown";
  return facts;
}

bool LoadScanLibrary(bool bNamed, std::string* psLibrary, ZmApi* pApi) {
  bool bLoaded = false;
  if (!bNamed && !ExecutableDirectory().empty()) {
    std::string sBeside = ExecutableDirectory() + ZmLibraryName();
    bLoaded = ZmLoadApi(sBeside.c_str(), pApi) >= 0;
    if (bLoaded) *psLibrary = sBeside;
  }
  if (!bLoaded) bLoaded = ZmLoadApi(psLibrary->c_str(), pApi) >= 0;
  return bLoaded && pApi->MACRO_Handler && pApi->MACRO_ScanRaw && pApi->MACRO_CallTraverse &&
         pApi->MACRO_Signatures;
}

}  // namespace zm
