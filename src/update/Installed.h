#pragma once
// The installed record ("installed.json") in a run: what it tells before anything is fetched,
// what it lets the checking pass skip, which files it lets the run delete, and writing it after
// a complete run.

#include <optional>
#include <string>
#include <vector>

#include "format/InstalledRecord.h"
#include "format/Manifest.h"
#include "format/RemoteFile.h"
#include "platform/FileInfo.h"
#include "platform/Stop.h"
#include "update/RunContext.h"

namespace vt {

// What the game folder held before the run: its record, and whether that may vouch for files.
struct TInstalled {
  std::optional<TInstalledRecord> Record;
  bool Trusted = true;  // false when the run trusts no record (TUpdaterOptions::Verify)

  // The record, or null: which files the previous build had.
  const TInstalledRecord* Previous() const { return Record ? &*Record : nullptr; }
  // The record where it may vouch for files, else null.
  const TInstalledRecord* Vouching() const { return Trusted ? Previous() : nullptr; }
};

// Reads the game folder's record (nothing when it is missing or not JSON). Raises when it
// cannot be read or is not valid UTF-8.
TInstalled ReadInstalled(const TRunContext& Run);

// The build Installed's record names; -1 when there is no usable record.
int32_t RecordedBuild(const TInstalled& Installed);
// True when Record (may be null) names Release's build and list.
bool RecordNamesRelease(const TInstalledRecord* Record, const TManifest& Release);
// True when Record (may be null) names Release with every file in Dir unchanged.
bool IsUpToDate(const std::string& Dir, const TInstalledRecord* Record, const TManifest& Release);

// What a file's attributes and the record (may be null) tell of it: that it differs, that it is
// current, or that only its hash can tell.
enum class TKnown { NotCurrent, Current, Hash };
TKnown KnownWithoutHashing(const TRemoteFile& File, const TInstalledRecord* Previous,
                           TFileInfoReader& Info);
// The file in Dir as it is now has File's size and SHA-256. Safe on any thread.
bool HashMatches(const std::string& Dir, const TRemoteFile& File, const TStopToken& Stop);
// Both in one: true when the local copy of File is right.
bool IsFileCurrent(const TRunContext& Run, const TRemoteFile& File,
                   const TInstalledRecord* Previous);

// The files that Previous (may be null) named and Files lacks, "vtlaunch.exe" at the top spared.
std::vector<std::string> ObsoleteFiles(const TInstalledRecord* Previous,
                                       const std::vector<TRemoteFile>& Files);
// Deletes those relative paths in Dir; one that cannot be deleted is passed over.
void RemoveObsoleteFiles(const std::string& Dir, const std::vector<std::string>& Paths);

// Writes Text beside Target and renames it into place, so that a crash or a full disk never
// leaves a cut file of the launcher's own (a cut byte-order mark would fail every later run).
// Raises with a one-line message; a failed write leaves no temporary file.
void WriteBeside(const std::string& Target, const std::string& Text);

// Writes Dir's "installed.json" for Release and Files as they are on disk now.
void SaveInstalled(const std::string& Dir, const TManifest& Release,
                   const std::vector<TRemoteFile>& Files);

}  // namespace vt
