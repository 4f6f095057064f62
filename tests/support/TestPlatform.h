#pragma once
// What the tests must know of the platform they run on.

#ifdef _WIN32
#include <windows.h>
#endif

namespace vt::test {

// True when the Windows build runs under Wine, which differs from Windows in a few known ways.
#ifdef _WIN32
inline bool UnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#else
inline bool UnderWine() {
  return false;
}
#endif

}  // namespace vt::test
