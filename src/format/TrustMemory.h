#pragma once
// What a game folder's launcher remembers of the releases it verified, in a small file of its
// own beside "installed.json": the newest keys document it verified, the channel it follows,
// the highest release sequence of that channel and of those it followed before, and the install's
// random draw for rollouts (never sent anywhere).
//   {"format":1,"seq":43,"channel":"beta","seqs":{"stable":40},"id":"<32 hex digits>",
//    "mirrors":["https://eu.example/"],"keys":{ ...keys document... }}
// Every member but "format" is optional; no "channel" is the stable one.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/Keys.h"
#include "format/Manifest.h"

namespace vt {

// Hex digits of an install's identifier.
constexpr size_t KInstallIdDigits = 32;

struct TTrust {
  std::optional<TKeysDocument> Keys;  // none: the built-in root alone
  std::optional<int64_t> Sequence;    // of Channel; none: no release with one was verified yet
  std::string Channel = KStableChannel;
  std::map<std::string, int64_t> Others;  // sequences of the channels followed before
  std::string InstallId;                  // 32 hex digits; empty: not drawn yet
  // The tree mirrors of the last release verified, so that a run reaches one while the main
  // server is down.
  std::vector<std::string> Mirrors;

  bool operator==(const TTrust&) const = default;
};

// The memory's text.
std::string TrustMemoryText(const TTrust& Trust);
// The memory in Text; nothing when Text is not such a memory.
std::optional<TTrust> ReadTrustMemory(std::string_view Text);

}  // namespace vt
