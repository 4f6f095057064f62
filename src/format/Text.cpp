#include "format/Text.h"

#include <charconv>

#include "platform/Locale.h"

namespace vt {

std::string AsciiLower(std::string_view Text) {
  std::string result(Text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

std::string DecimalText(double Value, const std::string& Separator) {
  // Formatted without the C locale, so that the result does not depend on what a GUI toolkit
  // did to the process's global locale.
  char buffer[64];
  const auto end =
      std::to_chars(buffer, buffer + sizeof buffer, Value, std::chars_format::fixed, 1).ptr;
  std::string text(buffer, end);
  if (const size_t point = text.find('.'); point != std::string::npos)
    text.replace(point, 1, Separator);
  return text;
}

std::string MegabytesText(int64_t Bytes, const std::string& Separator) {
  return DecimalText(static_cast<double>(Bytes) / KBytesPerMb, Separator);
}

std::string MegabytesText(int64_t Bytes) {
  return MegabytesText(Bytes, UserDecimalSeparator());
}

}  // namespace vt
