// vtlaunch: the launcher window on Linux. Brings the game folder up to date, then starts the
// game (or offers to start it anyway, try again or quit).

#include <glib.h>
#include <gtk/gtk.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Process.h"
#include "shell/LaunchForm.h"
#include "shell/SystemStarter.h"
#include "shell/gtk/GtkWindow.h"
#include "update/ReleaseKey.h"

namespace {

// For the start-up benchmark: the wall-clock time of the first frame and what it showed.
void ReportFirstFrame(const std::string& Status) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::fprintf(stderr, "first frame: %lld%09ld ns, status \"%s\"\n",
               static_cast<long long>(now.tv_sec), now.tv_nsec, Status.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  g_set_application_name("Veltrano RPG");
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

  // Destroyed in reverse: the form (which stops its run) before the window, the queue last.
  vt::TGtkWaker waker;
  vt::TCallQueue queue([&waker] { waker.WakeUp(); });
  waker.Attach(queue);
  vt::TSystemStarter starter;
  vt::TGtkWindow window;
  {
    vt::TLaunchForm form(window, queue, starter, std::move(settings));
    window.OnCloseBox([&form] { form.Quit(); });
    if (std::getenv("VT_REPORT_FIRST_FRAME") != nullptr)
      window.OnFirstFrame([&window] { ReportFirstFrame(window.StatusText()); });
    if (!window.Closed())
      gtk_main();
    window.OnCloseBox({});
  }
  return 0;
}
