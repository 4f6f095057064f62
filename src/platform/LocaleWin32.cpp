#include <windows.h>

#include "platform/Locale.h"
#include "platform/WideWin32.h"

namespace vt {

std::string UserDecimalSeparator() {
  // LOCALE_SDECIMAL holds at most three characters and the NUL.
  wchar_t buffer[8] = {};
  const int length = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 8);
  if (length <= 1)
    return ".";
  return Utf8(std::wstring_view(buffer, static_cast<size_t>(length - 1)));
}

}  // namespace vt
