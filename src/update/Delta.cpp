#include "update/Delta.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "format/Errors.h"
#include "platform/Files.h"

namespace vt {
namespace {

constexpr size_t KReadPiece = 1048576;

struct TDigestHash {
  size_t operator()(const TSha256Digest& Digest) const {
    size_t value = 0;
    std::memcpy(&value, Digest.data(), sizeof value);
    return value;
  }
};

using TChunkPlaces = std::unordered_map<TSha256Digest, int64_t, TDigestHash>;

// Counts the bytes read for the caller's progress.
struct TScanCount {
  const TScanned& OnScanned;
  int64_t Done = 0;
  int64_t Total = 0;

  void Add(size_t Bytes) {
    Done += static_cast<int64_t>(Bytes);
    if (OnScanned)
      OnScanned(std::min(Done, Total), Total);
  }
};

// Marks the chunks that Candidate already holds at their own place. Reads it once, in order.
void FindHeldChunks(const std::string& Candidate, TChunkPlan& Plan, const TStopToken& Stop,
                    TScanCount& Count) {
  TFile file = TFile::OpenRead(Candidate);
  std::vector<uint8_t> buffer(KChunkMax);
  int64_t offset = 0;
  for (size_t i = 0; i < Plan.Index.Chunks.size(); ++i) {
    if (Stop.StopRequested())
      throw TStopped();
    const TChunk& chunk = Plan.Index.Chunks[i];
    const size_t got = file.ReadAt(offset, buffer.data(), chunk.Size);
    Count.Add(got);
    if (got < chunk.Size)
      return;
    TSha256 sha;
    sha.Update(buffer.data(), got);
    if (sha.Final() == chunk.Hash)
      Plan.Chunks[i].Source = TChunkSource::Candidate;
    offset += chunk.Size;
  }
}

// Where each chunk of Old, cut by the shared rule, begins (the first place of equal ones).
TChunkPlaces CutOldVersion(const std::string& Old, const TStopToken& Stop, TScanCount& Count) {
  TChunkPlaces places;
  TFile file = TFile::OpenRead(Old);
  std::vector<uint8_t> buffer(KReadPiece);
  TChunker chunker;
  TSha256 sha;
  int64_t start = 0, offset = 0;
  while (const size_t got = file.Read(buffer.data(), buffer.size())) {
    if (Stop.StopRequested())
      throw TStopped();
    Count.Add(got);
    chunker.Split(buffer.data(), got, [&](const uint8_t* Bytes, size_t Length, bool Cut) {
      sha.Update(Bytes, Length);
      offset += static_cast<int64_t>(Length);
      if (Cut) {
        places.emplace(sha.Final(), start);
        start = offset;
      }
    });
  }
  if (offset > start)
    places.emplace(sha.Final(), start);
  return places;
}

bool Missing(const TChunkPlan& Plan) {
  return std::any_of(Plan.Chunks.begin(), Plan.Chunks.end(), [](const TPlannedChunk& Chunk) {
    return Chunk.Source != TChunkSource::Candidate;
  });
}

}  // namespace

TChunkPlan PlanChunks(TChunkIndex Index, const std::string& Candidate, const std::string& Old,
                      const TStopToken& Stop, const TScanned& OnScanned) {
  TChunkPlan plan;
  plan.Index = std::move(Index);
  plan.Chunks.resize(plan.Index.Chunks.size());
  const int64_t held = GetFileInfo(Candidate).value_or(TFileInfo{}).Size;
  const int64_t oldSize = GetFileInfo(Old).value_or(TFileInfo{}).Size;
  TScanCount count{OnScanned, 0, held + oldSize};
  // Whatever cannot be read is fetched instead; verification guards the result either way.
  try {
    if (held > 0)
      FindHeldChunks(Candidate, plan, Stop, count);
  } catch (const TStopped&) {
    throw;
  } catch (const std::exception&) {
  }
  TChunkPlaces old;
  try {
    if (Missing(plan) && oldSize > 0)
      old = CutOldVersion(Old, Stop, count);
  } catch (const TStopped&) {
    throw;
  } catch (const std::exception&) {
    old.clear();
  }

  TChunkPlaces earlier;  // first place of each chunk in the new version
  int64_t offset = 0;
  for (size_t i = 0; i < plan.Chunks.size(); ++i) {
    const TChunk& chunk = plan.Index.Chunks[i];
    TPlannedChunk& planned = plan.Chunks[i];
    const auto [first, isFirst] = earlier.emplace(chunk.Hash, offset);
    if (planned.Source != TChunkSource::Candidate) {
      if (const auto found = old.find(chunk.Hash); found != old.end()) {
        planned = {TChunkSource::Old, found->second};
      } else if (!isFirst) {
        planned = {TChunkSource::Self, first->second};
      } else {
        planned.Source = TChunkSource::Fetch;
        plan.FetchBytes += chunk.Stored;
      }
    }
    offset += chunk.Size;
  }
  return plan;
}

bool ReusesAny(const TChunkPlan& Plan) {
  return std::any_of(Plan.Chunks.begin(), Plan.Chunks.end(), [](const TPlannedChunk& Chunk) {
    return Chunk.Source != TChunkSource::Fetch;
  });
}

std::vector<TFetchShare> SplitFetch(const TChunkPlan& Plan, int Shares, int64_t MinBytes) {
  const int64_t count =
      std::clamp<int64_t>(Plan.FetchBytes / std::max<int64_t>(MinBytes, 1), 1, Shares);
  const int64_t each = (Plan.FetchBytes + count - 1) / count;
  std::vector<TFetchShare> shares(1);
  for (size_t i = 0; i < Plan.Chunks.size(); ++i) {
    if (Plan.Chunks[i].Source != TChunkSource::Fetch)
      continue;
    if (shares.back().Bytes >= each && static_cast<int64_t>(shares.size()) < count)
      shares.emplace_back();
    TFetchShare& share = shares.back();
    if (!share.Runs.empty() && share.Runs.back().End == i)
      share.Runs.back().End = i + 1;
    else
      share.Runs.push_back({i, i + 1});
    share.Bytes += Plan.Index.Chunks[i].Stored;
  }
  return shares;
}

}  // namespace vt
