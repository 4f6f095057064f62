#pragma once
// The download step: the files of a plan fetched by a few workers at once, each verified and
// moved into place.

#include <string>

#include "update/RunContext.h"
#include "update/Sources.h"
#include "update/UpdatePlan.h"

namespace vt {

// Download workers of one run.
constexpr int KWorkerCount = 4;

// Makes every folder the plan's files go into, then places them with KWorkerCount workers,
// each with its own HTTP client; a planned file's shares are fetched by several workers
// together. Each transfer takes one of Sources, and a server's failure hands it to the next
// (see FromSources); the first failure that no source mends stops the queue (the
// transfers in hand end as they would) and is raised once the workers are done; a stop cuts
// the transfers short and raises nothing. The folders' entries are flushed before it returns.
void DownloadQueue(const TRunContext& Run, TSources& Sources, TUpdatePlan& Plan);

}  // namespace vt
