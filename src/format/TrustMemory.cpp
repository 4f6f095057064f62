#include "format/TrustMemory.h"

#include "format/Digest.h"
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
  if (Trust.Channel != KStableChannel) {
    out += ',';
    AppendJsonName(out, "channel");
    AppendJsonString(out, Trust.Channel);
  }
  if (!Trust.Others.empty()) {
    out += ',';
    AppendJsonName(out, "seqs");
    out += '{';
    for (const auto& [channel, sequence] : Trust.Others) {
      if (out.back() != '{')
        out += ',';
      AppendJsonName(out, channel);
      AppendJsonInt(out, sequence);
    }
    out += '}';
  }
  if (!Trust.InstallId.empty()) {
    out += ',';
    AppendJsonName(out, "id");
    AppendJsonString(out, Trust.InstallId);
  }
  if (!Trust.Mirrors.empty()) {
    out += ',';
    AppendJsonName(out, "mirrors");
    AppendJsonStrings(out, Trust.Mirrors);
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
    trust.Channel = ReadString(*root, "channel", KStableChannel);
    if (!IsChannelName(trust.Channel))
      return std::nullopt;
    if (const TJsonValue* others = root->Member("seqs")) {
      if (!others->IsObject())
        return std::nullopt;
      for (const auto& [channel, value] : others->Members) {
        if (!IsChannelName(channel) || channel == trust.Channel)
          return std::nullopt;
        trust.Others[channel] = ReadInt64(*others, channel);
      }
    }
    trust.InstallId = ReadString(*root, "id", "");
    if (!trust.InstallId.empty() && !IsHexText(trust.InstallId, KInstallIdDigits))
      return std::nullopt;
    trust.Mirrors = ReadMirrorList(*root, "mirrors");
    if (const TJsonValue* keys = root->Member("keys"))
      trust.Keys = ReadKeysDocument(*keys);
    return trust;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace vt
