#include "shell/win32/Win32Text.h"
#include "shell/ErrorBox.h"

#include <windows.h>

#include <exception>

namespace vt {

namespace {

constexpr const wchar_t* KErrorTitle = L"Veltrano RPG";

}  // namespace

std::wstring Widen(std::string_view Text) {
  if (Text.empty())
    return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), wide.data(), size);
  return wide;
}

std::string Narrow(std::wstring_view Text) {
  if (Text.empty())
    return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), narrow.data(), size,
                      nullptr, nullptr);
  return narrow;
}

void ShowErrorBox(const std::string& Text) {
  // Task-modal: every window of the program is disabled while the box is up, so no click can
  // reach a handler that is half way through.
  MessageBoxW(nullptr, Widen(Text).c_str(), KErrorTitle, MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

}  // namespace vt
