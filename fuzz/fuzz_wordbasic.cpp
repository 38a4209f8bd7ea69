// Property: for any bytes taken as a macro body in the clear, the de-tokeniser does not crash or
// touch memory outside its buffers; the source it counts is at most kMaxExpansion bytes for each
// body byte and kMaxExpansion more; any smaller buffer holds a NUL-terminated prefix of it; every
// byte is either decoded or shown as unknown (header + decoded + unknown + cut + not decoded =
// all, the last only after a line of kMaxUnknownInLine unknown bytes), and the token walk covers
// each byte exactly once with every operand inside the body. Taken as a macro
// table, the walk stores no more entries than the caller's array holds (the same ones in the
// same order whatever its size), counts no more than the bytes can hold, keeps every text and
// section inside them, names entries only from a whole name section, and judges at most 64
// entries taken by the byte scan. The digest of stored bytes and a key is that of the bytes in
// the clear.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzzsupport.h"
#include "wordbasic.h"

namespace {

void CheckSource(const uint8_t* pb, size_t cb) {
  static std::vector<char> whole;
  char achSmall[97];
  wordbasic::SourceInfo small = wordbasic::Detokenise(pb, cb, achSmall, sizeof achSmall);
  FZ_CHECK(small.cchSource <= wordbasic::kMaxExpansion * cb + wordbasic::kMaxExpansion);
  FZ_CHECK(small.cchWritten ==
           (small.cchSource < sizeof achSmall ? small.cchSource : sizeof achSmall - 1));
  FZ_CHECK(achSmall[small.cchWritten] == '\0');
  FZ_CHECK(small.bTruncated == (small.cchWritten < small.cchSource));
  FZ_CHECK(small.cbHeader + small.cbDecoded + small.nUnknownTokens + small.cbCut +
               small.cbNotDecoded ==
           cb);
  FZ_CHECK(small.cbNotDecoded == 0 || small.nUnknownTokens >= wordbasic::kMaxUnknownInLine);
  if (small.cchSource < (1u << 20)) {
    whole.assign(small.cchSource + 1, '#');
    wordbasic::SourceInfo full = wordbasic::Detokenise(pb, cb, whole.data(), whole.size());
    FZ_CHECK(full.cchSource == small.cchSource && full.cchWritten == full.cchSource);
    FZ_CHECK(!full.bTruncated && whole[full.cchWritten] == '\0');
    FZ_CHECK(std::memcmp(whole.data(), achSmall, small.cchWritten) == 0);
    FZ_CHECK(full.nTokens == small.nTokens && full.nLines == small.nLines);
  }

  size_t pos = cb < wordbasic::kBodyHeader ? cb : wordbasic::kBodyHeader;
  size_t nTokens = 0;
  wordbasic::Token t;
  while (wordbasic::NextToken(pb, cb, &pos, &t)) {
    ++nTokens;
    FZ_CHECK(t.cb >= 1 && t.lAt + t.cb == pos && pos <= cb);
    FZ_CHECK(t.lTextAt + t.cbText <= cb);
  }
  // Decoding stops early only after a line of unknown bytes.
  FZ_CHECK(pos == cb &&
           (small.cbNotDecoded > 0 ? nTokens > small.nTokens : nTokens == small.nTokens));
}

bool Same(const wordbasic::TextRef& a, const wordbasic::TextRef& b) {
  return a.bPresent == b.bPresent && a.lAt == b.lAt && a.cb == b.cb && a.bUtf16 == b.bUtf16;
}
bool Same(const wordbasic::Entry& a, const wordbasic::Entry& b) {
  return a.lAt == b.lAt && a.bKey == b.bKey && a.lLength == b.lLength && Same(a.name, b.name) &&
         Same(a.description, b.description) && Same(a.menuText, b.menuText) &&
         a.eByteScan == b.eByteScan;
}

void CheckTable(const uint8_t* pb, size_t cb) {
  static wordbasic::Entry aMany[64], aFew[3];
  wordbasic::Table t = wordbasic::ReadTable(pb, cb, aMany, 64);
  wordbasic::Table tFew = wordbasic::ReadTable(pb, cb, aFew, 3);
  FZ_CHECK(t.nStored <= 64 && t.nStored <= t.nEntries && t.nEntries * 24 <= cb);
  FZ_CHECK(tFew.nEntries == t.nEntries && tFew.nStored == (t.nStored < 3 ? t.nStored : 3));
  FZ_CHECK(t.nMarked <= t.nEntries && t.nSections <= wordbasic::kMaxSections);
  FZ_CHECK(t.bTable || (t.nSections == 0 && t.nEntries == 0));
  uint32_t lNext = 1;
  for (size_t s = 0; s < t.nSections; ++s) {
    const wordbasic::Section& sec = t.aSections[s];
    FZ_CHECK(sec.lAt == lNext && sec.cb >= 1 && sec.lAt + sec.cb <= cb);
    lNext = sec.lAt + sec.cb;
    FZ_CHECK(!sec.bCut || s + 1 == t.nSections);
  }
  size_t nTaken = 0;
  for (size_t i = 0; i < t.nStored; ++i) {
    const wordbasic::Entry& e = aMany[i];
    FZ_CHECK(i == 0 || aMany[i - 1].lAt < e.lAt);
    FZ_CHECK(e.lAt + 24 <= cb);
    if (i < tFew.nStored) FZ_CHECK(Same(aFew[i], e));
    FZ_CHECK(!e.name.bPresent || t.bNameSection);
    for (const wordbasic::TextRef* r : {&e.name, &e.description, &e.menuText}) {
      FZ_CHECK(!r->bPresent || (r->lAt <= cb && r->cb <= cb - r->lAt));
      FZ_CHECK(!r->bUtf16 || r->cb % 2 == 0);
      char ach[16];
      size_t n = wordbasic::TextToUtf8(pb, cb, *r, ach, sizeof ach);
      FZ_CHECK(ach[n < sizeof ach ? n : sizeof ach - 1] == '\0');  // texts may hold NULs
    }
    nTaken += e.eByteScan == wordbasic::ByteScan::kTaken;
  }
  FZ_CHECK(nTaken <= 64);
}

void CheckDigest(const uint8_t* pb, size_t cb) {
  if (cb == 0 || cb > 4096) return;
  static uint8_t abClear[4096];
  uint8_t bKey = pb[0];
  wordbasic::DecryptBody(pb, cb, bKey, abClear);
  uint8_t abA[wordbasic::kSha256Bytes], abB[wordbasic::kSha256Bytes];
  wordbasic::BodySha256(pb, cb, bKey, abA);
  wordbasic::Sha256 sha;
  wordbasic::Sha256Init(&sha);
  wordbasic::Sha256Update(&sha, abClear, cb / 2);
  wordbasic::Sha256Update(&sha, abClear + cb / 2, cb - cb / 2);
  wordbasic::Sha256Final(&sha, abB);
  FZ_CHECK(std::memcmp(abA, abB, sizeof abA) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  CheckSource(pb, cb);
  CheckTable(pb, cb);
  CheckDigest(pb, cb);
  return 0;
}
