// zebscan's bundled sample documents, built with the document builder: written by mksamples into
// samples/out/, and read by the tests that need the samples' own bytes (their macros' source).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zmdoc {

struct SampleDocument {
  std::string name;            // file name, "01-clean-no-macros.doc" ...
  std::vector<uint8_t> bytes;  // empty when the builder could not lay it out
};

// The ten samples, in order. Their harmless macros are WordBasic as Word stores it (tokens,
// XOR-encrypted), the source of each being HarmlessSource(name).
std::vector<SampleDocument> SampleDocuments();
std::string HarmlessSource(const std::string& macroName);

}  // namespace zmdoc
