// The compact forms that travel on a worker's channel: a request (a batch of files, each with the
// way the worker reaches it) and a reply (the results, in a group). Little-endian fields and
// length-prefixed strings; a decoder takes exactly what was encoded and refuses anything else, a
// cut or lengthened message included. A new field of FileResult travels once it is added here.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scanner.h"

namespace zm {

// Files a worker is handed at once, at most: enough that the hand-over costs little beside the
// scans, few enough that the files stay spread over the workers.
constexpr size_t kMaxBatch = 64;

// How a worker reaches a file of a batch.
enum class Reach : uint32_t {
  kPassedFile = 0,  // the descriptor in slot uSlot of those that came with the batch
  kInDirectory,     // sName, in the directory whose descriptor is in slot uSlot
  kByPath,          // sName is a path relative to the current directory
};

struct BatchItem {
  Reach reach = Reach::kByPath;
  uint32_t uSlot = 0;
  bool bFollow = false;        // a final link is followed
  bool bKnownRegular = false;  // the walk's listing said it is a regular file
  std::string sName;           // kInDirectory, kByPath
  std::string sPath;           // the path the report knows it by
};

// A request: the batch's number, then its items, written in place (a batch's paths are not
// copied on their way to the channel). DecodeBatch refuses more than kMaxBatch items and a slot
// beyond the nFds descriptors that came with it.
class BatchWriter {
 public:
  BatchWriter(uint32_t uBatch, size_t nItems);
  void Add(Reach reach, uint32_t uSlot, bool bFollow, bool bKnownRegular, const std::string& sName,
           const std::string& sPath);
  const std::string& Request() const { return m_s; }

 private:
  std::string m_s;
};
std::string EncodeBatch(uint32_t uBatch, const std::vector<BatchItem>& items);
bool DecodeBatch(std::string_view s, size_t nFds, uint32_t* puBatch,
                 std::vector<BatchItem>* pItems);

// One result in its compact form, and back.
std::string EncodeResult(const FileResult& r);
bool DecodeResult(std::string_view s, FileResult* pR);

// A reply: the number of results, then each result with its length, and nothing after them.
// Where the digests still queued go in an encoded reply: (offset, number in the DigestQueue).
using DigestPatches = std::vector<std::pair<size_t, uint32_t>>;

class ReplyWriter {
 public:
  ReplyWriter();
  void Add(const FileResult& r);
  // The digests of the bodies the results added left queued (DigestQueue::Make), into the reply.
  void FillDigests(const std::vector<std::array<uint8_t, wordbasic::kSha256Bytes>>& digests);
  size_t Count() const { return m_n; }
  size_t Bytes() const { return m_s.size(); }
  // The reply of the results added since the last one, which starts anew.
  const std::string& Reply();
  void Clear();

 private:
  std::string m_s;
  size_t m_n = 0;
  DigestPatches m_patches;
};
// A worker's reply of at most nMax results: each() gets them in turn, up to a damaged one; false
// when there is one, or when the reply holds more or less than it counts.
bool DecodeReply(std::string_view s, size_t nMax, const std::function<void(FileResult&&)>& each);

}  // namespace zm
