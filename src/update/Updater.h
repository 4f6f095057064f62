#pragma once
// TUpdater: one update run on its own thread, and the state its steps share.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "format/InstalledRecord.h"
#include "format/RemoteFile.h"
#include "platform/FolderLock.h"
#include "platform/Http.h"
#include "platform/Stop.h"
#include "platform/SysError.h"
#include "update/CallQueue.h"
#include "update/Progress.h"
#include "update/UpdateView.h"
#include "update/UpdaterOptions.h"

namespace vt {

struct TChunkPlan;
struct TPlannedFile;
class TFileInfoReader;

class TUpdater {
 public:
  // Dir: the game folder, absolute, ending in the local separator. Url: base URL ending "/".
  TUpdater(TUpdateView& Form, TCallQueue& Queue, std::string Dir, std::string Url,
           TUpdaterOptions Options = {});
  // Requests a stop and waits for the thread. Calls it posted may still wait in the queue: the
  // owner discards them (TCallQueue::Discard with this object) before it frees the object.
  ~TUpdater();
  TUpdater(const TUpdater&) = delete;
  TUpdater& operator=(const TUpdater&) = delete;

  // Starts the run on its own thread. Its last act is to post UpdateDone.
  void Start();
  // Asks the run to stop at its next check; never waits.
  void RequestStop();
  // Waits for the thread to end.
  void Wait();
  bool StopRequested() const;

  // --- The steps of a run; each raises with a one-line message on failure. ---

  // The game folder's local name for a relative path of the list or the record.
  std::string LocalPath(std::string_view Path) const;

  // Fetches and verifies "version" and "version.sig", then sets FBuild, FObjects and FList.
  void FetchManifest(THttpClient& Client);
  // Fetches the list that FList describes, checks it and sets FFiles.
  void FetchFileList(THttpClient& Client);

  // True when the record (may be null) names FBuild and FList.
  bool RecordNamesRelease(const TInstalledRecord* Root) const;
  // True when the record (may be null) vouches for FBuild and FList with every file unchanged.
  bool IsUpToDate(const TInstalledRecord* Root) const;
  // True when the local copy of File is right; hashes only when size matches and the previous
  // record's files (the record may be null) do not vouch for it.
  bool IsFileCurrent(const TRemoteFile& File, const TInstalledRecord* Previous) const;
  // IsFileCurrent's last step: the file as it is now has File's size and digest. Safe on any
  // thread: it reads only FDir and the file.
  bool HashMatches(const TRemoteFile& File, const TStopToken& Stop) const;
  // Deletes the files the previous record named and FFiles lacks ("vtlaunch.exe" spared).
  void RemoveObsoleteFiles(const TInstalledRecord* Previous) const;
  // Writes "installed.json" for FBuild, FList and FFiles.
  void SaveInstalled() const;

  // Told the bytes of the body received so far, as they arrive.
  using TReceived = std::function<void(int64_t Received)>;
  // Fetches File's object into Target + ".part" (via ".zpart" when compressed), verifies size
  // and SHA-256, and moves it over Target in one step.
  void DownloadFile(THttpClient& Client, const TRemoteFile& File, const std::string& Target,
                    const TReceived& OnReceived = {}) const;
  // For every queued file with chunk data and something on disk to reuse: fetches its chunk
  // index, plans what to fetch and counts only that in the total. Files it does not pay to
  // assemble, or all when the server does not answer range requests, keep no plan.
  void PlanChunkedFiles(THttpClient& Client);
  // Fetches share Piece of a planned file's missing chunks into Target + ".part" with range
  // requests, each chunk verified before it is written. False when the server answered with the
  // whole object instead.
  bool FetchChunkPiece(THttpClient& Client, const TRemoteFile& File, const TPlannedFile& Planned,
                       size_t Piece, const std::string& Target,
                       const TReceived& OnReceived = {}) const;
  // Once every share has arrived: copies the reused chunks into Target + ".part", verifies the
  // whole and moves it over Target.
  void AssembleChunked(const TRemoteFile& File, const TChunkPlan& Plan,
                       const std::string& Target) const;
  // Places every queued file with four workers; raises the first failure's message.
  void DownloadQueue();
  // Raises "not enough free space: ..." when the game folder's disk has less free space than
  // SpaceNeeded of the queued files; does nothing when the free space cannot be told.
  void CheckFreeSpace() const;

  // True when SelfPath is the game folder's "vtlaunch.exe" (both made absolute, ASCII letters
  // folded): then the launcher's entry is replaced by UpdateLauncher and the launcher restarts.
  bool IsGameFolderLauncher() const;
  // Replaces the running launcher with File's object: fetched to "vtlaunch.new", the running
  // executable moved to "vtlaunch.old", the new one moved in (and the old one moved back when
  // that fails). Returns true: the launcher must restart. Raises "cannot update the launcher:
  // <system text>" when a move fails, or DownloadFile's message.
  bool UpdateLauncher(THttpClient& Client, const TRemoteFile& File);

