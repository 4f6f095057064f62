// The SHA-256 block function on the x86 SHA extensions. Only these functions are compiled for
// the extensions (through the target attribute), so the rest of the program stays baseline
// x86-64 and this one is called only after Sha256NiAvailable() said yes.
//
// sha256rnds2 runs two rounds on the state split as ABEF and CDGH; each group of four rounds
// below adds the round constants to four message words, runs rnds2 on the low pair, moves the
// high pair down and runs rnds2 again. The schedule for four rounds ahead is built meanwhile
// with msg1 (the sigma0 part), alignr (the W[t-7] words) and msg2 (the sigma1 part).

#include "format/Sha256.h"
#include "format/Sha256Rounds.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define VT_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

namespace vt {

namespace {

// Four rounds, Group*4 to Group*4+3, on the message words in Cur. Prev holds the group before
// and Next the group after (already carrying the msg1 part); the schedule steps that are still
// needed are chosen at compile time, since the first and last groups have nothing to extend.
template <int Group>
VT_SHA_TARGET inline __attribute__((always_inline)) void Quad(__m128i& Abef, __m128i& Cdgh,
                                                              const __m128i& Cur, __m128i& Prev,
                                                              __m128i& Next) {
  __m128i msg = _mm_add_epi32(
      Cur, _mm_load_si128(reinterpret_cast<const __m128i*>(KSha256Round + 4 * Group)));
  Cdgh = _mm_sha256rnds2_epu32(Cdgh, Abef, msg);
  if constexpr (Group >= 3 && Group <= 14) {
    // W[t-7] for the next group straddles Prev and Cur.
    Next = _mm_add_epi32(Next, _mm_alignr_epi8(Cur, Prev, 4));
    Next = _mm_sha256msg2_epu32(Next, Cur);
  }
  msg = _mm_shuffle_epi32(msg, 0x0e);
  Abef = _mm_sha256rnds2_epu32(Abef, Cdgh, msg);
  if constexpr (Group >= 1 && Group <= 12) {
    Prev = _mm_sha256msg1_epu32(Prev, Cur);
  }
}

// Message words 0..15 rotate through four registers; group G works on m[G % 4].
#define VT_SHA_QUAD(G) Quad<G>(Abef, Cdgh, m[(G) % 4], m[((G) + 3) % 4], m[((G) + 1) % 4])

VT_SHA_TARGET inline __attribute__((always_inline)) void Block(__m128i& Abef, __m128i& Cdgh,
                                                               const uint8_t* Data) {
  // pshufb mask that turns each big-endian word little-endian.
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  const __m128i savedAbef = Abef, savedCdgh = Cdgh;
  __m128i m[4];
  for (int i = 0; i < 4; ++i) {
    m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Data + 16 * i)),
                            byteSwap);
  }
  VT_SHA_QUAD(0);
  VT_SHA_QUAD(1);
  VT_SHA_QUAD(2);
  VT_SHA_QUAD(3);
  VT_SHA_QUAD(4);
  VT_SHA_QUAD(5);
  VT_SHA_QUAD(6);
  VT_SHA_QUAD(7);
  VT_SHA_QUAD(8);
  VT_SHA_QUAD(9);
  VT_SHA_QUAD(10);
  VT_SHA_QUAD(11);
  VT_SHA_QUAD(12);
  VT_SHA_QUAD(13);
  VT_SHA_QUAD(14);
  VT_SHA_QUAD(15);
  Abef = _mm_add_epi32(Abef, savedAbef);
  Cdgh = _mm_add_epi32(Cdgh, savedCdgh);
}

#undef VT_SHA_QUAD

}  // namespace

VT_SHA_TARGET void Sha256BlocksShaNi(uint32_t* State, const uint8_t* Data, size_t Blocks) {
  // State is A..H in memory order; the instructions want ABEF and CDGH, high word first.
  const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(State));
  const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(State + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xb1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1b);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xf0);

  for (; Blocks > 0; --Blocks, Data += 64)
    Block(abef, cdgh, Data);

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(State), _mm_blend_epi16(feba, dchg, 0xf0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(State + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace vt

#else  // Not x86: there are no SHA extensions to use, and Sha256NiAvailable() says so.

namespace vt {

void Sha256BlocksShaNi(uint32_t* State, const uint8_t* Data, size_t Blocks) {
  Sha256BlocksPortable(State, Data, Blocks);
}

}  // namespace vt

#endif
