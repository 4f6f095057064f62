#include "update/Rollout.h"

#include <string>

#include "format/Digest.h"
#include "format/Sha256.h"
#include "platform/Random.h"

namespace vt {

std::string RandomInstallId() {
  return BytesToHex(SystemRandomBytes(KInstallIdDigits / 2));
}

int32_t RolloutBucket(std::string_view InstallId, std::string_view Channel, int32_t Build) {
  const std::string text = "rollout\n" + std::string(InstallId) + "\n" + std::string(Channel) +
                           "\n" + std::to_string(Build);
  TSha256 sha;
  sha.Update(text.data(), text.size());
  const TSha256Digest digest = sha.Final();
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i)
    value = value << 8 | digest[static_cast<size_t>(i)];
  return static_cast<int32_t>(value % 100);
}

TTakenRelease TakeRelease(const TRunContext& Run, const TManifest& Offered, TTrust& Trust,
                          int32_t InstalledBuild) {
  if (!Offered.Rollout || Run.Options.SkipRollout || InstalledBuild == Offered.Build)
    return {Offered, false};
  if (Trust.InstallId.empty())
    Trust.InstallId = Run.Options.NewInstallId();
  const TRollout& rollout = *Offered.Rollout;
  if (!rollout.Halted &&
      RolloutBucket(Trust.InstallId, Offered.Channel, Offered.Build) < rollout.Percent)
    return {Offered, false};
  return {ReleaseBefore(Offered), true};
}

}  // namespace vt
