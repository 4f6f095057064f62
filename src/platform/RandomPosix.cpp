#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

#include "platform/Random.h"

namespace vt {

std::vector<uint8_t> SystemRandomBytes(size_t Count) {
  std::vector<uint8_t> bytes(Count);
  size_t filled = 0;
  while (filled < Count) {
    const ssize_t got = getrandom(bytes.data() + filled, Count - filled, 0);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      throw std::runtime_error("the system's random numbers cannot be read");
    filled += static_cast<size_t>(got);
  }
  return bytes;
}

}  // namespace vt
