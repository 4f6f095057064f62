// One file of the update: fetched beside its target, verified, then moved over it in one step,
// so that the target is always either the old file or the whole verified new one.

#include <cstring>
#include <memory>

#include "format/Digest.h"
#include "format/DownloadSizes.h"
#include "format/Errors.h"
#include "format/Inflate.h"
#include "format/Paths.h"
#include "platform/Files.h"
#include "platform/SysError.h"
#include "update/Placing.h"
#include "update/Updater.h"

namespace vt {
namespace {

// Write-back is started every this many bytes while a body arrives.
constexpr int64_t KWriteBackStep = 8 << 20;

// Thrown by the body sink when the object outgrows what could still pass verification. Not a
// std::exception, so that nothing between the sink and DownloadFile mistakes it for another
// failure.
struct TOversized {};

// Streams the body of Url into a newly created (truncated) file and returns the status code.
// A body longer than Limit ends the transfer with TOversized; Run's rate limit paces it. The file
// is closed on every path. WriteBack: the file is the one to be placed, so its write-back is
// started as it arrives (a compressed object is deleted once inflated, and need never reach
// the disk).
int ReceiveInto(THttpClient& Client, const std::string& Url, const std::string& Receiving,
                int64_t Limit, const TUpdater::TReceived& OnReceived, const TUpdater& Run,
                bool WriteBack) {
  TFile file = TFile::Create(Receiving);
  int64_t received = 0;
  int64_t writing = 0;  // bytes whose write-back has been started
  int status = 200;
  try {
    status = Client.Get(Url, [&](const uint8_t* Data, size_t Size) {
      received += static_cast<int64_t>(Size);
      if (received > Limit)
        throw TOversized();
      file.Write(Data, Size);
      // So that the flush before the move finds most of the file on the disk already.
      if (WriteBack && received - writing >= KWriteBackStep) {
        file.StartWriteBack(writing, received - writing);
        writing = received;
      }
      if (OnReceived)
        OnReceived(received);
      Run.Throttle(Size);
    });
  } catch (const THttpBodyCut&) {
    // Only a 200 body reaches the file; what arrived of it goes to verification, which tells
    // the user the file arrived damaged.
  }
  file.Close();
  return status;
}

bool StartsLikeProgram(const std::string& Path) {
  TFile file = TFile::OpenRead(Path);
  char head[4] = {};
  size_t got = 0;
  while (got < sizeof head) {
    const size_t piece = file.Read(head + got, sizeof head - got);
    if (piece == 0)
      break;
    got += piece;
  }
  return (got >= 4 && std::memcmp(head,
                                  "\x7F"
                                  "ELF",
                                  4) == 0) ||
         (got >= 2 && head[0] == '#' && head[1] == '!');
}

// Programs get their executable bits, other files lose them: a reused ".part" keeps the mode
// of an earlier attempt across truncation.
void SetPlacedMode(const std::string& Path) {
  SetFileMode(Path, StartsLikeProgram(Path));
}

// Inflates the arrived object into the candidate. A candidate that cannot be written fails with
// the write error (nothing arrived damaged); any other failure only removes the candidate, and
// the verification that follows reports it.
void InflateCandidate(const std::string& Compressed, const std::string& Candidate, int64_t Size) {
  try {
    InflateFile(Compressed, Candidate, Size);
  } catch (const TFileWriteError&) {
    RemoveFile(Candidate);
    RemoveFile(Compressed);
    throw;
  } catch (const std::exception&) {
    RemoveFile(Candidate);
  }
  RemoveFile(Compressed);
}

bool IsVerified(const std::string& Candidate, const TRemoteFile& File, const TStopToken& Stop) {
  // Hashing is the expensive part, so only a candidate of the right size is hashed.
  const std::optional<TFileInfo> info = GetFileInfo(Candidate);
  return info && info->Size == File.Size && FileSha256Hex(Candidate, Stop) == File.Hash;
}

}  // namespace

std::string ObjectUrl(const std::string& Objects, const TRemoteFile& File) {
  std::string url = Objects + File.Hash.substr(0, 2) + "/" + File.Hash;
  if (File.ZSize > 0)
    url += ".z";
  return url;
}

void TUpdater::PlaceCandidate(const std::string& Candidate, const TRemoteFile& File,
                              const std::string& Target) const {
  if (!IsVerified(Candidate, File, FStop.Token())) {
    RemoveFile(Candidate);
    throw ArrivedDamaged(File.Path);
  }
  PlaceVerified(Candidate, File, Target);
}

void TUpdater::PlaceVerified(const std::string& Candidate, const TRemoteFile& File,
                             const std::string& Target) const {
  SetPlacedMode(Candidate);
  if (const TSysStatus moved = MoveIntoPlace(Candidate, Target); !moved) {
    throw TUpdateError("cannot replace " + File.Path + " (" + moved.Text() +
                       ") - is the game still running?");
  }
}

void TUpdater::DownloadFile(THttpClient& Client, const TRemoteFile& File, const std::string& Target,
                            const TReceived& OnReceived) const {
  const bool compressed = File.ZSize > 0;
  // A folder that cannot be made shows up as a failure to create the receiving file.
  CreateFolders(FolderOf(Target));
  const TReceivingNames names = ReceivingNames(Target);
  const std::string& candidate = names.Candidate;
  const std::string& receiving = compressed ? names.Compressed : candidate;

  int status = 0;
  try {
    status = ReceiveInto(Client, ObjectUrl(FObjects, File), receiving, MaxTransferBytes(File),
                         OnReceived, *this, !compressed);
  } catch (const TOversized&) {
    // It could never verify; cutting it off keeps a broken or hostile server from filling
    // the disk.
    RemoveFile(receiving);
    throw ArrivedDamaged(File.Path);
  } catch (const TFileWriteError&) {
    // A full disk stays full while the part of the file it took is left behind.
    RemoveFile(receiving);
    throw;
  }
  if (status != 200) {
    RemoveFile(receiving);
    throw TUpdateError(File.Path + ": HTTP " + std::to_string(status));
  }
  if (compressed)
    InflateCandidate(receiving, candidate, File.Size);
  PlaceCandidate(candidate, File, Target);
}

}  // namespace vt
