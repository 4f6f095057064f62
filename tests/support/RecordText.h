#pragma once
// Everything a run can read from an installed record, as one text: two records that give the
// same text are read alike by every operation. Shared by the tests and the fuzz target.

#include <string>

#include "format/Errors.h"
#include "format/InstalledRecord.h"

namespace vt::test {

// "=value" or "!conversion error".
template <typename TRead>
std::string Outcome(TRead Read) {
  try {
    return "=" + Read();
  } catch (const TJsonError& e) {
    return std::string("!") + e.what();
  }
}

inline std::string RecordText(const TInstalledRecord& Record) {
  std::string text = "kind " + std::to_string(static_cast<int>(Record.Kind()));
  text += " build" + Outcome([&] { return std::to_string(Record.Build()); });
  text += " list" + Outcome([&] { return Record.List(); });
  text += Record.HasFiles() ? " files\n" : " no files\n";
  for (const TInstalledRecord::TEntry& entry : Record.Files()) {
    const std::string name(TInstalledRecord::NameOf(entry));
    size_t first = 0;
    while (TInstalledRecord::NameOf(Record.Files()[first]) != name)
      ++first;
    text += "[" + name + "]" + (Record.Find(name) == &Record.Files()[first] ? "" : " NOT FIRST");
    if (entry.IsObject) {
      text += " s" + Outcome([&] { return std::to_string(Record.SizeOf(entry)); });
      text += " t" + Outcome([&] { return std::to_string(Record.TimeOf(entry)); });
      text += " h" + Outcome([&] { return Record.HashOf(entry); });
    }
    text += "\n";
  }
  return text;
}

}  // namespace vt::test
