#pragma once
// Staged rollout: a release that only a share of installs takes at first, the others keeping
// the release before it. Each install decides for itself, from a random draw of its own.

#include <cstdint>
#include <string_view>

#include "format/Manifest.h"
#include "format/TrustMemory.h"
#include "update/RunContext.h"

namespace vt {

// The release of a verified manifest that this install takes.
struct TTakenRelease {
  TManifest Release;  // the offered one, or for an install held back the release before it
  bool HeldBack = false;
};

// Offered itself when it goes to every install, when the run skips rollouts, when the folder
// has its build already (a halt or a narrower share takes it from no one), or when the
// install's bucket falls under the share of a rollout that is not halted; else the release
// before it. Draws Trust's install identifier when a rollout needs one and it has none.
TTakenRelease TakeRelease(const TRunContext& Run, const TManifest& Offered, TTrust& Trust,
                          int32_t InstalledBuild);

// The install's bucket, 0 to 99, for the rollout of Build on Channel: the same every time for
// the same three, so an install's answer holds from run to run and a wider share keeps every
// install a narrower one had; unrelated from one build to the next, so that not always the
// same installs go first.
int32_t RolloutBucket(std::string_view InstallId, std::string_view Channel, int32_t Build);

}  // namespace vt
