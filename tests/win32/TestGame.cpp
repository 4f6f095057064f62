// A stand-in for the game's "vt.exe" in the Wine end-to-end test: it writes what it was started
// with to "vt-started.txt" beside itself and ends. UTF-8, one "name=value" line each:
// cmdline (the whole command line), arg (each parameter by the C runtime's rules, in order),
// cwd (the working folder).

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <fstream>
#include <string>

#include "platform/WideWin32.h"

namespace {

std::wstring ExeFolder() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring WorkingFolder() {
  std::wstring folder(32768, L'\0');
  folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
  return folder;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Written under another name and renamed, so that a reader never sees half a report.
  const std::wstring report = ExeFolder() + L"vt-started.txt";
  const std::wstring part = report + L".part";
  {
    std::ofstream out(part.c_str(), std::ios::binary | std::ios::trunc);
    out << "cmdline=" << vt::Utf8(GetCommandLineW()) << "\n";
    int count = 0;
    if (LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count)) {
      for (int i = 1; i < count; ++i)
        out << "arg=" << vt::Utf8(args[i]) << "\n";
      LocalFree(args);
    }
    out << "cwd=" << vt::Utf8(WorkingFolder()) << "\n";
    if (!out.flush())
      return 1;
  }
  return MoveFileExW(part.c_str(), report.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
