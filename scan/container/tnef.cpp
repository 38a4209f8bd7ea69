// MS-TNEF (winmail.dat), read by position: the attachments' data attributes are the members,
// named by the title attribute before them. Our own reader: the one library for it prints its
// complaints about damaged input on standard output, where zebscan's report goes.
#include <unistd.h>

#include <string>

#include "le.h"
#include "walker.h"

namespace container::detail {

namespace {

// MS-OXTNEF: u32 signature, u16 key, then attributes: u8 level, u32 id, u32 length, the data,
// u16 checksum.
constexpr uint64_t kHeaderBytes = 6;
constexpr uint64_t kAttributeHead = 9;
constexpr uint32_t kAttAttachRendData = 0x00069002;  // begins an attachment
constexpr uint32_t kAttAttachTitle = 0x00018010;     // its file name
constexpr uint32_t kAttAttachData = 0x0006800F;      // its bytes
constexpr uint8_t kLevelAttachment = 2;
constexpr size_t kMaxTitle = 1024;

}  // namespace

void WalkTnef(Walker* pWalker, const Source& src, const std::string& sName, const Place& place) {
  std::vector<std::string> outerChain = *place.pChain;
  if (!outerChain.empty()) outerChain.pop_back();
  Place outer{&outerChain, place.nDepth > 1 ? place.nDepth - 1 : 1};
  std::string sTitle;
  int nAttachment = 0;
  uint64_t at = kHeaderBytes;
  while (!pWalker->Stopped() && at < src.cb) {
    uint8_t ab[kAttributeHead];
    if (src.cb - at < kAttributeHead || !ReadAt(src.fd, at, ab, sizeof ab)) {
      pWalker->Record(outer, sName, Kind::kTnef, Why::kDamaged,
                      "Damaged tnef: an attribute is cut short");
      return;
    }
    uint32_t lId = Le32(ab + 1);
    uint64_t cbData = Le32(ab + 5);
    uint64_t atData = at + kAttributeHead;
    if (cbData > src.cb - atData || src.cb - atData - cbData < 2) {
      pWalker->Record(outer, sName, Kind::kTnef, Why::kDamaged,
                      "Damaged tnef: an attribute runs past the end");
      return;
    }
    if (ab[0] == kLevelAttachment) {
      if (lId == kAttAttachRendData) {
        ++nAttachment;
        sTitle.clear();
      } else if (lId == kAttAttachTitle) {
        sTitle.resize(cbData < kMaxTitle ? static_cast<size_t>(cbData) : kMaxTitle);
        if (!ReadAt(src.fd, atData, &sTitle[0], sTitle.size())) sTitle.clear();
        sTitle.resize(sTitle.find('\0') == std::string::npos ? sTitle.size() : sTitle.find('\0'));
      } else if (lId == kAttAttachData) {
        std::string sMember =
            !sTitle.empty() ? sTitle : "part-" + std::to_string(nAttachment ? nAttachment : 1);
        RangeStream stream(src.fd, atData, cbData, Kind::kTnef,
                           "Damaged tnef: an attachment ends early");
        pWalker->Member(&stream, sMember, cbData, place);
      }
    }
    at = atData + cbData + 2;
  }
}

}  // namespace container::detail
