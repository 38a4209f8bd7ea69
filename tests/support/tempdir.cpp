// Temporary directory fixture over std::filesystem; long paths on Windows go through "\\?\".
#include "tempdir.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host.h"

namespace fs = std::filesystem;

namespace {

// Windows refuses paths past 260 characters unless they carry the "\\?\" prefix.
fs::path Long(const std::string& s, bool bAlways = false) {
  if (g_chPathSep == '\\' && (bAlways || s.size() >= 200)) return fs::path("\\\\?\\" + s);
  return fs::path(s);
}

}  // namespace

TempDir::TempDir() {
  static std::atomic<int> s_nNext{0};
  auto t = std::chrono::steady_clock::now().time_since_epoch().count();
  std::string sBase = fs::temp_directory_path().string();
  while (!sBase.empty() && (sBase.back() == '/' || sBase.back() == '\\')) sBase.pop_back();
  for (;;) {
    std::ostringstream os;
    os << sBase << g_chPathSep << "zm-" << std::hex << (t & 0xFFFFFF) << '-' << s_nNext++;
    if (fs::create_directory(os.str())) {
      m_sRoot = os.str();
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(Long(m_sRoot, true), ec);
}

std::string TempDir::Path(const std::string& sRelative) const {
  std::string s = m_sRoot;
  if (sRelative.empty()) return s;
  s += g_chPathSep;
  for (char c : sRelative) s += (c == '/') ? g_chPathSep : c;
  return s;
}

std::string TempDir::Write(const std::string& sRelative, const std::string& sBytes) const {
  std::string s = Path(sRelative);
  fs::create_directories(Long(s).parent_path());
  std::ofstream(Long(s), std::ios::binary)
      .write(sBytes.data(), static_cast<std::streamsize>(sBytes.size()));
  return s;
}

std::string TempDir::MakeDir(const std::string& sRelative) const {
  std::string s = Path(sRelative);
  fs::create_directories(Long(s));
  return s;
}

std::string TempDir::Read(const std::string& sRelative) const {
  std::ifstream f(Long(Path(sRelative)), std::ios::binary);
  if (!f) return "<missing>";
  std::ostringstream os;
  os << f.rdbuf();
  return os.str();
}

bool TempDir::Exists(const std::string& sRelative) const {
  std::error_code ec;
  return fs::exists(Long(Path(sRelative)), ec);
}
