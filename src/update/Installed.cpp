#include "update/Installed.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "format/Digest.h"
#include "format/Errors.h"
#include "format/GameFolder.h"
#include "format/InstalledRecord.h"
#include "format/JsonWriter.h"
#include "format/Paths.h"
#include "format/Text.h"
#include "platform/FileInfo.h"
#include "platform/Files.h"
#include "platform/SysError.h"

namespace vt {

namespace {

constexpr std::string_view KUtf8Bom = "\xEF\xBB\xBF";

// Case folding for the set of new paths. Windows folds names as the user's locale does; the
// engine has no locale of its own, so A to Z stand in for it. Missing a fold only keeps a file
// that a finer fold would have deleted: it never deletes one that the new build lists.
std::string FoldNameCase(std::string_view Name) {
  return AsciiLower(Name);
}

bool SameIgnoringAsciiCase(std::string_view A, std::string_view B) {
  return AsciiLower(A) == AsciiLower(B);
}

// True when Entry is an object whose "s" and "t" match Size and Time. Reads "t" only when "s"
// matched, so a bad "t" fails the run only for a file whose size is as recorded.
bool RecordMatches(const TInstalledRecord& Record, const TInstalledRecord::TEntry& Entry,
                   const TFileInfo& Now) {
  return Entry.IsObject && Record.SizeOf(Entry) == Now.Size && Record.TimeOf(Entry) == Now.Time;
}

void AppendFileEntry(std::string& Out, const TRemoteFile& File, const TFileInfo& Now) {
  AppendJsonName(Out, File.Path);
  Out += '{';
  AppendJsonName(Out, "s");
  AppendJsonInt(Out, Now.Size);
  Out += ',';
  AppendJsonName(Out, "t");
  AppendJsonInt(Out, Now.Time);
  Out += ',';
  AppendJsonName(Out, "h");
  AppendJsonString(Out, File.Hash);
  Out += '}';
}

}  // namespace

// Close reports a failure that the destructor would swallow.
void WriteBeside(const std::string& Target, const std::string& Text) {
  const std::string temporary = Target + ".part";
  try {
    TFile out = TFile::Create(temporary);
    out.Write(Text.data(), Text.size());
    out.Close();
  } catch (const TFileWriteError&) {
    RemoveFile(temporary);
    throw;
  }
  if (const TSysStatus moved = ReplaceFile(temporary, Target); !moved) {
    RemoveFile(temporary);
    throw TUpdateError(Target + ": " + moved.Text());
  }
}

TInstalled ReadInstalled(const TRunContext& Run) {
  return {ReadInstalledRecord(Run.LocalPath(KInstalledName)), !Run.Options.Verify};
}

int32_t RecordedBuild(const TInstalled& Installed) {
  const TInstalledRecord* record = Installed.Previous();
  if (record == nullptr || !record->IsObject())
    return -1;
  try {
    return record->Build();
  } catch (const std::exception&) {
    return -1;  // a "build" that does not read names no build
  }
}

bool RecordNamesRelease(const TInstalledRecord* Record, const TManifest& Release) {
  return Record != nullptr && Record->IsObject() && Record->Build() == Release.Build &&
         SameIgnoringAsciiCase(Record->List(), Release.List.Hash);
}

bool IsUpToDate(const std::string& Dir, const TInstalledRecord* Record, const TManifest& Release) {
  if (!RecordNamesRelease(Record, Release))
    return false;
  // An empty record would vouch for a folder from which everything was deleted.
  if (!Record->HasFiles() || Record->Files().empty())
    return false;
  TFileInfoReader info(Dir);
  for (const TInstalledRecord::TEntry& entry : Record->Files()) {
    const std::string_view name = TInstalledRecord::NameOf(entry);
    if (!entry.IsObject || !IsSafeRelativePath(name))
      return false;
    const std::optional<TFileInfo> now = info.Get(name);
    if (!now || !RecordMatches(*Record, entry, *now))
      return false;
  }
  return true;
}

TKnown KnownWithoutHashing(const TRemoteFile& File, const TInstalledRecord* Previous,
                           TFileInfoReader& Info) {
  const std::optional<TFileInfo> now = Info.Get(File.Path);
  if (!now || now->Size != File.Size)
    return TKnown::NotCurrent;
  const TInstalledRecord::TEntry* entry =
      Previous != nullptr && Previous->HasFiles() ? Previous->Find(File.Path) : nullptr;
  if (entry != nullptr && RecordMatches(*Previous, *entry, *now) &&
      SameIgnoringAsciiCase(Previous->HashOf(*entry), File.Hash)) {
    return TKnown::Current;
  }
  return TKnown::Hash;
}

bool HashMatches(const std::string& Dir, const TRemoteFile& File, const TStopToken& Stop) {
  const std::string local = JoinLocalPath(Dir, File.Path);
  // Asked once more: on Windows the pass's answer came from a folder listing made earlier, and
  // a file gone since then is not current, as it was not when asked one by one.
  const std::optional<TFileInfo> now = GetFileInfo(local);
  if (!now || now->Size != File.Size)
    return false;
  return FileSha256Hex(local, Stop) == File.Hash;
}

bool IsFileCurrent(const TRunContext& Run, const TRemoteFile& File,
                   const TInstalledRecord* Previous) {
  TFileInfoReader info(Run.Dir);
  switch (KnownWithoutHashing(File, Previous, info)) {
    case TKnown::NotCurrent:
      return false;
    case TKnown::Current:
      return true;
    case TKnown::Hash:
      break;
  }
  return HashMatches(Run.Dir, File, Run.Stop);
}

std::vector<std::string> ObsoleteFiles(const TInstalledRecord* Previous,
                                       const std::vector<TRemoteFile>& Files) {
  std::vector<std::string> obsolete;
  if (Previous == nullptr || !Previous->HasFiles())
    return obsolete;
  std::unordered_set<std::string> kept;
  for (const TRemoteFile& file : Files)
    kept.insert(FoldNameCase(file.Path));
  for (const TInstalledRecord::TEntry& entry : Previous->Files()) {
    const std::string_view name = TInstalledRecord::NameOf(entry);
    if (!IsSafeRelativePath(name) || kept.contains(FoldNameCase(name)))
      continue;
    // The running launcher is replaced only by its own step, never deleted here.
    if (SameIgnoringAsciiCase(name, KLauncherName))
      continue;
    obsolete.emplace_back(name);
  }
  return obsolete;
}

void RemoveObsoleteFiles(const std::string& Dir, const std::vector<std::string>& Paths) {
  // Housekeeping: a file already gone, read-only or in use is simply passed over. Folders are
  // never removed, as a file deletion refuses them.
  for (const std::string& path : Paths)
    RemoveFile(JoinLocalPath(Dir, path));
}

void SaveInstalled(const std::string& Dir, const TManifest& Release,
                   const std::vector<TRemoteFile>& Files) {
  std::string text(KUtf8Bom);
  text += '{';
  AppendJsonName(text, "build");
  AppendJsonInt(text, Release.Build);
  text += ',';
  AppendJsonName(text, "list");
  AppendJsonString(text, Release.List.Hash);
  text += ',';
  AppendJsonName(text, "files");
  text += '{';
  bool first = true;
  TFileInfoReader info(Dir);
  for (const TRemoteFile& file : Files) {
    const std::optional<TFileInfo> now = info.Get(file.Path);
    if (!now)
      continue;
    if (!first)
      text += ',';
    first = false;
    AppendFileEntry(text, file, *now);
  }
  text += "}}";
  WriteBeside(JoinLocalPath(Dir, KInstalledName), text);
}

}  // namespace vt
