#include "format/Utf8.h"

namespace vt {

bool DecodeUtf8(std::string_view Text, size_t& Pos, uint32_t& CodePoint) {
  const auto lead = static_cast<uint8_t>(Text[Pos]);
  size_t extra = 0;
  uint32_t cp = 0, min = 0;
  if (lead < 0x80) {
    CodePoint = lead;
    ++Pos;
    return true;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (Text.size() - Pos <= extra)
    return false;
  for (size_t i = 1; i <= extra; ++i) {
    const auto next = static_cast<uint8_t>(Text[Pos + i]);
    if ((next & 0xC0) != 0x80)
      return false;
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    return false;
  CodePoint = cp;
  Pos += extra + 1;
  return true;
}

size_t FindInvalidUtf8(std::string_view Text) {
  size_t pos = 0;
  uint32_t ignored = 0;
  while (pos < Text.size()) {
    if (!DecodeUtf8(Text, pos, ignored))
      return pos;
  }
  return std::string_view::npos;
}

}  // namespace vt
