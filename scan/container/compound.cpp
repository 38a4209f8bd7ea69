// The walk of a compound file's contents: each level's objects met by the storage walk of cfb.h
// and handed to the walker as members are, an embedded document written out as a file of its
// own, an attached mail or an embedded document's storage walked one level below.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cfb.h"
#include "walker.h"

namespace container::detail {

namespace {

constexpr char kDamagedPrefix[] = "Damaged compound file: ";

// cb bytes of a stream from lOffset on, as a member's bytes.
class ObjectStream : public MemberStream {
 public:
  ObjectStream(cfb::File* pFile, const cfb::Object& o)
      : m_stream(pFile, o.iEntry), m_lSkip(o.lOffset), m_cbLeft(o.cb) {}
  ptrdiff_t Read(uint8_t* pb, size_t cb) override {
    if (m_lSkip > 0) {
      if (!m_stream.Skip(m_lSkip)) return Fail();
      m_lSkip = 0;
    }
    if (m_cbLeft == 0) return 0;
    ptrdiff_t n = m_stream.Read(pb, static_cast<size_t>(std::min<uint64_t>(cb, m_cbLeft)));
    if (n < 0) return Fail();
    if (n == 0) {
      m_sError = "the stream ends before its object";
      return -1;
    }
    m_cbLeft -= static_cast<uint64_t>(n);
    return n;
  }
  std::string Error() const override {
    return kDamagedPrefix + (m_sError.empty() ? m_stream.Error() : m_sError);
  }
  Kind ContainerKind() const override { return Kind::kCompound; }

 private:
  ptrdiff_t Fail() {
    if (m_stream.Error().empty()) m_sError = "the stream ends before its object";
    return -1;
  }
  cfb::File::Stream m_stream;
  uint64_t m_lSkip, m_cbLeft;
  std::string m_sError;
};

class Level : public cfb::Visitor {
 public:
  Level(Walker* pWalker, cfb::File* pFile, const Place& place, const std::string& sName,
        const Place& outer)
      : m_pWalker(pWalker), m_pFile(pFile), m_place(place), m_sName(sName), m_outer(outer) {}

  void Meet(const cfb::Object& o) override {
    if (o.type == cfb::Object::Type::kMessage) {
      Enter(o.iStorage, o.sName, true);
      return;
    }
    ObjectStream stream(m_pFile, o);
    if (o.type == cfb::Object::Type::kPayload) {
      m_pWalker->Member(&stream, o.sName, o.cb, m_place);
      return;
    }
    m_pWalker->EmbeddedDocument(&stream, o.cb, o.sName, m_place);
    Enter(o.iStorage, o.sName, false);
  }
  void Problem(const std::string& sReason) override {
    m_pWalker->Record(m_outer, m_sName, Kind::kCompound, Why::kDamaged, kDamagedPrefix + sReason);
  }
  bool Stopped() const override { return m_pWalker->Stopped(); }

 private:
  // The storage iStorage as a level of its own below this one, when it holds anything; an
  // attached mail is a member too (bCount).
  void Enter(uint32_t iStorage, const std::string& sName, bool bCount) {
    if (Stopped() ||
        (bCount && !(m_pWalker->Count(sName, m_place) && m_pWalker->Look(sName, m_place))))
      return;
    if (!cfb::LevelHoldsObjects(m_pFile, iStorage)) return;
    uint32_t nMax = m_pWalker->options().limits.nMaxRecursion;
    if (nMax != 0 && m_place.nDepth + 1 > nMax) {
      m_pWalker->RecordLimit(m_place, sName, Limit::kMaxRecursion, 0);
      return;
    }
    std::vector<std::string> chain = *m_place.pChain;
    chain.push_back(sName);
    Place inner{&chain, m_place.nDepth + 1};
    Level level(m_pWalker, m_pFile, inner, sName, m_place);
    cfb::WalkLevel(m_pFile, iStorage, &level);
  }

  Walker* m_pWalker;
  cfb::File* m_pFile;
  Place m_place;
  std::string m_sName;  // a copy: the file itself passes a temporary ""
  Place m_outer;
};

}  // namespace

void Walker::CompoundContents(int fd, uint64_t cb, const std::string& sName, const Place& place,
                              Outcome judged) {
  if (Stopped()) return;
  cfb::File file;
  // A document that is not OK is already no clean answer: its structure's damage adds nothing.
  const bool bTellDamage = judged == Outcome::kOk || judged == Outcome::kSkipped;
  if (!file.Open(ReadFrom(fd), cb)) {
    if (bTellDamage)
      Record(place, sName, Kind::kCompound, Why::kDamaged, kDamagedPrefix + file.Error());
    return;
  }
  if (!cfb::LevelHoldsObjects(&file, 0)) return;
  uint32_t nMax = m_options.limits.nMaxRecursion;
  if (nMax != 0 && place.nDepth + 1 > nMax) {
    RecordLimit(place, sName, Limit::kMaxRecursion, 0);
    return;
  }
  std::vector<std::string> chain = *place.pChain;
  chain.push_back(sName);
  Place inner{&chain, place.nDepth + 1};
  const size_t nBefore = m_pResult->members.size();
  Level level(this, &file, inner, sName, place);
  cfb::WalkLevel(&file, 0, &level);
  if (bTellDamage) return;
  // Only the damage of the file's own structure is dropped; its members' records stay.
  auto& members = m_pResult->members;
  for (size_t i = members.size(); i-- > nBefore;)
    if (members[i].kind == Kind::kCompound && members[i].why == Why::kDamaged &&
        members[i].chain == *place.pChain && members[i].sName == sName)
      members.erase(members.begin() + static_cast<std::ptrdiff_t>(i));
}

Result WalkCompoundFile(int fd, uint64_t cb, const Options& options, const ScanFunction& scan) {
  Result result;
  result.kind = Kind::kCompound;
  Walker walker(Bounded(options), scan, &result);
  std::vector<std::string> chain;
  Place place{&chain, 1};
  cfb::File file;
  if (!file.Open(ReadFrom(fd), cb)) {
    walker.Record(place, "", Kind::kCompound, Why::kDamaged, kDamagedPrefix + file.Error());
  } else {
    Level level(&walker, &file, place, "", place);
    cfb::WalkLevel(&file, 0, &level);
  }
  result.verdict = VerdictOf(result.members);
  return result;
}

}  // namespace container::detail
