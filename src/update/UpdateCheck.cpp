#include "update/UpdateCheck.h"

#include "update/CompareFiles.h"
#include "update/FetchFileList.h"
#include "update/FetchManifest.h"
#include "update/Installed.h"
#include "update/Rollout.h"
#include "update/Sources.h"
#include "update/Trust.h"

namespace vt {

std::optional<TCheckResult> RunUpdateCheck(const TRunContext& Run, THttpClient& Client) {
  // Verified as a run would, but remembered nowhere: a check changes nothing. A folder that has
  // not drawn its rollout identifier yet answers as a fresh draw would; its first update
  // settles it.
  TVerifiedRelease verified = FetchManifest(Run, Client, ReadTrust(Run));
  const TInstalled installed = ReadInstalled(Run);
  const TInstalledRecord* record = installed.Previous();
  TCheckResult check;
  check.Installed = RecordedBuild(installed);
  const TTakenRelease taken = TakeRelease(Run, verified.Release, verified.Trust, check.Installed);
  const TManifest& release = taken.Release;
  check.Build = release.Build;
  if (taken.HeldBack)
    check.HeldBackFrom = verified.Release.Build;
  if (!Run.Options.Verify) {
    check.Update = !IsUpToDate(Run.Dir, record, release);
    return check;
  }
  const std::vector<TRemoteFile> files =
      FetchFileList(Run, Client, SourcesOf(Run, release, verified.Server).Trees, release.List);
  const std::optional<TUpdatePlan> plan = CompareFiles(Run, files, installed, nullptr);
  if (!plan)
    return std::nullopt;
  for (const TFetch& fetch : plan->Fetch)
    check.Differ.push_back(fetch.File->Path);
  check.Update = !check.Differ.empty() || !RecordNamesRelease(record, release);
  return check;
}

}  // namespace vt
