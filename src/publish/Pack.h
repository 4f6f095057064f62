#pragma once
// Turning a game folder into the static tree an update server serves: content-addressed
// objects, a compressed file list, the manifest "version" and its signature "version.sig".

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/Chunks.h"
#include "format/RemoteFile.h"
#include "publish/Release.h"
#include "publish/Signer.h"

namespace vt {

// How objects (and the list) are stored. Auto keeps the zlib form only when it is at least
// KAutoSavingPercent smaller than the file, since every compressed object costs the player
// an inflation pass. To spare a deflation of whole big files that are compressed already
// (most game archives are), Auto first deflates a trial of a bigger file's first
// KAutoProbeBytes and stores the file plain when that does not shrink by KAutoProbePercent.
enum class TCompress { Auto, Always, Never };
constexpr int64_t KAutoSavingPercent = 5;
constexpr int64_t KAutoProbeBytes = 1048576;
constexpr int64_t KAutoProbePercent = 2;

// Which files get chunk data (a chunk index beside an object written as a chunk store, so that
// a client can fetch only the chunks it lacks): Auto gives it to every file of at least
// TPackOptions::ChunkFrom bytes.
enum class TChunks { Auto, Never };

// Each packing thread holds about 4 MiB of buffers and zlib state whatever the file sizes;
// this many keep a pack under 64 MiB.
constexpr int KMaxPackThreads = 8;

// Progress of a pack or a check: whole files done, and bytes of them done so far.
struct TTreeProgress {
  int64_t DoneFiles = 0;
  int64_t Files = 0;
  int64_t DoneBytes = 0;
  int64_t Bytes = 0;
  std::string_view Path;  // the file at hand
};
using TProgressCallback = std::function<void(const TTreeProgress&)>;

struct TPackOptions {
  int32_t Build = 0;
  // The manifest's "objects" value; empty leaves it out (the launcher then uses "o/").
  std::string Objects;
  TCompress Compress = TCompress::Auto;
  int Level = 6;  // zlib level of objects; the list always gets 9
  TChunks Chunks = TChunks::Auto;
  // The least size of a file with chunk data (at least 1); below KChunkedFileMin only for
  // tests that want chunks of small files. The cut rule is the same whatever it is.
  int64_t ChunkFrom = KChunkedFileMin;
  // Files hashed and compressed at once; 0 takes one per core, up to KMaxPackThreads. The
  // tree written is the same byte for byte whatever the count.
  int Threads = 0;
  // Patterns of files to leave out (see TExcludeRules), besides the game folder's
  // ".vtpublishignore".
  std::vector<std::string> Exclude;
  // Publish a build that is not greater than the live one (a rollback on purpose).
  bool AllowSameOrLower = false;
  // Called from the packing threads, one call at a time; it may raise to stop the pack.
  TProgressCallback Progress;
  // Keys that sign the release beside the one Pack is given (release keys of a threshold).
  std::vector<TSigningKey> MoreKeys;
  // Seconds from now after which the release is stale; none: it never is.
  std::optional<int64_t> ExpiresIn;
  // The channel it goes live on (see TPublication).
  std::string Channel = KStableChannel;
  // The share of installs, 1 to 100, that take it while the others keep the live release;
  // none: every install at once. Critical sends it to every install even while the live
  // release is still rolling out (see PlanRollout).
  std::optional<int32_t> Rollout;
  bool Critical = false;
  // The mirrors the manifest lists (see TPublication); none: those of the live release.
  std::optional<std::vector<std::string>> Mirrors;
  std::optional<std::vector<std::string>> ObjectMirrors;
};

struct TPackResult {
  int64_t Files = 0;
  int64_t Bytes = 0;           // of the game files
  int64_t ObjectsWritten = 0;  // entries whose object this pack wrote
  int64_t ObjectsReused = 0;   // entries whose object was already there (or written for an
                               // identical file earlier in this pack)
  int64_t Compressed = 0;      // entries stored zlib-compressed
  int64_t StoredBytes = 0;     // object bytes the entries take on the server
  std::string ObjectsFolder;   // where the objects went, relative to the output, "/" ending
  bool UploadObjects = false;  // the objects base is absolute: ObjectsFolder goes there
  int64_t FromCache = 0;       // entries whose file was not read: the cache knew it
  int64_t UnreadBytes = 0;     // their size
  int64_t Excluded = 0;        // files and folders the patterns left out
  int64_t Chunked = 0;         // entries with chunk data
  int64_t IndexesWritten = 0;  // chunk indexes this pack wrote
  // Entries of ChunkFrom bytes or more without chunk data: their zlib object was in the store
  // already, written without chunk data, and is kept as it is (live lists give its size).
  int64_t WithoutChunks = 0;
  // Of Bytes, what the store held before this pack: files whose object was there, and chunks
  // of newly written objects that an index of a release the tree keeps already had.
  int64_t HeldWhole = 0;
  int64_t HeldChunks = 0;
  std::vector<std::string> LeftOutVcs;   // version-control folders left out
  std::optional<int32_t> PreviousBuild;  // the build OutDir served before
  std::string CacheProblem;              // why the cache could not be saved, when it could not
  TRemoteFile List;                      // the list as the manifest describes it
  TManifestStamp Stamp;                  // the sequence, expiry and keys version it got
};

// The folder, relative to the output and ending in "/", that holds the objects for a manifest
// "objects" value ("o/" for an empty or absolute one). Raises for a value a release cannot
// use: not ending in "/", or a relative one that would leave the tree.
std::string ObjectsFolderFor(const std::string& Objects);

// Packs every regular file of GameDir (less what is left out) into OutDir (made when missing)
// and signs the manifest with Key. Objects already in OutDir are reused. Every file is
// written beside its final name and renamed into place, in the order that keeps the tree
// whole for a client reading it meanwhile: objects, the list, the history entry, then
// "version.sig" and "version". A pack that fails leaves the previous release intact. Refuses
// a build not greater than the live one unless Options allow it. Raises with a one-line
// message naming the file at fault.
TPackResult Pack(const std::string& GameDir, const std::string& OutDir, const TSigningKey& Key,
                 const TPackOptions& Options);

}  // namespace vt
