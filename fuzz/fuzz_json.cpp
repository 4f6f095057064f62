// Fuzzes the JSON parser and the member reading rules: any input must either be refused or
// give a document that every reader can walk, failing only with the engine's own exceptions.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "format/Errors.h"
#include "format/Json.h"
#include "format/Text.h"

namespace {

using vt::TJsonValue;

void Check(bool Condition) {
  if (!Condition)
    std::abort();
}

// Every reader on one path; only conversion and not-found errors may come out.
void ReadAllWays(const TJsonValue& Root, std::string_view Path) {
  const auto attempt = [](auto&& Read) {
    try {
      Read();
    } catch (const vt::TUpdateError&) {
    } catch (const vt::TJsonError&) {
    }
  };
  attempt([&] { vt::ReadInt32(Root, Path); });
  attempt([&] { vt::ReadInt64(Root, Path); });
  attempt([&] { vt::ReadString(Root, Path); });
  attempt([&] { vt::ReadArray(Root, Path); });
  attempt([&] { vt::ReadInt32(Root, Path, -1); });
  attempt([&] { vt::ReadInt64(Root, Path, -1); });
  attempt([&] { vt::AsciiLower(vt::ReadString(Root, Path, "o/")); });
}

// A number's text is JSON on its own and reads back to the same text.
void CheckNumber(const TJsonValue& Value) {
  const std::optional<TJsonValue> again = vt::ParseJson(Value.Text);
  Check(again && again->Kind == TJsonValue::TKind::Number && again->Text == Value.Text);
}

// Walks the whole document: first-wins lookups, numbers, and readers on every member. The
// parser's depth limit bounds the recursion.
void Walk(const TJsonValue& Value, int Depth) {
  Check(Depth <= vt::KJsonMaxDepth);
  if (Value.Kind == TJsonValue::TKind::Number)
    CheckNumber(Value);
  for (const TJsonValue& item : Value.Items)
    Walk(item, Depth + 1);
  for (const TJsonValue::TMember& member : Value.Members) {
    const TJsonValue* first = Value.Member(member.first);
    Check(first != nullptr && (first == &member.second || first < &member.second));
    // A name without dots is a path of one level, so FindPath must agree with Member.
    if (member.first.find('.') == std::string::npos) {
      Check(vt::FindPath(Value, member.first) == first);
    }
    ReadAllWays(Value, member.first);
    Walk(member.second, Depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view text(reinterpret_cast<const char*>(Data), Size);
  const std::optional<TJsonValue> root = vt::ParseJson(text);
  if (!root)
    return 0;
  for (const char* path : {"format", "build", "objects", "list", "list.p", "list.s", "list.h",
                           "list.z", "files", "files.p", "", ".", "list..p"}) {
    ReadAllWays(*root, path);
  }
  // The file list's elements and the installed record's entries, as the engine reads them.
  if (const TJsonValue* files = vt::FindPath(*root, "files")) {
    for (const TJsonValue& element : files->Items) {
      for (const char* key : {"p", "s", "h", "z"})
        ReadAllWays(element, key);
    }
    for (const TJsonValue::TMember& entry : files->Members) {
      for (const char* key : {"s", "t", "h"})
        ReadAllWays(entry.second, key);
    }
  }
  Walk(*root, 1);
  return 0;
}
