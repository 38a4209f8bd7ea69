// The pool and its channel: results cross it whole and damaged replies are refused, the workers
// fit the process's limits, and files of workers that never start are scanned all the same.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "docbuilder.h"
#include "pool.h"
#include "scanner.h"
#include "tempdir.h"
#include "wire.h"
#include "zmapi.h"

namespace {

using zm::FileResult;
using zm::Outcome;

// A worker's reply comes back whole, and a reply cut anywhere or lengthened is refused rather than
// read as another result.
TEST(Wire, ResultsCrossTheChannelWholeAndDamagedOnesAreRefused) {
  FileResult r;
  r.outcome = Outcome::kFound;
  r.sVirus = "Macro.Word.Concept.a";
  r.foundBy = zm::FoundBy::kSignature;
  r.cause = zm::Cause::kLimit;  // not a found document's, but the wire carries any
  r.sResultMacros = "AAAZAO&AAAZFS&";
  r.doc.kind = zm::DocKind::kTruncated;
  r.doc.table.nMacros = 3;
  r.doc.table.names = {"AutoOpen", std::string("\x00\xFF&", 3)};
  r.doc.table.nUnnamed = 1;
  r.doc.table.bCut = true;
  r.nLeftOut = 2;
  r.nCalls = 5;
  r.bUnconfirmed = true;
  r.id = {0x1122334455667788ull, 42};
  r.nLinks = 3;
  r.containerKind = container::Kind::kMbox;
  r.nMembers = 0x100000001ull;
  container::Member m;
  m.chain = {"message-2", std::string("b\x00!\xFF.zip", 8)};
  m.sName = "zz-member";
  m.kind = container::Kind::k7z;
  m.why = container::Why::kLimit;
  m.outcome = container::Outcome::kFound;
  m.sVirus = "Heuristics.Limits.Exceeded.MaxRecursion";
  m.sReason = "Archive limit exceeded: MaxRecursion 17";
  m.limit = container::Limit::kMaxRecursion;
  m.cbRead = 1ull << 40;
  m.cause = zm::Cause::kDamaged;
  r.members = {container::Member(), m};
  // The macro listing, its section at the end: every field of a record set.
  r.listing.detail = zm::MacroDetail::kBodies;
  r.listing.bTemplate = true;
  r.listing.nLeftOut = 7;
  zm::MacroRecord rec;
  rec.bNamed = true;
  rec.sName = "AutoOpen";
  rec.sDescription = "Opens";
  rec.bKey = 0xA5;
  rec.cbSize = 300;
  rec.lOffset = 0x1234;
  rec.cbRead = 200;
  rec.eBody = zm::BodyRead::kCut;
  rec.eByteScan = wordbasic::ByteScan::kTooLong;
  rec.sSource = "Sub MAIN\n";
  rec.bSourceCut = true;
  rec.nUnknown = 2;
  rec.body = std::string("\x01\x00\x64", 3);
  // A body read whole travels with its digest; a cut one has none.
  zm::MacroRecord whole;
  for (size_t i = 0; i < sizeof whole.abSha256; ++i)
    whole.abSha256[i] = static_cast<uint8_t>(i + 1);
  r.listing.records = {rec, whole};
  // And the listings of a container's documents, by their records.
  r.memberListings = {{1, r.listing}};
  r.nMemberListingsLeftOut = 9;
  std::string s = zm::EncodeResult(r);
  FileResult back;
  ASSERT_TRUE(zm::DecodeResult(s, &back));
  EXPECT_EQ(zm::EncodeResult(back), s);
  EXPECT_EQ(back.sVirus, r.sVirus);
  EXPECT_EQ(back.doc.table.names, r.doc.table.names);
  EXPECT_TRUE(back.id == r.id);
  ASSERT_EQ(back.members.size(), 2u);
  EXPECT_EQ(back.members[1].chain, m.chain);
  EXPECT_EQ(back.members[1].limit, m.limit);
  EXPECT_EQ(back.nMembers, r.nMembers);
  // The codes that decisions branch on cross as they are, not remade from the texts.
  EXPECT_EQ(back.cause, r.cause);
  EXPECT_EQ(back.foundBy, r.foundBy);
  EXPECT_EQ(back.members[1].cause, m.cause);
  EXPECT_EQ(back.members[0].cause, zm::Cause::kNone);
  // A member record's kinds or its cause out of their range, or more records than the message
  // could hold.
  const size_t atKinds = s.find("zz-member") - 20;
  for (size_t k = 0; k < 8; ++k) {
    std::string sBad = s;
    sBad[atKinds + k] = 0x20;
    EXPECT_FALSE(zm::DecodeResult(sBad, &back)) << "field " << k;
  }
  std::string sMany = s;
  sMany[atKinds - 32 - 4 + 3] = 1;  // the top byte of the count of records
  EXPECT_FALSE(zm::DecodeResult(sMany, &back));
  // The last cause and way of finding cross; one past either does not, in a result or a record.
  FileResult codes = r;
  codes.cause = container::kLastCause;
  codes.foundBy = zm::kLastFoundBy;
  codes.members[1].cause = container::kLastCause;
  ASSERT_TRUE(zm::DecodeResult(zm::EncodeResult(codes), &back));
  EXPECT_EQ(back.cause, container::kLastCause);
  EXPECT_EQ(back.foundBy, zm::kLastFoundBy);
  EXPECT_EQ(back.members[1].cause, container::kLastCause);
  for (int k = 0; k < 3; ++k) {
    FileResult bad = codes;
    if (k == 0) bad.cause = static_cast<zm::Cause>(static_cast<int>(container::kLastCause) + 1);
    if (k == 1) bad.foundBy = static_cast<zm::FoundBy>(static_cast<int>(zm::kLastFoundBy) + 1);
    if (k == 2)
      bad.members[1].cause = static_cast<zm::Cause>(static_cast<int>(container::kLastCause) + 1);
    EXPECT_FALSE(zm::DecodeResult(zm::EncodeResult(bad), &back)) << k;
  }
  // The last kind crosses (a kind added is a kind a worker may answer); one past it does not.
  FileResult last = r;
  last.containerKind = container::kLastKind;
  ASSERT_TRUE(zm::DecodeResult(zm::EncodeResult(last), &back));
  EXPECT_EQ(back.containerKind, container::kLastKind);
  last.containerKind = static_cast<container::Kind>(static_cast<int>(container::kLastKind) + 1);
  EXPECT_FALSE(zm::DecodeResult(zm::EncodeResult(last), &back));
  ASSERT_TRUE(zm::DecodeResult(s, &back));
  ASSERT_EQ(back.listing.records.size(), 2u);
  EXPECT_EQ(back.listing.records[0].body, rec.body);
  EXPECT_EQ(back.listing.records[0].eByteScan, rec.eByteScan);
  EXPECT_EQ(back.listing.records[0].bKey, rec.bKey);
  EXPECT_EQ(zm::Sha256Text(back.listing.records[1]), zm::Sha256Text(whole));
  ASSERT_EQ(back.memberListings.size(), 1u);
  EXPECT_EQ(back.memberListings[0].iMember, 1u);
  EXPECT_EQ(back.memberListings[0].listing.records[0].sSource, rec.sSource);
  EXPECT_EQ(back.nMemberListingsLeftOut, 9u);
  // Member listings on no record of the result's, or not in the records' order.
  for (const auto& listings : {std::vector<zm::MemberListing>{{2, r.listing}},
                               std::vector<zm::MemberListing>{{1, r.listing}, {1, r.listing}},
                               std::vector<zm::MemberListing>{{1, {}}, {0, {}}}}) {
    FileResult bad = r;
    bad.memberListings = listings;
    EXPECT_FALSE(zm::DecodeResult(zm::EncodeResult(bad), &back)) << listings.size();
  }
  // A listing's level, a record's body state or byte-scan judgement beyond their ranges.
  FileResult bare = r;
  bare.listing = zm::MacroListing();
  bare.memberListings.clear();
  // An empty listing's bytes, then an empty section of member listings'.
  const size_t lListing = zm::EncodeResult(bare).size() - (4 + 8 + 8) - (8 + 8);
  ASSERT_EQ(static_cast<uint8_t>(s[lListing]), 3);
  for (const auto& [at, b] : {std::pair<size_t, char>{lListing, 4},
                              {lListing + 1, 2},
                              {lListing + 20, 4},
                              {lListing + 20 + 1, 3},
                              {lListing + 20 + 2, 7}}) {
    std::string sBad = s;
    sBad[at] = b;
    EXPECT_FALSE(zm::DecodeResult(sBad, &back)) << at;
  }
  for (size_t n = 0; n < s.size(); ++n) {
    FileResult cut;
    EXPECT_FALSE(zm::DecodeResult(s.substr(0, n), &cut)) << n;
  }
  EXPECT_FALSE(zm::DecodeResult(s + "x", &back));
  std::string sBadOutcome = s;
  sBadOutcome[0] = 9;
  EXPECT_FALSE(zm::DecodeResult(sBadOutcome, &back));
  // A flag no encoder writes; more names than the message could hold (a hostile count would
  // have the parent allocate them before the decode fails).
  std::string sStrayFlag = s;
  sStrayFlag[2] |= 0x10;
  EXPECT_FALSE(zm::DecodeResult(sStrayFlag, &back));

  // A reply: its count, then each result with its length. The results before a damaged one are
  // taken; the reply is whole only when it holds exactly what it counts, and no more than awaited.
  auto u32 = [](size_t n) {
    std::string b;
    for (int i = 0; i < 4; ++i) b += static_cast<char>(n >> (8 * i));
    return b;
  };
  const std::string one = u32(s.size()) + s;
  const struct {
    const char* szWhat;
    std::string sReply;
    size_t nMax;
    bool bWhole;
    size_t nTaken;
  } kReplies[] = {
      {"two of two", u32(2) + one + one, 2, true, 2},
      {"none", u32(0), 2, true, 0},
      {"counts three, holds two", u32(3) + one + one, 3, false, 2},
      {"more than awaited", u32(3) + one + one + one, 2, false, 0},
      {"a byte beyond", u32(1) + one + "x", 2, false, 1},
      {"the second damaged", u32(2) + one + u32(s.size()) + sBadOutcome, 2, false, 1},
      {"no count", "", 2, false, 0},
  };
  for (const auto& c : kReplies) {
    size_t nTaken = 0;
    EXPECT_EQ(zm::DecodeReply(c.sReply, c.nMax,
                              [&](FileResult&& got) {
                                EXPECT_EQ(got.sVirus, r.sVirus);
                                ++nTaken;
                              }),
              c.bWhole)
        << c.szWhat;
    EXPECT_EQ(nTaken, c.nTaken) << c.szWhat;
  }
}

// A batch crosses as written; a slot beyond the descriptors that came, or a flag no encoder
// writes, is refused.
TEST(Wire, BatchesCrossWholeAndStrayOnesAreRefused) {
  std::vector<zm::BatchItem> items(3);
  items[0] = {zm::Reach::kPassedFile, 1, true, false, "", "a.doc"};
  items[1] = {zm::Reach::kInDirectory, 0, false, true, "b.doc", "d/b.doc"};
  items[2] = {zm::Reach::kByPath, 7, true, true, "c/c.doc", "c/c.doc"};
  const std::string s = zm::EncodeBatch(42, items);
  uint32_t uBatch = 0;
  std::vector<zm::BatchItem> back;
  ASSERT_TRUE(zm::DecodeBatch(s, 2, &uBatch, &back));
  EXPECT_EQ(uBatch, 42u);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(zm::EncodeBatch(uBatch, back), s);
  EXPECT_FALSE(zm::DecodeBatch(s, 1, &uBatch, &back));  // slot 1 of one descriptor
  const size_t atFlags = 16;  // past the batch, its count, the first reach and slot
  std::string sStray = s;
  sStray[atFlags + 1] = 0x10;
  EXPECT_FALSE(zm::DecodeBatch(sStray, 2, &uBatch, &back));
  for (size_t n = 0; n < s.size(); ++n)
    EXPECT_FALSE(zm::DecodeBatch(s.substr(0, n), 2, &uBatch, &back)) << n;
}

// Workers fit the limits on open files and processes; what is left for the files in flight
// here is what the workers do not take.
// A worker's digests still queued travel as zeros, their places noted, and are filled in before
// its reply goes: in a document's listing and in a container member's, beside a digest made at
// once and a body read in part (which carries none).
TEST(Wire, QueuedDigestsAreFilledInTheReply) {
  zm::MacroRecord made, queued, cut;
  for (uint8_t& b : made.abSha256) b = 0x11;
  queued.iQueuedDigest = 1;
  cut.eBody = zm::BodyRead::kCut;
  FileResult r;
  r.listing.detail = zm::MacroDetail::kList;
  r.listing.records = {made, queued, cut};
  r.members.resize(1);
  zm::MacroListing member = r.listing;
  member.records = {queued};
  member.records[0].iQueuedDigest = 0;
  r.memberListings = {{0, member}};
  zm::ReplyWriter w;
  w.Add(r);
  std::vector<std::array<uint8_t, wordbasic::kSha256Bytes>> digests(2);
  digests[0].fill(0xA0);
  digests[1].fill(0xB1);
  w.FillDigests(digests);
  std::vector<FileResult> back;
  ASSERT_TRUE(zm::DecodeReply(w.Reply(), 1, [&](FileResult&& x) { back.push_back(std::move(x)); }));
  ASSERT_EQ(back.size(), 1u);
  const auto& records = back[0].listing.records;
  ASSERT_EQ(records.size(), 3u);
  auto hex = [](const char* szByte) {
    std::string s;
    for (size_t i = 0; i < wordbasic::kSha256Bytes; ++i) s += szByte;
    return s;
  };
  EXPECT_EQ(zm::Sha256Text(records[0]), hex("11"));
  EXPECT_EQ(zm::Sha256Text(records[1]), hex("b1"));
  EXPECT_EQ(zm::Sha256Text(records[2]), "");
  ASSERT_EQ(back[0].memberListings.size(), 1u);
  EXPECT_EQ(zm::Sha256Text(back[0].memberListings[0].listing.records[0]), hex("a0"));
}

TEST(Pool, FitsTheWorkersToTheLimits) {
  constexpr size_t kNone = SIZE_MAX;
  const struct {
    const char* szWhat;
    unsigned nWanted;
    size_t nFileLimit, nFilesFree, nTaskLimit, nTasksFree;
    unsigned nWorkers;
    size_t nMaxPassed, nHeldBudget;
    const char* szWhy;
  } kCases[] = {
      {"no limits", 8, kNone, kNone, kNone, kNone, 8, 64, kNone, ""},
      {"room for all", 8, 1024, 1000, kNone, kNone, 8, 64, 1000 - 8 - 32, ""},
      {"ulimit -n 40", 8, 40, 35, kNone, kNone, 6, 30, 3, "the limit of 40 open files (ulimit -n)"},
      {"ulimit -n 16", 8, 16, 11, kNone, kNone, 0, 6, 3, "the limit of 16 open files (ulimit -n)"},
      {"ulimit -n 10", 2, 10, 6, kNone, kNone, 0, 0, 0, "the limit of 10 open files (ulimit -n)"},
      {"ulimit -u 20", 50, kNone, kNone, 20, 19, 9, 64, kNone,
       "the limit of 20 processes (ulimit -u)"},
      {"ulimit -u, none free", 4, 1024, 1000, 20, 1, 0, 64, 992,
       "the limit of 20 processes (ulimit -u)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    zm::WorkerFit fit =
        zm::FitWorkers(c.nWanted, c.nFileLimit, c.nFilesFree, c.nTaskLimit, c.nTasksFree);
    EXPECT_EQ(fit.nWorkers, c.nWorkers);
    EXPECT_EQ(fit.nMaxPassed, c.nMaxPassed);
    EXPECT_EQ(fit.nHeldBudget, c.nHeldBudget);
    EXPECT_EQ(fit.sWhy, c.szWhy);
  }
}

// What a batch's event costs: the file the worker was on, or else the first it had not answered;
// nothing when no worker took the batch. The rest go back to the queue (Settle).
TEST(Pool, ChargesAnEventToTheFileTheWorkerWasOn) {
  using zm::LinkEvent;
  constexpr size_t kNone = zm::BatchFate::kNoFile;
  const struct {
    const char* szWhat;
    LinkEvent event;
    size_t nDone;
    bool bMarked;
    size_t iMarked;
    bool bAnswered;
    size_t nBatch;
    bool bNoWorker;
    size_t iBlamed;
  } kCases[] = {
      {"every file answered", LinkEvent::kReplied, 4, false, 0, true, 4, false, kNone},
      {"timed out on its mark", LinkEvent::kTimedOut, 1, true, 2, true, 4, false, 2},
      {"timed out before its first mark", LinkEvent::kTimedOut, 0, false, 0, false, 4, false, 0},
      {"died on its mark", LinkEvent::kDied, 2, true, 3, true, 4, false, 3},
      {"died unmarked after answers", LinkEvent::kDied, 2, false, 0, true, 4, false, 2},
      {"died unmarked, never answered", LinkEvent::kDied, 0, false, 0, false, 4, true, kNone},
      {"died marked, never answered", LinkEvent::kDied, 0, true, 1, false, 4, false, 1},
      {"damaged reply", LinkEvent::kDamaged, 1, false, 0, true, 3, false, 1},
      {"a stale mark before the answered", LinkEvent::kDamaged, 3, true, 1, true, 5, false, 3},
      {"a mark past the batch", LinkEvent::kDied, 1, true, 99, true, 4, false, 3},
      {"no worker could start", LinkEvent::kNeverStarted, 0, false, 0, false, 4, true, kNone},
      // The request failed twice after the worker had answered earlier batches: the batch never
      // reached a worker, so its first file is not to blame.
      {"sent to no worker after answers", LinkEvent::kNeverStarted, 0, false, 0, true, 4, true,
       kNone},
      {"an event after the last answer", LinkEvent::kDied, 2, true, 1, true, 2, false, kNone},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    zm::LinkReport report;
    report.event = c.event;
    report.nDone = c.nDone;
    report.bMarked = c.bMarked;
    report.iMarked = c.iMarked;
    report.bAnswered = c.bAnswered;
    const zm::BatchFate fate = zm::JudgeBatch(report, c.nBatch);
    EXPECT_EQ(fate.bNoWorker, c.bNoWorker);
    EXPECT_EQ(fate.iBlamed, c.iBlamed);
  }
}

// A worker that cannot start, or ends before it answers anything, costs no file: its files go to
// the others, and the last one left scans them in this process, saying so once.
TEST(Pool, FilesOfWorkersThatNeverStartAreScannedAllTheSame) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 6; ++i) {
    zmdoc::DocSpec spec;
    if (i == 3)
      for (const char* sz : {"AAAZAO", "AAAZFS", "AutoOpen", "PayLoad", "FileSaveAs"})
        spec.macros.push_back(zmdoc::MacroCarrying({0x20}, 0x21, sz, 40, 0));
    std::vector<uint8_t> b = zmdoc::BuildWord6(spec);
    paths.push_back(dir.Write("d" + std::to_string(i) + ".doc", std::string(b.begin(), b.end())));
  }
  std::vector<std::pair<const char*, std::string>> programs = {
      {"no such program", dir.Path("no-such-program")}};
  if (zm::File f; zm::OpenFile(nullptr, "/bin/true", true, false, &f, nullptr))
    programs.push_back({"ends at once", "/bin/true"});
  for (const auto& program : programs) {
    SCOPED_TRACE(program.first);
    zm::Scanner here(ZmCompiledInApi(), {});
    zm::PoolOptions options;
    options.nWorkers = 2;
    options.sExecutable = program.second;
    options.inProcess = [&](zm::File* pOpen, const zm::FileRef& ref, std::string sPath) {
      return pOpen ? here.Scan(*pOpen, std::move(sPath)) : here.ScanRef(ref, std::move(sPath));
    };
    std::vector<FileResult> results(paths.size());
    std::atomic<size_t> nDone{0};
    std::vector<std::string> notes;
    {
      zm::Pool pool(options);
      for (size_t i = 0; i < paths.size(); ++i) {
        zm::FileRef ref;
        ref.sName = paths[i];
        pool.Submit(ref, paths[i], [&, i](FileResult&& r) {
          results[i] = std::move(r);
          ++nDone;
        });
      }
      for (int i = 0; i < 6000 && nDone < paths.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      notes = pool.Notes();
    }
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(notes.back().find(": scanning in this process"), std::string::npos) << notes.back();
    for (size_t i = 0; i < paths.size(); ++i) {
      EXPECT_EQ(results[i].sPath, paths[i]);
      EXPECT_EQ(results[i].outcome, i == 3 ? Outcome::kFound : Outcome::kOk) << results[i].sReason;
    }
  }
}

}  // namespace
