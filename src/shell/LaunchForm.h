#pragma once
// TLaunchForm: the launcher window's logic. It settles the options, owns the update run, shows
// what the run reports and decides what follows: start the game, restart the launcher, or
// offer "Try again", "Play anyway" and "Quit".

#include <memory>
#include <string>

#include "cli/Options.h"
#include "format/GameFolder.h"
#include "shell/Controls.h"
#include "update/CallQueue.h"
#include "update/Updater.h"

namespace vt {

struct TLaunchSettings {
  TParams Params;           // the launcher's parameters, program name excluded
  std::string ExePath;      // full path of the running launcher
  std::string DefaultUrl;   // the built-in update server
  TUpdaterOptions Options;  // handed to every run (SelfPath is set from ExePath)
};

// The parameter the game is started with.
constexpr const char* KGameParam = "-launched";

class TLaunchForm : public TUpdateView {
 public:
  // Settles the options, loads the picture, deletes a left-over "vtlaunch.old" and queues the
  // first StartUpdate on Queue, so that it runs once the loop runs. Window, Queue and Starter
  // must outlive the form.
  TLaunchForm(TWindowControl& Window, TCallQueue& Queue, TProgramStarter& Starter,
              TLaunchSettings Settings);
  // Stops and frees the current run; none of its results acts on the window.
  ~TLaunchForm() override;
  TLaunchForm(const TLaunchForm&) = delete;
  TLaunchForm& operator=(const TLaunchForm&) = delete;

  void ShowProgress(const std::string& Text, int64_t Done, int64_t Total) override;
  void UpdateDone(const std::string& Error, bool Restart) override;

  // What "Quit" does, and what the window's close box should do: stops the current run at once,
  // so that nothing it still reports can start the game or a restart, then closes the window.
  void Quit();

  const std::string& Dir() const { return FDir; }
  const std::string& Url() const { return FUrl; }
  bool SourceFolder() const { return FSourceFolder; }

 private:
  void LoadPicture();
  void StartUpdate();
  void StopWorker();
  void StartGame();
  void RestartLauncher();
  void ShowFailure(const std::string& Error);
  bool GameExists() const;
  // Closes the window; from here on the form acts on nothing more.
  void CloseWindow();

  TWindowControl& FWindow;
  TCallQueue& FQueue;
  TProgramStarter& FStarter;
  const TLaunchSettings FSettings;
  std::string FDir;
  std::string FUrl;
  bool FSourceFolder = false;
  bool FClosed = false;
  std::unique_ptr<TUpdater> FWorker;
};

// The bar position for Done of Total: 1000 * Done / Total in extended precision, rounded to
// nearest with halves to even, capped at 1000; 0 when Total is 0 or less, or Done negative.
int BarPosition(int64_t Done, int64_t Total);

}  // namespace vt
