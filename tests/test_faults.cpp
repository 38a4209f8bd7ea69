// Every platform call of a document scan, a directory walk, a file copy and a raw scan is made to
// fail in turn (a positioned read also by its position, and every read and write also by coming
// back short). At each one: the documented result, every file, block and search given back, the
// current directory as it was, and the lines a list file already held still there.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "docbuilder.h"
#include "docreader.h"
#include "engine.h"
#include "filelist.h"
#include "host.h"
#include "host_fault.h"
#include "rawscan.h"
#include "tempdir.h"
#include "tul.h"

namespace {

struct Fault {
  uint32_t n;
  ZmFault e;
  ZmHostCall kind;
  std::string Describe() const {
    static const char* const kHow[] = {"fails", "cannot seek", "comes back short"};
    return "call " + std::to_string(n) + " (" + HFI_szKindName(kind) + ") " + kHow[e];
  }
};

bool IsRead(ZmHostCall k) { return k == HC_READ || k == HC_READAT; }
bool IsIo(ZmHostCall k) { return IsRead(k) || k == HC_WRITE; }

std::string CurrentDirectory() {
  char sz[ZM_CWD_AREA] = {0};
  uint32_t n = g_zmHostPlatform.pfnGetCurrentDirectory(sizeof sz, sz);
  return n > 0 && n < sizeof sz ? std::string(sz, n) : std::string();
}

// Runs op once without faults to number its calls, then once per call and way of failing: a
// failure of every call, a failed position of every positioned read, a short transfer of every
// read and write. check(fault) runs after each faulted run; the resources must all be back.
// Returns the kinds of call the operation made.
std::set<ZmHostCall> Sweep(const std::function<void()>& op,
                           const std::function<void(Fault)>& check) {
  HFI_Install();
  op();
  uint32_t nCalls = HFI_uCalls();
  EXPECT_TRUE(HFI_iAllGivenBack()) << "without faults";
  EXPECT_GT(nCalls, 0u);
  EXPECT_LE(nCalls, static_cast<uint32_t>(HFI_TRACE));
  ::testing::Test::RecordProperty("calls", static_cast<int>(nCalls));
  std::vector<ZmHostCall> kinds;
  for (uint32_t n = 1; n <= nCalls; ++n) kinds.push_back(HFI_eKindOf(n));
  std::string sCwd = CurrentDirectory();
  for (ZmFault e : {HFI_FAIL, HFI_SEEK, HFI_SHORT}) {
    for (uint32_t n = 1; n <= nCalls; ++n) {
      Fault f{n, e, kinds[n - 1]};
      if (e == HFI_SEEK && f.kind != HC_READAT) continue;
      if (e == HFI_SHORT && !IsIo(f.kind)) continue;
      SCOPED_TRACE(f.Describe());
      HFI_Reset();
      HFI_FaultAt(n, e);
      op();
      EXPECT_TRUE(HFI_iAllGivenBack())
          << "files " << HFI_iOpenFiles() << ", blocks " << HFI_iBlocks() << ", global blocks "
          << HFI_iGlobalBlocks() << ", locks " << HFI_iGlobalLocks() << ", searches "
          << HFI_iSearches();
      check(f);
      // A refused change back is the only way the scan may leave the process elsewhere.
      if (f.kind != HC_SETCWD && f.kind != HC_SETDRIVE) {
        EXPECT_EQ(CurrentDirectory(), sCwd);
      }
      g_zmHostPlatform.pfnSetCurrentDirectory(sCwd.c_str());
    }
  }
  HFI_Remove();
  return std::set<ZmHostCall>(kinds.begin(), kinds.end());
}

std::string Kinds(const std::set<ZmHostCall>& s) {
  std::string r;
  for (ZmHostCall k : s) r += std::string(r.empty() ? "" : " ") + HFI_szKindName(k);
  return r;
}

// ---- Document scan ----

struct DocCase {
  const char* szName;
  uint32_t cbMinStream;  // below the mini-stream cutoff: the stream lies in the mini-stream
  friend void PrintTo(const DocCase& c, std::ostream* pos) { *pos << c.szName; }
};

class DocumentScanFaults : public ::testing::TestWithParam<DocCase> {
 protected:
  TempDir m_dir;
};

TEST_P(DocumentScanFaults, EveryCallFailsSafely) {
  // Three macros, the signature in the first, which is examined last: every read matters.
  zmdoc::DocSpec spec;
  spec.macros.push_back(zmdoc::MacroCarrying(zmdoc::DatabaseSignature(45, 1), 0x5A, "AutoOpen"));
  spec.macros.push_back(zmdoc::MacroCarrying({1, 2, 3}, 0x11, "FileSave", 900));
  spec.macros.push_back(zmdoc::MacroCarrying({4, 5, 6}, 0x00, "FileClose", 600));
  spec.minStreamSize = GetParam().cbMinStream;
  std::vector<uint8_t> file = zmdoc::BuildWord6(spec);
  std::string sPath = m_dir.Path("doc.doc");
  ASSERT_TRUE(zmdoc::WriteFile(sPath, file));
  // A lower-case drive letter makes the scan move to the document's drive and directory.
  if (sPath.size() > 1 && sPath[1] == ':') sPath[0] = static_cast<char>(std::tolower(sPath[0]));

  char szText[ZM_SCAN_TEXT];
  int32_t r = 0;
  auto op = [&] {
    std::fill(std::begin(szText), std::end(szText), '\x5A');
    r = DOC_ScanDocument(sPath.c_str(), g_pDatabaseHead, szText, nullptr);
  };
  auto check = [&](Fault f) {
    std::string sText(szText, strnlen(szText, sizeof szText));
    bool bHarmless = f.kind == HC_CLOSE || f.kind == HC_RELEASE || f.kind == HC_GETCWD ||
                     f.kind == HC_SETCWD || f.kind == HC_SETDRIVE || f.kind == HC_SAMENAME;
    if (bHarmless) {
      EXPECT_EQ(r, 1);
      EXPECT_EQ(sText, "Macro.Word.Wieder");
    } else if (f.kind == HC_COMMIT) {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(szText[0], '\x5A');  // no DocReader: nothing written
    } else if (f.kind == HC_OPEN) {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(sText, ZM_TXT_OPENING);
    } else if (f.e == HFI_SHORT) {
      // A short read is the file's end, which the reader takes as no error: the bytes missing
      // keep what the buffer held. Whatever that makes of the document, the answer is one of its.
      EXPECT_TRUE(r == 1 ? sText == "Macro.Word.Wieder"
                         : sText == ZM_TXT_OPENING || sText == ZM_TXT_NO_VIRUS)
          << sText;
    } else {
      ASSERT_TRUE(IsRead(f.kind) || f.kind == HC_SEEK) << HFI_szKindName(f.kind);
      EXPECT_EQ(r, 0);
      EXPECT_TRUE(sText == ZM_TXT_OPENING || sText == ZM_TXT_NO_VIRUS) << sText;
    }
  };
  op();
  ASSERT_EQ(r, 1);
  std::set<ZmHostCall> kinds = Sweep(op, check);
  EXPECT_TRUE(kinds.count(HC_OPEN) && kinds.count(HC_READAT) && kinds.count(HC_CLOSE) &&
              kinds.count(HC_COMMIT) && kinds.count(HC_RELEASE))
      << Kinds(kinds);
  // Only a path with a drive part moves the process, so only then is there a directory to
  // remember and set back.
  bool bDrive = iHasDriveLetters() && sPath.size() > 1 && sPath[1] == ':';
  EXPECT_EQ(kinds.count(HC_GETCWD) + kinds.count(HC_SETDRIVE) + kinds.count(HC_SETCWD),
            bDrive ? 3u : 0u)
      << Kinds(kinds);
}

INSTANTIATE_TEST_SUITE_P(Placements, DocumentScanFaults,
                         ::testing::Values(DocCase{"mini", 0}, DocCase{"regular", 9000}),
                         [](const auto& info) { return std::string(info.param.szName); });

// The scan through MACRO_Handler's job 2 answers like a clean document under any fault, and the
// pending record is taken whatever the scan answers.
TEST(HandlerFaults, JobTwoTakesThePendingRecordWhateverHappens) {
  TempDir dir;
  zmdoc::DocSpec spec;
  spec.macros.push_back(zmdoc::MacroCarrying(zmdoc::DatabaseSignature(45, 1), 0x5A, "AutoOpen"));
  std::string sPath = dir.Path("wieder.doc");
  ASSERT_TRUE(zmdoc::WriteFile(sPath, zmdoc::BuildWord6(spec)));
  char szResult[ZM_RESULT_BUFFER], szMacros[ZM_RESULT_BUFFER];
  int32_t r = 0;
  auto op = [&] {
    g_pPendingVerify = nullptr;
    ASSERT_EQ(ENG_iHandler(0, "", "AutoOpen&", szResult, "", szMacros), 1);
    ASSERT_STREQ(szResult, ZM_TXT_CHECK);
    r = ENG_iHandler(2, sPath.c_str(), "AutoOpen&", szResult, "", szMacros);
  };
  auto check = [&](Fault) {
    EXPECT_EQ(g_pPendingVerify, nullptr);
    EXPECT_TRUE((r == 1 && std::string(szResult) == "Macro.Word.Wieder") ||
                (r == 0 && (std::string(szResult) == ZM_TXT_NO_VIRUS ||
                            std::string(szResult) == ZM_TXT_OPENING)))
        << r << " " << szResult;
  };
  Sweep(op, check);
}

// ---- Directory walk ----

class WalkFaults : public ::testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override {
    for (const char* sz : {"a.doc", "b.txt", "one/c.doc", "one/deep/d.doc", "two/e.DOC",
                           "two/f.dot", ".hidden/g.doc"})
      m_dir.Write(std::string("tree/") + sz, "x");
    m_sList = m_dir.Path("list.txt");
  }
  std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> v;
    size_t at = 0;
    for (size_t end; (end = s.find("\r\n", at)) != std::string::npos; at = end + 2)
      v.push_back(s.substr(at, end - at));
    m_sTail = s.substr(at);
    return v;
  }
  TempDir m_dir;
  std::string m_sList, m_sTail;
};

