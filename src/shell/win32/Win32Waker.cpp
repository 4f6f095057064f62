#include "shell/win32/Win32Waker.h"

#include <stdexcept>

#include "shell/ErrorBox.h"

namespace vt {

namespace {

constexpr const wchar_t* KWakerClass = L"VeltranoLauncherWaker";
constexpr UINT KWakeMessage = WM_APP + 1;

}  // namespace

TWin32Waker::TWin32Waker(HINSTANCE Instance) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = Instance;
  windowClass.lpszClassName = KWakerClass;
  if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    throw std::runtime_error("cannot register the main thread's message window");
  FWindow =
      CreateWindowExW(0, KWakerClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, Instance, nullptr);
  if (!FWindow)
    throw std::runtime_error("cannot create the main thread's message window");
  SetWindowLongPtrW(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TWin32Waker::~TWin32Waker() {
  SetWindowLongPtrW(FWindow, GWLP_USERDATA, 0);
  DestroyWindow(FWindow);
}

void TWin32Waker::WakeUp() {
  if (FPending.exchange(true))
    return;
  // Should the post fail, the next wake-up tries again instead of waiting for a message that
  // never comes.
  if (!PostMessageW(FWindow, KWakeMessage, 0, 0))
    FPending = false;
}

LRESULT CALLBACK TWin32Waker::WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
  auto* self = reinterpret_cast<TWin32Waker*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
  if (Message != KWakeMessage || !self)
    return DefWindowProcW(Window, Message, WParam, LParam);
  self->RunQueue();
  return 0;
}

void TWin32Waker::RunQueue() {
  // Cleared first: a call posted while these run posts the next message.
  FPending = false;
  if (!FQueue)
    return;
  if (FRunning) {
    FAgain = true;
    return;
  }
  FRunning = true;
  do {
    FAgain = false;
    // A call that raised ends its round early; the calls behind it get another round, since
    // no message is coming for them.
    if (!RunGuarded([this] { FQueue->RunPending(); }))
      FAgain = true;
  } while (FAgain);
  FRunning = false;
}

}  // namespace vt
