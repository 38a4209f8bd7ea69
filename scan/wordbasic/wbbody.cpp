// A macro's body in the clear, and SHA-256 (FIPS 180-4) for its digest: portable code, or the
// SHA instructions of an x86 processor that has them (some eight times as fast, which a listing
// of every macro of a tree needs to stay cheap beside the scan).
#include <array>
#include <cstring>

#include "wordbasic.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define ZM_SHA_X86 1
#endif

namespace wordbasic {
namespace {

// The two hex digits of each byte value: a listing prints a digest a macro.
constexpr std::array<char, 512> HexPairs() {
  std::array<char, 512> a{};
  for (int i = 0; i < 256; ++i) {
    a[2 * i] = "0123456789abcdef"[i >> 4];
    a[2 * i + 1] = "0123456789abcdef"[i & 15];
  }
  return a;
}
constexpr std::array<char, 512> kHexPairs = HexPairs();

uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(uint32_t alState[8], const uint8_t* pbBlock, uint8_t bKey) {
  const uint32_t lKey = bKey * 0x01010101u;
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = (static_cast<uint32_t>(pbBlock[4 * i]) << 24 |
            static_cast<uint32_t>(pbBlock[4 * i + 1]) << 16 |
            static_cast<uint32_t>(pbBlock[4 * i + 2]) << 8 | pbBlock[4 * i + 3]) ^
           lKey;
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = alState[0], b = alState[1], c = alState[2], d = alState[3];
  uint32_t e = alState[4], f = alState[5], g = alState[6], h = alState[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                  kSha256Round[i] + w[i];
    uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
  }
  alState[0] += a, alState[1] += b, alState[2] += c, alState[3] += d;
  alState[4] += e, alState[5] += f, alState[6] += g, alState[7] += h;
}

#ifdef ZM_SHA_X86
// The same over nBlocks blocks with SHA-NI: the state as the instructions hold it (ABEF, CDGH),
// four rounds a step, the message schedule four words at a time (m0 to m3 in turn, written out so
// that they stay in registers).
#define ZM_SHA_ROUNDS(m, i)                                                            \
  do {                                                                                 \
    const __m128i k = _mm_add_epi32(                                                   \
        m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha256Round + 4 * (i)))); \
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);                                       \
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(k, 0x0E));              \
  } while (0)
// Words 4i to 4i+3 from the sixteen before them: m0 held 4i-16 on, m1, m2, m3 the next fours.
#define ZM_SHA_SCHEDULE(m0, m1, m2, m3) \
  m0 = _mm_sha256msg2_epu32(            \
      _mm_add_epi32(_mm_sha256msg1_epu32(m0, m1), _mm_alignr_epi8(m3, m2, 4)), m3)

