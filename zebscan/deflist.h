// --list-definitions: the signature database as it ships, in chain order, and the raw-scan table.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

namespace zebscan {

// The short names that MACRO_ScanRaw knows, in its table's order.
std::vector<std::string> RawScanNames();

// Prints every definition (name, threshold, verify flag, macro names, signature strings per slot)
// and the raw-scan entries, as text or as one JSON document.
void ListDefinitions(std::FILE* pOut, bool bJson);

}  // namespace zebscan
