#pragma once
// Strict UTF-8: shortest forms of scalar values only (no surrogates, nothing above U+10FFFF).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vt {

// Decodes the sequence at Text[Pos] into CodePoint and moves Pos past it; false (Pos and
// CodePoint untouched) when no valid sequence starts there.
bool DecodeUtf8(std::string_view Text, size_t& Pos, uint32_t& CodePoint);

// The offset of the first byte where no valid sequence starts, or npos when all of Text is
// valid.
size_t FindInvalidUtf8(std::string_view Text);

}  // namespace vt
