#pragma once

#include <cstdint>
#include <vector>

namespace vt {

// Count bytes from the system's source of random numbers; raises when it fails.
std::vector<uint8_t> SystemRandomBytes(size_t Count);

}  // namespace vt
