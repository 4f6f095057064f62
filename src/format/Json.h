#pragma once
// The JSON document the engine reads manifests, file lists and installed records into, and
// the reading rules that all three follow: exact member names, the first of equal names wins,
// dotted paths go one object level per name, required members fail with
// "Value '%s' not found", optional members default.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

class TJsonValue {
 public:
  enum class TKind { Null, Boolean, Number, String, Array, Object };
  struct TMember;  // a member's name and value, defined below

  TKind Kind = TKind::Null;
  bool Bool = false;
  // A string's value, or a number's decimal text as written (integers re-rendered).
  std::string Text;
  std::vector<TJsonValue> Items;  // an array's elements
  std::vector<TMember> Members;   // an object's members in document order, duplicates kept

  bool IsObject() const { return Kind == TKind::Object; }
  bool IsArray() const { return Kind == TKind::Array; }
  bool IsNull() const { return Kind == TKind::Null; }
  // The first member called Name; null when there is none or this is not an object.
  const TJsonValue* Member(std::string_view Name) const;

  // Members' positions sorted by name, then by position, for objects with many members; so a
  // record of thousands of files is looked up in logarithmic time. Built by the parser.
  std::vector<uint32_t> Index;
};

// Not a std::pair: clang with libstdc++ refuses a pair whose type is still being defined.
struct TJsonValue::TMember {
  std::string first;
  TJsonValue second;
};

// Deepest nesting of arrays and objects accepted; deeper text counts as not JSON.
constexpr int KJsonMaxDepth = 512;

// One complete JSON value in UTF-8 (a leading byte-order mark skipped, white space around it
// allowed); nothing when Text is not exactly that.
std::optional<TJsonValue> ParseJson(std::string_view Text);

// The value at a dotted path ("list.p"): every level but the last must be an object.
const TJsonValue* FindPath(const TJsonValue& Root, std::string_view Path);

// Required members: missing raises TUpdateError "Value '%s' not found"; a value that cannot
// be read as the type raises TJsonError. A null string reads as "", a null integer fails.
int32_t ReadInt32(const TJsonValue& Root, std::string_view Path);
int64_t ReadInt64(const TJsonValue& Root, std::string_view Path);
std::string ReadString(const TJsonValue& Root, std::string_view Path);
const std::vector<TJsonValue>& ReadArray(const TJsonValue& Root, std::string_view Path);

// Optional members: missing gives Default. Null gives Default for 32-bit integers and strings
// and is a conversion error for 64-bit integers.
int32_t ReadInt32(const TJsonValue& Root, std::string_view Path, int32_t Default);
int64_t ReadInt64(const TJsonValue& Root, std::string_view Path, int64_t Default);
std::string ReadString(const TJsonValue& Root, std::string_view Path, std::string_view Default);

}  // namespace vt
