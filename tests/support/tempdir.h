// A fresh temporary directory for tests that walk or write files, removed with everything in it
// when the fixture goes away. Paths use the library's own separator.
#pragma once
#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory itself, and a path below it ('/'-separated parts are joined with g_chPathSep).
  const std::string& Root() const { return m_sRoot; }
  std::string Path(const std::string& sRelative) const;
  // Writes a file (parent directories are made as needed) and returns its path.
  std::string Write(const std::string& sRelative, const std::string& sBytes) const;
  std::string MakeDir(const std::string& sRelative) const;
  // A file's whole content, or "<missing>".
  std::string Read(const std::string& sRelative) const;
  bool Exists(const std::string& sRelative) const;

 private:
  std::string m_sRoot;
};
