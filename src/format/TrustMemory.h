#pragma once
// What a game folder's launcher remembers of the releases it verified, in a small file of its
// own beside "installed.json": the newest keys document it verified and the highest release
// sequence.
//   {"format":1,"seq":43,"keys":{ ...the keys document... }}
// Both members are optional.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "format/Keys.h"

namespace vt {

struct TTrust {
  std::optional<TKeysDocument> Keys;  // none: the built-in root alone
  std::optional<int64_t> Sequence;    // none: no release with a sequence was verified yet

  bool operator==(const TTrust&) const = default;
};

// The memory's text.
std::string TrustMemoryText(const TTrust& Trust);
// The memory in Text; nothing when Text is not such a memory.
std::optional<TTrust> ReadTrustMemory(std::string_view Text);

}  // namespace vt