__attribute__((target("sha,sse4.1"))) void CompressX86(uint32_t alState[8], const uint8_t* pb,
                                                       size_t nBlocks, uint8_t bKey) {
  const __m128i kByteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
  const __m128i kKey = _mm_set1_epi8(static_cast<char>(bKey));
  const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(alState));
  const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(alState + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; nBlocks > 0; --nBlocks, pb += 64) {
    const __m128i abefBefore = abef, cdghBefore = cdgh;
    const __m128i* pm = reinterpret_cast<const __m128i*>(pb);
    __m128i m0 = _mm_shuffle_epi8(_mm_xor_si128(_mm_loadu_si128(pm), kKey), kByteSwap);
    __m128i m1 = _mm_shuffle_epi8(_mm_xor_si128(_mm_loadu_si128(pm + 1), kKey), kByteSwap);
    __m128i m2 = _mm_shuffle_epi8(_mm_xor_si128(_mm_loadu_si128(pm + 2), kKey), kByteSwap);
    __m128i m3 = _mm_shuffle_epi8(_mm_xor_si128(_mm_loadu_si128(pm + 3), kKey), kByteSwap);
    ZM_SHA_ROUNDS(m0, 0);
    ZM_SHA_ROUNDS(m1, 1);
    ZM_SHA_ROUNDS(m2, 2);
    ZM_SHA_ROUNDS(m3, 3);
    for (int i = 4; i < 16; i += 4) {
      ZM_SHA_SCHEDULE(m0, m1, m2, m3);
      ZM_SHA_ROUNDS(m0, i);
      ZM_SHA_SCHEDULE(m1, m2, m3, m0);
      ZM_SHA_ROUNDS(m1, i + 1);
      ZM_SHA_SCHEDULE(m2, m3, m0, m1);
      ZM_SHA_ROUNDS(m2, i + 2);
      ZM_SHA_SCHEDULE(m3, m0, m1, m2);
      ZM_SHA_ROUNDS(m3, i + 3);
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(alState), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(alState + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#undef ZM_SHA_ROUNDS
#undef ZM_SHA_SCHEDULE

// CPUID traps to the hypervisor in a virtual machine, at some tens of microseconds a call: GCC's
// runtime asks it once a process, and its answer is taken here (SSSE3 comes with both).
bool HasShaX86() {
#ifdef __clang__
  unsigned a, b, c, d;  // its __builtin_cpu_supports knows no "sha"
  // CPUID leaf 7: EBX bit 29, SHA; leaf 1: ECX bit 19, SSE4.1.
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b >> 29 & 1) &&
         __get_cpuid(1, &a, &b, &c, &d) && (c >> 19 & 1);
#else
  __builtin_cpu_init();
  return __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
#endif
}
// Asked once, at load: a listing hashes a few blocks at a time, many times over.
const bool g_bShaX86 = HasShaX86();
#else
constexpr bool g_bShaX86 = false;
#endif

void Blocks(uint32_t alState[8], const uint8_t* pb, size_t nBlocks, uint8_t bKey) {
#ifdef ZM_SHA_X86
  if (g_bShaX86) return CompressX86(alState, pb, nBlocks, bKey);
#endif
  for (; nBlocks > 0; --nBlocks, pb += 64) Compress(alState, pb, bKey);
}

}  // namespace

bool Sha256Hardware() { return g_bShaX86; }

void Sha256Blocks(uint32_t alState[8], const uint8_t* pb, size_t nBlocks, bool bHardware,
                  uint8_t bKey) {
  if (bHardware) return Blocks(alState, pb, nBlocks, bKey);
  for (; nBlocks > 0; --nBlocks, pb += 64) Compress(alState, pb, bKey);
}

void DecryptBody(const uint8_t* pbStored, size_t cb, uint8_t bKey, uint8_t* pbOut) {
  // Eight bytes a step: a listing's source decrypts every body whole.
  const uint64_t qwKey = bKey * 0x0101010101010101ull;
  size_t i = 0;
  for (; i + 8 <= cb; i += 8) {
    uint64_t qw;
    std::memcpy(&qw, pbStored + i, 8);
    qw ^= qwKey;
    std::memcpy(pbOut + i, &qw, 8);
  }
  for (; i < cb; ++i) pbOut[i] = static_cast<uint8_t>(pbStored[i] ^ bKey);
}

void Sha256Init(Sha256* p) {
  static const uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(p->alState, kInitial, sizeof kInitial);
  p->qwBytes = 0;
}

void Sha256UpdateStored(Sha256* p, const uint8_t* pbStored, size_t cb, uint8_t bKey) {
  if (cb == 0) return;
  size_t used = static_cast<size_t>(p->qwBytes % 64);
  p->qwBytes += cb;
  if (used > 0) {
    size_t n = 64 - used < cb ? 64 - used : cb;
    DecryptBody(pbStored, n, bKey, p->abBlock + used);
    pbStored += n, cb -= n, used += n;
    if (used < 64) return;
    Blocks(p->alState, p->abBlock, 1, 0);
  }
  // Whole blocks straight from the stored bytes, the key taken off as they are loaded.
  Blocks(p->alState, pbStored, cb / 64, bKey);
  pbStored += cb / 64 * 64, cb %= 64;
  if (cb > 0) DecryptBody(pbStored, cb, bKey, p->abBlock);
}

void Sha256Update(Sha256* p, const uint8_t* pb, size_t cb) { Sha256UpdateStored(p, pb, cb, 0); }

void Sha256Final(Sha256* p, uint8_t abDigest[kSha256Bytes]) {
  // The padding: 0x80, zeros, the length in bits in the last 8 bytes of a block.
  const uint64_t qwBits = p->qwBytes * 8;
  size_t used = static_cast<size_t>(p->qwBytes % 64);
  p->abBlock[used++] = 0x80;
  if (used > 56) {
    std::memset(p->abBlock + used, 0, 64 - used);
    Blocks(p->alState, p->abBlock, 1, 0);
    used = 0;
  }
  std::memset(p->abBlock + used, 0, 56 - used);
  for (int i = 0; i < 8; ++i) p->abBlock[56 + i] = static_cast<uint8_t>(qwBits >> (56 - 8 * i));
  Blocks(p->alState, p->abBlock, 1, 0);
  for (int i = 0; i < 8; ++i)
    for (int k = 0; k < 4; ++k)
      abDigest[4 * i + k] = static_cast<uint8_t>(p->alState[i] >> (24 - 8 * k));
}

void BodySha256(const uint8_t* pbStored, size_t cb, uint8_t bKey, uint8_t abDigest[kSha256Bytes]) {
  Sha256 sha;
  Sha256Init(&sha);
  Sha256UpdateStored(&sha, pbStored, cb, bKey);
  Sha256Final(&sha, abDigest);
}

void Sha256Hex(const uint8_t abDigest[kSha256Bytes], char achHex[2 * kSha256Bytes + 1]) {
  for (size_t i = 0; i < kSha256Bytes; i += 4) {
    char ach[8];
    for (size_t k = 0; k < 4; ++k)
      std::memcpy(ach + 2 * k, kHexPairs.data() + 2 * abDigest[i + k], 2);
    std::memcpy(achHex + 2 * i, ach, 8);
  }
  achHex[2 * kSha256Bytes] = '\0';
}

}  // namespace wordbasic
