// One file of the update: fetched beside its target, verified, then moved over it in one step,
// so that the target is always either the old file or the whole verified new one.

#include "update/Download.h"

#include "format/DownloadSizes.h"
#include "format/Errors.h"
#include "format/Inflate.h"
#include "platform/Files.h"
#include "update/HttpGetBytes.h"

namespace vt {
namespace {

// Write-back is started every this many bytes while a body arrives.
constexpr int64_t KWriteBackStep = 8 << 20;

// Thrown by the body sink when the object outgrows what could still pass verification. Not a
// std::exception, so that nothing between the sink and DownloadFile mistakes it for another
// failure.
struct TOversized {};

// Streams the body of Url into File and returns the status code. A body longer than Limit ends
// the transfer with TOversized. WriteBack: the file is the one to be placed, so its write-back
// is started as it arrives (a compressed object is deleted once inflated, and need never reach
// the disk). The file is closed on every path.
int ReceiveInto(THttpClient& Client, const std::string& Url, TFile File, int64_t Limit,
                const TTransfer& Transfer, bool WriteBack) {
  int64_t received = 0;
  int64_t writing = 0;  // bytes whose write-back has been started
  const int status = Transported([&] {
    try {
      return Client.Get(Url, [&](const uint8_t* Data, size_t Size) {
        received += static_cast<int64_t>(Size);
        if (received > Limit)
          throw TOversized();
        File.Write(Data, Size);
        // So that the flush before the move finds most of the file on the disk already.
        if (WriteBack && received - writing >= KWriteBackStep) {
          File.StartWriteBack(writing, received - writing);
          writing = received;
        }
        Transfer.Arrived(received, Size);
      });
    } catch (const THttpBodyCut&) {
      // Only a 200 body reaches the file; what arrived of it goes to verification, which
      // tells the user the file arrived damaged.
      return 200;
    }
  });
  File.Close();
  return status;
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

}  // namespace

void TTransfer::Arrived(int64_t Received, size_t Bytes) const {
  if (OnReceived)
    OnReceived(Received);
  if (RateLimit != nullptr)
    RateLimit->Take(static_cast<int64_t>(Bytes), [this] { return Stop.StopRequested(); });
}

void DownloadFile(THttpClient& Client, const std::string& Objects, const TRemoteFile& File,
                  const std::string& Target, const TTransfer& Transfer, TPlacer& Placer) {
  const bool compressed = File.ZSize > 0;
  // A folder that cannot be made shows up as a failure to create the receiving file.
  CreateFolders(FolderOf(Target));
  TReceivingNames names = ReceivingNames(Target);
  TFile file = OpenReceiving(
      names, Target, compressed ? TReceiving::Compressed : TReceiving::Candidate, &TFile::Create);
  const std::string receiving = compressed ? names.Compressed : names.Candidate;
  int status = 0;
  try {
    status = ReceiveInto(Client, ObjectUrl(Objects, File), std::move(file), MaxTransferBytes(File),
                         Transfer, !compressed);
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
    throw StatusFault(Client, File.Path, status);
  }
  if (compressed)
    InflateCandidate(receiving, names.Candidate, File.Size);
  Placer.PlaceCandidate(names.Candidate, File, Target);
}

}  // namespace vt
