// Reading the signed manifest, once its signature has been checked.

#include "format/Manifest.h"

#include <algorithm>
#include <string>

#include "format/Errors.h"
#include "format/Json.h"
#include "format/Paths.h"
#include "format/ReleaseKey.h"
#include "format/Text.h"
#include "format/UtcTime.h"

namespace vt {

namespace {

// The manifest format this launcher reads.
constexpr int32_t KManifestFormat = 2;

std::string_view AsText(std::span<const uint8_t> Bytes) {
  return {reinterpret_cast<const char*>(Bytes.data()), Bytes.size()};
}

// The objects base at Path ("objects" by default "o/"), joined with Url unless absolute.
std::string ReadObjectsBase(const TJsonValue& Root, const std::string& Path,
                            const std::string& Url) {
  std::string objects = ReadString(Root, Path, "o/");
  return IsAbsoluteObjectsBase(objects) ? objects : Url + objects;
}

// The list described at Prefix ("list"), its path checked.
TRemoteFile ReadListMember(const TJsonValue& Root, const std::string& Prefix) {
  TRemoteFile list;
  list.Path = ReadString(Root, Prefix + ".p");
  list.Size = ReadInt64(Root, Prefix + ".s");
  list.Hash = AsciiLower(ReadString(Root, Prefix + ".h"));
  list.ZSize = ReadInt64(Root, Prefix + ".z", 0);
  if (!IsSafeRelativePath(list.Path))
    throw TUpdateError("bad file name in the update list: " + list.Path);
  return list;
}

TRollout ReadRollout(const TJsonValue& Root, const std::string& Url) {
  TRollout rollout;
  rollout.Percent = ReadInt32(Root, "rollout.share");
  if (rollout.Percent < 0 || rollout.Percent > 100)
    throw TUpdateError("the update list has an unreadable rollout share");
  const TJsonValue* halted = FindPath(Root, "rollout.halted");
  rollout.Halted = halted != nullptr && halted->Kind == TJsonValue::TKind::Boolean && halted->Bool;
  rollout.Build = ReadInt32(Root, "rollout.before.build");
  rollout.Objects = ReadObjectsBase(Root, "rollout.before.objects", Url);
  rollout.List = ReadListMember(Root, "rollout.before.list");
  return rollout;
}

}  // namespace

bool IsMirrorUrl(std::string_view Url) {
  const std::string lower = AsciiLower(Url.substr(0, 8));
  const size_t scheme = lower.rfind("https://", 0) == 0  ? 8
                        : lower.rfind("http://", 0) == 0 ? 7
                                                         : 0;
  if (scheme == 0 || Url.size() <= scheme || Url[scheme] == '/')
    return false;
  return std::none_of(Url.begin(), Url.end(),
                      [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 127; });
}

std::vector<std::string> ReadMirrorList(const TJsonValue& Root, const char* Name) {
  std::vector<std::string> bases;
  if (Root.Member(Name) == nullptr)
    return bases;
  const std::vector<TJsonValue>& items = ReadArray(Root, Name);
  if (items.size() > KMaxMirrors)
    throw TUpdateError("the update list has more than " + std::to_string(KMaxMirrors) + " " + Name);
  for (const TJsonValue& item : items) {
    if (item.Kind != TJsonValue::TKind::String || !IsMirrorUrl(item.Text))
      throw TUpdateError(std::string("the update list has an unreadable member \"") + Name + "\"");
    bases.push_back(item.Text.back() == '/' ? item.Text : item.Text + "/");
  }
  return bases;
}

const char* const KNotSignedError =
    "the update list is not signed by Veltrano RPG - nothing was changed";

bool IsAbsoluteObjectsBase(std::string_view Objects) {
  return Objects.size() >= 4 && AsciiLower(Objects.substr(0, 4)) == "http";
}

TManifest ReadManifest(std::span<const uint8_t> Bytes, const std::string& Url) {
  const std::optional<TJsonValue> root = ParseJson(AsText(Bytes));
  if (!root || !root->IsObject())
    throw TUpdateError("the update list cannot be read");
  // A newer format may mean things this launcher would get wrong, so it is checked first.
  const int32_t format = ReadInt32(*root, "format", 0);
  if (format > KManifestFormat) {
    throw TUpdateError(std::string("this launcher is too old - download the game again from ") +
                       KDownloadHost);
  }
  if (format < KManifestFormat)
    throw TUpdateError("the update list has an old format");

  TManifest manifest;
  manifest.Build = ReadInt32(*root, "build");
  manifest.Objects = ReadObjectsBase(*root, "objects", Url);
  manifest.List = ReadListMember(*root, "list");
  if (root->Member("seq") != nullptr)
    manifest.Sequence = ReadInt64(*root, "seq");
  if (root->Member("expires") != nullptr) {
    manifest.Expires = ReadUtcTime(ReadString(*root, "expires"));
    if (!manifest.Expires)
      throw TUpdateError("the update list has an unreadable expiry time");
  }
  manifest.KeysVersion = ReadInt32(*root, "keys", 0);
  manifest.Channel = ReadString(*root, "channel", KStableChannel);
  if (root->Member("rollout") != nullptr)
    manifest.Rollout = ReadRollout(*root, Url);
  manifest.Mirrors = ReadMirrorList(*root, "mirrors");
  manifest.ObjectMirrors = ReadMirrorList(*root, "object_mirrors");
  return manifest;
}

TManifest ReleaseBefore(const TManifest& Manifest) {
  TManifest before = Manifest;
  before.Rollout.reset();
  if (Manifest.Rollout) {
    before.Build = Manifest.Rollout->Build;
    before.Objects = Manifest.Rollout->Objects;
    before.List = Manifest.Rollout->List;
  }
  return before;
}

bool IsChannelName(std::string_view Name) {
  return !Name.empty() && Name.size() <= 32 &&
         Name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_") == Name.npos;
}

std::string ChannelFolder(const std::string& Channel) {
  return Channel == KStableChannel ? std::string() : "channels/" + Channel + "/";
}

}  // namespace vt
