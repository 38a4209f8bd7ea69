// The questions, built from the compiled database's own tables, and their answers as text.
#include "confirm.h"

#include <cstdint>
#include <cstring>
#include <set>

#include "fsys.h"
#include "loadlib.h"
#include "probedoc.h"
#include "rawscan.h"
#include "sigdb.h"
#include "wordbasic.h"

namespace zebscan {
namespace {

const char kConfirm[] = "MACRO_CHECK_FALSE_ALARMS";

struct Question {
  enum Kind { kCount, kNames, kDocument, kRaw } kind;
  std::string sWhat;
  std::string sText;  // kNames: the '&' list; kDocument: the macro's body; kRaw: the file's bytes
  std::string sName;  // the definition or raw signature a full signature should find, or ""
  int iDef = -1;      // kNames, kDocument: the definition (chain position from 0) it is about
};

std::string Hex(const char* sz) {
  std::string s;
  uint8_t ab[ZM_SIG_BYTES];
  int32_t n = SIG_iDecode(sz, ab, sizeof ab);
  if (n > 0) s.assign(reinterpret_cast<const char*>(ab), static_cast<size_t>(n));
  return s;
}

// A signature's bytes and its cuts by one byte at either end: only the whole is found.
void AddCuts(Question::Kind kind, const std::string& sWhat, const std::string& sBytes,
             const std::string& sName, int iDef, std::vector<Question>* pQuestions) {
  pQuestions->push_back({kind, sWhat, sBytes, sName, iDef});
  if (sBytes.size() < 2) return;
  pQuestions->push_back({kind, sWhat + " without its first byte", sBytes.substr(1), "", iDef});
  pQuestions->push_back(
      {kind, sWhat + " without its last byte", sBytes.substr(0, sBytes.size() - 1), "", iDef});
}

// Every question, and the body of the document that job 2 confirms with (every signature).
std::vector<Question> Questions(std::string* psEverySignature,
                                std::vector<std::string>* pUnreached) {
  std::vector<Question> questions = {{Question::kCount, "MACRO_Signatures", "", "", -1}};
  std::set<std::string> seen;
  int iPos = 0;
  for (const VirusDef* pDef = g_pDatabaseHead; pDef != nullptr; pDef = SIG_pNext(pDef)) {
    const std::string sDef =
        "definition " + std::to_string(++iPos) + " (" + std::string(pDef->szName) + ")";
    std::string sList;
    bool bFits = pDef->nMacros <= ZM_MAX_MACRO_NAMES;
    for (int32_t i = 0; i < pDef->nMacros && bFits; ++i) {
      const MacroDef& m = pDef->pMacros[i];
      bFits = std::strlen(m.szName) <= ZM_MAX_MACRO_NAME && !std::strchr(m.szName, '&') &&
              sList.size() + std::strlen(m.szName) + 1 <= ZM_MAX_TEXT;
      sList += std::string(m.szName) + "&";
      if (bFits)
        questions.push_back({Question::kNames,
                             "job 0 on the first " + std::to_string(i + 1) + " names of " + sDef,
                             sList, "", iPos - 1});
      for (const char* szSig : m.apszSignature) {
        if (szSig == nullptr) break;  // slots are filled from the first
        if (!seen.insert(szSig).second) continue;
        std::string sBytes = Hex(szSig);
        *psEverySignature += sBytes;
        AddCuts(Question::kDocument, "job 1 on the signature " + std::string(szSig) + " of " + sDef,
                sBytes, pDef->szName, iPos - 1, &questions);
      }
    }
    if (!bFits) pUnreached->push_back("the names of " + sDef + " do not fit one call");
  }
  for (const RawSignature& e : g_aRawSignatures)
    AddCuts(Question::kRaw, "MACRO_ScanRaw on the signature of " + std::string(e.szName),
            Hex(e.szSignature), e.szName, -1, &questions);
  return questions;
}

std::string Call(const ZmApi& api, int32_t iJob, const std::string& sPath,
                 const std::string& sList) {
  char szResult[ZM_RESULT_SIZE] = "", szMacros[ZM_RESULT_SIZE] = "";
  int32_t r = api.MACRO_Handler(iJob, sPath.c_str(), sList.c_str(), szResult, "", szMacros);
  szResult[ZM_RESULT_SIZE - 1] = szMacros[ZM_RESULT_SIZE - 1] = '\0';
  return std::to_string(r) + " '" + szResult + "' '" + szMacros + "'";
}

// The answer of api, as text; sPath names the question's file, sConfirmPath job 2's document.
std::string Answer(const ZmApi& api, const Question& q, const std::string& sPath,
                   const std::string& sConfirmPath) {
  switch (q.kind) {
    case Question::kCount:
      return std::to_string(api.MACRO_Signatures());
    case Question::kNames: {
      std::string s = Call(api, 0, "", q.sText);
      if (s.find(std::string("'") + kConfirm + "'") == std::string::npos) return s;
      return s + ", then job 2: " + Call(api, 2, sConfirmPath, q.sText);
    }
    case Question::kDocument:
      return Call(api, 1, sPath, "&");
    case Question::kRaw: {
      std::string s;
      for (const RawSignature& e : g_aRawSignatures)
        s += std::string(e.szName) + " " +
             std::to_string(api.MACRO_ScanRaw(sPath.c_str(), e.szName)) + " ";
      return s;
    }
  }
  return "";
}

// A file holding sBytes and the short path by which a library's opens reach it.
struct ProbeFile {
  zm::File file;
  zm::LibraryPath path;
  bool Make(const std::string& sBytes, std::string* psError) {
    return zm::FileOfBytes(sBytes, &file, psError) &&
           zm::MakeLibraryPath(file, "probe", &path, psError);
  }
};

// What the database's own answer to a whole signature must hold, or why the question is void.
std::string VoidQuestion(const Question& q, const std::string& sDatabase) {
  if (q.sName.empty()) return "";
  const bool bFound = q.kind == Question::kRaw
                          ? sDatabase.find(q.sName + " 1 ") != std::string::npos
                          : sDatabase.compare(0, 2, "1 ") == 0;
  return bFound ? "" : q.sWhat + " finds nothing in the database zebscan was built with";
}

// The SHA-256 of the loaded library's file, in hex; false with the reason.
bool LibraryDigest(const ZmApi& api, std::string* psDigest) {
  const std::string sPath = zm::SharedLibraryPath(reinterpret_cast<const void*>(api.MACRO_Handler));
  zm::File f;
  if (sPath.empty()) {
    *psDigest = "the library's file is not known";
    return false;
  }
  if (!zm::OpenFile(nullptr, sPath, true, false, &f, psDigest)) return false;
  wordbasic::Sha256 sha;
  wordbasic::Sha256Init(&sha);
  uint8_t ab[65536];
  for (uint64_t at = 0;;) {
    int64_t n = zm::ReadAt(f, at, ab, sizeof ab);
    if (n < 0) {
      *psDigest = "the library's file cannot be read";
      return false;
    }
    if (n == 0) break;
    wordbasic::Sha256Update(&sha, ab, static_cast<size_t>(n));
    at += static_cast<uint64_t>(n);
  }
  uint8_t abDigest[wordbasic::kSha256Bytes];
  char achHex[2 * wordbasic::kSha256Bytes + 1];
  wordbasic::Sha256Final(&sha, abDigest);
  wordbasic::Sha256Hex(abDigest, achHex);
  *psDigest = achHex;
  return true;
}

}  // namespace

Confirmation ConfirmDatabase(const ZmApi& loaded, const ZmApi& compiled,
                             const std::string& sBuiltWithDigest) {
  Confirmation c;
  c.bSameLibrary = LibraryDigest(loaded, &c.sDigest) && c.sDigest == sBuiltWithDigest;
  std::string sEverySignature;
  const std::vector<Question> questions = Questions(&sEverySignature, &c.unreached);
  std::string sError;
  ProbeFile confirmDoc;
  if (!confirmDoc.Make(ProbeDocument(sEverySignature), &sError))
    c.unreached.push_back("job 2 has no document to confirm with (" + sError + ")");
  // Definitions that some answer of the database names while asking about them: their name and
  // macro names are shown by it.
  std::vector<bool> named(ZM_DEFINITIONS);
  for (const Question& q : questions) {
    ProbeFile probe;
    if (q.kind == Question::kDocument || q.kind == Question::kRaw) {
      const std::string sBytes = q.kind == Question::kDocument ? ProbeDocument(q.sText) : q.sText;
      if (!probe.Make(sBytes, &sError)) {
        c.unreached.push_back(q.sWhat + " cannot be asked (" + sError + ")");
        continue;
      }
    }
    const std::string sDatabase = Answer(compiled, q, probe.path.str(), confirmDoc.path.str());
    const std::string sLibrary = Answer(loaded, q, probe.path.str(), confirmDoc.path.str());
    ++c.nAnswers;
    const std::string sVoid = VoidQuestion(q, sDatabase);
    if (!sVoid.empty()) c.unreached.push_back(sVoid);
    if (q.iDef >= 0 &&
        sDatabase.find("'" + std::string(g_aVirusDefs[q.iDef].szName) + "'") != std::string::npos)
      named[q.iDef] = true;
    if (sLibrary != sDatabase) c.differences.push_back({q.sWhat, sLibrary, sDatabase});
  }
  for (int i = 0; i < ZM_DEFINITIONS; ++i)
    if (!named[i])
      c.unreached.push_back("no answer names definition " + std::to_string(i + 1) + " (" +
                            g_aVirusDefs[i].szName + "): its threshold and macro names");
  return c;
}

}  // namespace zebscan
