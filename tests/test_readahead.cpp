// Read-ahead of file heads: every file of a cold tree asked for, a warm tree left alone but for a
// file now and then, which tells when it turns cold; a platform that cannot ask is asked once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fsys.h"
#include "readahead.h"
#include "tempdir.h"

namespace {

using zm::HeadCache;

// A tree whose files' heads answer as sAnswers says, file by file ('a' asked: cold, 'c' cached,
// 'x' the platform cannot ask): which files were looked at, and whether heads were still being
// read after each.
struct Looked {
  std::string sLooked, sReading;  // a character a file: '+' or '.'
};
Looked Walk(const std::string& sAnswers) {
  Looked out;
  size_t i = 0;
  zm::HeadReadAhead ahead([&](const zm::FileRef&) {
    out.sLooked.back() = '+';
    switch (sAnswers[i]) {
      case 'a':
        return HeadCache::kAsked;
      case 'x':
        return HeadCache::kCannot;
      default:
        return HeadCache::kCached;
    }
  });
  for (; i < sAnswers.size(); ++i) {
    out.sLooked += '.';
    ahead.Ask(zm::FileRef());
    out.sReading += ahead.Reading() ? '+' : '.';
  }
  return out;
}

std::string Repeat(char ch, size_t n) { return std::string(n, ch); }

TEST(HeadReadAhead, AsksOnAColdTreeAndLooksNowAndThenOnAWarmOne) {
  const std::string kWarmRun = Repeat('c', 32);  // heads found cached in a row: a warm tree
  struct Case {
    const char* szWhat;
    std::string sAnswers, sLooked, sReading;
  } cases[] = {
      {"cold: every file", Repeat('a', 40), Repeat('+', 40), Repeat('+', 40)},
      {"warm: 32 files, then one in 128", Repeat('c', 32 + 256),
       Repeat('+', 32) + Repeat('.', 127) + "+" + Repeat('.', 127) + "+",
       Repeat('+', 31) + Repeat('.', 257)},
      // A run of cached heads on a cold tree (files read lately) does not stop the asking.
      {"cold with 31 cached", "a" + Repeat('c', 31) + "a" + Repeat('c', 31), Repeat('+', 64),
       Repeat('+', 64)},
      // A part of a warm tree that is cold is met at the next look, and read ahead from there.
      {"warm, then cold", kWarmRun + Repeat('a', 130), Repeat('+', 32) + Repeat('.', 127) + "+++",
       Repeat('+', 31) + Repeat('.', 128) + "+++"},
      {"cannot ask: asked once", Repeat('x', 40), "+" + Repeat('.', 39), Repeat('.', 40)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szWhat);
    Looked got = Walk(c.sAnswers);
    EXPECT_EQ(got.sLooked, c.sLooked);
    EXPECT_EQ(got.sReading, c.sReading);
  }
}

// The platform's request: a file just written is in the cache, and an empty one has nothing to
// read; Windows cannot ask.
TEST(HeadReadAhead, FindsAFileJustWrittenCached) {
  TempDir dir;
  const bool bWindows = zm::NamesIgnoreCase();
  for (const std::string& sBytes : {std::string(100000, 'x'), std::string()}) {
    zm::File f;
    std::string sError;
    ASSERT_TRUE(zm::OpenFile(nullptr, dir.Write("f", sBytes), false, false, &f, &sError)) << sError;
    EXPECT_EQ(zm::ReadAheadHead(f, zm::kHeadAheadBytes),
              bWindows ? HeadCache::kCannot : HeadCache::kCached);
  }
}

}  // namespace
