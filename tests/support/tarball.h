// A ustar archive made in memory, as tar writes one: the smallest container every build sniffs.
#pragma once
#include <string>
#include <utility>
#include <vector>

// The members (name, bytes), in order, then the two zero blocks that end an archive.
std::string Tar(const std::vector<std::pair<std::string, std::string>>& members);
