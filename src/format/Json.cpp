#include "format/Json.h"

#include <algorithm>

#include <charconv>
#include <limits>
#include <nlohmann/json.hpp>

#include "format/Errors.h"

namespace vt {

namespace {

using TNlohmann = nlohmann::json;

// Builds the document from nlohmann's SAX events. Containers that are still open sit on
// FOpen; each is the last element of its parent, and a parent gains no element while a child
// is open, so the pointers stay valid.
class TDocumentBuilder {
 public:
  TJsonValue FRoot;

  bool null() { return Add(TJsonValue{}) != nullptr; }
  bool boolean(bool Value) {
    TJsonValue value;
    value.Kind = TJsonValue::TKind::Boolean;
    value.Bool = Value;
    return Add(std::move(value)) != nullptr;
  }
  bool number_integer(TNlohmann::number_integer_t Value) {
    return AddNumber(std::to_string(Value));
  }
  bool number_unsigned(TNlohmann::number_unsigned_t Value) {
    return AddNumber(std::to_string(Value));
  }
  // The raw text is kept: it is what integers are read from, and a float's value is never used.
  bool number_float(TNlohmann::number_float_t, const TNlohmann::string_t& Raw) {
    return AddNumber(Raw);
  }
  bool string(TNlohmann::string_t& Value) {
    TJsonValue value;
    value.Kind = TJsonValue::TKind::String;
    value.Text = std::move(Value);
    return Add(std::move(value)) != nullptr;
  }
  bool binary(TNlohmann::binary_t&) { return false; }  // only the binary formats produce it
  bool start_object(std::size_t) { return Open(TJsonValue::TKind::Object); }
  bool key(TNlohmann::string_t& Name) {
    FOpen.back()->Members.push_back({std::move(Name), TJsonValue{}});
    return true;
  }
  bool end_object() { return Close(); }
  bool start_array(std::size_t) { return Open(TJsonValue::TKind::Array); }
  bool end_array() { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  std::vector<TJsonValue*> FOpen;

  // Places Value where the grammar expects the next value and returns where it now lives.
  TJsonValue* Add(TJsonValue&& Value) {
    if (FOpen.empty()) {
      FRoot = std::move(Value);
      return &FRoot;
    }
    TJsonValue& parent = *FOpen.back();
    if (parent.IsArray()) {
      parent.Items.push_back(std::move(Value));
      return &parent.Items.back();
    }
    parent.Members.back().second = std::move(Value);  // key() has just added the member
    return &parent.Members.back().second;
  }
  bool AddNumber(std::string Text) {
    TJsonValue value;
    value.Kind = TJsonValue::TKind::Number;
    value.Text = std::move(Text);
    return Add(std::move(value)) != nullptr;
  }
  // Refusing here stops the parse, so no document deeper than the limit is ever built: walking
  // and destroying the tree recurse once per level.
  bool Open(TJsonValue::TKind Kind) {
    if (FOpen.size() >= static_cast<std::size_t>(KJsonMaxDepth))
      return false;
    TJsonValue value;
    value.Kind = Kind;
    FOpen.push_back(Add(std::move(value)));
    return true;
  }
  bool Close() {
    TJsonValue& closed = *FOpen.back();
    if (closed.IsObject() && closed.Members.size() > KIndexFrom)
      BuildIndex(closed);
    FOpen.pop_back();
    return true;
  }
  static void BuildIndex(TJsonValue& Object) {
    Object.Index.resize(Object.Members.size());
    for (uint32_t i = 0; i < Object.Index.size(); ++i)
      Object.Index[i] = i;
    // Stable: among equal names the first stays first.
    std::stable_sort(Object.Index.begin(), Object.Index.end(), [&](uint32_t A, uint32_t B) {
      return Object.Members[A].first < Object.Members[B].first;
    });
  }
  // Below this many members a scan is as quick as a search.
  static constexpr std::size_t KIndexFrom = 16;
};

constexpr std::size_t KShownValueMax = 40;

// A value as a conversion error shows it: one short line, whatever the document holds.
std::string DescribeValue(const TJsonValue& Value) {
  switch (Value.Kind) {
    case TJsonValue::TKind::Null:
      return "null";
    case TJsonValue::TKind::Boolean:
      return Value.Bool ? "true" : "false";
    case TJsonValue::TKind::Array:
      return "an array";
    case TJsonValue::TKind::Object:
      return "an object";
    case TJsonValue::TKind::Number:
    case TJsonValue::TKind::String:
      break;
  }
  std::string shown;
  std::size_t end = Value.Text.size();
  if (end > KShownValueMax) {
    end = KShownValueMax;
    // Back off to a character boundary so that the message stays valid UTF-8.
    while (end > 0 && (static_cast<unsigned char>(Value.Text[end]) & 0xC0) == 0x80)
      --end;
  }
  for (std::size_t i = 0; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(Value.Text[i]);
    shown += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
  }
  if (end < Value.Text.size())
    shown += "...";
  return Value.Kind == TJsonValue::TKind::String ? "\"" + shown + "\"" : shown;
}

[[noreturn]] void ThrowConversion(std::string_view Path, const char* Wanted,
                                  const TJsonValue& Value) {
  throw TJsonError("Value '" + std::string(Path) + "' is not " + Wanted + ": " +
                   DescribeValue(Value));
}

[[noreturn]] void ThrowNotFound(std::string_view Path) {
  throw TUpdateError("Value '" + std::string(Path) + "' not found");
}

// Decimal digits with an optional sign, nothing else; empty when not that or beyond int64.
std::optional<int64_t> ParseDecimal(std::string_view Text, bool AllowPlus) {
  const bool plus = AllowPlus && !Text.empty() && Text.front() == '+';
  if (plus)
    Text.remove_prefix(1);
  const char* first = Text.data();
  const char* last = first + Text.size();
  if (!plus && first != last && *first == '-')
    ++first;
  if (first == last)
    return std::nullopt;
  for (const char* p = first; p != last; ++p) {
    if (*p < '0' || *p > '9')
      return std::nullopt;
  }
  int64_t result = 0;
  auto [end, error] = std::from_chars(Text.data(), last, result);
  if (error != std::errc() || end != last)
    return std::nullopt;
  return result;
}

// The integer a Number or String holds, within [Min, Max]; a conversion error otherwise.
int64_t ReadInteger(const TJsonValue& Value, std::string_view Path, const char* Wanted, int64_t Min,
                    int64_t Max) {
  std::optional<int64_t> result;
  // A number's text is JSON grammar already, so it cannot carry a plus sign; a fraction or an
  // exponent fails the digit test.
  if (Value.Kind == TJsonValue::TKind::Number)
    result = ParseDecimal(Value.Text, false);
  if (Value.Kind == TJsonValue::TKind::String)
    result = ParseDecimal(Value.Text, true);
  if (!result || *result < Min || *result > Max)
    ThrowConversion(Path, Wanted, Value);
  return *result;
}

constexpr const char* KInt32 = "a 32-bit integer";
constexpr const char* KInt64 = "a 64-bit integer";
constexpr int64_t KInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t KInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t KInt64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t KInt64Max = std::numeric_limits<int64_t>::max();

std::string ReadText(const TJsonValue& Value, std::string_view Path) {
  if (Value.Kind == TJsonValue::TKind::String || Value.Kind == TJsonValue::TKind::Number) {
    return Value.Text;
  }
  if (Value.IsNull())
    return std::string();
  ThrowConversion(Path, "a string", Value);
}

const TJsonValue& Require(const TJsonValue& Root, std::string_view Path) {
  const TJsonValue* value = FindPath(Root, Path);
  if (value == nullptr)
    ThrowNotFound(Path);
  return *value;
}

}  // namespace

const TJsonValue* TJsonValue::Member(std::string_view Name) const {
  if (!IsObject())
    return nullptr;
  if (!Index.empty()) {
    const auto found = std::lower_bound(Index.begin(), Index.end(), Name,
                                        [&](uint32_t At, std::string_view Wanted) {
                                          return std::string_view(Members[At].first) < Wanted;
                                        });
    if (found != Index.end() && Members[*found].first == Name)
      return &Members[*found].second;
    return nullptr;
  }
  for (const TMember& member : Members) {
    if (member.first == Name)
      return &member.second;
  }
  return nullptr;
}

std::optional<TJsonValue> ParseJson(std::string_view Text) {
  // nlohmann's lexer takes a NUL byte for the end of the input, which would let "{}\0junk"
  // pass. A raw NUL is valid nowhere in JSON text, strings included, so refuse it up front.
  if (Text.find('\0') != std::string_view::npos)
    return std::nullopt;
  TDocumentBuilder builder;
  const char* first = Text.data();
  const char* last = first + Text.size();
  bool parsed = false;
  try {
    // Strict: one value, then only white space. The lexer skips one leading byte-order mark.
    parsed = TNlohmann::sax_parse(first, last, &builder, nlohmann::json::input_format_t::json, true,
                                  false);
  } catch (const TNlohmann::exception&) {
    parsed = false;  // errors reach parse_error; this only guards against a library change
  }
  if (!parsed)
    return std::nullopt;
  return std::move(builder.FRoot);
}

const TJsonValue* FindPath(const TJsonValue& Root, std::string_view Path) {
  const TJsonValue* current = &Root;
  while (current != nullptr) {
    const std::size_t dot = Path.find('.');
    current = current->Member(Path.substr(0, dot));
    if (dot == std::string_view::npos)
      break;
    Path.remove_prefix(dot + 1);
  }
  return current;
}

int32_t ReadInt32(const TJsonValue& Root, std::string_view Path) {
  return static_cast<int32_t>(ReadInteger(Require(Root, Path), Path, KInt32, KInt32Min, KInt32Max));
}

int64_t ReadInt64(const TJsonValue& Root, std::string_view Path) {
  return ReadInteger(Require(Root, Path), Path, KInt64, KInt64Min, KInt64Max);
}

std::string ReadString(const TJsonValue& Root, std::string_view Path) {
  return ReadText(Require(Root, Path), Path);
}

const std::vector<TJsonValue>& ReadArray(const TJsonValue& Root, std::string_view Path) {
  const TJsonValue& value = Require(Root, Path);
  if (!value.IsArray())
    ThrowConversion(Path, "an array", value);
  return value.Items;
}

int32_t ReadInt32(const TJsonValue& Root, std::string_view Path, int32_t Default) {
  const TJsonValue* value = FindPath(Root, Path);
  if (value == nullptr || value->IsNull())
    return Default;
  return static_cast<int32_t>(ReadInteger(*value, Path, KInt32, KInt32Min, KInt32Max));
}

// Unlike the other optional readers, a null 64-bit integer is a conversion error, not the
// default: a null size or time in a record must not pass for a real one.
int64_t ReadInt64(const TJsonValue& Root, std::string_view Path, int64_t Default) {
  const TJsonValue* value = FindPath(Root, Path);
  if (value == nullptr)
    return Default;
  return ReadInteger(*value, Path, KInt64, KInt64Min, KInt64Max);
}

std::string ReadString(const TJsonValue& Root, std::string_view Path, std::string_view Default) {
  const TJsonValue* value = FindPath(Root, Path);
  if (value == nullptr || value->IsNull())
    return std::string(Default);
  return ReadText(*value, Path);
}

}  // namespace vt
