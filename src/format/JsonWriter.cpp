#include "format/JsonWriter.h"

#include "format/Utf8.h"

namespace vt {

namespace {

constexpr char KHex[] = "0123456789ABCDEF";

void AppendUnit(std::string& Out, uint32_t Unit) {
  Out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4)
    Out += KHex[(Unit >> shift) & 0xF];
}

}  // namespace

void AppendJsonString(std::string& Out, std::string_view Text) {
  Out += '"';
  size_t pos = 0;
  while (pos < Text.size()) {
    const uint8_t c = static_cast<uint8_t>(Text[pos]);
    if (c < 128) {
      ++pos;
      switch (c) {
        case '"':
          Out += "\\\"";
          break;
        case '\\':
          Out += "\\\\";
          break;
        case '/':
          Out += "\\/";
          break;
        case '\b':
          Out += "\\b";
          break;
        case '\t':
          Out += "\\t";
          break;
        case '\n':
          Out += "\\n";
          break;
        case '\f':
          Out += "\\f";
          break;
        case '\r':
          Out += "\\r";
          break;
        default:
          if (c < 32) {
            AppendUnit(Out, c);
          } else {
            Out += static_cast<char>(c);
          }
      }
      continue;
    }
    // Bytes that are not valid UTF-8 become U+FFFD, one each, so the output stays valid JSON.
    uint32_t cp = 0xFFFD;
    if (!DecodeUtf8(Text, pos, cp))
      ++pos;
    if (cp >= 0x10000) {
      AppendUnit(Out, 0xD800 + ((cp - 0x10000) >> 10));
      AppendUnit(Out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      AppendUnit(Out, cp);
    }
  }
  Out += '"';
}

void AppendJsonName(std::string& Out, std::string_view Name) {
  AppendJsonString(Out, Name);
  Out += ':';
}

void AppendJsonInt(std::string& Out, int64_t Value) {
  Out += std::to_string(Value);
}

void AppendJsonStrings(std::string& Out, const std::vector<std::string>& Items) {
  Out += '[';
  for (const std::string& item : Items) {
    if (Out.back() != '[')
      Out += ',';
    AppendJsonString(Out, item);
  }
  Out += ']';
}

}  // namespace vt
