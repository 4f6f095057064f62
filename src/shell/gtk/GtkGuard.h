#pragma once
// Exceptions never unwind through GTK's C frames: every callback runs its work through
// RunGuarded, which tells the user in a message box, as the Windows window does.

#include <functional>
#include <string>

namespace vt {

// A modal error box titled "Veltrano RPG"; returns when the user has closed it.
void ShowErrorBox(const std::string& Text);

// Runs Call; an exception it raises is shown with ShowErrorBox and false returned.
bool RunGuarded(const std::function<void()>& Call);

}  // namespace vt
