// Reading the signed manifest, once its signature has been checked.

#include "format/Manifest.h"

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

}  // namespace

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
  manifest.Objects = ReadString(*root, "objects", "o/");
  if (!IsAbsoluteObjectsBase(manifest.Objects))
    manifest.Objects = Url + manifest.Objects;
  manifest.List.Path = ReadString(*root, "list.p");
  manifest.List.Size = ReadInt64(*root, "list.s");
  manifest.List.Hash = AsciiLower(ReadString(*root, "list.h"));
  manifest.List.ZSize = ReadInt64(*root, "list.z", 0);
  if (!IsSafeRelativePath(manifest.List.Path)) {
    throw TUpdateError("bad file name in the update list: " + manifest.List.Path);
  }
  if (root->Member("seq") != nullptr)
    manifest.Sequence = ReadInt64(*root, "seq");
  if (root->Member("expires") != nullptr) {
    manifest.Expires = ReadUtcTime(ReadString(*root, "expires"));
    if (!manifest.Expires)
      throw TUpdateError("the update list has an unreadable expiry time");
  }
  manifest.KeysVersion = ReadInt32(*root, "keys", 0);
  manifest.Channel = ReadString(*root, "channel", KStableChannel);
  return manifest;
}

bool IsChannelName(std::string_view Name) {
  return !Name.empty() && Name.size() <= 32 &&
         Name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_") == Name.npos;
}

std::string ChannelFolder(const std::string& Channel) {
  return Channel == KStableChannel ? std::string() : "channels/" + Channel + "/";
}

}  // namespace vt
