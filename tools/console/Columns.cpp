#include "Columns.h"

#include <vector>

#include "format/Utf8.h"

namespace vt {

namespace {

bool InRange(uint32_t CodePoint, uint32_t First, uint32_t Last) {
  return CodePoint >= First && CodePoint <= Last;
}

// The columns a terminal gives a character: a short table of the common ranges, enough for a
// line never to end up wider than counted (an unlisted wide character is rare in our texts).
size_t CharColumns(uint32_t CodePoint) {
  if (InRange(CodePoint, 0x0300, 0x036F) || InRange(CodePoint, 0x200B, 0x200F) ||
      InRange(CodePoint, 0xFE00, 0xFE0F))
    return 0;
  if (InRange(CodePoint, 0x1100, 0x115F) || InRange(CodePoint, 0x2E80, 0x303E) ||
      InRange(CodePoint, 0x3041, 0xA4CF) || InRange(CodePoint, 0xAC00, 0xD7A3) ||
      InRange(CodePoint, 0xF900, 0xFAFF) || InRange(CodePoint, 0xFE30, 0xFE4F) ||
      InRange(CodePoint, 0xFF00, 0xFF60) || InRange(CodePoint, 0xFFE0, 0xFFE6) ||
      InRange(CodePoint, 0x1F300, 0x1F64F) || InRange(CodePoint, 0x1F900, 0x1F9FF) ||
      InRange(CodePoint, 0x20000, 0x3FFFD))
    return 2;
  return 1;
}

}  // namespace

namespace {

// One character as a terminal shows it: its bytes ("?" for a control character or a byte that
// is not valid UTF-8) and its columns.
struct TShownChar {
  std::string_view Bytes;
  size_t Columns;
};

std::vector<TShownChar> ShownChars(std::string_view Text) {
  std::vector<TShownChar> chars;
  size_t pos = 0;
  while (pos < Text.size()) {
    const size_t start = pos;
    uint32_t cp = 0;
    const bool valid = DecodeUtf8(Text, pos, cp);
    if (!valid)
      ++pos;
    if (!valid || cp < 32 || InRange(cp, 0x7F, 0x9F))
      chars.push_back({"?", 1});
    else
      chars.push_back({Text.substr(start, pos - start), CharColumns(cp)});
  }
  return chars;
}

}  // namespace

size_t DisplayColumns(std::string_view Text) {
  size_t columns = 0;
  for (const TShownChar& c : ShownChars(Text))
    columns += c.Columns;
  return columns;
}

std::string FitToColumns(std::string_view Text, size_t Columns, bool KeepEnd) {
  const std::vector<TShownChar> chars = ShownChars(Text);
  size_t first = 0, last = 0, used = 0;
  if (KeepEnd) {
    first = last = chars.size();
    while (first > 0 && used + chars[first - 1].Columns <= Columns)
      used += chars[--first].Columns;
  } else {
    while (last < chars.size() && used + chars[last].Columns <= Columns)
      used += chars[last++].Columns;
  }
  std::string line;
  for (size_t i = first; i < last; ++i)
    line.append(chars[i].Bytes);
  return line;
}

}  // namespace vt
