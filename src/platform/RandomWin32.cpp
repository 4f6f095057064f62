#include <windows.h>

#include <bcrypt.h>

#include <stdexcept>

#include "platform/Random.h"

namespace vt {

std::vector<uint8_t> SystemRandomBytes(size_t Count) {
  std::vector<uint8_t> bytes(Count);
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(Count),
                                      BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    throw std::runtime_error("the system's random numbers cannot be read");
  return bytes;
}

}  // namespace vt
