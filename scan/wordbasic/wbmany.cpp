// The digests of many bodies at once. The SHA instructions hash one body at a time, and two
// bodies interleaved go no faster; AVX-512 takes sixteen bodies a pass, one in each 32-bit lane,
// at some 1.8 times their rate on a processor that has both (bench_wordbasic). A listing of a tree
// puts the bodies of many documents together for it (zm::DigestQueue).
#include <algorithm>
#include <cstring>

#include "wordbasic.h"

// x86-64 only: 32-bit code has eight vector registers for the pass's thirty, and GCC cannot keep
// a 64-byte spill aligned on Windows' stack.
#if defined(__x86_64__) && !defined(_WIN32)
// GCC 12's AVX-512 intrinsics start some results from an undefined value, which it then warns of.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop
#define ZM_SHA_X16 1
#endif

namespace wordbasic {
namespace {

#ifdef ZM_SHA_X16
constexpr size_t kLanes = 16;
// Below this many bodies in the lanes, with no more to come, the rest are finished one at a time:
// a pass costs as much for one lane as for sixteen, some eight blocks of the SHA instructions.
constexpr size_t kFewestLanes = 8;
// Bodies scheduled together, the longest first: the lanes then run dry at nearly the same time,
// and few blocks are left for one at a time.
constexpr size_t kChunk = 1024;

#define ZM_X16 __attribute__((target("avx512f,avx512bw")))

// Sixteen blocks, apb[l] into lane l of the state (aalState[i][l]: word i of lane l's state),
// each byte XOR abKey[l]. The blocks are loaded one a lane and transposed, so that w[i] holds
// word i of every lane's block; ternary logic takes Ch, Maj and the sigmas' three terms in one
// instruction each.
ZM_X16 void Compress16(uint32_t aalState[8][kLanes], const uint8_t* const apb[kLanes],
                       const uint8_t abKey[kLanes]) {
  __m512i r[kLanes], t[kLanes], w[kLanes];
  for (size_t l = 0; l < kLanes; ++l) r[l] = _mm512_loadu_si512(apb[l]);
  // 32-bit pairs, then 64-bit pairs: t[4g + c] holds in its 128-bit lane k the words 4k + c of
  // rows 4g to 4g + 3.
  for (size_t i = 0; i < kLanes; i += 2) {
    t[i] = _mm512_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm512_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (size_t g = 0; g < kLanes; g += 4) {
    r[g] = _mm512_unpacklo_epi64(t[g], t[g + 2]);
    r[g + 1] = _mm512_unpackhi_epi64(t[g], t[g + 2]);
    r[g + 2] = _mm512_unpacklo_epi64(t[g + 1], t[g + 3]);
    r[g + 3] = _mm512_unpackhi_epi64(t[g + 1], t[g + 3]);
  }
  // Then the 128-bit lanes: word 4k + c gathers lane k of r[c], r[4 + c], r[8 + c], r[12 + c].
  for (size_t c = 0; c < 4; ++c) {
    const __m512i p = _mm512_shuffle_i32x4(r[c], r[4 + c], 0x44);
    const __m512i q = _mm512_shuffle_i32x4(r[c], r[4 + c], 0xEE);
    const __m512i s = _mm512_shuffle_i32x4(r[8 + c], r[12 + c], 0x44);
    const __m512i u = _mm512_shuffle_i32x4(r[8 + c], r[12 + c], 0xEE);
    w[c] = _mm512_shuffle_i32x4(p, s, 0x88);
    w[4 + c] = _mm512_shuffle_i32x4(p, s, 0xDD);
    w[8 + c] = _mm512_shuffle_i32x4(q, u, 0x88);
    w[12 + c] = _mm512_shuffle_i32x4(q, u, 0xDD);
  }
  // The key in every byte of its lane's word, then the words to big-endian.
  const __m512i key = _mm512_mullo_epi32(
      _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(abKey))),
      _mm512_set1_epi32(0x01010101));
  const __m512i swap =
      _mm512_broadcast_i32x4(_mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll));
  for (size_t i = 0; i < kLanes; ++i) w[i] = _mm512_shuffle_epi8(_mm512_xor_si512(w[i], key), swap);

