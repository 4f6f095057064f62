#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/Console.h"

namespace vt {

namespace {
void (*GInterruptHandler)() = nullptr;

extern "C" void OnSigint(int) {
  if (GInterruptHandler)
    GInterruptHandler();
}
}  // namespace

bool StdoutIsTerminal() {
  return ::isatty(STDOUT_FILENO) == 1;
}

int TerminalColumns() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  return 80;
}

void OnInterrupt(void (*Handler)()) {
  GInterruptHandler = Handler;
  struct sigaction action {};
  action.sa_handler = OnSigint;
  sigemptyset(&action.sa_mask);
  // The first Ctrl-C asks for a clean stop; the handler is then reset, so a second one ends
  // the process the ordinary way. SIGTERM (a service manager's stop) is taken the same way.
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace vt
