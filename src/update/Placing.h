#pragma once
// Where a file's object lies, for every way of receiving it.

#include <string>

#include "format/RemoteFile.h"

namespace vt {

// The URL of File's object in the store at Objects (ending "/").
std::string ObjectUrl(const std::string& Objects, const TRemoteFile& File);

}  // namespace vt
