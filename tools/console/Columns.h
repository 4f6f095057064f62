#pragma once
// How much of a text a terminal line shows.

#include <cstddef>
#include <string>
#include <string_view>

namespace vt {

// Text as one line of a terminal at most Columns wide: cut after the last whole character that
// fits (KeepEnd: before the first whole character of the end that fits), East Asian wide
// characters counted as two columns and combining marks as none. Control characters and bytes
// that are not valid UTF-8 show as "?", so that the text can neither drive the terminal nor
// break the line.
std::string FitToColumns(std::string_view Text, size_t Columns, bool KeepEnd = false);

// The columns FitToColumns counts for the whole of Text.
size_t DisplayColumns(std::string_view Text);

}  // namespace vt
