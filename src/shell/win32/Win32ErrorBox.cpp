#include "shell/ErrorBox.h"

#include <windows.h>

#include "platform/WideWin32.h"

namespace vt {

namespace {

constexpr const wchar_t* KErrorTitle = L"Veltrano RPG";

}  // namespace

void ShowErrorBox(const std::string& Text) {
  // Task-modal: every window of the program is disabled while the box is up, so no click can
  // reach a handler that is half way through.
  MessageBoxW(nullptr, Wide(Text).c_str(), KErrorTitle, MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

}  // namespace vt
