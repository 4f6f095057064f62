#pragma once
// How a release is signed and set live: its sequence and expiry stamped into the manifest, the
// signatures of its keys, and the order of the writes. Pack and refresh share it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/Keys.h"
#include "format/Manifest.h"
#include "format/RemoteFile.h"
#include "publish/Release.h"
#include "publish/Signer.h"

namespace vt {

// The keys that sign a release, and how long it stays fresh.
struct TPublication {
  // At least one. The first signs "version.sig" too, which launchers built before keys
  // documents check against the key built into them.
  std::vector<TSigningKey> Keys;
  std::optional<int64_t> ExpiresIn;  // seconds from now; none: it never expires
  // Where: the stable channel at the tree's top, which every launcher reads, or another one in
  // "channels/<name>/", which launchers that follow it read.
  std::string Channel = KStableChannel;
  // The bases the manifest lists as mirrors of the tree and of the objects; none: those of the
  // live release of the channel, so that a mirror is named once and stays until replaced.
  std::optional<std::vector<std::string>> Mirrors;
  std::optional<std::vector<std::string>> ObjectMirrors;
};

// Raises with a one-line message unless Publication's keys reach the threshold that a release
// of OutDir needs: of the release keys of its newest keys document, or before any, of a root of
// several keys built into this program.
void RequireEnoughKeys(const std::string& OutDir, const TPublication& Publication);

// The newest keys document version that OutDir serves; 0 when it serves none.
int32_t NewestKeysVersion(const std::string& OutDir);

// Sets the release of Build with List (and the manifest's "objects" value Objects) live in
// OutDir: the next sequence, the expiry, the keys version, then the history entry,
// "version.sig", "version.sigs" and last "version". Raises as RequireEnoughKeys does, before
// anything is written. The caller holds the tree's lock.
TManifestStamp PublishSigned(const std::string& OutDir, int32_t Build, const TRemoteFile& List,
                             const std::string& Objects, const TPublication& Publication,
                             const std::optional<TRollout>& Rollout = {});

// The rollout that a new release of Build on Channel starts: Percent (1 to 100; none or 100:
// every install at once) of installs take it, the others the live release, or the release
// that a halted rollout kept. Raises, before anything is packed, while the live release is
// still rolling out, unless Critical sends the new one to every install at once; and for a
// share without a live release to keep.
std::optional<TRollout> PlanRollout(const std::string& OutDir, const std::string& Channel,
                                    int32_t Build, std::optional<int32_t> Percent, bool Critical);

// Widens or narrows the rollout of the live release of Publication's channel to Percent (100
// ends it: every install takes the release), or halts it (none: installs that have the release
// keep it, no other takes it), and signs it again as Refresh does. Takes the tree's lock.
TManifestStamp ChangeRollout(const std::string& OutDir, const TPublication& Publication,
                             std::optional<int32_t> Percent);

// Publishes the live release of Publication's channel in OutDir again as it is, with a new
// sequence and expiry: what a daily job runs so that players never see it expire. Takes the
// tree's lock.
TManifestStamp Refresh(const std::string& OutDir, const TPublication& Publication);

// A duration such as "7d", "12h", "30m" or "90s" in seconds; nothing when Text is not one
// above zero.
std::optional<int64_t> ParseDuration(const std::string& Text);

}  // namespace vt
