#pragma once
// The installed record as the run uses it: the root's "build" and "list", and for each member of
// "files" its name, size, time and digest in a few dozen bytes. Read straight from the text, so
// a record of a million files costs about its own size in memory, not a general document.
//
// A value that cannot be read as its type is kept as the conversion error that reading it
// raises, and raised only when the run reads that value: a bad "t" fails a run only for a file
// whose size matched, as with the general document.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/Json.h"

namespace vt {

class TInstalledRecord {
 public:
  // What a member read by its rule gave: a value, or a conversion error.
  enum class TState : uint8_t { Value, Error };
  // "h" as read: "" (missing or null), 64 hex digits (kept as 32 bytes), other text, or an
  // error.
  enum class THashState : uint8_t { Empty, Digest, Text, Error };

  struct TEntry {
    const char* Name = nullptr;  // in the record's name store; not NUL-terminated
    uint32_t NameSize = 0;
    bool IsObject = false;
    TState SizeState = TState::Value;
    TState TimeState = TState::Value;
    THashState HashState = THashState::Empty;
    uint32_t HashAt = 0;  // Text: index into the texts; Error: index into the errors
    int64_t Size = -1;    // the value, or the index of its error
    int64_t Time = -1;
    std::array<uint8_t, 32> Digest{};
  };

  // A root that is JSON null: not an object, no files.
  TInstalledRecord() = default;
  TInstalledRecord(TInstalledRecord&&) = default;
  TInstalledRecord& operator=(TInstalledRecord&&) = default;

  // The record in Text (UTF-8, already checked): nothing when it is not one complete JSON
  // value, exactly as ParseJson decides.
  static std::optional<TInstalledRecord> Parse(std::string_view Text);
  // The quick reader alone, which Parse tries first: nothing when it is not sure of the text
  // (which may still be JSON that Parse reads through the general parser).
  static std::optional<TInstalledRecord> ParseQuick(std::string_view Text);
  // The record that a parsed document holds, by the same reading rules.
  static TInstalledRecord FromDocument(const TJsonValue& Root);

  TJsonValue::TKind Kind() const { return FKind; }
  bool IsObject() const { return FKind == TJsonValue::TKind::Object; }
  // "build" as a 32-bit integer, default -1; raises its conversion error.
  int32_t Build() const;
  // "list" as a string, default empty; raises its conversion error.
  std::string List() const;
  // True when the root is an object whose first "files" is an object too.
  bool HasFiles() const { return FHasFiles; }
  // The members of that "files" object in stored order, equal names kept.
  const std::deque<TEntry>& Files() const { return FFiles; }
  static std::string_view NameOf(const TEntry& Entry) { return {Entry.Name, Entry.NameSize}; }
  // "s" and "t" (64-bit, default -1) and "h" (string, default empty) of an object entry;
  // each raises its conversion error.
  int64_t SizeOf(const TEntry& Entry) const;
  int64_t TimeOf(const TEntry& Entry) const;
  std::string HashOf(const TEntry& Entry) const;
  // The first member of "files" called Name exactly; null when there is none. Builds a sorted
  // index on its first call, so it must not be called from two threads at once.
  const TEntry* Find(std::string_view Name) const;

 private:
  friend class TRecordBuilder;

  TJsonValue::TKind FKind = TJsonValue::TKind::Null;
  TState FBuildState = TState::Value;
  int32_t FBuild = -1;  // or the index of its error
  TState FListState = TState::Value;
  std::string FList;  // or the error itself
  bool FHasFiles = false;
  std::deque<TEntry> FFiles;
  // Names live in blocks that never move, so entries point into them.
  std::vector<std::unique_ptr<char[]>> FNameBlocks;
  char* FBlockNext = nullptr;
  size_t FBlockFree = 0;
  std::vector<std::string> FTexts;
  std::vector<std::string> FErrors;
  mutable std::vector<uint32_t> FIndex;
};

// The record in "installed.json" at Path: nothing when the file is missing or is not one
// complete JSON value. Raises when it cannot be read, or is not valid UTF-8.
std::optional<TInstalledRecord> ReadInstalledRecord(const std::string& Path);

}  // namespace vt
