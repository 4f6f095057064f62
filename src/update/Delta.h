#pragma once
// Delta downloads of chunked files: which chunks of the new version are already on disk (in a
// ".part" left by an earlier attempt, in the old version, or earlier in the new one), and which
// must travel.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "format/Chunks.h"
#include "platform/Stop.h"

namespace vt {

enum class TChunkSource : uint8_t {
  Candidate,  // already right at its own place in the candidate
  Old,        // copied from the old version at From
  Self,       // copied from an earlier place in the candidate, From, once that is filled
  Fetch,      // fetched from the object
};

struct TPlannedChunk {
  TChunkSource Source = TChunkSource::Fetch;
  int64_t From = 0;
};

struct TChunkPlan {
  TChunkIndex Index;
  std::vector<TPlannedChunk> Chunks;  // one per chunk of Index, in file order
  int64_t FetchBytes = 0;             // stored bytes of the fetched chunks
};

// Told the bytes read so far of all there is to read.
using TScanned = std::function<void(int64_t Done, int64_t Total)>;

// Plans the assembly of the file that Index describes in Candidate, from what Candidate already
// holds at each chunk's place and from the chunks of Old cut by the same rule. A missing or
// unreadable Candidate or Old is simply not reused. Raises TStopped once Stop is requested.
TChunkPlan PlanChunks(TChunkIndex Index, const std::string& Candidate, const std::string& Old,
                      const TStopToken& Stop, const TScanned& OnScanned = {});

// True when the plan takes anything from the disk.
bool ReusesAny(const TChunkPlan& Plan);

// Consecutive fetched chunks [First, End), which travel in one range request.
struct TFetchRun {
  size_t First = 0;
  size_t End = 0;
};

// A share of a file's fetched chunks that one worker fetches: runs in file order.
struct TFetchShare {
  std::vector<TFetchRun> Runs;
  int64_t Bytes = 0;  // stored bytes
};

// Cuts the fetched chunks into at most Shares shares of about equal bytes, each at least
// MinBytes unless the whole is smaller (one share then); a run may be cut between its chunks.
std::vector<TFetchShare> SplitFetch(const TChunkPlan& Plan, int Shares, int64_t MinBytes);

// A queued file that the download step assembles: its plan, its shares and how they end.
struct TPlannedFile {
  TChunkPlan Plan;
  std::string Candidate;  // where it is assembled: the usual or the short receiving name
  std::vector<TFetchShare> Shares;
  std::atomic<int32_t> Left{0};    // shares not yet fetched; the worker that ends the last one
                                   // assembles the file
  std::atomic<bool> Whole{false};  // a range was answered with the whole object: fetch that
};

}  // namespace vt
