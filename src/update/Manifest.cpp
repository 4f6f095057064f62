// The signed manifest: the first step of every run. Nothing local is read or changed before
// its signature has been checked.

#include <string>

#include "update/Errors.h"
#include "update/HttpGetBytes.h"
#include "update/Json.h"
#include "update/Manifest.h"
#include "update/Paths.h"
#include "update/ReleaseKey.h"
#include "update/Updater.h"

namespace vt {

namespace {

// The manifest format this launcher reads.
constexpr int32_t KManifestFormat = 2;

std::string_view AsText(std::span<const uint8_t> Bytes) {
  return {reinterpret_cast<const char*>(Bytes.data()), Bytes.size()};
}

// The signature file is ASCII; a byte above 127 becomes "?", which no hex digit matches.
std::string AsciiText(std::span<const uint8_t> Bytes) {
  std::string text(AsText(Bytes));
  for (char& c : text) {
    if (static_cast<unsigned char>(c) > 127)
      c = '?';
  }
  return text;
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
  return manifest;
}

void TUpdater::FetchManifest(THttpClient& Client) {
  Report("Checking for updates...", 0, 0);
  // One value for both requests, so a cache cannot pair a fresh manifest with a stale signature.
  const std::string query = "?t=" + std::to_string(FOptions.Clock());
  const TBytes manifest = HttpGetBytes(Client, FUrl + "version" + query);
  const TBytes signature = HttpGetBytes(Client, FUrl + "version.sig" + query);
  if (!VerifySignature(manifest, AsciiText(signature))) {
    throw TUpdateError(KNotSignedError);
  }
  TManifest read = ReadManifest(manifest, FUrl);
  FBuild = read.Build;
  FObjects = std::move(read.Objects);
  FList = std::move(read.List);
}

}  // namespace vt
