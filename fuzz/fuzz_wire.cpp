// Fuzzes the decoders of the worker's channel on any bytes: the parent reads replies from a worker
// that has just parsed hostile input, and a worker reads the batches it is handed.
// Input: byte 0's low two bits pick the decoder (0 and 3 a reply, 1 a batch, 2 one result), its
// upper six a bound (the results a reply may hold, the descriptors that came with a batch); the
// rest is the message.
// Property: a decoder takes exactly what its encoder writes: a message it accepts is encoded again
// byte for byte, so no field is read that no encoder wrote; a reply gives no more results than
// awaited, and each result it gives before refusing is whole; a batch holds at most kMaxBatch
// items, each passed slot below the descriptors that came.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzsupport.h"
#include "wire.h"

namespace {

void Reply(std::string_view s, size_t nMax) {
  zm::ReplyWriter w;
  size_t n = 0;
  const bool bWhole = zm::DecodeReply(s, nMax, [&](zm::FileResult&& r) {
    ++n;
    FZ_CHECK(n <= nMax);
    zm::FileResult back;
    FZ_CHECK(zm::DecodeResult(zm::EncodeResult(r), &back));
    w.Add(r);
  });
  if (bWhole) FZ_CHECK(w.Count() == n && w.Reply() == s);
}

void Batch(std::string_view s, size_t nFds) {
  uint32_t uBatch = 0;
  std::vector<zm::BatchItem> items;
  if (!zm::DecodeBatch(s, nFds, &uBatch, &items)) return;
  FZ_CHECK(items.size() <= zm::kMaxBatch);
  for (const zm::BatchItem& it : items) FZ_CHECK(it.reach == zm::Reach::kByPath || it.uSlot < nFds);
  FZ_CHECK(zm::EncodeBatch(uBatch, items) == s);
}

void Result(std::string_view s) {
  zm::FileResult r;
  if (zm::DecodeResult(s, &r)) FZ_CHECK(zm::EncodeResult(r) == s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  if (cb == 0) return 0;
  const std::string_view s(reinterpret_cast<const char*>(pb + 1), cb - 1);
  const size_t nBound = pb[0] >> 2;
  switch (pb[0] & 3) {
    case 1:
      Batch(s, nBound);
      break;
    case 2:
      Result(s);
      break;
    default:
      Reply(s, nBound);
      break;
  }
  return 0;
}
