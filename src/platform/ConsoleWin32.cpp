#include <windows.h>

#include <atomic>

#include "platform/Console.h"

namespace vt {
namespace {

std::atomic<void (*)()> GInterruptHandler{nullptr};
std::atomic<int> GInterrupts{0};

// Runs on a thread of its own that the system starts for each Ctrl-C.
BOOL WINAPI OnCtrl(DWORD Type) {
  if (Type != CTRL_C_EVENT && Type != CTRL_BREAK_EVENT)
    return FALSE;
  // The first asks for a clean stop; a second falls through to the default, which ends us.
  if (GInterrupts.fetch_add(1) > 0)
    return FALSE;
  if (void (*handler)() = GInterruptHandler.load())
    handler();
  return TRUE;
}

}  // namespace

bool StdoutIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0)
      return columns;
  }
  return 80;
}

void OnInterrupt(void (*Handler)()) {
  GInterruptHandler = Handler;
  ::SetConsoleCtrlHandler(OnCtrl, TRUE);
}

}  // namespace vt
