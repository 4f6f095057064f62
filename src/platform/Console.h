#pragma once
// The terminal, for the console tools.

namespace vt {

// True when standard output is a terminal (lines may be redrawn).
bool StdoutIsTerminal();
// Columns of the terminal on standard output; 80 when unknown.
int TerminalColumns();
// Calls Handler (from a signal context: it may only set atomics) on the first Ctrl-C (or, on
// POSIX, SIGTERM); a second one ends the process at once.
void OnInterrupt(void (*Handler)());

}  // namespace vt