  // Posts a progress line to the view; returns at once. Any thread of the run may call it.
  void Report(const std::string& Text, int64_t Done, int64_t Total);
  // Holds a transfer back while the run's rate limit is spent (Bytes just arrived); returns at
  // once without a limit, and early on a stop request.
  void Throttle(size_t Bytes) const;

  // --- What the run found, once it has ended. ---
  int32_t Build() const { return FBuild; }
  const TCheckResult& CheckResult() const { return FCheck; }

 private:
  // Tests of the later steps set what the earlier ones would have found.
  friend struct TUpdaterSeam;

  void Execute();
  void RunSteps(THttpClient& Client);
  void RunCheck(THttpClient& Client);
  // The checking pass: queues every entry that differs from the disk; false on a stop. Hashes
  // on several threads, with the lines, the queue and the first failure as in list order.
  bool QueueChangedFiles(const TInstalledRecord* Vouching);
  // IsFileCurrent in two steps: what the attributes and the record tell, and the hashing.
  enum class TKnown { NotCurrent, Current, Hash };
  TKnown KnownWithoutHashing(const TRemoteFile& File, const TInstalledRecord* Previous,
                             TFileInfoReader& Info) const;

  // The game folder's lock, held by the caller to the end of the run; nothing when a stop was
  // requested while it waited. Raises when another run holds it and WaitForLock is false.
  std::optional<TFolderLock> LockGameFolder();
  bool IsLauncherEntry(const TRemoteFile& File) const;
  void DownloadWorker();
  // The plan of FFiles[Index]; null when it travels as its whole object.
  TPlannedFile* PlanOf(int32_t Index) const;
  // Moves a verified candidate over Target. While a TFolderFlushes lives the folder's entry is
  // flushed when it ends, once per folder; otherwise at once, as ReplaceFile does.
  TSysStatus MoveIntoPlace(const std::string& Candidate, const std::string& Target) const;
  // Checks Candidate against File's size and SHA-256 (removed, and "<path> arrived damaged - try
  // again" raised, when it differs), gives it the mode of what it holds and moves it over Target.
  void PlaceCandidate(const std::string& Candidate, const TRemoteFile& File,
                      const std::string& Target) const;
  // The same for a candidate already checked against File.
  void PlaceVerified(const std::string& Candidate, const TRemoteFile& File,
                     const std::string& Target) const;
  class TFolderFlushes {
   public:
    explicit TFolderFlushes(const TUpdater& Run);
    ~TFolderFlushes();
    TFolderFlushes(const TFolderFlushes&) = delete;
    TFolderFlushes& operator=(const TFolderFlushes&) = delete;

   private:
    const TUpdater& FRun;
  };
  // Posts the download line for the bytes placed and in hand; FProgressLock must be held.
  void ReportDownloads(int32_t Files);
  void Finish();

  TUpdateView& FForm;
  TCallQueue& FCalls;
  const std::string FDir;
  const std::string FUrl;
  // The run's one stop request. Its own rather than the thread's: the clients' settings hold
  // its token before the thread exists, and a stop may be asked for before Start.
  TStopSource FStop;
  const TUpdaterOptions FOptions;  // after FStop: its clients hold FStop's token
  std::string FObjects;
  int32_t FBuild = 0;
  TRemoteFile FList;
  std::vector<TRemoteFile> FFiles;
  std::vector<int32_t> FQueue;
  std::vector<std::unique_ptr<TPlannedFile>> FPlans;  // by index of FFiles; null: whole object
  // What the workers take in turn: a whole file, or one share of a planned file's chunks.
  struct TWorkItem {
    int32_t File = 0;
    int32_t Piece = -1;
  };
  std::vector<TWorkItem> FItems;
  std::atomic<bool> FNoRanges{false};  // the server answered a range request with a whole body
  std::atomic<int32_t> FNext{0};
  std::atomic<int64_t> FDoneBytes{0};
  int64_t FTotalBytes = 0;
  std::atomic<int32_t> FDoneFiles{0};
  std::atomic<int64_t> FInHandBytes{0};  // received so far of the files in hand
  int64_t FShownBytes = 0;               // the done count last posted; under FProgressLock
  TProgressPace FPace;                   // lines posted while bodies arrive
  std::string FFailed;
  std::mutex FLock;          // guards FFailed only
  std::mutex FProgressLock;  // orders the download lines; held for one post
  mutable std::atomic<bool> FFlushFoldersLater{false};
  mutable std::mutex FFoldersLock;                  // guards FUnflushedFolders only
  mutable std::set<std::string> FUnflushedFolders;  // of files placed, not yet flushed
  std::string FError;
  bool FRestart = false;
  bool FSelf = false;
  TCheckResult FCheck;
  std::thread FThread;  // joined by the destructor, before the fields it uses go away
};

}  // namespace vt
