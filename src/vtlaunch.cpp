// vtlaunch: the launcher window on Linux. Brings the game folder up to date, then starts the
// game (or offers to start it anyway, try again or quit).

#include <glib.h>
#include <gtk/gtk.h>

#include "platform/Process.h"
#include "shell/LaunchForm.h"
#include "shell/SystemStarter.h"
#include "shell/gtk/GtkWindow.h"
#include "update/ReleaseKey.h"

int main(int argc, char** argv) {
  g_set_application_name("Veltrano RPG");
  gtk_init(&argc, &argv);  // removes GTK's own options, leaves the launcher's
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
    if (!window.Closed())
      gtk_main();
    window.OnCloseBox({});
  }
  return 0;
}
