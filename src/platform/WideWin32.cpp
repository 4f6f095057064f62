#include "platform/WideWin32.h"

#include <windows.h>

#include <climits>

namespace vt {

std::wstring Wide(std::string_view Utf8) {
  if (Utf8.empty() || Utf8.size() > INT_MAX)
    return {};
  const int size = static_cast<int>(Utf8.size());
  const int need = ::MultiByteToWideChar(CP_UTF8, 0, Utf8.data(), size, nullptr, 0);
  std::wstring text(static_cast<size_t>(need), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, Utf8.data(), size, text.data(), need);
  return text;
}

std::string Utf8(std::wstring_view Wide) {
  if (Wide.empty() || Wide.size() > INT_MAX)
    return {};
  const int size = static_cast<int>(Wide.size());
  const int need =
      ::WideCharToMultiByte(CP_UTF8, 0, Wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(need), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, Wide.data(), size, text.data(), need, nullptr, nullptr);
  return text;
}

std::wstring WidePath(const std::string& Path) {
  std::wstring path = Wide(Path);
  for (wchar_t& c : path) {
    if (c == L'/')
      c = L'\\';
  }
  if (path.empty() || path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\"))
    return path;
  // GetFullPathNameW gives what the call would have made of the path itself: after "\\?\"
  // the system takes every name literally, so "." parts must be gone by then.
  std::wstring full = GrowingText([&](wchar_t* Buffer, unsigned long Size) {
    return ::GetFullPathNameW(path.c_str(), Size, Buffer, nullptr);
  });
  if (full.empty() || full.starts_with(L"\\\\.\\") || full.starts_with(L"\\\\?\\"))
    return full.empty() ? path : full;
  if (full.starts_with(L"\\\\"))
    return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace vt