TEST_P(WalkFaults, EveryCallFailsSafely) {
  const int32_t iAppend = GetParam();
  const std::string kEarlier = "EARLIER LINE 1\r\nEARLIER LINE 2\r\n";
  std::string sSpec = m_dir.Path("tree") + g_chPathSep + "*.*";
  int32_t r = 0;
  auto op = [&] {
    m_dir.Write("list.txt", kEarlier);
    g_iFileCount = 0;
    r = FL_iCallTraverse(sSpec.c_str(), m_sList.c_str(), "*.doc", iAppend);
  };
  HFI_Install();
  op();
  HFI_Remove();
  ASSERT_EQ(r, 4);
  std::string sClean = m_dir.Read("list.txt");
  std::vector<std::string> clean = Lines(sClean.substr(iAppend ? kEarlier.size() : 0));
  ASSERT_EQ(clean.size(), 4u);

  auto check = [&](Fault f) {
    std::string sList = m_dir.Read("list.txt");
    if (r == -3) {
      // Nothing walked; an appending call leaves the file as it was.
      EXPECT_TRUE(f.kind == HC_CREATE || f.kind == HC_OPEN || f.kind == HC_SEEK);
      if (iAppend) {
        EXPECT_EQ(sList, kEarlier);
      }
      return;
    }
    if (iAppend) {
      ASSERT_EQ(sList.substr(0, kEarlier.size()), kEarlier) << "earlier lines lost";
      sList = sList.substr(kEarlier.size());
    }
    std::vector<std::string> lines = Lines(sList);
    // Whole lines of the clean walk, in its order.
    EXPECT_TRUE(std::includes(clean.begin(), clean.end(), lines.begin(), lines.end(),
                              [&](const std::string& a, const std::string& b) {
                                return std::find(clean.begin(), clean.end(), a) <
                                       std::find(clean.begin(), clean.end(), b);
                              }))
        << sList;
    EXPECT_EQ(m_sTail, "") << sList;
    if (r == -2) {
      EXPECT_TRUE(lines.empty());
    } else {
      EXPECT_EQ(r, static_cast<int32_t>(lines.size()));
    }
    bool bHarmless = f.kind == HC_CLOSE || f.kind == HC_RELEASE || f.kind == HC_FINDCLOSE ||
                     f.e == HFI_SHORT;  // the rest of a short write follows it
    if (bHarmless) {
      EXPECT_EQ(r, 4);
    }
  };
  std::set<ZmHostCall> kinds = Sweep(op, check);
  EXPECT_TRUE(kinds.count(HC_FINDFIRST) && kinds.count(HC_FINDNEXT) && kinds.count(HC_WRITE) &&
              kinds.count(HC_COMMIT) && kinds.count(iAppend ? HC_SEEK : HC_CREATE))
      << Kinds(kinds);
}

