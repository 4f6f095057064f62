#include "publish/TreeLock.h"

#include <filesystem>
#include <stdexcept>

#include "platform/Files.h"
#include "platform/SysError.h"
#include "publish/ObjectFiles.h"
#include "publish/PackCache.h"

namespace vt {

TTreeLock::TTreeLock(const std::string& OutDir) {
  const std::filesystem::path folder = std::filesystem::path(OutDir) / KPrivateFolder;
  if (!CreateFolders(folder.string()))
    throw std::runtime_error(folder.string() + ": " + LastSystemErrorText());
  FPath = (folder / "lock").string();
  const std::string temp = FPath + "." + std::to_string(FileTimeNow());
  {
    TFile file = TFile::Create(temp);
    file.Close();
  }
  if (!RenameFile(temp, FPath)) {
    RemoveFile(temp);
    throw std::runtime_error(OutDir + ": another vtpublish is packing or pruning it (" + FPath +
                             " exists; delete it if none is running)");
  }
}

TTreeLock::~TTreeLock() {
  RemoveFile(FPath);
}

}  // namespace vt
