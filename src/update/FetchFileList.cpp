// The file list step: accepted only when its size and SHA-256 match the signed manifest.

#include "update/FetchFileList.h"

#include "format/Digest.h"
#include "format/DownloadSizes.h"
#include "format/Errors.h"
#include "format/FileList.h"
#include "format/Inflate.h"
#include "update/HttpGetBytes.h"

namespace vt {

namespace {

constexpr const char* KListDamaged = "the list of files arrived damaged - try again";

}  // namespace

std::vector<TRemoteFile> FetchFileList(const TRunContext& Run, THttpClient& Client,
                                       const TRemoteFile& List) {
  Run.Report("Reading the list of files...", 0, 0);
  TBytes body = HttpGetBytes(Client, Run.Url + List.Path, MaxTransferBytes(List), KListDamaged);
  if (List.ZSize > 0) {
    TBytes inflated;
    try {
      TMemorySource source(body);
      TMemorySink sink(inflated);
      InflateStream(source, sink, List.Size);
    } catch (const std::exception&) {
      throw TUpdateError(KListDamaged);
    }
    body = std::move(inflated);
  }
  if (static_cast<int64_t>(body.size()) != List.Size || Sha256Hex(body) != List.Hash)
    throw TUpdateError(KListDamaged);
  return ReadFileList(body);
}

}  // namespace vt
