#pragma once
// The launcher's command-line switches, and what a game folder or base URL given on a command
// line means, for vtlaunch and vtupdate alike. A launcher switch is "-" or "/" and its name in
// any letter case, standing alone as a whole parameter.

#include <cstdint>
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

// The parameter after each parameter that is the switch Name, in order (for a switch that may
// be repeated).
std::vector<std::string> SwitchValues(const TParams& Params, std::string_view Name);

// True when any parameter is the switch Name.
bool HasSwitch(const TParams& Params, std::string_view Name);

// The game folder a "-dir" value names: made absolute, ending in the separator.
std::string GameFolderValue(const std::string& Value);

// The base URL a "-url" value names: unchanged but for a "/" at its end.
std::string BaseUrlValue(const std::string& Value);

// The game folder: "-dir" made absolute, or DefaultDir; always ending in the separator.
std::string GameFolderOption(const TParams& Params, const std::string& DefaultDir);

// A rate such as "8M", "500K", "1.5m" or "65536" in bytes a second (K, M and G are 1024, 1024²
// and 1024³), as vtupdate's --limit-rate and vtlaunch's -limit-rate take it; 0 when Text is not
// a rate above zero.
int64_t ParseRate(const std::string& Text);

// The base URL: "-url" unchanged, or DefaultUrl; always ending in "/".
std::string UrlOption(const TParams& Params, const std::string& DefaultUrl);

}  // namespace vt
