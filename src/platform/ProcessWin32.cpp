#include <windows.h>
// after windows.h, whose types they use
#include <shellapi.h>

#include "platform/CommandLine.h"
#include "platform/Process.h"
#include "platform/WideWin32.h"

namespace vt {

std::string RunningExecutablePath() {
  return Utf8(GrowingText([](wchar_t* Buffer, unsigned long Size) {
    // Returns Size (text cut short) when the buffer is too small; GrowingText then doubles it.
    return ::GetModuleFileNameW(nullptr, Buffer, Size);
  }));
}

std::vector<std::string> CommandLineParams(int /*Argc*/, char** /*Argv*/) {
  return SplitCommandLine(Utf8(::GetCommandLineW()));
}

std::string AbsolutePath(const std::string& Path) {
  const std::wstring path = Wide(Path);
  const std::wstring full = GrowingText([&](wchar_t* Buffer, unsigned long Size) {
    return ::GetFullPathNameW(path.c_str(), Size, Buffer, nullptr);
  });
  return full.empty() ? Path : Utf8(full);
}

void StartDetached(const std::string& File, const std::vector<std::string>& Params,
                   const std::string& WorkDir, TParamText Form) {
  // No "\\?\" forms here: the shell takes ordinary paths only.
  const std::wstring file = Wide(File);
  const std::wstring params = Wide(ParamText(Params, Form));
  const std::wstring folder = Wide(WorkDir);
  ::ShellExecuteW(nullptr, L"open", file.c_str(), params.empty() ? nullptr : params.c_str(),
                  folder.empty() ? nullptr : folder.c_str(), SW_SHOWNORMAL);
}

}  // namespace vt
