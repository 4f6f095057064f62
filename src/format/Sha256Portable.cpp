// The portable SHA-256 block function. Every round is spelled out so that the compiler sees
// constant indices: the eight working variables stay in registers (their roles rotate by
// renaming, not by moving values), and the message schedule lives in a rolling 16-word window.

#include <bit>
#include <cstring>

#include "format/Sha256.h"
#include "format/Sha256Rounds.h"

namespace vt {

namespace {

inline uint32_t LoadBigEndian32(const uint8_t* In) {
  uint32_t value;
  std::memcpy(&value, In, sizeof value);
  if constexpr (std::endian::native == std::endian::little) {
    value = __builtin_bswap32(value);
  }
  return value;
}

// The rotations are nested so that each costs one rotate and one xor on a single copy:
// without BMI2's rorx, separate rotations each need a register copy first.
inline uint32_t BigSigma0(uint32_t X) {
  return std::rotr(std::rotr(std::rotr(X, 9) ^ X, 11) ^ X, 2);
}
inline uint32_t BigSigma1(uint32_t X) {
  return std::rotr(std::rotr(std::rotr(X, 14) ^ X, 5) ^ X, 6);
}
inline uint32_t SmallSigma0(uint32_t X) {
  return std::rotr(std::rotr(X, 11) ^ X, 7) ^ (X >> 3);
}
inline uint32_t SmallSigma1(uint32_t X) {
  return std::rotr(std::rotr(X, 2) ^ X, 17) ^ (X >> 10);
}
// Ch with one operation fewer than the textbook form.
inline uint32_t Choose(uint32_t E, uint32_t F, uint32_t G) {
  return G ^ (E & (F ^ G));
}

}  // namespace

// Word I of the schedule. For I >= 16 it overwrites the slot of word I-16, which no later
// round needs. I is always a literal, so the condition folds away.
#define VT_SHA256_WORD(I)   \
  ((I) < 16 ? w[(I)&15]     \
            : (w[(I)&15] += \
               SmallSigma1(w[((I)-2) & 15]) + w[((I)-7) & 15] + SmallSigma0(w[((I)-15) & 15])))

// Maj(A, B, C) is B ^ ((A ^ B) & (B ^ C)), and this round's A ^ B is the next round's B ^ C:
// bc carries it over, saving an operation and a copy a round.
#define VT_SHA256_ROUND(A, B, C, D, E, F, G, H, I)                                                \
  do {                                                                                            \
    const uint32_t t1 = H + BigSigma1(E) + Choose(E, F, G) + KSha256Round[I] + VT_SHA256_WORD(I); \
    const uint32_t ab = A ^ B;                                                                    \
    D += t1;                                                                                      \
    H = t1 + BigSigma0(A) + (B ^ (ab & bc));                                                      \
    bc = ab;                                                                                      \
  } while (0)

// Eight rounds bring the variables back to their starting names.
#define VT_SHA256_EIGHT(I)                          \
  VT_SHA256_ROUND(a, b, c, d, e, f, g, h, (I) + 0); \
  VT_SHA256_ROUND(h, a, b, c, d, e, f, g, (I) + 1); \
  VT_SHA256_ROUND(g, h, a, b, c, d, e, f, (I) + 2); \
  VT_SHA256_ROUND(f, g, h, a, b, c, d, e, (I) + 3); \
  VT_SHA256_ROUND(e, f, g, h, a, b, c, d, (I) + 4); \
  VT_SHA256_ROUND(d, e, f, g, h, a, b, c, (I) + 5); \
  VT_SHA256_ROUND(c, d, e, f, g, h, a, b, (I) + 6); \
  VT_SHA256_ROUND(b, c, d, e, f, g, h, a, (I) + 7)

void Sha256BlocksPortable(uint32_t* State, const uint8_t* Data, size_t Blocks) {
  uint32_t a = State[0], b = State[1], c = State[2], d = State[3];
  uint32_t e = State[4], f = State[5], g = State[6], h = State[7];
  for (; Blocks > 0; --Blocks, Data += 64) {
    uint32_t w[16];
    uint32_t bc = b ^ c;
    for (int i = 0; i < 16; ++i) {
      w[i] = LoadBigEndian32(Data + 4 * i);
    }
    VT_SHA256_EIGHT(0);
    VT_SHA256_EIGHT(8);
    VT_SHA256_EIGHT(16);
    VT_SHA256_EIGHT(24);
    VT_SHA256_EIGHT(32);
    VT_SHA256_EIGHT(40);
    VT_SHA256_EIGHT(48);
    VT_SHA256_EIGHT(56);
    a = State[0] += a;
    b = State[1] += b;
    c = State[2] += c;
    d = State[3] += d;
    e = State[4] += e;
    f = State[5] += f;
    g = State[6] += g;
    h = State[7] += h;
  }
}

#undef VT_SHA256_EIGHT
#undef VT_SHA256_ROUND
#undef VT_SHA256_WORD

}  // namespace vt
