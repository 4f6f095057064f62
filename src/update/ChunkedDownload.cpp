#include "update/ChunkedDownload.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "format/Digest.h"
#include "format/DownloadSizes.h"
#include "format/Errors.h"
#include "format/Inflate.h"
#include "format/Paths.h"
#include "platform/Files.h"
#include "update/DownloadQueue.h"
#include "update/HttpGetBytes.h"
#include "update/Placing.h"
#include "update/Progress.h"
#include "update/Sources.h"

namespace vt {
namespace {

// Thrown by a range's body sink on bytes that cannot be right; not a std::exception, so that
// nothing between the sink and FetchChunkShare mistakes it for another failure.
struct TBadChunk {};

constexpr int KPartialContent = 206;
// The longest span the assembly reads at once.
constexpr uint32_t KMaxSpan = 1024 * 1024;
// A share of one file's chunks is worth its own connection from this size.
constexpr int64_t KMinShareBytes = 1024 * 1024;
// With several sources, a file that must travel whole from this size goes as shares of about
// KSplitShareBytes, so that all sources carry it together and none is left with a long tail.
constexpr int64_t KSplitFrom = 8 * 1024 * 1024;
constexpr int64_t KSplitShareBytes = 4 * 1024 * 1024;

bool HasFile(const std::string& Path) {
  const std::optional<TFileInfo> info = GetFileInfo(Path);
  return info && info->Size > 0;
}

// What an interrupted whole download left compressed becomes the start of the candidate, unless
// the candidate already holds more. What cannot be inflated is simply not reused.
void ResumeCompressed(const TReceivingNames& Names, int64_t Size) {
  const std::optional<TFileInfo> compressed = GetFileInfo(Names.Compressed);
  if (!compressed)
    return;
  const std::optional<TFileInfo> held = GetFileInfo(Names.Candidate);
  if (!held || held->Size < compressed->Size)
    InflatePrefix(Names.Compressed, Names.Candidate, Size);
  RemoveFile(Names.Compressed);
}

// Receives one run of chunks from a range body: each chunk's stored bytes are collected,
// inflated or taken as they are, checked against its hash and written at its place.
class TRunReceiver {
 public:
  // Cursor.Next is the run's first chunk to receive, and follows each chunk written.
  TRunReceiver(const TChunkIndex& Index, size_t End, TFile& Candidate, int64_t Offset,
               TShareCursor& Cursor)
      : FIndex(Index),
        FNext(Cursor.Next),
        FEnd(End),
        FCandidate(Candidate),
        FOffset(Offset),
        FCursor(Cursor) {
    FStored.reserve(KChunkMax);
  }

