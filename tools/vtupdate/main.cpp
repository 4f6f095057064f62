// vtupdate: one update run in a terminal, with the launcher's engine. It never starts the game.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ConsoleView.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "shell/Options.h"
#include "update/Paths.h"
#include "update/ReleaseKey.h"
#include "update/Version.h"

namespace {

std::atomic<bool> GInterrupted{false};

void OnCtrlC() {
  GInterrupted.store(true);
}

void PrintHelp() {
  std::printf(
      "Usage: vtupdate [-dir FOLDER] [-url URL]\n"
      "\n"
      "Brings a Veltrano RPG game folder up to date from its update server, as the launcher\n"
      "does, without a window. It never starts the game.\n"
      "\n"
      "  -dir FOLDER  the game folder (default: the folder of this program); made when missing\n"
      "  -url URL     the update server's base URL (default: %s)\n"
      "  --help       this text\n"
      "  --version    the version of this program\n"
      "\n"
      "The update list must carry the publisher's signature, and every file is checked by size\n"
      "and SHA-256 before it replaces the old one in a single rename. Files the previous build\n"
      "had and the new one lacks are removed; \"installed.json\" records the installation.\n"
      "\n"
      "Exit status: 0 when the folder is up to date, 1 when the update failed (the reason on\n"
      "standard error), 130 when Ctrl-C stopped the run (a second Ctrl-C ends it at once).\n",
      vt::KDefaultUpdateUrl);
}

bool WantsHelp(const vt::TParams& Params) {
  for (const std::string& p : Params) {
    if (p == "--help" || p == "-h" || p == "-?" || p == "/?" || p == "-help")
      return true;
  }
  return false;
}

}  // namespace

int main(int Argc, char** Argv) {
  // UTF-8 on every platform (Windows' argv is in the ANSI code page).
  const vt::TParams params = vt::CommandLineParams(Argc, Argv);
  if (WantsHelp(params)) {
    PrintHelp();
    return 0;
  }
  if (params.size() == 1 && params[0] == "--version") {
    std::printf("vtupdate %s\n", vt::KVersion);
    return 0;
  }
  const std::string dir = vt::GameFolderOption(params, vt::FolderOf(vt::RunningExecutablePath()));
  const std::string url = vt::UrlOption(params, vt::KDefaultUpdateUrl);
  // A missing folder is made here; one that cannot be made fails the run with its reason.
  vt::CreateFolders(dir);

  std::mutex lock;
  std::condition_variable wake;
  bool posted = false;
  vt::TCallQueue queue([&] {
    std::lock_guard guard(lock);
    posted = true;
    wake.notify_one();
  });
  vt::TConsoleView view(vt::StdoutIsTerminal());
  vt::TUpdater updater(view, queue, dir, url);
  vt::OnInterrupt(OnCtrlC);
  updater.Start();

  while (!view.Finished()) {
    {
      std::unique_lock guard(lock);
      // Ctrl-C cannot notify a condition variable, so the wait is short.
      wake.wait_for(guard, std::chrono::milliseconds(100), [&] { return posted; });
      posted = false;
    }
    if (GInterrupted.load()) {
      updater.RequestStop();
      updater.Wait();
      queue.Discard(&updater);
      view.EndLine();
      std::fprintf(stderr, "Stopped: the game folder keeps every file placed so far.\n");
      return 130;
    }
    queue.RunPending();
  }
  view.EndLine();
  updater.Wait();
  if (!view.Error().empty()) {
    std::fprintf(stderr, "Update failed: %s\n", view.Error().c_str());
    return 1;
  }
  return 0;
}
