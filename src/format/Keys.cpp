#include "format/Keys.h"

#include <algorithm>
#include <set>

#include "format/Digest.h"
#include "format/Errors.h"
#include "format/JsonWriter.h"
#include "format/ReleaseKey.h"
#include "format/Text.h"

namespace vt {

namespace {

constexpr int32_t KKeysFormat = 1;
constexpr const char* KUnreadableKeys = "the update server's keys cannot be read";

TKeyRole ReadRole(const TJsonValue& Document, const char* Name) {
  const TJsonValue* role = Document.Member(Name);
  if (role == nullptr || !role->IsObject())
    throw TUpdateError(KUnreadableKeys);
  TKeyRole read;
  read.Threshold = ReadInt32(*role, "threshold");
  std::set<std::string> seen;
  for (const TJsonValue& key : ReadArray(*role, "keys")) {
    if (key.Kind != TJsonValue::TKind::String || !IsHexText(key.Text, 128))
      throw TUpdateError(KUnreadableKeys);
    const std::string hex = AsciiLower(key.Text);
    if (!seen.insert(hex).second)
      throw TUpdateError(KUnreadableKeys);
    read.Keys.push_back({hex.substr(0, 64), hex.substr(64)});
  }
  if (read.Keys.empty() || read.Keys.size() > KMaxRoleKeys || read.Threshold < 1 ||
      static_cast<size_t>(read.Threshold) > read.Keys.size()) {
    throw TUpdateError(KUnreadableKeys);
  }
  return read;
}

void AppendRole(std::string& Out, const char* Name, const TKeyRole& Role) {
  AppendJsonName(Out, Name);
  Out += '{';
  AppendJsonName(Out, "threshold");
  AppendJsonInt(Out, Role.Threshold);
  Out += ',';
  AppendJsonName(Out, "keys");
  Out += '[';
  for (size_t i = 0; i < Role.Keys.size(); ++i) {
    if (i > 0)
      Out += ',';
    AppendJsonString(Out, Role.Keys[i].X + Role.Keys[i].Y);
  }
  Out += "]}";
}

}  // namespace

std::string KeyId(const TPublicKey& Key) {
  const TBytes raw = HexToBytes(Key.X + Key.Y);
  return Sha256Hex(raw);
}

TKeyRole BuiltInRoot() {
  TKeyRole root;
  root.Threshold = KRootThreshold;
  for (int i = 0; i < KRootKeyCount; ++i)
    root.Keys.push_back({KRootKeys[i].X, KRootKeys[i].Y});
  return root;
}

std::vector<TSignatureLine> ReadSignatureLines(std::span<const uint8_t> Bytes) {
  const std::string_view text(reinterpret_cast<const char*>(Bytes.data()), Bytes.size());
  std::vector<TSignatureLine> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == text.npos)
      end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && static_cast<unsigned char>(line.back()) <= 32)
      line.remove_suffix(1);
    while (!line.empty() && static_cast<unsigned char>(line.front()) <= 32)
      line.remove_prefix(1);
    if (line.size() == 64 + 1 + 128 && line[64] == ' ' && IsHexText(line.substr(0, 64), 64) &&
        IsHexText(line.substr(65), 128)) {
      lines.push_back({AsciiLower(line.substr(0, 64)), std::string(line.substr(65))});
    }
  }
  return lines;
}

std::string SignatureLinesText(const std::vector<TSignatureLine>& Lines) {
  std::string text;
  for (const TSignatureLine& line : Lines)
    text += line.KeyId + " " + line.Signature + "\n";
  return text;
}

int32_t SignersOf(std::span<const uint8_t> Data, const std::vector<TSignatureLine>& Lines,
                  const TKeyRole& Role) {
  int32_t signers = 0;
  std::set<std::string> counted;
  for (const TPublicKey& key : Role.Keys) {
    const std::string id = KeyId(key);
    if (counted.count(id))
      continue;
    for (const TSignatureLine& line : Lines) {
      if (line.KeyId == id && VerifySignatureWithKey(Data, line.Signature, key.X, key.Y)) {
        counted.insert(id);
        ++signers;
        break;
      }
    }
  }
  return signers;
}

bool MeetsThreshold(std::span<const uint8_t> Data, const std::vector<TSignatureLine>& Lines,
                    const TKeyRole& Role) {
  return SignersOf(Data, Lines, Role) >= Role.Threshold;
}

bool SignedByOneOf(std::span<const uint8_t> Data, std::string_view Signature,
                   const TKeyRole& Role) {
  return std::any_of(Role.Keys.begin(), Role.Keys.end(), [&](const TPublicKey& Key) {
    return VerifySignatureWithKey(Data, Signature, Key.X, Key.Y);
  });
}

TKeysDocument ReadKeysDocument(const TJsonValue& Root) {
  if (!Root.IsObject() || ReadInt32(Root, "format", 0) != KKeysFormat)
    throw TUpdateError(KUnreadableKeys);
  TKeysDocument document;
  document.Version = ReadInt32(Root, "version");
  if (document.Version < 1)
    throw TUpdateError(KUnreadableKeys);
  document.Root = ReadRole(Root, "root");
  document.Release = ReadRole(Root, "release");
  return document;
}

TKeysDocument ReadKeysDocument(std::span<const uint8_t> Bytes) {
  const std::optional<TJsonValue> root =
      ParseJson({reinterpret_cast<const char*>(Bytes.data()), Bytes.size()});
  if (!root)
    throw TUpdateError(KUnreadableKeys);
  try {
    return ReadKeysDocument(*root);
  } catch (const TJsonError&) {
    throw TUpdateError(KUnreadableKeys);
  } catch (const TUpdateError&) {
    throw TUpdateError(KUnreadableKeys);
  }
}

std::optional<TKeysDocument> VerifiedNextKeys(std::span<const uint8_t> Text,
                                              std::span<const uint8_t> Signatures, int32_t Version,
                                              const TKeyRole& Root) {
  TKeysDocument next;
  try {
    next = ReadKeysDocument(Text);
  } catch (const TUpdateError&) {
    return std::nullopt;
  }
  const std::vector<TSignatureLine> lines = ReadSignatureLines(Signatures);
  if (next.Version != Version || !MeetsThreshold(Text, lines, Root) ||
      !MeetsThreshold(Text, lines, next.Root)) {
    return std::nullopt;
  }
  return next;
}

std::string KeysDocumentJson(const TKeysDocument& Document) {
  std::string out = "{";
  AppendJsonName(out, "format");
  AppendJsonInt(out, KKeysFormat);
  out += ',';
  AppendJsonName(out, "version");
  AppendJsonInt(out, Document.Version);
  out += ',';
  AppendRole(out, "root", Document.Root);
  out += ',';
  AppendRole(out, "release", Document.Release);
  out += '}';
  return out;
}

std::string KeysDocumentPath(int32_t Version) {
  return "keys/" + std::to_string(Version) + ".json";
}

std::string KeysSignaturesPath(int32_t Version) {
  return "keys/" + std::to_string(Version) + ".sigs";
}

}  // namespace vt