  __m512i v[8];
  for (size_t i = 0; i < 8; ++i) v[i] = _mm512_load_si512(aalState[i]);
  __m512i a = v[0], b = v[1], c = v[2], d = v[3], e = v[4], f = v[5], g = v[6], h = v[7];
  for (size_t i = 0; i < 64; ++i) {
    if (i >= 16) {
      const __m512i w15 = w[(i - 15) & 15], w2 = w[(i - 2) & 15];
      const __m512i s0 = _mm512_ternarylogic_epi32(
          _mm512_ror_epi32(w15, 7), _mm512_ror_epi32(w15, 18), _mm512_srli_epi32(w15, 3), 0x96);
      const __m512i s1 = _mm512_ternarylogic_epi32(
          _mm512_ror_epi32(w2, 17), _mm512_ror_epi32(w2, 19), _mm512_srli_epi32(w2, 10), 0x96);
      w[i & 15] =
          _mm512_add_epi32(_mm512_add_epi32(w[i & 15], s0), _mm512_add_epi32(w[(i - 7) & 15], s1));
    }
    const __m512i sum1 = _mm512_ternarylogic_epi32(_mm512_ror_epi32(e, 6), _mm512_ror_epi32(e, 11),
                                                   _mm512_ror_epi32(e, 25), 0x96);
    const __m512i ch = _mm512_ternarylogic_epi32(e, f, g, 0xCA);  // e ? f : g
    const __m512i t1 = _mm512_add_epi32(
        _mm512_add_epi32(h, sum1),
        _mm512_add_epi32(ch, _mm512_add_epi32(w[i & 15], _mm512_set1_epi32(kSha256Round[i]))));
    const __m512i sum0 = _mm512_ternarylogic_epi32(_mm512_ror_epi32(a, 2), _mm512_ror_epi32(a, 13),
                                                   _mm512_ror_epi32(a, 22), 0x96);
    const __m512i maj = _mm512_ternarylogic_epi32(a, b, c, 0xE8);
    h = g, g = f, f = e, e = _mm512_add_epi32(d, t1);
    d = c, c = b, b = a, a = _mm512_add_epi32(t1, _mm512_add_epi32(sum0, maj));
  }
  const __m512i out[8] = {a, b, c, d, e, f, g, h};
  for (size_t i = 0; i < 8; ++i) _mm512_store_si512(aalState[i], _mm512_add_epi32(v[i], out[i]));
}
#undef ZM_X16

// GCC's own processor probe, which also asks whether the system saves the 512-bit registers.
bool HasX16() {
#ifdef __clang__
  return false;  // the fuzz builds: one body at a time
#else
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#endif
}
const bool g_bX16 = HasX16();

constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// A body in a lane: its whole blocks from the stored bytes, then one or two blocks of its last
// bytes in the clear and the padding.
struct Lane {
  size_t iBody = 0;
  bool bBusy = false;
  bool bInTail = false;  // its whole blocks are done
  uint8_t abTail[128];
  size_t nTail = 0;  // blocks of abTail
};

void DigestOf(const uint32_t alState[8], uint8_t abDigest[kSha256Bytes]) {
  for (int i = 0; i < 8; ++i)
    for (int k = 0; k < 4; ++k)
      abDigest[4 * i + k] = static_cast<uint8_t>(alState[i] >> (24 - 8 * k));
}

