#pragma once
// The launcher's command-line switches, shared by vtlaunch and vtupdate. A switch is "-" or
// "/" and its name in any letter case, standing alone as a whole parameter.

#include <string>
#include <string_view>
#include <vector>

namespace vt {

using TParams = std::vector<std::string>;

// The value after the first parameter that is the switch Name: empty when there is no such
// parameter, when nothing follows it, or when what follows begins with "-" or "/" (a value
// beginning with "/" is taken when SlashStartsValue, as an absolute path does where "/" is the
// path separator).
std::string SwitchValue(const TParams& Params, std::string_view Name,
                        bool SlashStartsValue = false);

// True when any parameter is the switch Name.
bool HasSwitch(const TParams& Params, std::string_view Name);

// The game folder: "-dir" made absolute, or DefaultDir; always ending in the separator.
std::string GameFolderOption(const TParams& Params, const std::string& DefaultDir);

// The base URL: "-url" unchanged, or DefaultUrl; always ending in "/".
std::string UrlOption(const TParams& Params, const std::string& DefaultUrl);

}  // namespace vt