// A line that stays cut (a short write whose rest cannot be written) is the list file's end: no
// later line is fused to it.
TEST_P(WalkFaults, ACutLineEndsTheList) {
  std::string sSpec = m_dir.Path("tree") + g_chPathSep + "*.*";
  for (uint32_t nLine = 1; nLine <= 4; ++nLine) {
    SCOPED_TRACE(nLine);
    m_dir.Write("list.txt", "");
    g_iFileCount = 0;
    HFI_Install();
    HFI_FailNth(HC_WRITE, nLine + 1);  // the write of the rest
    uint32_t nCalls = 0;
    // Find the call number of the nLine-th write in a clean run, then cut exactly that one.
    FL_iCallTraverse(sSpec.c_str(), m_sList.c_str(), "*.doc", GetParam());
    for (uint32_t n = 1, nWrites = 0; n <= HFI_uCalls() && !nCalls; ++n)
      if (HFI_eKindOf(n) == HC_WRITE && ++nWrites == nLine) nCalls = n;
    ASSERT_GT(nCalls, 0u);
    m_dir.Write("list.txt", "");
    g_iFileCount = 0;
    HFI_Reset();
    HFI_FaultAt(nCalls, HFI_SHORT);
    HFI_FailNth(HC_WRITE, nLine + 1);
    int32_t r = FL_iCallTraverse(sSpec.c_str(), m_sList.c_str(), "*.doc", GetParam());
    EXPECT_TRUE(HFI_iAllGivenBack());
    HFI_Remove();
    std::vector<std::string> lines = Lines(m_dir.Read("list.txt"));
    EXPECT_EQ(lines.size(), nLine - 1);
    EXPECT_EQ(r, nLine == 1 ? -2 : static_cast<int32_t>(nLine - 1));
    EXPECT_FALSE(m_sTail.empty());
    EXPECT_EQ(m_sTail.find('\n'), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, WalkFaults, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param ? "Append" : "Create"; });

// ---- File copy ----

TEST(CopyFaults, EveryCallFailsSafely) {
  TempDir dir;
  std::string sBytes;
  for (int i = 0; i < 5000; ++i) sBytes += static_cast<char>(i * 31 + 7);
  std::string sSrc = dir.Write("src.bin", sBytes), sDst = dir.Path("dst.bin");
  int32_t r = 0;
  auto op = [&] {
    dir.Write("dst.bin", "older content");
    r = UTL_iCopyFile(sSrc.c_str(), sDst.c_str());
  };
  auto check = [&](Fault f) {
    EXPECT_EQ(dir.Read("src.bin"), sBytes);
    if (r == 1) {
      EXPECT_EQ(dir.Read("dst.bin"), sBytes);
    }
    bool bHarmless = f.kind == HC_SAMENAME || f.kind == HC_SAMEFILE || f.kind == HC_GUNLOCK ||
                     f.kind == HC_GFREE || (f.e == HFI_SHORT && IsRead(f.kind)) ||
                     (f.kind == HC_CLOSE && HFI_uCallsOf(HC_CLOSE) == 2 &&
                      f.n == HFI_uCalls());  // the source's close, the last call
    EXPECT_EQ(r, bHarmless ? 1 : 0);
  };
  std::set<ZmHostCall> kinds = Sweep(op, check);
  EXPECT_TRUE(kinds.count(HC_GALLOC) && kinds.count(HC_GLOCK) && kinds.count(HC_GUNLOCK) &&
              kinds.count(HC_GFREE) && kinds.count(HC_CREATE) && kinds.count(HC_WRITE))
      << Kinds(kinds);
}

// ---- Raw scan ----

TEST(RawScanFaults, EveryCallFailsSafely) {
  TempDir dir;
  std::vector<uint8_t> abSig = zmdoc::HexBytes(g_aRawSignatures[1].szSignature);
  // Across the edge of the first read block, in a file of three blocks.
  std::string sBytes(3 * ZM_RAW_BLOCK + 100, '\x11');
  std::copy(abSig.begin(), abSig.end(), sBytes.begin() + ZM_RAW_BLOCK - 5);
  std::string sPath = dir.Write("raw.bin", sBytes);
  int32_t r = 0;
  auto op = [&] { r = RAW_iScanRaw(sPath.c_str(), g_aRawSignatures[1].szName); };
  auto check = [&](Fault f) {
    bool bHarmless =
        f.kind == HC_CLOSE || f.kind == HC_RELEASE || (f.e == HFI_SHORT && IsRead(f.kind));
    EXPECT_EQ(r, bHarmless ? 1 : 0);
  };
  std::set<ZmHostCall> kinds = Sweep(op, check);
  EXPECT_TRUE(kinds.count(HC_OPEN) && kinds.count(HC_READ) && kinds.count(HC_CLOSE) &&
              kinds.count(HC_COMMIT) && kinds.count(HC_RELEASE))
      << Kinds(kinds);
}

}  // namespace
