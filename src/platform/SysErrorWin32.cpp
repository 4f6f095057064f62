#include <windows.h>

#include "platform/SysError.h"
#include "platform/WideWin32.h"

namespace vt {
namespace {

// WinHTTP's codes (12001 to 12192) have their texts in winhttp.dll, not in the system's table.
constexpr DWORD KWinHttpFirst = 12000;
constexpr DWORD KWinHttpLast = 12999;

// The system's text for Code from Module (nullptr: the system's own table); empty if none.
std::wstring MessageText(DWORD Code, HMODULE Module) {
  const DWORD source = Module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
  wchar_t* buffer = nullptr;
  const DWORD length =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | source,
                       Module, Code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer != nullptr ? buffer : L"", length);
  ::LocalFree(buffer);
  return text;
}

// Windows keeps these texts in winhttp.dll; Wine's has none, so its runs would show only a
// number. The same words as Windows, for the failures an update meets.
const wchar_t* WinHttpFallback(DWORD Code) {
  switch (Code) {
    case 12002:
      return L"The operation timed out";
    case 12005:
      return L"The URL is invalid";
    case 12006:
      return L"The URL does not use a recognized protocol";
    case 12007:
      return L"The server name or address could not be resolved";
    case 12029:
      return L"A connection with the server could not be established";
    case 12030:
      return L"The connection with the server was terminated abnormally";
    case 12152:
      return L"The server returned an invalid or unrecognized response";
    case 12156:
      return L"The HTTP redirect request failed";
    case 12175:
      return L"A security error occurred";
    default:
      return L"";
  }
}

}  // namespace

std::string SystemErrorText(int Code) {
  const DWORD code = static_cast<DWORD>(Code);
  std::wstring text;
  if (code >= KWinHttpFirst && code <= KWinHttpLast) {
    if (HMODULE winhttp = ::GetModuleHandleW(L"winhttp.dll"))
      text = MessageText(code, winhttp);
  }
  if (text.empty())
    text = MessageText(code, nullptr);
  if (text.empty())
    text = WinHttpFallback(code);
  std::string utf8 = Utf8(text);
  while (!utf8.empty()) {
    const unsigned char last = static_cast<unsigned char>(utf8.back());
    if (last > ' ' && last != '.')
      break;
    utf8.pop_back();
  }
  if (utf8.empty())
    utf8 = "error " + std::to_string(code);
  return utf8;
}

}  // namespace vt
