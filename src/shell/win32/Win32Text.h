#pragma once
// UTF-8 inside the launcher, UTF-16 at the Win32 calls: the two conversions. (The error box the
// window reports with is declared in shell/ErrorBox.h.)

#include <string>
#include <string_view>

namespace vt {

// UTF-16 of a UTF-8 text; invalid sequences become U+FFFD.
std::wstring Widen(std::string_view Text);

// UTF-8 of a UTF-16 text; unpaired surrogates become U+FFFD.
std::string Narrow(std::wstring_view Text);

}  // namespace vt
