// zebscan's bundled sample documents, built with the tests' Word 6 document builder: written out
// by mksamples, and cut byte by byte by the tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zmsamples {

struct Sample {
  const char* szName;          // the file's name in samples/out
  std::vector<uint8_t> bytes;  // empty when the builder could not lay it out
};

// The ten samples, in the order of their names.
std::vector<Sample> BundledSamples();

}  // namespace zmsamples
