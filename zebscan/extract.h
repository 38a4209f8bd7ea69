// --extract DIR: for each document with macros a folder below DIR, named after the document's path,
// holding each macro's body in the clear (NAME.bin) and its source (NAME.wbs). Every name, the
// folder's and the files', is made safe for any file system by SafeName; every folder and file is
// made new, for its owner alone (0700, 0600, or the Windows DACL that says as much), and nothing
// is ever replaced: a folder's name that is taken, by a run before or by another document, gets
// "~2", "~3", ..., and so does a macro's name taken by another macro of the same document.
#pragma once
#include <string>
#include <vector>

#include "scanner.h"

namespace zebscan {

// A name of one path part, safe on any file system, made from any bytes (UTF-8 where they are):
//   - '%' and what some file system refuses in a name (C0 controls, DEL, C1 controls, '/', '\',
//     ':', '*', '?', '"', '<', '>', '|'), bytes that are not UTF-8, trailing dots and spaces
//     (which Windows drops) and a leading dot (a hidden file) become %XX, byte by byte;
//     everything else is kept;
//   - a name that Windows reserves for a device, whatever follows its first dot and whatever its
//     case (CON, PRN, AUX, NUL, COM0-9, LPT0-9, COM and LPT with a superscript digit, CONIN$,
//     CONOUT$, CLOCK$), gets its first letter as %XX;
//   - an empty name becomes "(empty)";
//   - a name over 120 bytes keeps its first 40 and last 64, with "~" and the first 8 hex digits of
//     the whole name's SHA-256 between them.
// Up to the cut of a long name, different names stay different.
std::string SafeName(const std::string& sName);

// What --extract did with a document, and with a container's documents.
struct Extracted {
  bool bOwn = false;    // the file's own macros were to be written: the fields below say how
  std::string sFolder;  // the folder made; empty when none could be
  std::string sError;   // why not, or why it holds only part of the macros
  size_t nFiles = 0;    // files written in it
  std::vector<Extracted> members;  // a container's: one for each of its memberListings, in order
};

class Extractor {
 public:
  explicit Extractor(std::string sDir) : m_sDir(std::move(sDir)) {}
  // Writes out the macros of r, listed with MacroDetail::kBodies, and those of a container's
  // documents (each a folder named after its path as reported), saying how in *pOut; false (and
  // nothing done) for a result without any.
  bool Write(const zm::FileResult& r, Extracted* pOut);

 private:
  // The macros of the document reported as sDocument into a folder of their own.
  void WriteListing(const std::string& sDocument, const zm::MacroListing& l, Extracted* pOut);

  std::string m_sDir;
  bool m_bDirMade = false;
};

}  // namespace zebscan