void Many16(const BodyRef* pBodies, size_t n, uint8_t (*paDigests)[kSha256Bytes],
            const uint16_t* piOrder) {
  alignas(64) uint32_t aalState[8][kLanes];
  static const uint8_t kIdle[64] = {};
  constexpr size_t kNever = SIZE_MAX;
  Lane lanes[kLanes];
  // Each lane's next block, its key, the step to the one after (0: an idle lane), and the blocks
  // left before the lane's body moves on (to its tail, or to the next body).
  const uint8_t* apb[kLanes];
  uint8_t abKey[kLanes];
  size_t acbStep[kLanes], anLeft[kLanes];
  size_t iNext = 0, nBusy = 0;
  auto idle = [&](size_t l) {
    lanes[l].bBusy = false;
    apb[l] = kIdle, abKey[l] = 0, acbStep[l] = 0, anLeft[l] = kNever;
  };
  auto tail = [&](size_t l) {
    lanes[l].bInTail = true;
    apb[l] = lanes[l].abTail, abKey[l] = 0, anLeft[l] = lanes[l].nTail;
  };
  // The next body into lane l, when one is left.
  auto start = [&](size_t l) {
    Lane& lane = lanes[l];
    if (iNext == n) return idle(l);
    lane.iBody = piOrder[iNext++];
    const BodyRef& body = pBodies[lane.iBody];
    lane.bBusy = true;
    lane.bInTail = false;
    const size_t cbRest = body.cb % 64;
    lane.nTail = cbRest < 56 ? 1 : 2;
    // The last bytes in the clear: the key is taken off a whole block, the padding written over
    // what lies past them.
    if (cbRest > 0) std::memcpy(lane.abTail, body.pbStored + body.cb - cbRest, cbRest);
    for (size_t i = 0; i < 64; ++i) lane.abTail[i] ^= body.bKey;
    lane.abTail[cbRest] = 0x80;
    std::memset(lane.abTail + cbRest + 1, 0, 64 * lane.nTail - cbRest - 1);
    const uint64_t qwBits = static_cast<uint64_t>(body.cb) * 8;
    for (int i = 0; i < 8; ++i)
      lane.abTail[64 * lane.nTail - 8 + i] = static_cast<uint8_t>(qwBits >> (56 - 8 * i));
    for (size_t i = 0; i < 8; ++i) aalState[i][l] = kInitial[i];
    acbStep[l] = 64;
    if (body.cb < 64) return tail(l);
    apb[l] = body.pbStored, abKey[l] = body.bKey, anLeft[l] = body.cb / 64;
  };
  for (size_t l = 0; l < kLanes; ++l) {
    start(l);
    nBusy += lanes[l].bBusy;
  }
  while (nBusy >= kFewestLanes || (nBusy > 0 && iNext < n)) {
    Compress16(aalState, apb, abKey);
    uint32_t uMoved = 0;  // lanes whose body moves on
    for (size_t l = 0; l < kLanes; ++l) {
      apb[l] += acbStep[l];
      uMoved |= static_cast<uint32_t>(--anLeft[l] == 0) << l;
    }
    for (; uMoved != 0; uMoved &= uMoved - 1) {
      const size_t l = static_cast<size_t>(__builtin_ctz(uMoved));
      if (!lanes[l].bInTail) {
        tail(l);
        continue;
      }
      uint32_t alState[8];
      for (size_t i = 0; i < 8; ++i) alState[i] = aalState[i][l];
      DigestOf(alState, paDigests[lanes[l].iBody]);
      start(l);
      nBusy -= !lanes[l].bBusy;
    }
  }
  // The few left, one at a time from where they stand.
  for (size_t l = 0; l < kLanes; ++l) {
    const Lane& lane = lanes[l];
    if (!lane.bBusy) continue;
    uint32_t alState[8];
    for (size_t i = 0; i < 8; ++i) alState[i] = aalState[i][l];
    if (!lane.bInTail) {
      Sha256Blocks(alState, apb[l], anLeft[l], true, abKey[l]);
      Sha256Blocks(alState, lane.abTail, lane.nTail, true, 0);
    } else {
      Sha256Blocks(alState, apb[l], anLeft[l], true, 0);
    }
    DigestOf(alState, paDigests[lane.iBody]);
  }
}
#endif

}  // namespace

bool Sha256ManyAtOnce() {
#ifdef ZM_SHA_X16
  return g_bX16;
#else
  return false;
#endif
}

void BodySha256Many(const BodyRef* pBodies, size_t n, uint8_t (*paDigests)[kSha256Bytes],
                    bool bAtOnce) {
  size_t done = 0;
#ifdef ZM_SHA_X16
  // A chunk at a time, each longest first; what is left too few for the lanes, one at a time.
  while (bAtOnce && g_bX16 && n - done >= kFewestLanes) {
    const size_t m = std::min(kChunk, n - done);
    const BodyRef* pChunk = pBodies + done;
    uint16_t aiOrder[kChunk];
    for (size_t i = 0; i < m; ++i) aiOrder[i] = static_cast<uint16_t>(i);
    std::sort(aiOrder, aiOrder + m, [pChunk](uint16_t a, uint16_t b) {
      return pChunk[a].cb != pChunk[b].cb ? pChunk[a].cb > pChunk[b].cb : a < b;
    });
    Many16(pChunk, m, paDigests + done, aiOrder);
    done += m;
  }
#else
  (void)bAtOnce;
#endif
  for (size_t i = done; i < n; ++i)
    BodySha256(pBodies[i].pbStored, pBodies[i].cb, pBodies[i].bKey, paDigests[i]);
}

}  // namespace wordbasic
