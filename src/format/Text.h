#pragma once
// Small text rules shared by every layer: ASCII case folding and how byte counts are written.

#include <cstdint>
#include <string>
#include <string_view>

namespace vt {

// Letters A to Z turned to lower case; nothing else changes.
std::string AsciiLower(std::string_view Text);

// The progress lines' unit: a MiB.
constexpr double KBytesPerMb = 1048576.0;

// Value with one digit after Separator.
std::string DecimalText(double Value, const std::string& Separator);

// Bytes in MiB with one digit after Separator ("9.5" for 10,000,000 bytes): how every line and
// message that counts megabytes writes them.
std::string MegabytesText(int64_t Bytes, const std::string& Separator);

// The same with the user's decimal separator, as the progress lines and the engine's messages
// show it.
std::string MegabytesText(int64_t Bytes);

}  // namespace vt
