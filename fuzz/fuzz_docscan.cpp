// Property: for any file content, the document scan (jobs 1 and 2 from every kind of chain start)
// and the shared stream reading answer 0 or 1, never read or write outside their buffers, and
// give back every handle and block they took.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "docreader.h"
#include "host.h"

namespace {

int g_nFiles, g_nBlocks;
int32_t Open(const char* p, int32_t m) {
  int32_t h = g_zmHostPlatform.pfnOpen(p, m);
  g_nFiles += h != ZM_HFILE_ERROR;
  return h;
}
int32_t Close(int32_t h) {
  int32_t r = g_zmHostPlatform.pfnClose(h);
  g_nFiles -= r == 0;
  return r;
}
void* Commit(uint32_t cb) {
  void* p = g_zmHostPlatform.pfnVirtualAlloc(cb);
  g_nBlocks += p != nullptr;
  return p;
}
int32_t Release(void* p) {
  int32_t r = g_zmHostPlatform.pfnVirtualFree(p);
  g_nBlocks -= r != 0;
  return r;
}

const std::string& Path() {
  static const std::string s = (std::filesystem::temp_directory_path() /
                                ("zebmacro-fuzz-" + std::to_string(std::rand()) + ".doc"))
                                   .string();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  g_zmHost.pfnOpen = Open;
  g_zmHost.pfnClose = Close;
  g_zmHost.pfnVirtualAlloc = Commit;
  g_zmHost.pfnVirtualFree = Release;
  FILE* f = std::fopen(Path().c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(pb, 1, cb, f);
  std::fclose(f);

  char szText[ZM_SCAN_TEXT];
  for (VirusDef* pStart : {g_pDatabaseHead, &g_aVirusDefs[45], static_cast<VirusDef*>(nullptr)}) {
    int32_t r = DOC_ScanDocument(Path().c_str(), pStart, szText, nullptr);
    if ((r != 0 && r != 1) || memchr(szText, 0, 32) == nullptr) std::abort();
  }
  DocReader* p = DOC_pOpenDocument(Path().c_str());
  if (p != nullptr) {
    uint32_t cbStream = DOC_lReadableBytes(p);
    for (uint32_t lPos : {0u, 0x118u, cbStream / 2, cbStream ? cbStream - 1 : 0, cbStream})
      DOC_iReadAt(p, lPos, lPos % 3 ? 24 : 4096);
    DOC_CloseDocument(p);
  }
  if (g_nFiles != 0 || g_nBlocks != 0) std::abort();
  g_zmHost = g_zmHostPlatform;
  return 0;
}
