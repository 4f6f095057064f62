#pragma once
// Reading the signed manifest ("version"), the first document of every run.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/RemoteFile.h"

namespace vt {

// Bound on a manifest or signature body; real ones are a few hundred bytes.
constexpr int64_t KMaxManifestBytes = 16 * 1024 * 1024;

// The channel that launchers of the format before channels follow: the manifest at the base.
constexpr const char* KStableChannel = "stable";

// The message of a manifest whose signature does not verify; trying again cannot mend it.
extern const char* const KNotSignedError;

// A release offered first to a share of installs: the others take the release before it,
// which the manifest carries for them ("rollout").
struct TRollout {
  int32_t Percent = 100;  // of installs that take the new release, 0 to 100
  bool Halted = false;    // no install takes it that does not have it already
  // The release before: its build, objects base (joined like TManifest::Objects once read;
  // as written, empty for the default, in a stamp) and list.
  int32_t Build = 0;
  std::string Objects;
  TRemoteFile List;
};

// The manifest's fields once its signature has been checked.
struct TManifest {
  int32_t Build = 0;
  std::string Objects;
  TRemoteFile List;
  // "seq": the release sequence, raised with every publication; none in trees made before.
  std::optional<int64_t> Sequence;
  // "expires": after this (Unix seconds, UTC) the release is stale; none: it never is.
  std::optional<int64_t> Expires;
  // "keys": the keys document version that names the keys which signed it; 0: none.
  int32_t KeysVersion = 0;
  // "channel": the channel the release belongs to; absent in the stable channel's.
  std::string Channel = KStableChannel;
  // "rollout": none when the release goes to every install.
  std::optional<TRollout> Rollout;
  // "mirrors": bases of other servers with the same tree; "object_mirrors": bases of other
  // stores with the same objects. Each an http(s) URL ending in "/"; none in trees made before.
  std::vector<std::string> Mirrors;
  std::vector<std::string> ObjectMirrors;
};

// Most mirrors of either kind a manifest may list.
constexpr size_t KMaxMirrors = 16;

// True for a URL that may serve as a mirror's base: http:// or https:// and a host, without
// spaces or control characters.
bool IsMirrorUrl(std::string_view Url);

class TJsonValue;
// The mirror bases in Root's array member Name (none when it is absent), each ending in "/";
// raises TUpdateError for an array that is not one of at most KMaxMirrors mirror URLs.
std::vector<std::string> ReadMirrorList(const TJsonValue& Root, const char* Name);

// The release that Manifest's rollout keeps for the installs it holds back.
TManifest ReleaseBefore(const TManifest& Manifest);

// A channel's name: 1 to 32 lowercase letters, digits, "-" and "_".
bool IsChannelName(std::string_view Name);
// Where a channel's manifest files lie below the server's base: "" for the stable channel,
// "channels/<name>/" for another.
std::string ChannelFolder(const std::string& Channel);
// The server's list of its channels other than stable, one name a line, below its base.
constexpr const char* KChannelIndexPath = "channels/index";

// True for an "objects" value that is a URL of its own (starts with "http" in any letter
// case) rather than a path below the update server's base.
bool IsAbsoluteObjectsBase(std::string_view Objects);

// Reads verified manifest bytes; Url is the base that relative "objects" values join.
TManifest ReadManifest(std::span<const uint8_t> Bytes, const std::string& Url);

}  // namespace vt
