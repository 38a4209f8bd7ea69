// --list-definitions: the signature database of the loaded library, in chain order, and the
// raw-scan table; printed once the library has answered as that database does (confirm.h).
#pragma once
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "zmapi.h"

namespace zebscan {

// The short names that MACRO_ScanRaw knows, in its table's order.
std::vector<std::string> RawScanNames();

// Prints every definition (name, threshold, verify flag, macro names, signature strings per slot)
// and the raw-scan entries, as text or as one JSON document, once the library whose exports api
// holds (loaded as sLibrary) is confirmed to hold them: its file's SHA-256 is sBuiltWithDigest,
// and its exports answer as the database does (confirm.h). 0; otherwise nothing is printed, what
// differs or could not be confirmed is said through say(), and the answer is 2.
int ListDefinitions(const ZmApi& api, const std::string& sLibrary,
                    const std::string& sBuiltWithDigest, bool bJson, std::FILE* pOut,
                    const std::function<void(const std::string&)>& say);

}  // namespace zebscan
