#pragma once
// UTF-8 inside the launcher, UTF-16 at the Win32 calls: the two conversions, and the one way the
// window reports an error to the user.

#include <functional>
#include <string>
#include <string_view>

namespace vt {

// UTF-16 of a UTF-8 text; invalid sequences become U+FFFD.
std::wstring Widen(std::string_view Text);

// UTF-8 of a UTF-16 text; unpaired surrogates become U+FFFD.
std::string Narrow(std::wstring_view Text);

// Shows Text in a modal error box titled "Veltrano RPG" that blocks the whole program.
void ShowErrorBox(const std::string& Text);

// Runs Call and shows any exception that escapes it with ShowErrorBox instead of letting it
// reach a window procedure (where it cannot unwind); the program then keeps running. False when
// Call raised.
bool RunGuarded(const std::function<void()>& Call);

}  // namespace vt
