// The file list step: accepted only when its size and SHA-256 match the signed manifest.

#include "update/FetchFileList.h"

#include <exception>

#include "format/Digest.h"
#include "format/DownloadSizes.h"
#include "format/Errors.h"
#include "format/FileList.h"
#include "format/Inflate.h"
#include "update/HttpGetBytes.h"

namespace vt {

namespace {

constexpr const char* KListDamaged = "the list of files arrived damaged - try again";

// The list's bytes from the server at Base, checked against List.
TBytes ListFrom(THttpClient& Client, const std::string& Base, const TRemoteFile& List) {
  TBytes body = HttpGetBytes(Client, Base + List.Path, MaxTransferBytes(List), KListDamaged);
  if (List.ZSize > 0) {
    TBytes inflated;
    try {
      TMemorySource source(body);
      TMemorySink sink(inflated);
      InflateStream(source, sink, List.Size);
    } catch (const std::exception&) {
      throw TServerFault(KListDamaged, true);
    }
    body = std::move(inflated);
  }
  if (static_cast<int64_t>(body.size()) != List.Size || Sha256Hex(body) != List.Hash)
    throw TServerFault(KListDamaged, true);
  return body;
}

}  // namespace

std::vector<TRemoteFile> FetchFileList(const TRunContext& Run, THttpClient& Client,
                                       const std::vector<std::string>& Trees,
                                       const TRemoteFile& List) {
  Run.Report("Reading the list of files...", 0, 0);
  std::exception_ptr first;
  for (const std::string& base : Trees) {
    try {
      return ReadFileList(ListFrom(Client, base, List));
    } catch (const TServerFault&) {
      if (Run.StopRequested())
        throw;
      if (!first)
        first = std::current_exception();
    }
  }
  std::rethrow_exception(first);
}

}  // namespace vt
