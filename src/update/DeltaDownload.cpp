// A chunked file's update: plan what the disk already holds, fetch the rest with range requests,
// assemble beside the target, verify, and move it over the target in one step.

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/Files.h"
#include "update/Delta.h"
#include "update/Digest.h"
#include "update/Errors.h"
#include "update/Inflate.h"
#include "update/Paths.h"
#include "update/Placing.h"
#include "update/Updater.h"

namespace vt {
namespace {

// Thrown by a range's body sink on bytes that cannot be right; not a std::exception, so that
// nothing between the sink and DownloadChunked mistakes it for another failure.
struct TBadChunk {};

constexpr int KPartialContent = 206;

bool HasFile(const std::string& Path) {
  int64_t size = 0, time = 0;
  return GetFileInfo(Path, size, time) && size > 0;
}

// What an interrupted whole download left compressed becomes the start of the candidate, unless
// the candidate already holds more. What cannot be inflated is simply not reused.
void ResumeCompressed(const TReceivingNames& Names, int64_t Size) {
  int64_t compressed = 0, held = 0, time = 0;
  if (!GetFileInfo(Names.Compressed, compressed, time))
    return;
  if (!GetFileInfo(Names.Candidate, held, time) || held < compressed)
    InflatePrefix(Names.Compressed, Names.Candidate, Size);
  RemoveFile(Names.Compressed);
}

// Receives one run of chunks from a range body: each chunk's stored bytes are collected,
// inflated or taken as they are, checked against its hash and written at its place.
class TRunReceiver {
 public:
  TRunReceiver(const TChunkIndex& Index, TFetchRun Run, TFile& Candidate, int64_t Offset)
      : FIndex(Index), FNext(Run.First), FEnd(Run.End), FCandidate(Candidate), FOffset(Offset) {
    FStored.reserve(KChunkMax);
  }

  void Take(const uint8_t* Data, size_t Size) {
    while (Size > 0) {
      if (FNext == FEnd)
        throw TBadChunk();  // more than the range holds
      const TChunk& chunk = FIndex.Chunks[FNext];
      const size_t piece = std::min<size_t>(Size, chunk.Stored - FStored.size());
      FStored.insert(FStored.end(), Data, Data + piece);
      Data += piece;
      Size -= piece;
      if (FStored.size() == chunk.Stored)
        Finish(chunk);
    }
  }

  bool Complete() const { return FNext == FEnd; }

 private:
  void Finish(const TChunk& Chunk) {
    const uint8_t* bytes = FStored.data();
    if (FIndex.Zlib) {
      FPlain.resize(Chunk.Size + size_t{1});
      if (!FInflater.Inflate(FStored, FPlain.data(), Chunk.Size))
        throw TBadChunk();
      bytes = FPlain.data();
    }
    TSha256 sha;
    sha.Update(bytes, Chunk.Size);
    if (sha.Final() != Chunk.Hash)
      throw TBadChunk();
    FCandidate.WriteAt(FOffset, bytes, Chunk.Size);
    FOffset += Chunk.Size;
    FStored.clear();
    ++FNext;
  }

