#include "update/JsonWriter.h"

namespace vt {

namespace {

constexpr char KHex[] = "0123456789ABCDEF";

void AppendUnit(std::string& Out, uint32_t Unit) {
  Out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4)
    Out += KHex[(Unit >> shift) & 0xF];
}

// Decodes one UTF-8 sequence at Text[Pos]; returns U+FFFD and consumes one byte when it is
// not a valid, shortest-form encoding of a scalar value.
uint32_t NextCodePoint(std::string_view Text, size_t& Pos) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(Text[i]); };
  const uint8_t lead = byte(Pos);
  int extra = 0;
  uint32_t cp = 0, min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    ++Pos;
    return 0xFFFD;
  }
  if (Pos + extra >= Text.size()) {
    ++Pos;
    return 0xFFFD;
  }
  for (int i = 1; i <= extra; ++i) {
    if ((byte(Pos + i) & 0xC0) != 0x80) {
      ++Pos;
      return 0xFFFD;
    }
    cp = (cp << 6) | (byte(Pos + i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++Pos;
    return 0xFFFD;
  }
  Pos += extra + 1;
  return cp;
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
    const uint32_t cp = NextCodePoint(Text, pos);
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

}  // namespace vt
