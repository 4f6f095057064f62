// The user's numeric conventions, read from the environment (LC_ALL, LC_NUMERIC, LANG) without
// touching the process's global locale, which other threads may be using.

#include <langinfo.h>
#include <locale.h>

#include "platform/Locale.h"

namespace vt {
namespace {

std::string ReadDecimalSeparator() {
  const locale_t locale = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0))
    return ".";
  const char* radix = ::nl_langinfo_l(RADIXCHAR, locale);
  // Copied before freelocale: the text belongs to the locale object.
  std::string separator = radix != nullptr && *radix != '\0' ? radix : ".";
  ::freelocale(locale);
  return separator;
}

}  // namespace

std::string UserDecimalSeparator() {
  static const std::string separator = ReadDecimalSeparator();
  return separator;
}

}  // namespace vt
