#pragma once
// Reading releases back from an output tree: the live manifest, the publishing history, and
// what each release needs on the server. Prune, diff and the pack's build check share it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/Digest.h"
#include "format/Manifest.h"
#include "format/RemoteFile.h"

namespace vt {

// Stands in for the server's base URL when a manifest is read from a tree, so that relative
// object bases can be told apart from absolute ones.
constexpr const char* KTreeUrl = "https://tree.invalid/";

// The whole content of the file at Path; raises "<path>: <reason>".
TBytes ReadFileBytes(const std::string& Path);

// One release as the tree holds it.
struct TTreeRelease {
  TManifest Manifest;
  std::string StoreFolder;         // of its objects, relative to the tree, "/" ending
  std::vector<TRemoteFile> Files;  // its file list
};

// Reads the release that the manifest Bytes describe from OutDir: its list (inflated and
// checked against the manifest's size and SHA-256) and the folder of its objects (the upload
// copy "o/" for an absolute base). Raises with a one-line message naming the file at fault.
TTreeRelease ReadTreeRelease(const std::string& OutDir, const TBytes& Manifest);
// The same for a manifest read with KTreeUrl (the release a rollout keeps, for one).
TTreeRelease ReadTreeRelease(const std::string& OutDir, const TManifest& Manifest);

// The folder of the tree that holds Manifest's objects (read with KTreeUrl), "/" ending:
// the upload copy "o/" for an absolute base.
std::string StoreFolderOf(const TManifest& Manifest);
// An objects base read with KTreeUrl as a manifest writes it: empty for the default "o/".
std::string WrittenObjects(const std::string& Objects);

// Every file of the tree, relative to it with "/" separators, that a client installing
// Release may request besides "version" and "version.sig": its list, its objects and their
// chunk indexes. The one place that says so, for prune and diff alike.
std::vector<std::string> ReleaseNeeds(const TTreeRelease& Release);

// The stored size of the object of Entry (its zlib size when compressed).
int64_t ObjectBytes(const TRemoteFile& Entry);

// The manifest OutDir serves now on Channel, or nothing when it has none. Raises when there is
// one that cannot be read.
std::optional<TBytes> LiveManifest(const std::string& OutDir,
                                   const std::string& Channel = KStableChannel);
// The channels besides stable that OutDir's index names, in its order.
std::vector<std::string> TreeChannels(const std::string& OutDir);
// Adds Channel to OutDir's index of channels when it is not there.
void AddTreeChannel(const std::string& OutDir, const std::string& Channel);
// The build of such a manifest; raises when it does not read as one.
int32_t BuildOf(const TBytes& Manifest);

// One published manifest, in the order of publishing.
struct THistoryEntry {
  int64_t Sequence = 0;
  int32_t Build = 0;
  // Its manifest's, once ReadHistoryChannels read it (stable when it does not read).
  std::string Channel = KStableChannel;
  // Local path of the kept manifest; its signatures are Path + ".sig" and, since keys
  // documents, Path + ".sigs".
  std::string Path;
};

// The tree's history, oldest first; empty when it has none. Files that are not history
// entries are skipped.
std::vector<THistoryEntry> ReadHistory(const std::string& OutDir);
// Reads each entry's channel from its manifest: only what sorts the history by channel pays
// for reading every entry.
void ReadHistoryChannels(std::vector<THistoryEntry>& History);
// Adds Manifest (of Build, published as Sequence) with its files of signatures ("version.sig"
// and "version.sigs") as the newest history entry, so that an older build can be served again
// as it was.
void AddToHistory(const std::string& OutDir, int64_t Sequence, int32_t Build,
                  const TBytes& Manifest, const TBytes& Signature, const TBytes& Signatures);
// The folder of the history, for messages.
std::string HistoryFolder(const std::string& OutDir);

}  // namespace vt
