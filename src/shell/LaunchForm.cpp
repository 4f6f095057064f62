#include "shell/LaunchForm.h"

#include <cmath>
#include <exception>
#include <memory>
#include <utility>

#include "format/GameFolder.h"
#include "format/Paths.h"
#include "platform/Files.h"
#include "update/RateLimit.h"

namespace vt {

namespace {

// The launcher's project file: its presence marks the launcher's own source folder.
constexpr const char* KSourceMarker = "vtlaunch.dpr";
constexpr const char* KStartingText = "Starting...";
constexpr const char* KSourceFolderText =
    "Source folder: nothing is installed here. Use -dir <folder> (Run > Parameters).";
constexpr const char* KGameMissingText = "vt.exe is missing - try again or reinstall the game.";
constexpr const char* KStartingGameText = "Starting the game...";
constexpr const char* KFailedPrefix = "Update failed: ";

constexpr int KFullBar = 1000;

bool IsFile(const std::string& Path) {
  return GetFileInfo(Path).has_value();
}

TLaunchSettings WithSelfPath(TLaunchSettings Settings) {
  Settings.Options.SelfPath = Settings.ExePath;
  return Settings;
}

}  // namespace

TLaunchForm::TLaunchForm(TWindowControl& Window, TCallQueue& Queue, TProgramStarter& Starter,
                         TLaunchSettings Settings)
    : FWindow(Window),
      FQueue(Queue),
      FStarter(Starter),
      FSettings(WithSelfPath(std::move(Settings))) {
  FDir = GameFolderOption(FSettings.Params, FolderOf(FSettings.ExePath));
  FSourceFolder = IsFile(FDir + KSourceMarker);
  FUrl = UrlOption(FSettings.Params, FSettings.DefaultUrl);
  LoadPicture();

  FWindow.Status().SetText(KStartingText);
  FWindow.Status().SetTooltip({});
  FWindow.Bar().SetPosition(0);
  FWindow.PlayButton().SetVisible(false);
  FWindow.RetryButton().SetVisible(false);
  FWindow.QuitButton().SetVisible(true);
  FWindow.PlayButton().OnClick([this] {
    if (!FClosed)
      StartGame();
  });
  FWindow.RetryButton().OnClick([this] {
    if (!FClosed)
      StartUpdate();
  });
  FWindow.QuitButton().OnClick([this] { Quit(); });

  // A launcher that is still ending keeps its old file; a later start removes it.
  RemoveFile(FDir + KOldLauncherName);
  // Tagged with the form, so that a form destroyed before the loop ran never runs it.
  FQueue.Post(this, [this] {
    if (!FClosed)
      StartUpdate();
  });
}

TLaunchForm::~TLaunchForm() {
  FClosed = true;
  FQueue.Discard(this);
  StopWorker();
  // The controls may outlive the form; their clicks must not reach it.
  FWindow.PlayButton().OnClick({});
  FWindow.RetryButton().OnClick({});
  FWindow.QuitButton().OnClick({});
}

void TLaunchForm::ShowProgress(const std::string& Text, int64_t Done, int64_t Total) {
  if (FClosed)
    return;
  FWindow.Status().SetText(Text);
  FWindow.Bar().SetPosition(BarPosition(Done, Total));
}

void TLaunchForm::UpdateDone(const std::string& Error, bool Restart) {
  if (FClosed)
    return;
  if (Restart)
    RestartLauncher();
  else if (Error.empty())
    StartGame();
  else
    ShowFailure(Error);
}

void TLaunchForm::Quit() {
  if (FClosed)
    return;
  // Stopping here rather than only at destruction: a toolkit may still run queued calls
  // between the close and the end of its loop, and none of them may start anything.
  StopWorker();
  CloseWindow();
}

void TLaunchForm::LoadPicture() {
  const std::string picture = JoinLocalPath(FDir, KPicturePath);
  if (!IsFile(picture))
    return;
  try {
    FWindow.LoadPicture(picture);
  } catch (const std::exception&) {
    // A damaged picture leaves the plain background; it is no reason not to update.
  }
}

void TLaunchForm::StartUpdate() {
  FWindow.PlayButton().SetVisible(false);
  FWindow.RetryButton().SetVisible(false);
  if (FSourceFolder) {
    FWindow.Status().SetText(KSourceFolderText);
    return;
  }
  if (HasSwitch(FSettings.Params, "noupdate")) {
    StartGame();
    return;
  }
  StopWorker();
  // A folder that cannot be made fails the run, which then names the reason.
  CreateFolders(FDir);
  TUpdaterOptions options = FSettings.Options;
  // "-channel NAME": follow that channel from now on; the engine refuses a name that is not one.
  options.Channel = SwitchValue(FSettings.Params, "channel");
  // "-mirror URL" (repeatable): a server with a copy of the tree, such as a LAN cache; with
  // "-mirror-first" asked before the others. The engine refuses a value that is no URL.
  for (const std::string& mirror : SwitchValues(FSettings.Params, "mirror"))
    options.Mirrors.push_back(BaseUrlValue(mirror));
  options.MirrorsFirst = HasSwitch(FSettings.Params, "mirror-first");
  // "-repair": trust no record, hash every file and fetch what differs.
  options.Verify = options.Verify || HasSwitch(FSettings.Params, "repair");
  // "-limit-rate 8M": the downloads together stay under the rate, in vtupdate's units.
  if (HasSwitch(FSettings.Params, "limit-rate")) {
    const std::string rate = SwitchValue(FSettings.Params, "limit-rate");
    const int64_t bytes = ParseRate(rate);
    if (bytes <= 0) {
      ShowFailure("the switch -limit-rate needs a rate such as 8M or 500K, not \"" + rate + "\"");
      return;
    }
    options.RateLimit = std::make_shared<TRateLimit>(bytes);
  }
  FWorker = std::make_unique<TUpdater>(*this, FQueue, FDir, FUrl, std::move(options));
  FWorker->Start();
}

void TLaunchForm::StopWorker() {
  if (!FWorker)
    return;
  FWorker->RequestStop();
  // The queue is not pumped while this waits, so nothing the run posts can act meanwhile;
  // after the wait it posts nothing more, and its leftovers are dropped before they run.
  FWorker->Wait();
  FWorker->DiscardCalls();
  FWorker.reset();
}

void TLaunchForm::StartGame() {
  if (!GameExists()) {
    FWindow.Status().SetText(KGameMissingText);
    FWindow.RetryButton().SetVisible(true);
    return;
  }
  FWindow.Status().SetText(KStartingGameText);
  try {
    FStarter.Start(FDir + KGameName, {KGameParam}, FDir, TParamText::AsIs);
  } catch (const std::exception&) {
    // A start that fails is not reported; the launcher closes all the same.
  }
  CloseWindow();
}

void TLaunchForm::RestartLauncher() {
  try {
    FStarter.Start(FDir + KLauncherName, FSettings.Params, FDir, TParamText::Quoted);
  } catch (const std::exception&) {
    // As with the game: the launcher closes whether or not the new one starts.
  }
  CloseWindow();
}

void TLaunchForm::ShowFailure(const std::string& Error) {
  FWindow.Status().SetText(KFailedPrefix + Error);
  FWindow.Status().SetTooltip(Error);
  FWindow.RetryButton().SetVisible(true);
  FWindow.PlayButton().SetVisible(GameExists());
}

bool TLaunchForm::GameExists() const {
  return IsFile(FDir + KGameName);
}

void TLaunchForm::CloseWindow() {
  FClosed = true;
  FQueue.Discard(this);
  FWindow.Close();
}

int BarPosition(int64_t Done, int64_t Total) {
  if (Total <= 0)
    return 0;
  // Extended precision (a 64-bit mantissa on x86), in which halves such as 1000 * 1 / 16 come
  // out exact; the rounding below is spelled out so that it does not depend on the
  // floating-point environment.
  const long double quotient = static_cast<long double>(Done) / static_cast<long double>(Total);
  const long double product = 1000.0L * quotient;
  if (product >= KFullBar)
    return KFullBar;
  // A negative count is no position; without this it would reach the bar as one.
  if (product <= 0)
    return 0;
  const long double whole = std::floor(product);
  const long double fraction = product - whole;  // exact for values below 1000
  int position = static_cast<int>(whole);
  if (fraction > 0.5L || (fraction == 0.5L && position % 2 != 0))
    ++position;
  return position;
}

}  // namespace vt
