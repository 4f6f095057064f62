// A run that only looks: is an update available, and (verifying) which files differ. It reads
// the game folder and changes nothing in it, nor makes it when it is missing.

#include "format/GameFolder.h"
#include "format/InstalledRecord.h"
#include "update/Updater.h"

namespace vt {

void TUpdater::RunCheck(THttpClient& Client) {
  FetchManifest(Client);
  const std::optional<TInstalledRecord> record = ReadInstalledRecord(LocalPath(KInstalledName));
  const TInstalledRecord* root = record && record->IsObject() ? &*record : nullptr;
  FCheck.Installed = root != nullptr ? root->Build() : -1;
  if (!FOptions.Verify) {
    FCheck.Update = !IsUpToDate(root);
    return;
  }
  FetchFileList(Client);
  if (!QueueChangedFiles(nullptr))
    return;
  for (const int32_t index : FQueue)
    FCheck.Differ.push_back(FFiles[index].Path);
  FCheck.Update = !FCheck.Differ.empty() || !RecordNamesRelease(root);
}

}  // namespace vt
