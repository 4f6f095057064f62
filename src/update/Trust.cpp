#include "update/Trust.h"

#include <optional>
#include <stdexcept>
#include <string>

#include "format/GameFolder.h"
#include "format/Streams.h"
#include "platform/Files.h"
#include "update/Installed.h"

namespace vt {

namespace {

// Far more than any memory holds (a keys document is bounded too); a bigger file is damaged.
constexpr int64_t KMaxMemoryBytes = 4 * KMaxKeysBytes;

// The memory's text as the folder holds it; nothing when there is no such file or it cannot be
// read, "" when it is too big to be one.
std::optional<std::string> MemoryText(const std::string& Path) {
  const std::optional<TFileInfo> info = GetFileInfo(Path);
  if (!info)
    return std::nullopt;
  if (info->Size > KMaxMemoryBytes)
    return std::string();
  try {
    return ReadWholeFile(Path, info->Size);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

TTrust ReadTrust(const TRunContext& Run) {
  const std::optional<std::string> text = MemoryText(Run.LocalPath(KTrustName));
  if (!text)
    return {};
  if (std::optional<TTrust> trust = ReadTrustMemory(*text))
    return std::move(*trust);
  Run.Report(
      "This game folder's memory of trust is damaged; the launcher starts again from the "
      "keys built into it.",
      0, 0);
  return {};
}

void SaveTrust(const TRunContext& Run, const TTrust& Trust) {
  const std::string path = Run.LocalPath(KTrustName);
  const std::string text = TrustMemoryText(Trust);
  const std::optional<std::string> held = MemoryText(path);
  // A folder updated from a tree without sequences or keys has nothing to remember.
  if (held == text || (!held && Trust == TTrust{}))
    return;
  try {
    WriteBeside(path, text);
  } catch (const std::exception&) {
    // The old memory stays, and the run goes on.
  }
}

}  // namespace vt
