// vtlaunch: the launcher window on Linux. Brings the game folder up to date, then starts the
// game (or offers to start it anyway, try again or quit).

#include <glib.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <string>

#include "cli/Options.h"
#include "format/Paths.h"
#include "format/ReleaseKey.h"
#include "format/Version.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "shell/ErrorBox.h"
#include "shell/LaunchForm.h"
#include "shell/SystemStarter.h"
#include "shell/gtk/GtkWindow.h"

namespace {

void PrintHelp() {
  std::printf(
      "Usage: vtlaunch [-dir FOLDER] [-url URL] [-channel NAME] [-mirror URL]... [-mirror-first]\n"
      "                [-repair] [-limit-rate RATE] [-noupdate]\n"
      "\n"
      "Brings the Veltrano RPG game folder up to date from its update server and starts the\n"
      "game (vt.exe) in it.\n"
      "\n"
      "  -dir FOLDER    the game folder (default: the folder of this program); made when missing\n"
      "  -url URL       the update server's base URL (default: %s)\n"
      "  -channel NAME  follow the publisher's channel NAME (\"beta\") from now on\n"
      "  -mirror URL    also fetch from URL, a server with a copy of the update server's tree\n"
      "                 (a LAN cache; repeatable), after the mirrors the update server names\n"
      "  -mirror-first  try the -mirror servers before all others\n"
      "  -repair        trust no record: hash every file and fetch what differs (for a game\n"
      "                 that crashes on a damaged file)\n"
      "  -limit-rate RATE  keep the downloads under RATE bytes a second, e.g. 8M or 500K\n"
      "  -noupdate      start the game without asking the server\n"
      "  --help         this text\n"
      "  --version      the version of this program\n",
      vt::KDefaultUpdateUrl);
}

// Without -dir the game folder is the program's own; where that cannot be written (an
// installed program in /usr/bin) the launcher must not try to install the game there.
std::string UnwritableDefaultFolder(const vt::TParams& Params, const std::string& ExePath) {
  if (vt::HasSwitch(Params, "dir"))
    return {};
  const std::string folder = vt::FolderOf(ExePath);
  return vt::CanWriteFolder(folder) ? std::string() : folder;
}

int RunLauncher(vt::TLaunchSettings Settings) {
  // Destroyed in reverse: the form (which stops its run) before the window, the queue last.
  vt::TGtkWaker waker;
  vt::TCallQueue queue([&waker] { waker.WakeUp(); });
  waker.Attach(queue);
  vt::TSystemStarter starter;
  vt::TGtkWindow window;
  {
    vt::TLaunchForm form(window, queue, starter, std::move(Settings));
    window.OnCloseBox([&form] { form.Quit(); });
    if (!window.Closed())
      gtk_main();
    window.OnCloseBox({});
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Told without a window, on a terminal (no rule of the Windows launcher covers these).
  if (argc == 2 && std::string(argv[1]) == "--help") {
    PrintHelp();
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("vtlaunch %s\n", vt::KVersion);
    return 0;
  }
  g_set_application_name("Veltrano RPG");
  const std::string unwritable =
      UnwritableDefaultFolder(vt::TParams(argv + 1, argv + argc), vt::RunningExecutablePath());
  if (!unwritable.empty()) {
    const std::string text = "vtlaunch cannot install the game in " + unwritable +
                             ", which is not writable - give a game folder of yours with -dir, "
                             "for example: vtlaunch -dir ~/Games/Veltrano";
    std::fprintf(stderr, "%s\n", text.c_str());
    if (gtk_init_check(&argc, &argv))
      vt::ShowErrorBox(text);
    return 1;
  }
  // The window draws with cairo alone: without this GDK loads the GL driver to pick visuals,
  // which costs most of the time to the first frame. Not passed on to the game.
  const bool setGl = g_getenv("GDK_GL") == nullptr;
  if (setGl)
    g_setenv("GDK_GL", "disable", TRUE);
  gtk_init(&argc, &argv);  // removes GTK's own options, leaves the launcher's
  if (setGl)
    g_unsetenv("GDK_GL");
  gtk_window_set_default_icon_name("vtlaunch");

  vt::TLaunchSettings settings;
  for (int i = 1; i < argc; ++i)
    settings.Params.emplace_back(argv[i]);
  settings.ExePath = vt::RunningExecutablePath();
  settings.DefaultUrl = vt::KDefaultUpdateUrl;
  // Nothing may leave main as an exception: the user is told, and the program ends.
  int status = 1;
  vt::RunGuarded([&] { status = RunLauncher(std::move(settings)); });
  return status;
}
