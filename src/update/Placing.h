#pragma once
// Where a file's object lies, where it is received, and how a received file takes its place:
// verified, given its mode and moved over its target in one rename, so that the target is
// always either the old file or the whole verified new one.

#include <mutex>
#include <set>
#include <string>

#include "format/Paths.h"
#include "format/RemoteFile.h"
#include "platform/Files.h"
#include "platform/Stop.h"
#include "platform/SysError.h"

namespace vt {

// The URL of File's object in the store at Objects (ending "/").
std::string ObjectUrl(const std::string& Objects, const TRemoteFile& File);

// Opens Target's receiving file (its candidate, or the compressed object while it arrives) with
// Open (TFile::Create or TFile::OpenReadWrite). Where the name in Names cannot be made, the
// short names serve instead and Names becomes them: under Wine a host file system may count a
// name's UTF-8 bytes where Windows counts its UTF-16 units. Raises Open's error for the name
// that was tried last.
enum class TReceiving { Candidate, Compressed };
TFile OpenReceiving(TReceivingNames& Names, const std::string& Target, TReceiving Which,
                    TFile (*Open)(const std::string&));

// Puts received files in place. Batched, the folders' entries are flushed when the placer ends
// (also after a failure), once per folder instead of once per file: the record that vouches
// for the files is written only after that.
class TPlacer {
 public:
  enum class TFlush { AtOnce, Batched };

  // Stop cuts the hashing of a candidate short.
  explicit TPlacer(TStopToken Stop, TFlush Flush = TFlush::AtOnce);
  ~TPlacer();
  TPlacer(const TPlacer&) = delete;
  TPlacer& operator=(const TPlacer&) = delete;

  // Checks Candidate against File's size and SHA-256 (removed, and "<path> arrived damaged -
  // try again" raised, when it differs), gives it the mode of what it holds and moves it over
  // Target. Safe on any thread.
  void PlaceCandidate(const std::string& Candidate, const TRemoteFile& File,
                      const std::string& Target);
  // The same for a candidate already checked against File.
  void PlaceVerified(const std::string& Candidate, const TRemoteFile& File,
                     const std::string& Target);

 private:
  TSysStatus MoveIntoPlace(const std::string& Candidate, const std::string& Target);

  const TStopToken FStop;
  const TFlush FFlush;
  std::mutex FLock;                  // guards FUnflushed only
  std::set<std::string> FUnflushed;  // folders of files placed, not yet flushed
};

}  // namespace vt
