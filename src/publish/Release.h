#pragma once
// Building the documents of a release: the manifest, the file list and zlib objects. Shared by
// vtpublish and the tests' release builder.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/Manifest.h"
#include "format/RemoteFile.h"

namespace vt {

// What a publication stamps into a manifest beside the build and the list; a member left
// empty stays out, as in trees made before sequences, expiries and keys documents.
struct TManifestStamp {
  std::optional<int64_t> Sequence;
  std::optional<int64_t> Expires;  // Unix seconds, UTC
  int32_t KeysVersion = 0;
  std::string Channel = KStableChannel;
  std::optional<TRollout> Rollout = std::nullopt;  // its Objects as written: "" for the default
  std::vector<std::string> Mirrors = {};           // bases, each ending in "/"
  std::vector<std::string> ObjectMirrors = {};
};

// The manifest text, format 2. An empty Objects leaves the member out (the reader's default).
std::string ManifestJson(int32_t Build, const TRemoteFile& List, const std::string& Objects = {},
                         const TManifestStamp& Stamp = {});

// The file list text: {"files":[{"p":..,"s":..,"h":..,"z":..,"c":{"s":..,"h":..}},...]}; "z"
// only when > 0, "c" (the chunk index) only when the entry has one.
std::string FileListJson(const std::vector<TRemoteFile>& Files);

// A zlib stream (RFC 1950) of Data at Level (the best by default).
std::vector<uint8_t> ZlibCompress(std::span<const uint8_t> Data, int Level = 9);

// The Size bytes a zlib stream Z inflates to; raises when it is corrupt or ends early.
std::vector<uint8_t> ZlibInflate(std::span<const uint8_t> Z, int64_t Size);

}  // namespace vt
