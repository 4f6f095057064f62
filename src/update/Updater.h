#pragma once
// TUpdater: one update run and the state its steps share.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/Http.h"
#include "update/CallQueue.h"
#include "update/Digest.h"
#include "update/RemoteFile.h"

namespace vt {

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

// Client settings of the update thread (short waits: it fetches only small documents) and of
// each download worker.
THttpSettings UpdateThreadHttpSettings();
THttpSettings WorkerHttpSettings();

class TUpdater {
 public:
  // Dir: the game folder, absolute, ending in the local separator. Url: base URL ending "/".
  TUpdater(TUpdateView& Form, TCallQueue& Queue, std::string Dir, std::string Url);
  TUpdater(const TUpdater&) = delete;
  TUpdater& operator=(const TUpdater&) = delete;

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

  // Posts a progress line to the view; returns at once. Any thread of the run may call it.
  void Report(const std::string& Text, int64_t Done, int64_t Total);

  int32_t Build() const { return FBuild; }
  const std::string& Objects() const { return FObjects; }
  const TRemoteFile& List() const { return FList; }
  const std::vector<TRemoteFile>& Files() const { return FFiles; }

 private:
  TUpdateView& FForm;
  TCallQueue& FQueue;
  const std::string FDir;
  const std::string FUrl;
  std::string FObjects;
  int32_t FBuild = 0;
  TRemoteFile FList;
  std::vector<TRemoteFile> FFiles;
};

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
