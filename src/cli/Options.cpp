#include "cli/Options.h"

#include <charconv>
#include <cmath>

#include "format/Paths.h"
#include "format/Text.h"
#include "platform/Files.h"
#include "platform/Process.h"

namespace vt {

namespace {

bool IsSwitch(std::string_view Param, std::string_view Name) {
  return Param.size() == Name.size() + 1 && (Param[0] == '-' || Param[0] == '/') &&
         AsciiLower(Param.substr(1)) == AsciiLower(Name);
}

}  // namespace

std::string SwitchValue(const TParams& Params, std::string_view Name, bool SlashStartsValue) {
  for (size_t i = 0; i < Params.size(); ++i) {
    if (!IsSwitch(Params[i], Name))
      continue;
    // Only the first occurrence counts, usable value or not.
    if (i + 1 >= Params.size())
      return {};
    const std::string& value = Params[i + 1];
    if (!value.empty() && (value[0] == '-' || (value[0] == '/' && !SlashStartsValue)))
      return {};
    return value;
  }
  return {};
}

std::vector<std::string> SwitchValues(const TParams& Params, std::string_view Name) {
  std::vector<std::string> values;
  for (size_t i = 0; i + 1 < Params.size(); ++i) {
    if (IsSwitch(Params[i], Name))
      values.push_back(Params[++i]);
  }
  return values;
}

bool HasSwitch(const TParams& Params, std::string_view Name) {
  for (const std::string& param : Params) {
    if (IsSwitch(param, Name))
      return true;
  }
  return false;
}

std::string GameFolderValue(const std::string& Value) {
  return WithTrailing(AbsolutePath(Value), KPathSeparator);
}

std::string BaseUrlValue(const std::string& Value) {
  return WithTrailing(Value, '/');
}

std::string GameFolderOption(const TParams& Params, const std::string& DefaultDir) {
  // Where "/" separates paths an absolute folder begins with it, so it cannot mark a switch.
  const std::string value = SwitchValue(Params, "dir", KPathSeparator == '/');
  if (value.empty())
    // Without a known program folder the working folder serves, never the file system's root.
    return WithTrailing(DefaultDir.empty() ? AbsolutePath(".") : DefaultDir, KPathSeparator);
  return GameFolderValue(value);
}

std::string UrlOption(const TParams& Params, const std::string& DefaultUrl) {
  const std::string value = SwitchValue(Params, "url");
  return BaseUrlValue(value.empty() ? DefaultUrl : value);
}

int64_t ParseRate(const std::string& Text) {
  double number = 0;
  const char* end = Text.data() + Text.size();
  const auto [ptr, error] = std::from_chars(Text.data(), end, number, std::chars_format::fixed);
  if (Text.empty() || error != std::errc() || !std::isfinite(number) || number <= 0)
    return 0;
  double unit = 1;
  if (ptr != end) {
    if (ptr + 1 != end)
      return 0;
    switch (*ptr) {
      case 'k':
      case 'K':
        unit = 1024.0;
        break;
      case 'm':
      case 'M':
        unit = 1048576.0;
        break;
      case 'g':
      case 'G':
        unit = 1073741824.0;
        break;
      default:
        return 0;
    }
  }
  const double bytes = std::floor(number * unit);
  // Past a terabyte a second there is nothing left to limit.
  if (bytes < 1 || bytes > 1099511627776.0)
    return 0;
  return static_cast<int64_t>(bytes);
}

}  // namespace vt
