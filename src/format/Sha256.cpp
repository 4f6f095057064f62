#include "format/Sha256.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace vt {

namespace {

// FIPS 180-4, 5.3.3.
constexpr uint32_t KInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr size_t KBlockSize = 64;
// Where the 64-bit bit length goes in the last block.
constexpr size_t KLengthOffset = KBlockSize - 8;

bool DetectShaNi() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
    return false;
  // The block function byte-swaps with SSSE3 and blends with SSE4.1, besides the SHA rounds.
  if (!(ecx & bit_SSSE3) || !(ecx & bit_SSE4_1))
    return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
    return false;
  return (ebx & (1u << 29)) != 0;
#else
  return false;
#endif
}

void StoreBigEndian32(uint8_t* Out, uint32_t Value) {
  Out[0] = static_cast<uint8_t>(Value >> 24);
  Out[1] = static_cast<uint8_t>(Value >> 16);
  Out[2] = static_cast<uint8_t>(Value >> 8);
  Out[3] = static_cast<uint8_t>(Value);
}

}  // namespace

bool Sha256NiAvailable() {
  static const bool available = DetectShaNi();
  return available;
}

TSha256::TSha256(TSha256Impl Impl) {
  const bool useNi = Impl != TSha256Impl::Portable && Sha256NiAvailable();
  FImpl = useNi ? TSha256Impl::ShaNi : TSha256Impl::Portable;
  FBlocks = useNi ? &Sha256BlocksShaNi : &Sha256BlocksPortable;
  Reset();
}

void TSha256::Reset() {
  std::copy(std::begin(KInitialState), std::end(KInitialState), FState);
  FBuffered = 0;
  FLength = 0;
}

void TSha256::Update(const void* Data, size_t Size) {
  // Size 0 may come with a null pointer, which memcpy must never see.
  if (Size == 0)
    return;
  const auto* in = static_cast<const uint8_t*>(Data);
  FLength += Size;
  if (FBuffered > 0) {
    const size_t take = std::min(KBlockSize - FBuffered, Size);
    std::memcpy(FBuffer + FBuffered, in, take);
    FBuffered += take;
    in += take;
    Size -= take;
    if (FBuffered < KBlockSize)
      return;
    FBlocks(FState, FBuffer, 1);
    FBuffered = 0;
  }
  // Whole blocks go straight from the caller's memory: no copy on the bulk path.
  const size_t blocks = Size / KBlockSize;
  if (blocks > 0) {
    FBlocks(FState, in, blocks);
    in += blocks * KBlockSize;
    Size -= blocks * KBlockSize;
  }
  if (Size > 0)
    std::memcpy(FBuffer, in, Size);
  FBuffered = Size;
}

TSha256Digest TSha256::Final() {
  // The length field counts bits modulo 2^64, as the standard defines it.
  const uint64_t bits = FLength * 8;
  FBuffer[FBuffered++] = 0x80;
  if (FBuffered > KLengthOffset) {
    std::memset(FBuffer + FBuffered, 0, KBlockSize - FBuffered);
    FBlocks(FState, FBuffer, 1);
    FBuffered = 0;
  }
  std::memset(FBuffer + FBuffered, 0, KLengthOffset - FBuffered);
  StoreBigEndian32(FBuffer + KLengthOffset, static_cast<uint32_t>(bits >> 32));
  StoreBigEndian32(FBuffer + KLengthOffset + 4, static_cast<uint32_t>(bits));
  FBlocks(FState, FBuffer, 1);

  TSha256Digest digest;
  for (size_t i = 0; i < 8; ++i)
    StoreBigEndian32(digest.data() + 4 * i, FState[i]);
  Reset();
  return digest;
}

}  // namespace vt
