// A ustar archive in memory: 512-byte headers with their checksums, the data padded to blocks.
#include "tarball.h"

#include <cstdio>
#include <cstring>

std::string Tar(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string out;
  for (const auto& m : members) {
    char h[512] = {};
    std::snprintf(h, 100, "%s", m.first.c_str());
    std::snprintf(h + 100, 8, "0000644");
    std::snprintf(h + 124, 12, "%011llo", static_cast<unsigned long long>(m.second.size()));
    std::snprintf(h + 136, 12, "%011o", 838900800u);
    h[156] = '0';
    std::memcpy(h + 257,
                "ustar\0"
                "00",
                8);
    std::memset(h + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : h) sum += c;
    std::snprintf(h + 148, 8, "%06o", sum);
    out.append(h, sizeof h);
    out += m.second;
    out.append((512 - m.second.size() % 512) % 512, '\0');
  }
  return out + std::string(1024, '\0');
}
