// vtlaunch.exe: the launcher window on Windows. Brings the game folder up to date, then starts
// the game (or offers to start it anyway, try again or quit).

#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>

#include <utility>

#include "format/ReleaseKey.h"
#include "platform/Process.h"
#include "shell/ErrorBox.h"
#include "shell/LaunchForm.h"
#include "shell/SystemStarter.h"
#include "shell/win32/ComPtr.h"
#include "shell/win32/Win32Waker.h"
#include "shell/win32/Win32Window.h"

namespace {

void UseCommonControls() {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES;
  InitCommonControlsEx(&controls);
}

// Until the window closes. Keyboard navigation between the buttons as in a dialog.
void RunMessageLoop(HWND Window) {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (IsDialogMessageW(Window, &message))
      continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void RunLauncher(HINSTANCE Instance) {
  vt::TLaunchSettings settings;
  // Windows takes the parameters from the process's own command line, not from argc and argv.
  settings.Params = vt::CommandLineParams(0, nullptr);
  settings.ExePath = vt::RunningExecutablePath();
  settings.DefaultUrl = vt::KDefaultUpdateUrl;

  // Destroyed in reverse: the form (which stops its run) before the window, the queue before
  // its waker.
  vt::TWin32Waker waker(Instance);
  vt::TCallQueue queue([&waker] { waker.WakeUp(); });
  waker.Attach(queue);
  vt::TSystemStarter starter;
  vt::TWin32Window window(Instance);
  vt::TLaunchForm form(window, queue, starter, std::move(settings));
  window.OnCloseBox([&form] { form.Quit(); });
  if (!window.Closed())
    RunMessageLoop(window.Handle());
  window.OnCloseBox({});
}

}  // namespace

int WINAPI wWinMain(HINSTANCE Instance, HINSTANCE, PWSTR, int) {
  // The shell (starting the game) and WIC (the picture) both want COM on this thread.
  vt::TComApartment com;
  UseCommonControls();
  // Nothing may leave wWinMain as an exception: the user is told, and the program ends.
  return vt::RunGuarded([Instance] { RunLauncher(Instance); }) ? 0 : 1;
}
