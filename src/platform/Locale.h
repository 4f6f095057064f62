#pragma once

#include <string>

namespace vt {

// The decimal separator of the user's regional settings ("." when they cannot be read).
std::string UserDecimalSeparator();

}  // namespace vt
