#pragma once

#include <cstdint>

namespace vt {

// Whole seconds from 1970-01-01 00:00:00 to the local date and time, the local reading taken
// as if it were UTC (so it differs from Unix time by the local offset).
int64_t LocalClockSeconds();

// Whole seconds from 1970-01-01 00:00:00 UTC to now (Unix time).
int64_t UtcClockSeconds();

}  // namespace vt
