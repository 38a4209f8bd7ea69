// Scan() where the readers are a module of their own, libzebmacro-containers.so: libarchive,
// GMime and the thirty libraries they bring (ICU's 30 MB among them) are loaded the first time a
// process meets a container, so that one that meets none (most workers, on most trees) starts
// and runs without them, as light as before.
#include <mutex>
#include <new>

#include "container.h"
#include "loadlib.h"
#include "platform.h"

namespace container {
namespace {

using ScanEntry = void (*)(int, uint64_t, Kind, const std::string*, const Options*,
                           const ScanFunction*, Result*);
using CompoundEntry = void (*)(int, uint64_t, const Options*, const ScanFunction*, Result*);
using HeapEntry = void (*)(void* (*)(size_t), void (*)(void*));

// The host's heap for the module: what one side allocates in a result, the other frees.
void* HostAllocate(size_t cb) { return ::operator new(cb, std::nothrow); }
void HostRelease(void* p) { ::operator delete(p); }

struct Module {
  ScanEntry pScan = nullptr;
  CompoundEntry pCompound = nullptr;
  std::string sError;  // why it could not be loaded
};

const char s_cAnchor = 0;  // an address inside whatever binary holds this code

std::string DirectoryOf(const std::string& sPath) {
  size_t i = sPath.rfind('/');
  return i == std::string::npos ? std::string() : sPath.substr(0, i + 1);
}

// The module beside the binary that holds this code (libzmscan in a Python package), else beside
// the executable (the build tree), else in the library folder beside its own (installed: bin/ and
// lib/); loaded once per process, on first use.
const Module& TheModule() {
  static Module s_module;
  static std::once_flag s_once;
  std::call_once(s_once, [] {
    const std::string sName = zm::SharedLibraryName("zebmacro-containers");
    const std::string sDir = zm::ExecutableDirectory();
    const std::string sOwn = DirectoryOf(zm::SharedLibraryPath(&s_cAnchor));
    for (const std::string& sPath :
         {sOwn + sName, sDir + sName, sDir + "../" ZM_INSTALL_LIBDIR "/" + sName}) {
      if (void* h = zm::LoadSharedLibrary(sPath)) {
        s_module.pScan = reinterpret_cast<ScanEntry>(zm::SharedLibrarySymbol(h, "ZmContainerScan"));
        s_module.pCompound =
            reinterpret_cast<CompoundEntry>(zm::SharedLibrarySymbol(h, "ZmCompoundScan"));
        auto pHeap = reinterpret_cast<HeapEntry>(zm::SharedLibrarySymbol(h, "ZmContainerUseHeap"));
        if (s_module.pScan && s_module.pCompound && pHeap) {
          pHeap(HostAllocate, HostRelease);
          return;
        }
        s_module.pScan = nullptr;
        s_module.pCompound = nullptr;
      }
    }
    s_module.sError = "Archive and mail support cannot be loaded (" + sName + ")";
  });
  return s_module;
}

}  // namespace

bool Supported(Kind kind) { return kind != Kind::kNone; }

Result Scan(int fd, uint64_t cb, Kind kind, const std::string& sName, const Options& options,
            const ScanFunction& scan) {
  Result result;
  result.kind = kind;
  const Module& module = TheModule();
  if (module.pScan) {
    module.pScan(fd, cb, kind, &sName, &options, &scan, &result);
  } else {
    result.verdict.outcome = Outcome::kError;
    result.verdict.sReason = module.sError;
    result.verdict.cause = Cause::kUnreached;
  }
  return result;
}

Result ScanCompound(int fd, uint64_t cb, const ReadAtFunction&, const Options& options,
                    const ScanFunction& scan) {
  Result result;
  result.kind = Kind::kCompound;
  const Module& module = TheModule();
  if (module.pCompound) {
    module.pCompound(fd, cb, &options, &scan, &result);
  } else {
    result.verdict.outcome = Outcome::kError;
    result.verdict.sReason = module.sError;
    result.verdict.cause = Cause::kUnreached;
  }
  return result;
}

}  // namespace container
