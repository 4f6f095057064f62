// Placing a received file: the check, the mode and the one rename.

#include "update/Placing.h"

#include <cstring>
#include <optional>
#include <stdexcept>

#include "format/Digest.h"
#include "format/Errors.h"

namespace vt {

namespace {

bool StartsLikeProgram(const std::string& Path) {
  TFile file = TFile::OpenRead(Path);
  char head[4] = {};
  size_t got = 0;
  while (got < sizeof head) {
    const size_t read = file.Read(head + got, sizeof head - got);
    if (read == 0)
      break;
    got += read;
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

TFile OpenReceiving(TReceivingNames& Names, const std::string& Target, TReceiving Which,
                    TFile (*Open)(const std::string&)) {
  const auto name = [&] {
    return Which == TReceiving::Candidate ? Names.Candidate : Names.Compressed;
  };
  try {
    return Open(name());
  } catch (const std::runtime_error&) {
    TReceivingNames fallback = ShortReceivingNames(Target);
    if (fallback.Candidate == Names.Candidate)
      throw;
    Names = std::move(fallback);
  }
  return Open(name());
}

TPlacer::TPlacer(TStopToken Stop, TFlush Flush) : FStop(std::move(Stop)), FFlush(Flush) {}

TPlacer::~TPlacer() {
  // As with a flush right after each move, a folder that cannot be flushed is passed over: the
  // files in it are the old or the new ones after a crash all the same.
  for (const std::string& folder : FUnflushed)
    FlushFolder(folder);
}

void TPlacer::PlaceCandidate(const std::string& Candidate, const TRemoteFile& File,
                             const std::string& Target) {
  if (!IsVerified(Candidate, File, FStop)) {
    RemoveFile(Candidate);
    throw ArrivedDamaged(File.Path);
  }
  PlaceVerified(Candidate, File, Target);
}

void TPlacer::PlaceVerified(const std::string& Candidate, const TRemoteFile& File,
                            const std::string& Target) {
  SetPlacedMode(Candidate);
  if (const TSysStatus moved = MoveIntoPlace(Candidate, Target); !moved) {
    throw TUpdateError("cannot replace " + File.Path + " (" + moved.Text() +
                       ") - is the game still running?");
  }
}

TSysStatus TPlacer::MoveIntoPlace(const std::string& Candidate, const std::string& Target) {
  if (FFlush == TFlush::AtOnce)
    return ReplaceFile(Candidate, Target);
  if (TSysStatus moved = ReplaceFileFolderLater(Candidate, Target); !moved)
    return moved;
  const std::string folder = FolderOf(Target);
  const std::lock_guard<std::mutex> lock(FLock);
  FUnflushed.insert(folder.empty() ? std::string(".") : folder);
  return {};
}

}  // namespace vt
