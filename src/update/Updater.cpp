// One update run: its steps in order on the run's thread, its failure capture and the final
// hand-over to the view.

#include "update/Updater.h"

#include <optional>
#include <utility>

#include "format/Errors.h"
#include "update/ChunkedDownload.h"
#include "update/CompareFiles.h"
#include "update/DiskLimits.h"
#include "update/DownloadQueue.h"
#include "update/FetchFileList.h"
#include "update/FetchManifest.h"
#include "update/Installed.h"
#include "update/LockGameFolder.h"
#include "update/Rollout.h"
#include "update/SelfUpdate.h"
#include "update/Sources.h"
#include "update/Trust.h"

namespace vt {
namespace {

// Every client of the run cuts its transfer short when the run is asked to stop.
TUpdaterOptions WithStop(TUpdaterOptions Options, const TStopToken& Stop) {
  Options.Client.Stop = Stop;
  Options.Worker.Stop = Stop;
  return Options;
}

std::string UpToDateLine(int32_t Build) {
  return "Up to date (build " + std::to_string(Build) + ").";
}

}  // namespace

TUpdater::TUpdater(TUpdateView& View, TCallQueue& Queue, std::string Dir, std::string Url,
                   TUpdaterOptions Options)
    : FView(View),
      FCalls(Queue),
      FRun{std::move(Dir), std::move(Url), WithStop(std::move(Options), FStop.Token()),
           FStop.Token(), [this](const std::string& Text, int64_t Done, int64_t Total) {
             Report(Text, Done, Total);
           }} {}

TUpdater::~TUpdater() {
  RequestStop();
  Wait();
}

void TUpdater::Start() {
  FThread = std::thread([this] { Execute(); });
}

void TUpdater::RequestStop() {
  FStop.RequestStop();
}

void TUpdater::Wait() {
  if (FThread.joinable())
    FThread.join();
}

void TUpdater::DiscardCalls() {
  FCalls.Discard(this);
}

void TUpdater::Execute() {
  try {
    // The client is inside the guard too: a client that cannot be made is the run's failure,
    // not a lost thread.
    const std::unique_ptr<THttpClient> client = FRun.Options.NewClient(FRun.Options.Client);
    RunSteps(*client);
  } catch (const TTrustRefused& e) {
    if (!FStop.StopRequested()) {
      FError = e.what();
      FCause = e.Cause();
    }
  } catch (const std::exception& e) {
    // A stopped run ends without an error, whatever the stop cut short; and a failure must
    // never pass for success by an empty message.
    if (!FStop.StopRequested())
      FError = *e.what() != '\0' ? e.what() : "unexpected failure";
  } catch (...) {
    if (!FStop.StopRequested())
      FError = "unexpected failure";
  }
  Finish();
}

// The steps of a run. Each takes what it needs and returns what it found; each raises with a
// one-line message on failure.
void TUpdater::RunSteps(THttpClient& Client) {
  if (FRun.Options.CheckOnly) {
    if (std::optional<TCheckResult> check = RunUpdateCheck(FRun, Client)) {
      FCheck = std::move(*check);
      FBuild = FCheck.Build;
    }
    return;
  }
  const TTrust known = ReadTrust(FRun);
  TVerifiedRelease verified = FetchManifest(FRun, Client, known);
  FBuild = verified.Release.Build;
  // Held to the end of this function, so it is free again before UpdateDone is posted: a
  // launcher restarted after a self-update finds it free.
  const std::optional<TFolderLock> lock = LockGameFolder(FRun);
  if (!lock)
    return;
  const TInstalled installed = ReadInstalled(FRun);
  const TManifest release =
      TakeRelease(FRun, verified.Release, verified.Trust, RecordedBuild(installed)).Release;
  FBuild = release.Build;
  SaveTrust(FRun, verified.Trust);
  if (IsUpToDate(FRun.Dir, installed.Vouching(), release)) {
    Report(UpToDateLine(release.Build), 1, 1);
    return;
  }

  const TReleaseSources sources = SourcesOf(FRun, release, verified.Server);
  const std::vector<TRemoteFile> files = FetchFileList(FRun, Client, sources.Trees, release.List);
  // A launcher running from the game folder is replaced before anything else, and the new one
  // makes the whole run after its restart.
  const TRemoteFile* launcher = LauncherEntry(FRun, files);
  if (launcher != nullptr && !IsFileCurrent(FRun, *launcher, installed.Vouching())) {
    FRestart = UpdateLauncher(FRun, Client, sources.Objects, *launcher);
    return;
  }

  std::optional<TUpdatePlan> plan = CompareFiles(FRun, files, installed, launcher);
  if (!plan)
    return;
  if (!plan->Fetch.empty()) {
    RequireFittingNames(FRun.Dir, *plan);
    TSources stores(sources.Objects, FRun.Options.SteadySeconds);
    // Told also when the run fails, so that an operator sees which source failed.
    try {
      PlanChunkedFiles(FRun, Client, stores, *plan);
      if (FRun.StopRequested())
        return;
      RequireFreeSpace(FRun.Dir, *plan);
      DownloadQueue(FRun, stores, *plan);
    } catch (...) {
      PostSources(stores);
      throw;
    }
    PostSources(stores);
  }
  if (FRun.StopRequested())
    return;
  RemoveObsoleteFiles(FRun.Dir, plan->Remove);
  SaveInstalled(FRun.Dir, release, files);
  Report(UpToDateLine(release.Build), 1, 1);
}

void TUpdater::Report(const std::string& Text, int64_t Done, int64_t Total) {
  TUpdateView& view = FView;
  FCalls.Post(this, [&view, Text, Done, Total] { view.ShowProgress(Text, Done, Total); });
}

void TUpdater::PostSources(const TSources& Sources) {
  if (Sources.Count() < 2)
    return;
  TUpdateView& view = FView;
  FCalls.Post(this, [&view, reports = Sources.Reports()] { view.SourcesUsed(reports); });
}

void TUpdater::Finish() {
  // Reads FError and FRestart when it runs; neither changes after this post.
  FCalls.Post(this, [this] { FView.UpdateDone(FError, FRestart); });
}

}  // namespace vt
