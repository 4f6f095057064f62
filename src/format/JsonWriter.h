#pragma once
// The one JSON form this system writes: no white space, "/" escaped, and every character above
// 127 as \u escapes of its UTF-16 code units, so the text is pure ASCII.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

// Appends Text (UTF-8) as a quoted JSON string. Bytes that are not valid UTF-8 are written as
// U+FFFD, so the output is always valid JSON.
void AppendJsonString(std::string& Out, std::string_view Text);

// Appends "Name": with Name quoted as above.
void AppendJsonName(std::string& Out, std::string_view Name);

void AppendJsonInt(std::string& Out, int64_t Value);
// Appends an array of the strings of Items.
void AppendJsonStrings(std::string& Out, const std::vector<std::string>& Items);

}  // namespace vt
