// The document scan driver of jobs 1 and 2: moves to the document's drive and
// directory, lists its macros, matches them from the last to the first, and moves back.
#include <string.h>

#include "docreader.h"
#include "drive.h"
#include "fileprim.h"
#include "host.h"
#include "zm_texts.h"

namespace {

// The parts of a document path: the drive text (a letter and a colon, when the second character
// is ':' on a platform with drives), and the directory text (up to and including the last '\' or
// '/', without the drive), cut to 255 characters.
struct PathParts {
  char szDrive[3];
  char szDir[ZM_TEXT_AREA];
};

void SplitPath(const char* szPath, PathParts* pParts) {
  size_t iFrom = 0;
  pParts->szDrive[0] = '\0';
  if (iHasDriveLetters() && szPath[0] != '\0' && szPath[1] == ':') {
    pParts->szDrive[0] = szPath[0];
    pParts->szDrive[1] = ':';
    pParts->szDrive[2] = '\0';
    iFrom = 2;
  }
  size_t iEnd = iFrom;  // one past the last separator
  for (size_t i = iFrom; szPath[i] != '\0'; ++i)
    if (szPath[i] == '\\' || szPath[i] == '/') iEnd = i + 1;
  size_t n = iEnd - iFrom;
  if (n > ZM_TEXT_AREA - 1) n = ZM_TEXT_AREA - 1;
  memcpy(pParts->szDir, szPath + iFrom, n);
  pParts->szDir[n] = '\0';
}

}  // namespace

int32_t DOC_ScanDocument(const char* szDocPath, VirusDef* pStart, char* szText,
                         VirusDef** ppFound) {
  if (ppFound) *ppFound = nullptr;
  if (szDocPath == nullptr) szDocPath = "";

  // 1-2. Split the path; remember the current drive. A path without a drive part moves nothing
  // (step 3 is refused and step 5 skipped for it), so there is nothing to remember or set back:
  // those steps, and their calls, are left out.
  PathParts parts;
  SplitPath(szDocPath, &parts);
  const bool bMoves = parts.szDrive[0] != '\0';
  int32_t iDrive = bMoves ? iGetCurrentDrive() : 0;

  // 3. Only a lower-case letter gives a drive number from 1 to 26: 'A' to 'Z' give numbers below
  // 1, which iSetCurrentDrive refuses. A refusal is not reported.
  if (bMoves)
    iSetCurrentDrive(static_cast<int32_t>(static_cast<unsigned char>(parts.szDrive[0])) - 0x60);

  // 4. Remember the directory now current (the document's drive's own, when step 3 moved).
  char szRemembered[ZM_CWD_AREA];
  uint32_t cch = bMoves ? g_zmHost.pfnGetCurrentDirectory(ZM_CWD_AREA, szRemembered) : 0;
  bool bRemembered = cch > 0 && cch < ZM_CWD_AREA;

  // 5. Make the document's directory current: the drive text and the directory text joined, less
  // the last character (normally the trailing separator). Without a remembered directory there
  // would be no way back, so the move is not made.
  if (bMoves && bRemembered) {
    char szJoined[sizeof parts.szDrive + sizeof parts.szDir];
    strcpy(szJoined, parts.szDrive);
    strcat(szJoined, parts.szDir);
    szJoined[strlen(szJoined) - 1] = '\0';
    g_zmHost.pfnSetCurrentDirectory(szJoined);
  }

  // 6-10. The scan itself, in a zero-filled DocReader that every way out releases.
  bool bHadReader = false;
  int32_t iFound = 0;
  const char* szStatus = ZM_TXT_OPENING;
  char szMatch[ZM_SCAN_TEXT];
  VirusDef* pFound = nullptr;
  DocReader* pReader = static_cast<DocReader*>(pCommitBlock(sizeof(DocReader)));
  if (pReader != nullptr) {
    bHadReader = true;
    // The document is opened by its path as given, not by the split parts.
    pReader->hFile = hOpenRead(szDocPath);
    if (pReader->hFile != ZM_HFILE_ERROR) {
      if (DOC_ReadMacroTable(pReader)) {
        szStatus = ZM_TXT_NO_VIRUS;
        // The last listed macro first; a failed extraction ends the examination.
        for (int32_t k = pReader->wMacroCount - 1; k >= 0; --k) {
          if (!DOC_ExtractMacro(pReader, static_cast<uint16_t>(k))) break;
          if (DOC_MatchSignatures(pReader->abImage, pStart, szMatch,
                                  static_cast<int32_t>(pReader->alMacroLength[k]), &pFound)) {
            iFound = 1;
            break;
          }
        }
      }
      iCloseFile(pReader->hFile);
    }
    iReleaseBlock(pReader);
  }

  // 11. Back: the remembered drive first, then the remembered directory, which names a drive
  // and so wins.
  if (bMoves) iSetCurrentDrive(iDrive);
  if (bRemembered) g_zmHost.pfnSetCurrentDirectory(szRemembered);

  // 12. The result.
  if (!bHadReader) return 0;
  if (iFound) {
    strcpy(szText, szMatch);
    if (ppFound) *ppFound = pFound;
    return 1;
  }
  strcpy(szText, szStatus);
  return 0;
}
