#pragma once
// The one way the window reports an error that escaped its work: exceptions never unwind
// through the toolkit's C frames (GTK callbacks, window procedures).

#include <functional>
#include <string>

namespace vt {

// A modal error box titled "Veltrano RPG"; returns when the user has closed it. Each window
// (GTK, Win32) supplies its own.
void ShowErrorBox(const std::string& Text);

// Runs Call and shows any exception that escapes it with ShowErrorBox; the program then keeps
// running. False when Call raised.
bool RunGuarded(const std::function<void()>& Call);

}  // namespace vt
