#include "format/TrustMemory.h"

#include "format/JsonWriter.h"

namespace vt {

namespace {

constexpr int32_t KMemoryFormat = 1;

}  // namespace

std::string TrustMemoryText(const TTrust& Trust) {
  std::string out = "{";
  AppendJsonName(out, "format");
  AppendJsonInt(out, KMemoryFormat);
  if (Trust.Sequence) {
    out += ',';
    AppendJsonName(out, "seq");
    AppendJsonInt(out, *Trust.Sequence);
  }
  if (Trust.Keys) {
    out += ',';
    AppendJsonName(out, "keys");
    out += KeysDocumentJson(*Trust.Keys);
  }
  out += '}';
  return out;
}

std::optional<TTrust> ReadTrustMemory(std::string_view Text) {
  const std::optional<TJsonValue> root = ParseJson(Text);
  if (!root || !root->IsObject())
    return std::nullopt;
  try {
    if (ReadInt32(*root, "format", 0) != KMemoryFormat)
      return std::nullopt;
    TTrust trust;
    if (root->Member("seq") != nullptr)
      trust.Sequence = ReadInt64(*root, "seq");
    if (const TJsonValue* keys = root->Member("keys"))
      trust.Keys = ReadKeysDocument(*keys);
    return trust;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace vt
