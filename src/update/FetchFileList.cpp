// The file list step: accepted only when its size and SHA-256 match the signed manifest.

#include "format/DownloadSizes.h"
#include "format/Errors.h"
#include "format/FileList.h"
#include "format/Inflate.h"
#include "update/HttpGetBytes.h"
#include "update/Updater.h"

namespace vt {

namespace {

constexpr const char* KListDamaged = "the list of files arrived damaged - try again";

}  // namespace

void TUpdater::FetchFileList(THttpClient& Client) {
  Report("Reading the list of files...", 0, 0);
  TBytes body = HttpGetBytes(Client, FUrl + FList.Path, MaxTransferBytes(FList), KListDamaged);
  if (FList.ZSize > 0) {
    TBytes inflated;
    try {
      TMemorySource source(body);
      TMemorySink sink(inflated);
      InflateStream(source, sink, FList.Size);
    } catch (const std::exception&) {
      throw TUpdateError(KListDamaged);
    }
    body = std::move(inflated);
  }
  if (static_cast<int64_t>(body.size()) != FList.Size || Sha256Hex(body) != FList.Hash) {
    throw TUpdateError(KListDamaged);
  }
  FFiles = ReadFileList(body);
}

}  // namespace vt