  const TChunkIndex& FIndex;
  size_t FNext;
  const size_t FEnd;
  TFile& FCandidate;
  int64_t FOffset;
  std::vector<uint8_t> FStored;
  std::vector<uint8_t> FPlain;
  TRawInflater FInflater;
};

void CopyRange(TFile& From, int64_t FromOffset, TFile& To, int64_t ToOffset, uint32_t Size,
               std::vector<uint8_t>& Buffer) {
  Buffer.resize(Size);
  if (From.ReadAt(FromOffset, Buffer.data(), Size) != Size)
    throw TBadChunk();  // the old version changed since it was planned
  To.WriteAt(ToOffset, Buffer.data(), Size);
}

}  // namespace

void TUpdater::PlanChunkedFiles(THttpClient& Client) {
  FPlans.clear();
  FPlans.resize(FFiles.size());
  if (!FOptions.UseChunks)
    return;
  for (const int32_t index : FQueue) {
    const TRemoteFile& file = FFiles[index];
    if (file.Chunks.Hash.empty() || StopRequested())
      continue;
    const std::string target = LocalPath(file.Path);
    const TReceivingNames names = ReceivingNames(target);
    ResumeCompressed(names, file.Size);
    if (!HasFile(target) && !HasFile(names.Candidate))
      continue;
    Report("Comparing " + file.Path + " with the new version...", 0, 0);
    const std::string damaged = ArrivedDamaged(file.Path).what();
    const TBytes bytes = HttpGetBytes(Client, FObjects + ChunkIndexName(file.Chunks.Hash),
                                      file.Chunks.Size, damaged);
    if (static_cast<int64_t>(bytes.size()) != file.Chunks.Size ||
        Sha256Hex(bytes) != file.Chunks.Hash) {
      throw ArrivedDamaged(file.Path);
    }
    TChunkIndex chunks;
    try {
      chunks = ReadChunkIndex(bytes, file.Size);
    } catch (const std::exception&) {
      throw ArrivedDamaged(file.Path);
    }
    // Ranges past the object's end could never be served.
    const bool zlib = file.ZSize > 0;
    if (chunks.Zlib != zlib ||
        (zlib && StoredOffset(chunks, chunks.Chunks.size()) > static_cast<uint64_t>(file.ZSize))) {
      throw ArrivedDamaged(file.Path);
    }
    auto plan = std::make_unique<TChunkPlan>(
        PlanChunks(std::move(chunks), names.Candidate, target, FStop.get_token()));
    if (!ReusesAny(*plan) || plan->FetchBytes >= DownloadSize(file))
      continue;
    FTotalBytes += plan->FetchBytes - DownloadSize(file);
    FPlans[index] = std::move(plan);
  }
}

bool TUpdater::DownloadChunked(THttpClient& Client, const TRemoteFile& File, const TChunkPlan& Plan,
                               const std::string& Target, const TReceived& OnReceived) const {
  const std::string candidate = ReceivingNames(Target).Candidate;
  const std::string url = ObjectUrl(FObjects, File);
  const std::vector<TChunk>& chunks = Plan.Index.Chunks;
  std::vector<int64_t> offsets(chunks.size() + 1, 0);
  for (size_t i = 0; i < chunks.size(); ++i)
    offsets[i + 1] = offsets[i] + chunks[i].Size;
  {
    TFile file = TFile::OpenReadWrite(candidate);
    file.Resize(File.Size);
    try {
      // Fetched chunks first: they find a bad server before the copying, and what arrives stays
      // in the candidate for the next attempt whatever fails later.
      int64_t received = 0;
      for (const TFetchRun& run : FetchRuns(Plan)) {
        if (StopRequested())
          throw TStopped();
        const uint64_t from = StoredOffset(Plan.Index, run.First);
        const uint64_t to = StoredOffset(Plan.Index, run.End);
        TRunReceiver receiver(Plan.Index, run, file, offsets[run.First]);
        int status = 0;
        try {
          status =
              Client.GetRange(url, {static_cast<int64_t>(from), static_cast<int64_t>(to - from)},
                              [&](const uint8_t* Data, size_t Size) {
                                receiver.Take(Data, Size);
                                received += static_cast<int64_t>(Size);
                                if (OnReceived)
                                  OnReceived(received);
                                Throttle(Size);
                              });
        } catch (const THttpBodyCut&) {
          status = KPartialContent;  // the chunks that arrived whole are kept; the rest is missing
        }
        if (status == 200)
          return false;
        if (status != KPartialContent)
          throw TUpdateError(File.Path + ": HTTP " + std::to_string(status));
        if (!receiver.Complete())
          throw TBadChunk();
      }
      std::vector<uint8_t> buffer;
      std::optional<TFile> old;
      for (size_t i = 0; i < chunks.size(); ++i) {
        if (Plan.Chunks[i].Source != TChunkSource::Old)
          continue;
        if (StopRequested())
          throw TStopped();
        if (!old)
          old.emplace(TFile::OpenRead(Target));
        CopyRange(*old, Plan.Chunks[i].From, file, offsets[i], chunks[i].Size, buffer);
      }
      // Last: a copy within the new version reads a place that is filled by now.
      for (size_t i = 0; i < chunks.size(); ++i) {
        if (Plan.Chunks[i].Source == TChunkSource::Self)
          CopyRange(file, Plan.Chunks[i].From, file, offsets[i], chunks[i].Size, buffer);
      }
    } catch (const TBadChunk&) {
      throw ArrivedDamaged(File.Path);
    }
    file.Close();
  }
  PlaceCandidate(candidate, File, Target, FStop.get_token());
  return true;
}

}  // namespace vt
