#pragma once
// TUpdater: one update run on its own thread, and the state its steps share.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/FolderLock.h"
#include "platform/Http.h"
#include "update/CallQueue.h"
#include "update/Digest.h"
#include "update/InstalledRecord.h"
#include "update/Json.h"
#include "update/Progress.h"
#include "update/RateLimit.h"
#include "update/RemoteFile.h"

namespace vt {

struct TChunkPlan;
struct TPlannedFile;
class TFileInfoReader;

// What a run reports to, on the main thread: the launcher window, or a console loop.
class TUpdateView {
 public:
  virtual ~TUpdateView() = default;
  virtual void ShowProgress(const std::string& Text, int64_t Done, int64_t Total) = 0;
  virtual void UpdateDone(const std::string& Error, bool Restart) = 0;
};

// User-Agent of every request: "VeltranoLauncher/" and the protocol number.
constexpr const char* KUserAgent = "VeltranoLauncher/2";
// Bound on a manifest or signature body; real ones are a few hundred bytes.
constexpr int64_t KMaxManifestBytes = 16 * 1024 * 1024;
// Download workers of one run.
constexpr int KWorkerCount = 4;
// The launcher's own file name in the game folder, and its side names.
constexpr const char* KLauncherName = "vtlaunch.exe";
constexpr const char* KInstalledName = "installed.json";

// Client settings of the update thread (short waits: it fetches only small documents) and of
// each download worker.
THttpSettings UpdateThreadHttpSettings();
THttpSettings WorkerHttpSettings();

struct TUpdaterOptions {
  THttpSettings Client = UpdateThreadHttpSettings();
  THttpSettings Worker = WorkerHttpSettings();
  // Full path of the running launcher; its entry in the list is replaced specially only when
  // this is the game folder's own "vtlaunch.exe". Empty for programs that are not the launcher.
  std::string SelfPath;
  // Trust no record: every listed file is hashed, as if "installed.json" named none of them.
  bool Verify = false;
  // Only find out whether an update is available (CheckResult): nothing on disk is made,
  // changed or removed.
  bool CheckOnly = false;
  // Shared by the workers, so that all of them together stay under its rate; null: no limit.
  std::shared_ptr<TRateLimit> RateLimit;
  // When another run holds the game folder's lock: false fails at once ("another update of this
  // game folder is running - try again when it has finished"); true waits for it, reporting
  // that once, until the lock is free or a stop is requested.
  bool WaitForLock = false;
  // Fetch only the changed chunks of a file whose entry has chunk data and whose old version or
  // interrupted ".part" is on disk. False: every file travels as its whole object.
  bool UseChunks = true;
};

// What a CheckOnly run found.
struct TCheckResult {
  int32_t Installed = -1;           // the build the record names; -1 when there is no usable record
  bool Update = false;              // a normal run would change the folder
  std::vector<std::string> Differ;  // with Verify: the listed files that differ, list order
};

// The message of a manifest whose signature does not verify; trying again cannot mend it.
extern const char* const KNotSignedError;

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

  // GETs Url into memory; only status 200 passes ("%s: HTTP %d" with the URL otherwise). A
  // body that grows past Limit ends the transfer with TooLarge, or with a message naming the
  // URL when TooLarge is empty.
  static TBytes HttpGetBytes(THttpClient& Client, const std::string& Url,
                             int64_t Limit = KMaxManifestBytes, const std::string& TooLarge = {});

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
  bool HashMatches(const TRemoteFile& File, const std::stop_token& Stop) const;
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

  // --- The run's state, for the view and for tests. ---
  int32_t Build() const { return FBuild; }
  const std::string& Objects() const { return FObjects; }
  const TRemoteFile& List() const { return FList; }
  const std::vector<TRemoteFile>& Files() const { return FFiles; }
  const std::vector<int32_t>& Queue() const { return FQueue; }
  const std::string& Error() const { return FError; }
  bool Restart() const { return FRestart; }
  const TCheckResult& CheckResult() const { return FCheck; }

  // Sets the list to work on, for tests of the later steps.
  void SetFiles(std::vector<TRemoteFile> Files, std::vector<int32_t> Queue, int64_t TotalBytes);
  // Sets what the manifest step would have set (FBuild, FList), for tests of the later steps.
  void SetManifest(int32_t Build, TRemoteFile List);
  // Sets the object store's base URL, for tests of the download steps.
  void SetObjects(std::string Objects);

 private:
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
  bool MoveIntoPlace(const std::string& Candidate, const std::string& Target) const;
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
  std::stop_source FStop;          // the run's stop request, also settable before Start for tests
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
  std::jthread FThread;  // last, so it ends before the fields it uses go away
};

// The most bytes File's object may have and still pass verification: Size when stored plainly;
// for a zlib object the signed compressed size or what deflate can at worst make of Size,
// whichever is larger. A body past it is cut off while it arrives.
int64_t MaxTransferBytes(const TRemoteFile& File);

// What one queued file means for the disk: its new size, the size of the file it replaces (0
// when none) and its compressed object's size (0 when stored plainly).
struct TQueuedSpace {
  int64_t Size = 0;
  int64_t Replaced = 0;
  int64_t Compressed = 0;
};

// The most the download step adds to the disk at once: the new bytes less those of the files
// they replace, plus what the KWorkerCount files that take the most room while in flight hold
// beside their new version (the old version, and the compressed object).
int64_t SpaceNeeded(const std::vector<TQueuedSpace>& Files);

// The number of bytes File costs to transfer: ZSize when compressed, else Size.
int64_t DownloadSize(const TRemoteFile& File);

// SHA-256 of a file's whole contents as lowercase hex, read in pieces of at most 1 MiB.
// Raises with the open or read error's message, or TStopped once Stop is requested.
std::string FileSha256Hex(const std::string& Path, const std::stop_token& Stop = {});

// The record in "installed.json" at Path: nothing when the file is missing or is not one
// complete JSON value. Raises when it cannot be read, or is not valid UTF-8.
std::optional<TInstalledRecord> ReadInstalledRecord(const std::string& Path);

// The manifest's fields once its signature has been checked.
struct TManifest {
  int32_t Build = 0;
  std::string Objects;
  TRemoteFile List;
};

// Reads verified manifest bytes; Url is the base that relative "objects" values join.
TManifest ReadManifest(std::span<const uint8_t> Bytes, const std::string& Url);
// Reads a verified file list.
std::vector<TRemoteFile> ReadFileList(std::span<const uint8_t> Bytes);

}  // namespace vt
