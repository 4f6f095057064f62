#pragma once
// The launcher's own executable, which a run replaces before anything else when it runs from
// the game folder.

#include <string>
#include <vector>

#include "format/RemoteFile.h"
#include "platform/Http.h"
#include "update/RunContext.h"

namespace vt {

// The list's "vtlaunch.exe" at the top (ASCII letters folded) when the running launcher is the
// game folder's own (SelfPath and the folder's "vtlaunch.exe" made absolute, ASCII letters
// folded); else null. Such an entry is replaced by UpdateLauncher only.
const TRemoteFile* LauncherEntry(const TRunContext& Run, const std::vector<TRemoteFile>& Files);

// Replaces the running launcher with File's object from the first of the stores at Objects
// that serves it (see FromSources): fetched to
// "vtlaunch.new", the running executable moved to "vtlaunch.old", the new one moved in (and the
// old one moved back when that fails). Returns true: the launcher must restart. Raises "cannot
// update the launcher: <system text>" when a move fails, or DownloadFile's message.
bool UpdateLauncher(const TRunContext& Run, THttpClient& Client,
                    const std::vector<std::string>& Objects, const TRemoteFile& File);

}  // namespace vt
