#pragma once
// A chunked file's update: plan what the disk already holds, fetch the rest with range requests
// in shares that several workers take up together, assemble beside the target, verify, and
// move it over the target in one step.

#include <cstddef>
#include <memory>
#include <string>

#include "format/RemoteFile.h"
#include "platform/Http.h"
#include "platform/Stop.h"
#include "update/Delta.h"
#include "update/Download.h"
#include "update/Placing.h"
#include "update/RunContext.h"
#include "update/Sources.h"
#include "update/UpdatePlan.h"

namespace vt {

// For every file of Plan with chunk data and something on disk to reuse: fetches its chunk
// index from one of Sources, plans what to fetch and counts only that in Plan's total. Files
// it does not pay to assemble, or all when no source answers range requests, keep no chunk
// plan. Returns early on a stop request.
void PlanChunkedFiles(const TRunContext& Run, THttpClient& Client, TSources& Sources,
                      TUpdatePlan& Plan);

// After a whole download of File to Target failed part way: the rest planned against what
// arrived (and the old version), with File's chunk index from the store at Objects, as one
// share. Null when File has no chunk data or nothing arrived that pays to keep.
std::unique_ptr<TPlannedFile> PlanRest(const TRunContext& Run, THttpClient& Client,
                                       const std::string& Objects, const TRemoteFile& File,
                                       const std::string& Target);

// How far a share's fetch got: the first chunk not written yet, and the stored bytes of those
// written, so that an attempt on another server goes on from there.
struct TShareCursor {
  size_t Next = 0;
  int64_t Kept = 0;
};

// Fetches share Share of a planned file's missing chunks from Cursor on into its candidate
// with range requests from the store at Objects, each chunk verified before it is written.
// False when the server answered with the whole object instead.
bool FetchChunkShare(THttpClient& Client, const std::string& Objects, const TRemoteFile& File,
                     const TPlannedFile& Planned, size_t Share, const TTransfer& Transfer,
                     TShareCursor& Cursor);

// Once every share has arrived: copies the reused chunks into the candidate, verifies the whole
// and has Placer move it over Target.
void AssembleChunked(const TRemoteFile& File, const TPlannedFile& Planned,
                     const std::string& Target, const TStopToken& Stop, TPlacer& Placer);

}  // namespace vt
