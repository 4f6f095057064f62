#pragma once
// A chunked file's update: plan what the disk already holds, fetch the rest with range requests
// in shares that several workers take up together, assemble beside the target, verify, and
// move it over the target in one step.

#include <cstddef>
#include <string>

#include "format/RemoteFile.h"
#include "platform/Http.h"
#include "platform/Stop.h"
#include "update/Delta.h"
#include "update/Download.h"
#include "update/Placing.h"
#include "update/RunContext.h"
#include "update/UpdatePlan.h"

namespace vt {

// For every file of Plan with chunk data and something on disk to reuse: fetches its chunk
// index from the store at Objects, plans what to fetch and counts only that in Plan's total.
// Files it does not pay to assemble, or all when the server does not answer range requests,
// keep no chunk plan. Returns early on a stop request.
void PlanChunkedFiles(const TRunContext& Run, THttpClient& Client, const std::string& Objects,
                      TUpdatePlan& Plan);

// Fetches share Share of a planned file's missing chunks into its candidate with range
// requests, each chunk verified before it is written. False when the server answered with the
// whole object instead.
bool FetchChunkShare(THttpClient& Client, const std::string& Objects, const TRemoteFile& File,
                     const TPlannedFile& Planned, size_t Share, const TTransfer& Transfer);

// Once every share has arrived: copies the reused chunks into the candidate, verifies the whole
// and has Placer move it over Target.
void AssembleChunked(const TRemoteFile& File, const TPlannedFile& Planned,
                     const std::string& Target, const TStopToken& Stop, TPlacer& Placer);

}  // namespace vt
