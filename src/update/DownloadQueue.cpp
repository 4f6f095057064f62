// The download step: four workers place the queued files; the first failure stops the queue.

#include "update/DownloadQueue.h"

#include <memory>
#include <utility>
#include <vector>

#include "format/DownloadSizes.h"
#include "format/Errors.h"
#include "platform/Files.h"
#include "platform/WorkerPool.h"
#include "update/ChunkedDownload.h"
#include "update/Download.h"
#include "update/Placing.h"
#include "update/Progress.h"
#include "update/Sources.h"

namespace vt {
namespace {

// What a worker takes: a whole file, or one share of a planned file's chunks.
struct TWorkItem {
  TFetch* Fetch = nullptr;
  int32_t Share = -1;
};

// Every folder first, on the run's thread, so that a blocked one fails the run before any
// transfer.
void MakeFolders(const TRunContext& Run, const TUpdatePlan& Plan) {
  std::string previous;
  for (const TFetch& fetch : Plan.Fetch) {
    const std::string folder = FolderOf(Run.LocalPath(fetch.File->Path));
    if (folder == previous)
      continue;
    if (const TSysStatus made = CreateFolders(folder); !made) {
      if (!FolderExists(folder))
        throw TUpdateError("cannot create the folder " + folder + " - " + made.Text());
    }
    previous = folder;
  }
}

// A planned file's shares follow one another, so that the workers take them up together.
std::vector<TWorkItem> WorkItems(TUpdatePlan& Plan) {
  std::vector<TWorkItem> items;
  for (TFetch& fetch : Plan.Fetch) {
    if (!fetch.Chunks) {
      items.push_back({&fetch, -1});
      continue;
    }
    for (size_t share = 0; share < fetch.Chunks->Shares.size(); ++share)
      items.push_back({&fetch, static_cast<int32_t>(share)});
  }
  return items;
}

// One worker's part of the step: what it needs besides its client.
struct TQueueWork {
  const TRunContext& Run;
  TSources& Sources;
  TDownloadProgress& Progress;
  TPlacer& Placer;

  void Do(const TWorkItem& Item, THttpClient& Client) const {
    const TRemoteFile& file = *Item.Fetch->File;
    TPlannedFile* planned = Item.Share >= 0 ? Item.Fetch->Chunks.get() : nullptr;
    const std::string target = Run.LocalPath(file.Path);
    if (planned == nullptr) {
      Whole(Client, file, target);
    } else if (!Share(Client, file, *planned, static_cast<size_t>(Item.Share))) {
      return;  // another worker ends this file
    } else if (planned->Whole) {
      Progress.Grow(DownloadSize(file));
      Whole(Client, file, target);
    } else {
      AssembleChunked(file, *planned, target, Run.Stop, Placer);
    }
    Progress.FileDone();
  }

  // A transfer from Source whose bytes so far, Seen, count for the source, and with Held bytes
  // of the file that were there before it, for the step.
  TTransfer Transfer(TDownloadProgress::TCount& Count, size_t Source, int64_t& Seen,
                     int64_t Held = 0) const {
    return {Run.Stop, Run.Options.RateLimit.get(), [&, Source, Held](int64_t Received) {
              Count.Received(Held + Received);
              Sources.Received(Source, Received - Seen);
              Seen = Received;
            }};
  }

  // The count stays where it got on a failed attempt: the next one's bytes count only past it.
  // After a failure part way, a file with chunk data goes on from its checked chunks.
  void Whole(THttpClient& Client, const TRemoteFile& File, const std::string& Target) const {
    TDownloadProgress::TCount count(Progress, DownloadSize(File));
    bool failed = false;
    const bool placed = FromSources(Sources, false, Run.Stop, [&](size_t Source) {
      int64_t seen = 0;
      if (std::exchange(failed, true)) {
        if (const std::unique_ptr<TPlannedFile> rest =
                PlanRest(Run, Client, Sources.Base(Source), File, Target)) {
          const int64_t held = DownloadSize(File) - rest->Plan.FetchBytes;
          TShareCursor cursor;
          if (FetchChunkShare(Client, Sources.Base(Source), File, *rest, 0,
                              Transfer(count, Source, seen, held), cursor)) {
            AssembleChunked(File, *rest, Target, Run.Stop, Placer);
            return true;
          }
          Sources.AnswersRanges(Source, false);
        }
      }
      DownloadFile(Client, Sources.Base(Source), File, Target, Transfer(count, Source, seen),
                   Placer);
      return true;
    });
    if (!placed)
      throw TServerFault(File.Path + ": no server is left to fetch it from");
    count.Settle();
  }

  // Fetches one share, going on where a failed source left it; true when this was the file's
  // last share to end.
  bool Share(THttpClient& Client, const TRemoteFile& File, TPlannedFile& Planned,
             size_t Index) const {
    TDownloadProgress::TCount count(Progress, Planned.Shares[Index].Bytes);
    TShareCursor cursor;
    const bool fetched = FromSources(Sources, true, Run.Stop, [&](size_t Source) {
      int64_t seen = cursor.Kept;
      if (FetchChunkShare(Client, Sources.Base(Source), File, Planned, Index,
                          Transfer(count, Source, seen), cursor))
        return true;
      Sources.AnswersRanges(Source, false);
      return false;
    });
    if (!fetched) {
      // No source sends ranges after all: this share will not travel.
      Planned.Whole = true;
      count.CutShort();
    }
    count.Settle();
    return Planned.Left.fetch_sub(1) == 1;
  }
};

}  // namespace

void DownloadQueue(const TRunContext& Run, TSources& Sources, TUpdatePlan& Plan) {
  MakeFolders(Run, Plan);
  const std::vector<TWorkItem> items = WorkItems(Plan);
  TDownloadProgress progress(Run.OnReport, static_cast<int32_t>(Plan.Fetch.size()),
                             Plan.TotalBytes);
  progress.Begin();
  // Destroyed after the pool: the folders are flushed once the workers are done, also when one
  // failed, and the record is written only after that.
  TPlacer placer(Run.Stop, TPlacer::TFlush::Batched);
  std::vector<std::unique_ptr<THttpClient>> clients(KWorkerCount);
  const TQueueWork work{Run, Sources, progress, placer};
  TWorkerPool pool(PoolThreads(KWorkerCount, KWorkerCount), Run.Stop);
  pool.Post(items.size(), [&](size_t Item, unsigned Worker) {
    std::unique_ptr<THttpClient>& client = clients[Worker];
    if (!client)
      client = Run.Options.NewClient(Run.Options.Worker);
    work.Do(items[Item], *client);
  });
  try {
    pool.Wait();
  } catch (...) {
    // A transfer cut by the stop is no failure: the run ends as a stopped one.
    if (!Run.StopRequested())
      throw;
  }
}

}  // namespace vt
