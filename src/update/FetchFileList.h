#pragma once
// The file list step.

#include <vector>

#include "format/RemoteFile.h"
#include "platform/Http.h"
#include "update/RunContext.h"

namespace vt {

// Reports "Reading the list of files...", fetches the list that List (the manifest's entry)
// describes, inflates it when compressed, checks its size and SHA-256 and returns its entries
// in list order. Raises with a one-line message.
std::vector<TRemoteFile> FetchFileList(const TRunContext& Run, THttpClient& Client,
                                       const TRemoteFile& List);

}  // namespace vt
