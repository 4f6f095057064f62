#pragma once
// The file list step.

#include <string>
#include <vector>

#include "format/RemoteFile.h"
#include "platform/Http.h"
#include "update/RunContext.h"

namespace vt {

// Reports "Reading the list of files...", fetches the list that List (the manifest's entry)
// describes, inflates it when compressed, checks its size and SHA-256 and returns its entries
// in list order. Asks each of Trees (bases of servers with the tree) in turn until one serves
// it whole; raises with the first one's failure, in one line, when none does.
std::vector<TRemoteFile> FetchFileList(const TRunContext& Run, THttpClient& Client,
                                       const std::vector<std::string>& Trees,
                                       const TRemoteFile& List);

}  // namespace vt