  void Take(const uint8_t* Data, size_t Size) {
    while (Size > 0) {
      if (FNext == FEnd)
        throw TBadChunk();  // more than the range holds
      const TChunk& chunk = FIndex.Chunks[FNext];
      const size_t taken = std::min<size_t>(Size, chunk.Stored - FStored.size());
      FStored.insert(FStored.end(), Data, Data + taken);
      Data += taken;
      Size -= taken;
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
    FCandidate.StartWriteBack(FOffset, Chunk.Size);
    FOffset += Chunk.Size;
    FStored.clear();
    FCursor.Next = ++FNext;
    FCursor.Kept += Chunk.Stored;
  }

  const TChunkIndex& FIndex;
  size_t FNext;
  const size_t FEnd;
  TFile& FCandidate;
  int64_t FOffset;
  TShareCursor& FCursor;
  std::vector<uint8_t> FStored;
  std::vector<uint8_t> FPlain;
  TRawInflater FInflater;
};

// Bytes that the assembly reads at From (in the old version for Old, else in the candidate)
// and that belong at To in the candidate.
struct TSpan {
  TChunkSource Source = TChunkSource::Candidate;
  int64_t From = 0;
  int64_t To = 0;
  uint32_t Size = 0;
};

// The plan's chunks in file order, neighbours that read on from one another joined up to
// KMaxSpan bytes.
std::vector<TSpan> Spans(const TChunkPlan& Plan) {
  std::vector<TSpan> spans;
  int64_t to = 0;
  for (size_t i = 0; i < Plan.Chunks.size(); ++i) {
    const TPlannedChunk& chunk = Plan.Chunks[i];
    const uint32_t size = Plan.Index.Chunks[i].Size;
    // Fetched chunks and those the candidate held lie at their own place already.
    const bool inPlace =
        chunk.Source == TChunkSource::Candidate || chunk.Source == TChunkSource::Fetch;
    const TChunkSource source = inPlace ? TChunkSource::Candidate : chunk.Source;
    const int64_t from = inPlace ? to : chunk.From;
    TSpan* last = spans.empty() ? nullptr : &spans.back();
    if (last != nullptr && last->Source == source && source != TChunkSource::Self &&
        last->From + last->Size == from && last->Size + size <= KMaxSpan) {
      last->Size += size;
    } else {
      spans.push_back({source, from, to, size});
    }
    to += size;
  }
  return spans;
}

// The chunk index of File, fetched from the store at Objects and checked: pinned by the list's
// size and SHA-256, and fitting the object. Any fault is the file's damage.
TChunkIndex FetchChunkIndex(THttpClient& Client, const std::string& Objects,
                            const TRemoteFile& File) {
  const std::string damaged = ArrivedDamaged(File.Path).what();
  const TBytes bytes =
      HttpGetBytes(Client, Objects + ChunkIndexName(File.Chunks.Hash), File.Chunks.Size, damaged);
  if (static_cast<int64_t>(bytes.size()) != File.Chunks.Size ||
      Sha256Hex(bytes) != File.Chunks.Hash) {
    throw ArrivedDamaged(File.Path);
  }
  TChunkIndex chunks;
  try {
    chunks = ReadChunkIndex(bytes, File.Size);
  } catch (const std::exception&) {
    throw ArrivedDamaged(File.Path);
  }
  // Ranges past the object's end could never be served.
  const bool zlib = File.ZSize > 0;
  if (chunks.Zlib != zlib ||
      (zlib && StoredOffset(chunks, chunks.Chunks.size()) > static_cast<uint64_t>(File.ZSize))) {
    throw ArrivedDamaged(File.Path);
  }
  return chunks;
}

// One byte tells whether the server answers ranges at all: false when it sends whole objects.
bool AnswersRanges(THttpClient& Client, const std::string& Objects, const TRemoteFile& File) {
  const int status = Transported([&] {
    return Client.GetRange(ObjectUrl(Objects, File), {0, 1}, [](const uint8_t*, size_t) {});
  });
  if (status == 200)
    return false;
  if (status != KPartialContent)
    throw StatusFault(Client, File.Path, status);
  return true;
}

// The plan of File against what Names' candidate and the old version at Target hold, in Shares
// shares; null when it does not pay. Quiet: no line while it reads (a download goes on). Split:
// it pays even when nothing is reused, for the shares that go to several sources at once.
std::unique_ptr<TPlannedFile> PlanFile(const TRunContext& Run, TChunkIndex Chunks,
                                       const TRemoteFile& File, TReceivingNames Names,
                                       const std::string& Target, int Shares, bool Quiet,
                                       bool Split = false) {
  const std::string comparing = "Comparing " + File.Path + " with the new version...";
  auto planned = std::make_unique<TPlannedFile>();
  TProgressPace pace;
  planned->Plan = PlanChunks(std::move(Chunks), Names.Candidate, Target, Run.Stop,
                             [&](int64_t Done, int64_t Total) {
                               if (!Quiet && pace.TryTake())
                                 Run.Report(comparing, Done, Total);
                             });
  const TChunkPlan& plan = planned->Plan;
  if (Split) {
    Shares = std::max<int>(Shares, static_cast<int>(plan.FetchBytes / KSplitShareBytes));
  } else if (!ReusesAny(plan) || plan.FetchBytes >= DownloadSize(File)) {
    return nullptr;
  }
  // Made now, so that every share and the assembly use the one name that can be made.
  OpenReceiving(Names, Target, TReceiving::Candidate, &TFile::OpenReadWrite);
  planned->Candidate = Names.Candidate;
  planned->Shares = SplitFetch(plan, Shares, KMinShareBytes);
  planned->Left = static_cast<int32_t>(planned->Shares.size());
  return planned;
}

}  // namespace

void PlanChunkedFiles(const TRunContext& Run, THttpClient& Client, TSources& Sources,
                      TUpdatePlan& Plan) {
  if (!Run.Options.UseChunks)
    return;
  bool probed = false;
  for (TFetch& fetch : Plan.Fetch) {
    if (Run.StopRequested())
      return;
    const TRemoteFile& file = *fetch.File;
    if (file.Chunks.Hash.empty())
      continue;
    const std::string target = Run.LocalPath(file.Path);
    const TReceivingNames names = ReceivingNames(target);
    ResumeCompressed(names, file.Size);
    const bool split = Sources.Count() > 1 && DownloadSize(file) >= KSplitFrom;
    const bool onDisk = HasFile(target) || HasFile(names.Candidate);
    if (!split && !onDisk)
      continue;
    // Sources that do not answer ranges get whole objects only; when none does, totals are
    // honest from the start.
    if (!probed && !FromSources(Sources, true, Run.Stop, [&](size_t Source) {
          const bool answers = AnswersRanges(Client, Sources.Base(Source), file);
          Sources.AnswersRanges(Source, answers);
          return answers;
        }))
      return;
    probed = true;
    if (onDisk)
      Run.Report("Comparing " + file.Path + " with the new version...", 0, 0);
    std::optional<TChunkIndex> index;
    FromSources(Sources, false, Run.Stop, [&](size_t Source) {
      index = FetchChunkIndex(Client, Sources.Base(Source), file);
      return true;
    });
    fetch.Chunks =
        PlanFile(Run, std::move(*index), file, names, target, KWorkerCount, !onDisk, split);
    if (fetch.Chunks)
      Plan.TotalBytes += fetch.Chunks->Plan.FetchBytes - DownloadSize(file);
  }
}

std::unique_ptr<TPlannedFile> PlanRest(const TRunContext& Run, THttpClient& Client,
                                       const std::string& Objects, const TRemoteFile& File,
                                       const std::string& Target) {
  if (!Run.Options.UseChunks || File.Chunks.Hash.empty())
    return nullptr;
  const TReceivingNames names = ReceivingNames(Target);
  ResumeCompressed(names, File.Size);
  if (!HasFile(names.Candidate))
    return nullptr;
  return PlanFile(Run, FetchChunkIndex(Client, Objects, File), File, names, Target, 1, true);
}

bool FetchChunkShare(THttpClient& Client, const std::string& Objects, const TRemoteFile& File,
                     const TPlannedFile& Planned, size_t Share, const TTransfer& Transfer,
                     TShareCursor& Cursor) {
  const TChunkIndex& index = Planned.Plan.Index;
  const std::string url = ObjectUrl(Objects, File);
  // Every share's worker sizes the candidate alike, so the order they start in does not matter.
  TFile file = TFile::OpenReadWrite(Planned.Candidate);
  file.Resize(File.Size);
  // Chunks written before are not fetched again, nor counted again.
  int64_t received = Cursor.Kept;
  // Where chunk `next` begins in the file and in the object; runs come in file order.
  size_t next = 0;
  int64_t offset = 0;
  uint64_t from = index.DataOffset;
  const auto advance = [&](size_t To) {
    for (; next < To; ++next) {
      offset += index.Chunks[next].Size;
      from += index.Chunks[next].Stored;
    }
  };
  try {
    for (const TFetchRun& run : Planned.Shares[Share].Runs) {
      if (run.End <= Cursor.Next)
        continue;
      if (Transfer.Stop.StopRequested())
        throw TStopped();
      Cursor.Next = std::max(Cursor.Next, run.First);
      advance(Cursor.Next);
      TRunReceiver receiver(index, run.End, file, offset, Cursor);
      const uint64_t begin = from;
      advance(run.End);
      const uint64_t to = from;
      const int status = Transported([&] {
        try {
          return Client.GetRange(url,
                                 {static_cast<int64_t>(begin), static_cast<int64_t>(to - begin)},
                                 [&](const uint8_t* Data, size_t Size) {
                                   receiver.Take(Data, Size);
                                   received += static_cast<int64_t>(Size);
                                   Transfer.Arrived(received, Size);
                                 });
        } catch (const THttpBodyCut&) {
          // The chunks that arrived whole are kept; the rest is missing.
          return KPartialContent;
        }
      });
      if (status == 200)
        return false;
      if (status != KPartialContent)
        throw StatusFault(Client, File.Path, status);
      if (!receiver.Complete())
        throw TBadChunk();
    }
  } catch (const TBadChunk&) {
    throw ArrivedDamaged(File.Path);
  }
  file.Close();
  return true;
}

void AssembleChunked(const TRemoteFile& File, const TPlannedFile& Planned,
                     const std::string& Target, const TStopToken& Stop, TPlacer& Placer) {
  const std::string& candidate = Planned.Candidate;
  std::string hash;
  {
    TFile file = TFile::OpenReadWrite(candidate);
    file.Resize(File.Size);
    std::optional<TFile> old;
    std::vector<uint8_t> buffer(KMaxSpan);
    TSha256 sha;
    // One pass in file order: each span is read from where it lies (a copy is written to its
    // place) and hashed, so the whole is checked without reading the candidate again. A copy
    // within the new version reads a place that this pass has filled by now.
    try {
      for (const TSpan& span : Spans(Planned.Plan)) {
        if (Stop.StopRequested())
          throw TStopped();
        TFile* from = &file;
        if (span.Source == TChunkSource::Old) {
          if (!old)
            old.emplace(TFile::OpenRead(Target));
          from = &*old;
        }
        if (from->ReadAt(span.From, buffer.data(), span.Size) != span.Size)
          throw TBadChunk();  // a file changed since it was planned
        // Write-back starts at once, so that the flush before the move has little left to do.
        if (span.From != span.To || from != &file) {
          file.WriteAt(span.To, buffer.data(), span.Size);
          file.StartWriteBack(span.To, span.Size);
        }
        sha.Update(buffer.data(), span.Size);
      }
    } catch (const TBadChunk&) {
      throw ArrivedDamaged(File.Path);
    }
    file.Close();
    hash = BytesToHex(sha.Final());
  }
  if (hash != File.Hash) {
    RemoveFile(candidate);
    throw ArrivedDamaged(File.Path);
  }
  Placer.PlaceVerified(candidate, File, Target);
}

}  // namespace vt
