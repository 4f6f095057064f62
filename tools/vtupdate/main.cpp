// vtupdate: one update run in a terminal, with the launcher's engine. It never starts the game.

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "ConsoleView.h"
#include "JsonView.h"
#include "UpdateCommand.h"
#include "format/GameFolder.h"
#include "format/Manifest.h"
#include "format/Paths.h"
#include "format/ReleaseKey.h"
#include "format/Version.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "update/RunToEnd.h"

namespace vt {
namespace {

// How often the main thread looks at the stop flag, which a signal cannot wake it for.
constexpr auto KPollInterval = std::chrono::milliseconds(100);

std::atomic<bool> GInterrupted{false};

void OnStopSignal() {
  GInterrupted.store(true);
}

// One run of Command, whose calls the main thread runs here.
TRunEnd RunOnce(const TUpdateCommand& Command, TRunReport& Report,
                const std::shared_ptr<TRateLimit>& Limit) {
  // A missing folder is made here; one that cannot be made fails the run with its reason. A
  // check makes nothing.
  if (!Command.Check) {
    if (const TSysStatus made = CreateFolders(Command.Dir); !made && !FolderExists(Command.Dir)) {
      return {TRunEnd::TOutcome::Failed,
              "cannot create the folder " + Command.Dir + " - " + made.Text(),
              0,
              {},
              {}};
    }
  }
  TUpdaterOptions options;
  options.Channel = Command.Channel;
  options.Verify = Command.Verify;
  options.WaitForLock = Command.WaitLock;
  options.SkipRollout = Command.SkipRollout;
  options.Mirrors = Command.Mirrors;
  options.MirrorsFirst = Command.MirrorFirst;
  options.CheckOnly = Command.Check;
  options.RateLimit = Limit;
  return RunToEnd(
      Report, Command.Dir, Command.Url, std::move(options), [] { return GInterrupted.load(); },
      [&] { Report.Tick(); });
}

// Waits Seconds; false when a stop signal came first.
bool WaitUnlessStopped(double Seconds) {
  using TClock = std::chrono::steady_clock;
  const TClock::time_point until = TClock::now() + std::chrono::duration_cast<TClock::duration>(
                                                       std::chrono::duration<double>(Seconds));
  for (TClock::time_point now = TClock::now(); now < until; now = TClock::now()) {
    if (GInterrupted.load())
      return false;
    std::this_thread::sleep_for(std::min<TClock::duration>(until - now, KPollInterval));
  }
  return !GInterrupted.load();
}

// Runs Command with its retries and returns the exit status.
int Run(const TUpdateCommand& Command, TRunReport& Report) {
  OnInterrupt(OnStopSignal);
  // One limit for every attempt, so that a quick failure does not refill the budget.
  const std::shared_ptr<TRateLimit> limit =
      Command.LimitRate > 0 ? std::make_shared<TRateLimit>(Command.LimitRate) : nullptr;
  const int attempts = Command.Retries + 1;
  std::mt19937_64 random(std::random_device{}());
  std::uniform_real_distribution<double> jitter(0.0, 1.0);
  for (int attempt = 1;; ++attempt) {
    const TRunEnd end = RunOnce(Command, Report, limit);
    if (end.Outcome == TRunEnd::TOutcome::Stopped) {
      Report.Stopped();
      return KExitStopped;
    }
    if (end.Outcome == TRunEnd::TOutcome::Finished) {
      if (!Command.Check) {
        Report.Succeeded(end.Build);
        return KExitUpToDate;
      }
      Report.Checked(end.Build, end.Check);
      return end.Check.Update ? KExitUpdateAvailable : KExitUpToDate;
    }
    // A manifest that is not signed, or keys that do not verify, stay so however often they
    // are fetched; a stale release may pass once a cache has caught up.
    const std::string& error = end.Error;
    if (attempt >= attempts || end.Cause == "signature" || end.Cause == "keys") {
      Report.Failed(error, end.Cause, Command.Check);
      return KExitFailed;
    }
    const double wait = RetryDelaySeconds(attempt, jitter(random));
    Report.AttemptFailed(error, attempt, attempts, wait);
    if (!WaitUnlessStopped(wait)) {
      Report.Stopped();
      return KExitStopped;
    }
  }
}

// The folder vtupdate runs from when it is a game folder (it holds the record), else empty.
std::string ProgramGameFolder() {
  const std::string folder = FolderOf(RunningExecutablePath());
  if (folder.empty() || !GetFileInfo(folder + KInstalledName))
    return {};
  return folder;
}

}  // namespace
}  // namespace vt

int main(int Argc, char** Argv) {
  // UTF-8 on every platform (Windows' argv is in the ANSI code page).
  const std::vector<std::string> params = vt::CommandLineParams(Argc, Argv);
  vt::TUpdateCommand command;
  try {
    command = vt::ParseUpdateCommand(params, vt::ProgramGameFolder(), vt::KDefaultUpdateUrl);
  } catch (const vt::TUsageError& e) {
    vt::WriteStderr(std::string("vtupdate: ") + e.what() + "\n");
    return vt::KExitUsage;
  }
  if (command.Help) {
    vt::WriteStdout(vt::HelpText(vt::KDefaultUpdateUrl));
    return vt::KExitUpToDate;
  }
  if (command.Version) {
    vt::WriteStdout(std::string("vtupdate ") + vt::KVersion + "\n");
    return vt::KExitUpToDate;
  }
  if (command.Json) {
    vt::TJsonView view(command.Verify);
    return vt::Run(command, view);
  }
  vt::TConsoleView view(vt::StdoutIsTerminal(), command.Check);
  return vt::Run(command, view);
}
