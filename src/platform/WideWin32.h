#pragma once
// For the Windows implementation files only: UTF-8 inside, UTF-16 at the Win32 call.

#include <string>
#include <string_view>

namespace vt {

// UTF-16 of UTF-8 text; invalid sequences become U+FFFD.
std::wstring Wide(std::string_view Utf8);
// UTF-8 of UTF-16 text; unpaired surrogates become U+FFFD.
std::string Utf8(std::wstring_view Wide);

// Path for a Win32 file call that accepts the "\\?\" form, so that paths past MAX_PATH work:
// "/" made "\", made absolute against the current folder ("." and ".." resolved, as the call
// itself would), then prefixed with "\\?\" (or "\\?\UNC\" for a share). Device names and
// paths already in a "\\?\" or "\\.\" form are left as they are; an empty path stays empty.
std::wstring WidePath(const std::string& Path);

// A Win32 call's text output: Call(Buffer, Size) returns the length it needs (with or without
// the NUL, as Win32 calls do) or 0 on failure; the buffer grows until the text fits.
template <typename TCall>
std::wstring GrowingText(TCall Call, size_t Initial = 260) {
  std::wstring buffer(Initial, L'\0');
  for (;;) {
    const size_t need = Call(buffer.data(), static_cast<unsigned long>(buffer.size()));
    if (need == 0)
      return {};
    if (need < buffer.size()) {
      buffer.resize(need);
      return buffer;
    }
    // Some calls report the size they need, others only that the buffer was too small.
    buffer.resize(need + 1 > buffer.size() * 2 ? need + 1 : buffer.size() * 2);
  }
}

}  // namespace vt
