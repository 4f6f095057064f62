#pragma once
// SHA-256 (FIPS 180-4), streamed. Two block functions are always built: a portable one and
// one on the x86 SHA extensions; Auto picks the latter when the CPU has them.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vt {

enum class TSha256Impl { Auto, Portable, ShaNi };

using TSha256Digest = std::array<uint8_t, 32>;

// True when this CPU can run the SHA-NI block function.
bool Sha256NiAvailable();

class TSha256 {
 public:
  // ShaNi on a CPU without the extensions falls back to Portable.
  explicit TSha256(TSha256Impl Impl = TSha256Impl::Auto);

  void Update(const void* Data, size_t Size);
  // The digest of everything given so far; the object starts over afterwards.
  TSha256Digest Final();
  // Which block function this object ended up with (Portable or ShaNi).
  TSha256Impl Impl() const { return FImpl; }

 private:
  using TBlocks = void (*)(uint32_t* State, const uint8_t* Data, size_t Blocks);

  void Reset();

  TSha256Impl FImpl;
  TBlocks FBlocks;
  uint32_t FState[8];
  uint8_t FBuffer[64];
  size_t FBuffered = 0;
  uint64_t FLength = 0;
};

// Block functions: process Blocks whole 64-byte blocks of Data into State.
void Sha256BlocksPortable(uint32_t* State, const uint8_t* Data, size_t Blocks);
void Sha256BlocksShaNi(uint32_t* State, const uint8_t* Data, size_t Blocks);

}  // namespace vt
