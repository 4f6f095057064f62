#pragma once
// Points in time as the signed documents write them: whole seconds since 1970-01-01 00:00:00
// UTC, shown as "2027-01-05T00:00:00Z".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vt {

// Exactly "YYYY-MM-DDTHH:MM:SSZ" (years 1970 to 9999) as Unix seconds; nothing for any other
// text or a date that does not exist.
std::optional<int64_t> ReadUtcTime(std::string_view Text);
// The same form of Seconds (from 0 to the end of year 9999).
std::string UtcTimeText(int64_t Seconds);
// Its date alone, "2027-01-05", as messages name it.
std::string UtcDateText(int64_t Seconds);

}  // namespace vt
