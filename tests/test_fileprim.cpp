// The file and memory primitives: one platform call each, with its 16-bit narrowing and
// its 0 / -1 results, on the real platform (POSIX layer or Win32 under Wine).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "fileprim.h"
#include "host.h"
#include "tempdir.h"

namespace {

// Replaces one entry of the seam for a test and puts the platform's back.
struct SeamGuard {
  ~SeamGuard() { g_zmHost = g_zmHostPlatform; }
};

TEST(FilePrim, OpenReadSeekCloseAFile) {
  TempDir dir;
  std::string sPath = dir.Write("a.bin", "0123456789");
  int32_t h = hOpenRead(sPath.c_str());
  ASSERT_NE(h, -1);
  char ab[16] = {};
  EXPECT_EQ(uReadBlock(h, ab, 4), 4u);
  EXPECT_EQ(std::string(ab, 4), "0123");
  EXPECT_EQ(lSeekFile(h, 8, 0), 8);
  EXPECT_EQ(uReadBlock(h, ab, 16), 2u);  // a short read near the end
  EXPECT_EQ(std::string(ab, 2), "89");
  EXPECT_EQ(lSeekFile(h, -3, 2), 7);  // from the end
  EXPECT_EQ(lSeekFile(h, 1, 1), 8);   // from the current position
  EXPECT_EQ(iCloseFile(h), 0);
}

TEST(FilePrim, OpenOfAMissingPathAnswersMinusOne) {
  TempDir dir;
  EXPECT_EQ(hOpenRead(dir.Path("no-such-file.doc").c_str()), -1);
  EXPECT_EQ(hOpenRead(dir.Path("no-such-dir/a.doc").c_str()), -1);
}

// Only regular files open, and nothing else is opened to find that out: a FIFO would block the
// open or wake a peer waiting in its own, a device's open may act (a terminal, a tape, a watchdog)
// or its reads never end. Links are followed: only the final object's kind counts.
TEST(FilePrim, OnlyRegularFilesOpenOnPosix) {
  if (g_chPathSep != '/') GTEST_SKIP() << "POSIX layer only";
  TempDir dir;
  std::string sFifo = dir.Path("pipe.doc");
  ASSERT_EQ(std::system(("mkfifo '" + sFifo + "'").c_str()), 0);
  std::filesystem::create_symlink("/dev/null", dir.Path("null.doc"));
  std::filesystem::create_symlink(sFifo, dir.Path("fifo-link.doc"));
  // A writer waits in its open of the FIFO for a reader; the refusals below must not be one.
  const std::string sReleased = dir.Path("released");
  ASSERT_EQ(std::system(("sh -c \"exec 3>'" + sFifo + "'; : >'" + sReleased + "'\" &").c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::string aPaths[] = {sFifo,       dir.Path("fifo-link.doc"), "/dev/zero",
                                "/dev/null", dir.Path("null.doc"),      "/dev/tty",
                                dir.Root()};
  for (const std::string& s : aPaths) {
    SCOPED_TRACE(s);
    EXPECT_EQ(hOpenRead(s.c_str()), -1);
    EXPECT_EQ(g_zmHost.pfnOpen(s.c_str(), ZM_OF_WRITE), -1);
    EXPECT_EQ(g_zmHost.pfnOpen(s.c_str(), 2), -1);
    EXPECT_EQ(g_zmHost.pfnCreate(s.c_str(), 0, ZM_HFILE_ERROR), -1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(dir.Exists("released"));
  // A reader at last (read-write: that open never waits): the writer goes on and says so.
  ASSERT_EQ(std::system(("sh -c \": <>'" + sFifo + "'\"").c_str()), 0);
  for (int i = 0; i < 500 && !dir.Exists("released"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(dir.Exists("released"));

  // The same kinds held open as descriptors and named /proc/self/fd/N or /dev/fd/N: refused too,
  // like descriptors that are not open and names that are no descriptor's.
  FILE* pFifo = std::fopen(sFifo.c_str(), "r+");
  FILE* pDir = std::fopen(dir.Root().c_str(), "r");
  ASSERT_NE(pFifo, nullptr);
  ASSERT_NE(pDir, nullptr);
  for (const std::string& s :
       {"/proc/self/fd/" + std::to_string(fileno(pFifo)),
        "/dev/fd/" + std::to_string(fileno(pFifo)), "/proc/self/fd/" + std::to_string(fileno(pDir)),
        std::string("/proc/self/fd/99999"), std::string("/dev/fd/")}) {
    SCOPED_TRACE(s);
    EXPECT_EQ(hOpenRead(s.c_str()), -1);
    EXPECT_EQ(g_zmHost.pfnOpen(s.c_str(), 2), -1);
  }
  std::fclose(pFifo);
  std::fclose(pDir);

  // A link to a regular file, and the short names of an open file, open as the file, from its
  // start whatever the held descriptor's position.
  std::string sFile = dir.Write("a.bin", "xyz");
  std::filesystem::create_symlink(sFile, dir.Path("link.bin"));
  int32_t hHeld = hOpenRead(sFile.c_str());
  ASSERT_NE(hHeld, -1);
  char bFirst;
  ASSERT_EQ(uReadBlock(hHeld, &bFirst, 1), 1u);
  const std::string sHeld = std::to_string(hHeld);
  for (const std::string& s :
       {dir.Path("link.bin"), "/proc/self/fd/" + sHeld, "/dev/fd/" + sHeld}) {
    SCOPED_TRACE(s);
    int32_t h = hOpenRead(s.c_str());
    ASSERT_NE(h, -1);
    char ab[4] = {};
    EXPECT_EQ(uReadBlock(h, ab, 4), 3u);
    EXPECT_STREQ(ab, "xyz");
    EXPECT_EQ(iCloseFile(h), 0);
  }
  EXPECT_EQ(hOpenRead(("/proc/self/fd/0" + sHeld).c_str()), -1);  // no such name in /proc
  EXPECT_EQ(uReadBlock(hHeld, &bFirst, 1), 1u);  // the held descriptor reads on where it was
  EXPECT_EQ(bFirst, 'y');
  EXPECT_EQ(iCloseFile(hHeld), 0);
}

// A read-only file is never written, truncated or appended to, whoever asks (the tests may run
// as root); only the file's own read-only state counts (owner's write bit on POSIX).
TEST(FilePrim, AReadOnlyFileIsNeverOpenedForWriting) {
  TempDir dir;
  std::string sPath = dir.Write("ro.txt", "kept");
  std::filesystem::permissions(sPath, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  EXPECT_EQ(g_zmHost.pfnOpen(sPath.c_str(), ZM_OF_WRITE), -1);
  EXPECT_EQ(g_zmHost.pfnOpen(sPath.c_str(), 2), -1);
  EXPECT_EQ(g_zmHost.pfnCreate(sPath.c_str(), 0, ZM_HFILE_ERROR), -1);
  int32_t h = hOpenRead(sPath.c_str());  // reading stays allowed
  EXPECT_NE(h, -1);
  iCloseFile(h);
  EXPECT_EQ(dir.Read("ro.txt"), "kept");
  std::filesystem::permissions(sPath, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
}

TEST(FilePrim, ReadAtTheEndOfAFileAnswersZero) {
  TempDir dir;
  std::string sPath = dir.Write("a.bin", "xyz");
  int32_t h = hOpenRead(sPath.c_str());
  ASSERT_NE(h, -1);
  char ab[8];
  EXPECT_EQ(uReadBlock(h, ab, 8), 3u);
  EXPECT_EQ(uReadBlock(h, ab, 8), 0u);
  // A seek past the end succeeds; a read there delivers nothing.
  EXPECT_EQ(lSeekFile(h, 4096, 0), 4096);
  EXPECT_EQ(uReadBlock(h, ab, 8), 0u);
  EXPECT_EQ(iCloseFile(h), 0);
}

// The positioned read is the seek and the read in one: it leaves the answers of both.
TEST(FilePrim, ReadAtAPositionAnswersAsSeekThenRead) {
  TempDir dir;
  std::string sPath = dir.Write("a.bin", "0123456789");
  int32_t h = hOpenRead(sPath.c_str());
  ASSERT_NE(h, -1);
  const struct {
    uint32_t lOffset, cb, cbWant;
    const char* szWant;
  } kCases[] = {
      {0, 4, 4, "0123"}, {6, 4, 4, "6789"}, {8, 16, 2, "89"}, {10, 4, 0, ""}, {4096, 4, 0, ""},
  };
  for (const auto& c : kCases) {
    char ab[16] = {};
    EXPECT_EQ(uReadBlockAt(h, c.lOffset, ab, c.cb), c.cbWant) << c.lOffset;
    EXPECT_EQ(std::string(ab, c.cbWant), c.szWant);
  }
  char ab[4];
  EXPECT_EQ(uReadBlockAt(h, 0x80000000u, ab, 4), ZM_SEEK_ERROR);  // beyond a 32-bit position
  EXPECT_EQ(iCloseFile(h), 0);
}

TEST(FilePrim, ReadCountAndSeekOriginAreTakenModulo65536) {
  SeamGuard guard;
  static uint32_t s_cbSeen;
  static int32_t s_iOriginSeen;
  g_zmHost.pfnRead = [](int32_t, void*, uint32_t cb) -> uint32_t {
    s_cbSeen = cb;
    return 0;
  };
  g_zmHost.pfnSeek = [](int32_t, int32_t, int32_t iOrigin) -> int32_t {
    s_iOriginSeen = iOrigin;
    return 0;
  };
  g_zmHost.pfnVirtualAlloc = [](uint32_t cb) -> void* {
    s_cbSeen = cb;
    return nullptr;
  };
  char ab[1];
  uReadBlock(3, ab, 0x10000u + 10u);
  EXPECT_EQ(s_cbSeen, 10u);
  lSeekFile(3, 0, 0x10001);
  EXPECT_EQ(s_iOriginSeen, 1);
  EXPECT_EQ(pCommitBlock(0x10000u + 512u), nullptr);
  EXPECT_EQ(s_cbSeen, 512u);
}

TEST(FilePrim, CommittedBlockIsZeroFilledAndWritable) {
  uint8_t* pb = static_cast<uint8_t*>(pCommitBlock(4096));
  ASSERT_NE(pb, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(pb[i], 0) << i;
  std::memset(pb, 0xA5, 4096);
  EXPECT_EQ(pb[4095], 0xA5);
  EXPECT_EQ(iReleaseBlock(pb), 0);
}

TEST(FilePrim, CloseAndReleaseAnswerZeroOrMinusOne) {
  TempDir dir;
  std::string sPath = dir.Write("a.bin", "x");
  int32_t h = hOpenRead(sPath.c_str());
  ASSERT_NE(h, -1);
  EXPECT_EQ(iCloseFile(h), 0);
  void* pv = pCommitBlock(64);
  ASSERT_NE(pv, nullptr);
  EXPECT_EQ(iReleaseBlock(pv), 0);

  // Failed platform calls: the real ones on handles that name nothing, then the seam's.
  EXPECT_EQ(iCloseFile(0x7FFFFFF0), -1);
  EXPECT_EQ(iReleaseBlock(nullptr), -1);
  SeamGuard guard;
  g_zmHost.pfnClose = [](int32_t) -> int32_t { return ZM_HFILE_ERROR; };
  g_zmHost.pfnVirtualFree = [](void*) -> int32_t { return 0; };
  EXPECT_EQ(iCloseFile(5), -1);
  int iDummy;
  EXPECT_EQ(iReleaseBlock(&iDummy), -1);
}

}  // namespace
