#include "format/InstalledRecord.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "format/Digest.h"
#include "format/Errors.h"
#include "format/Streams.h"
#include "format/Utf8.h"
#include "platform/Files.h"

namespace vt {

namespace {

constexpr size_t KNameBlock = 1 << 20;
// Nesting the quick reader follows; deeper text goes to the general parser, whose limit is
// far higher, so both agree on where text stops being JSON.
constexpr int KQuickDepth = 64;
// Integers of at most this many digits fit in 64 bits whatever they are.
constexpr size_t KSafeDigits = 18;

void AppendUtf8(std::string& Out, uint32_t CodePoint) {
  if (CodePoint < 0x80) {
    Out += static_cast<char>(CodePoint);
  } else if (CodePoint < 0x800) {
    Out += static_cast<char>(0xC0 | (CodePoint >> 6));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  } else if (CodePoint < 0x10000) {
    Out += static_cast<char>(0xE0 | (CodePoint >> 12));
    Out += static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (CodePoint >> 18));
    Out += static_cast<char>(0x80 | ((CodePoint >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  }
}

TJsonValue OneMember(std::string_view Name, TJsonValue Value) {
  TJsonValue object;
  object.Kind = TJsonValue::TKind::Object;
  object.Members.push_back({std::string(Name), std::move(Value)});
  return object;
}

}  // namespace

// Fills a record; both readers go through it, so they store values alike.
class TRecordBuilder {
 public:
  explicit TRecordBuilder(TInstalledRecord& Record) : R(Record) {}

  void SetKind(TJsonValue::TKind Kind) { R.FKind = Kind; }
  void SetHasFiles() { R.FHasFiles = true; }

  // "build" and "list" of an object root, by the general rules.
  void ReadRoot(const TJsonValue& Root) {
    try {
      R.FBuild = ReadInt32(Root, "build", -1);
    } catch (const TJsonError& e) {
      R.FBuildState = TInstalledRecord::TState::Error;
      R.FBuild = static_cast<int32_t>(AddError(e.what()));
    }
    try {
      R.FList = ReadString(Root, "list", "");
    } catch (const TJsonError& e) {
      R.FListState = TInstalledRecord::TState::Error;
      R.FList = e.what();
    }
  }

  TInstalledRecord::TEntry& AddEntry(std::string_view Name) {
    TInstalledRecord::TEntry& entry = R.FFiles.emplace_back();
    entry.Name = StoreName(Name);
    entry.NameSize = static_cast<uint32_t>(Name.size());
    return entry;
  }

  // Member Name of Object as a 64-bit integer with default -1, into Value and State.
  void ReadInt64Member(const TJsonValue& Object, const char* Name, int64_t& Value,
                       TInstalledRecord::TState& State) {
    try {
      Value = ReadInt64(Object, Name, -1);
      State = TInstalledRecord::TState::Value;
    } catch (const TJsonError& e) {
      Value = static_cast<int64_t>(AddError(e.what()));
      State = TInstalledRecord::TState::Error;
    }
  }

  void ReadHashMember(const TJsonValue& Object, TInstalledRecord::TEntry& Entry) {
    try {
      SetHash(Entry, ReadString(Object, "h", ""));
    } catch (const TJsonError& e) {
      Entry.HashState = TInstalledRecord::THashState::Error;
      Entry.HashAt = static_cast<uint32_t>(AddError(e.what()));
    }
  }

  void SetHash(TInstalledRecord::TEntry& Entry, std::string_view Text) {
    using THashState = TInstalledRecord::THashState;
    if (Text.empty()) {
      Entry.HashState = THashState::Empty;
      return;
    }
    if (Text.size() == 2 * Entry.Digest.size()) {
      bool hex = true;
      for (size_t i = 0; i < Entry.Digest.size() && hex; ++i) {
        const int high = HexValue(Text[2 * i]), low = HexValue(Text[2 * i + 1]);
        hex = high >= 0 && low >= 0;
        Entry.Digest[i] = static_cast<uint8_t>(high * 16 + low);
      }
      if (hex) {
        Entry.HashState = THashState::Digest;
        return;
      }
    }
    Entry.HashState = THashState::Text;
    Entry.HashAt = static_cast<uint32_t>(R.FTexts.size());
    R.FTexts.emplace_back(Text);
  }

  // An object entry read from its parsed value.
  void ReadEntry(const TJsonValue& Value, TInstalledRecord::TEntry& Entry) {
    Entry.IsObject = Value.IsObject();
    if (!Entry.IsObject)
      return;
    ReadInt64Member(Value, "s", Entry.Size, Entry.SizeState);
    ReadInt64Member(Value, "t", Entry.Time, Entry.TimeState);
    ReadHashMember(Value, Entry);
  }

 private:
  size_t AddError(std::string Message) {
    R.FErrors.push_back(std::move(Message));
    return R.FErrors.size() - 1;
  }

  const char* StoreName(std::string_view Name) {
    if (Name.size() > R.FBlockFree) {
      const size_t size = std::max(Name.size(), KNameBlock);
      R.FNameBlocks.push_back(std::make_unique<char[]>(size));
      R.FBlockNext = R.FNameBlocks.back().get();
      R.FBlockFree = size;
    }
    char* at = R.FBlockNext;
    if (!Name.empty())
      std::memcpy(at, Name.data(), Name.size());
    R.FBlockNext += Name.size();
    R.FBlockFree -= Name.size();
    return at;
  }

  TInstalledRecord& R;
};

namespace {

// A hand-written reader for records as they are written, and for any other JSON without
// escapes it cannot vouch for. It answers only when sure; on anything unusual (a fraction or
// an exponent, a long integer, deep nesting, a lone surrogate, text that is not JSON) it gives
// up and the general parser decides, so both accept exactly the same texts.
class TQuickReader {
 public:
  TQuickReader(std::string_view Text, TInstalledRecord& Record)
      : FAt(Text.data()), FEnd(Text.data() + Text.size()), FOut(Record) {}

  bool Read() {
    if (FEnd - FAt >= 3 && std::memcmp(FAt, "\xEF\xBB\xBF", 3) == 0)
      FAt += 3;
    SkipSpace();
    if (FAt == FEnd)
      return false;
    if (*FAt == '{') {
      if (!Root())
        return false;
    } else {
      TJsonValue::TKind kind;
      if (!Skip(1, kind))
        return false;
      FOut.SetKind(kind);
    }
    SkipSpace();
    return FAt == FEnd;
  }

 private:
  void SkipSpace() {
    while (FAt != FEnd && (*FAt == ' ' || *FAt == '\n' || *FAt == '\r' || *FAt == '\t'))
      ++FAt;
  }
  // A member's name into FKey, and its colon.
  bool MemberName() {
    FKey.clear();
    return FAt != FEnd && *FAt == '"' && String(&FKey) && Expect(':');
  }
  bool Expect(char C) {
    SkipSpace();
    if (FAt == FEnd || *FAt != C)
      return false;
    ++FAt;
    SkipSpace();
    return true;
  }
  // After a member: true with Done set at "}", true at ",", false otherwise.
  bool Next(bool& Done, char Close) {
    SkipSpace();
    if (FAt != FEnd && *FAt == ',') {
      ++FAt;
      SkipSpace();
      Done = false;
      return true;
    }
    if (FAt != FEnd && *FAt == Close) {
      ++FAt;
      Done = true;
      return true;
    }
    return false;
  }
  // At "{" or "[": true with Done set when the container is empty.
  bool Open(bool& Done, char Close) {
    ++FAt;
    SkipSpace();
    Done = FAt != FEnd && *FAt == Close;
    if (Done)
      ++FAt;
    return true;
  }

  // A string at its opening quote, decoded into Out when Out is not null.
  bool String(std::string* Out) {
    ++FAt;
    for (;;) {
      const char* start = FAt;
      while (FAt != FEnd && *FAt != '"' && *FAt != '\\' && static_cast<unsigned char>(*FAt) >= 0x20)
        ++FAt;
      if (Out != nullptr)
        Out->append(start, FAt);
      if (FAt == FEnd || static_cast<unsigned char>(*FAt) < 0x20)
        return false;
      if (*FAt++ == '"')
        return true;
      if (FAt == FEnd)
        return false;
      const char escape = *FAt++;
      char plain = 0;
      switch (escape) {
        case '"':
        case '\\':
        case '/':
          plain = escape;
          break;
        case 'b':
          plain = '\b';
          break;
        case 'f':
          plain = '\f';
          break;
        case 'n':
          plain = '\n';
          break;
        case 'r':
          plain = '\r';
          break;
        case 't':
          plain = '\t';
          break;
        case 'u': {
          uint32_t unit = 0;
          if (!Hex4(unit))
            return false;
          if (unit >= 0xDC00 && unit <= 0xDFFF)
            return false;
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint32_t low = 0;
            if (FEnd - FAt < 2 || FAt[0] != '\\' || FAt[1] != 'u')
              return false;
            FAt += 2;
            if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF)
              return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          }
          if (Out != nullptr)
            AppendUtf8(*Out, unit);
          continue;
        }
        default:
          return false;
      }
      if (Out != nullptr)
        *Out += plain;
    }
  }
  bool Hex4(uint32_t& Unit) {
    if (FEnd - FAt < 4)
      return false;
    for (int i = 0; i < 4; ++i) {
      const int digit = HexValue(*FAt++);
      if (digit < 0)
        return false;
      Unit = Unit * 16 + static_cast<uint32_t>(digit);
    }
    return true;
  }

  // An integer of at most KSafeDigits digits, other than -0; its text is what the general
  // document would hold.
  bool Integer(int64_t& Value, std::string_view& Text) {
    const char* start = FAt;
    const bool negative = *FAt == '-';
    if (negative)
      ++FAt;
    const char* digits = FAt;
    while (FAt != FEnd && *FAt >= '0' && *FAt <= '9')
      ++FAt;
    const size_t count = static_cast<size_t>(FAt - digits);
    if (count == 0 || count > KSafeDigits || (digits[0] == '0' && (count > 1 || negative)))
      return false;
    if (FAt != FEnd && (*FAt == '.' || *FAt == 'e' || *FAt == 'E'))
      return false;
    int64_t value = 0;
    for (const char* p = digits; p != FAt; ++p)
      value = value * 10 + (*p - '0');
    Value = negative ? -value : value;
    Text = std::string_view(start, static_cast<size_t>(FAt - start));
    return true;
  }

  bool Word(const char* Text, size_t Size) {
    if (static_cast<size_t>(FEnd - FAt) < Size || std::memcmp(FAt, Text, Size) != 0)
      return false;
    FAt += Size;
    return true;
  }

  // Any value, read past; Kind tells what it was.
  bool Skip(int Depth, TJsonValue::TKind& Kind) {
    if (FAt == FEnd)
      return false;
    switch (*FAt) {
      case '{':
      case '[': {
        const bool object = *FAt == '{';
        const char close = object ? '}' : ']';
        Kind = object ? TJsonValue::TKind::Object : TJsonValue::TKind::Array;
        if (Depth > KQuickDepth)
          return false;
        bool done = false;
        Open(done, close);
        while (!done) {
          if (object && (FAt == FEnd || *FAt != '"' || !String(nullptr) || !Expect(':')))
            return false;
          TJsonValue::TKind inner;
          if (!Skip(Depth + 1, inner) || !Next(done, close))
            return false;
        }
        return true;
      }
      case '"':
        Kind = TJsonValue::TKind::String;
        return String(nullptr);
      case 't':
        Kind = TJsonValue::TKind::Boolean;
        return Word("true", 4);
      case 'f':
        Kind = TJsonValue::TKind::Boolean;
        return Word("false", 5);
      case 'n':
        Kind = TJsonValue::TKind::Null;
        return Word("null", 4);
      default: {
        Kind = TJsonValue::TKind::Number;
        int64_t value = 0;
        std::string_view text;
        return Integer(value, text);
      }
    }
  }

  // Any value as the general document would hold it, containers without their contents (a
  // conversion error names only their kind).
  bool Value(int Depth, TJsonValue& Out) {
    if (FAt == FEnd)
      return false;
    if (*FAt == '"') {
      Out.Kind = TJsonValue::TKind::String;
      return String(&Out.Text);
    }
    if (*FAt == '-' || (*FAt >= '0' && *FAt <= '9')) {
      int64_t value = 0;
      std::string_view text;
      if (!Integer(value, text))
        return false;
      Out.Kind = TJsonValue::TKind::Number;
      Out.Text = text;
      return true;
    }
    const char first = *FAt;
    if (!Skip(Depth, Out.Kind))
      return false;
    Out.Bool = first == 't';
    return true;
  }

  bool Root() {
    TRecordBuilder& out = FOut;
    out.SetKind(TJsonValue::TKind::Object);
    // "build" and "list" are read by the general rules from a small document of their own.
    TJsonValue root;
    root.Kind = TJsonValue::TKind::Object;
    bool seenBuild = false, seenList = false, seenFiles = false, done = false;
    Open(done, '}');
    while (!done) {
      if (!MemberName())
        return false;
      if ((FKey == "build" && !seenBuild) || (FKey == "list" && !seenList)) {
        (FKey == "build" ? seenBuild : seenList) = true;
        TJsonValue value;
        if (!Value(2, value))
          return false;
        root.Members.push_back({FKey, std::move(value)});
      } else if (FKey == "files" && !seenFiles && FAt != FEnd && *FAt == '{') {
        seenFiles = true;
        out.SetHasFiles();
        if (!Files())
          return false;
      } else {
        seenFiles = seenFiles || FKey == "files";
        TJsonValue::TKind kind;
        if (!Skip(2, kind))
          return false;
      }
      if (!Next(done, '}'))
        return false;
    }
    out.ReadRoot(root);
    return true;
  }

  bool Files() {
    bool done = false;
    Open(done, '}');
    while (!done) {
      if (!MemberName())
        return false;
      TInstalledRecord::TEntry& entry = FOut.AddEntry(FKey);
      if (FAt != FEnd && *FAt == '{') {
        if (!Entry(entry))
          return false;
      } else {
        TJsonValue::TKind kind;
        if (!Skip(3, kind))
          return false;
      }
      if (!Next(done, '}'))
        return false;
    }
    return true;
  }

  bool Entry(TInstalledRecord::TEntry& Entry) {
    Entry.IsObject = true;
    bool seenSize = false, seenTime = false, seenHash = false, done = false;
    Open(done, '}');
    while (!done) {
      if (!MemberName())
        return false;
      bool read = true;
      if (FKey == "s" && !seenSize) {
        seenSize = true;
        read = Int64Member("s", Entry.Size, Entry.SizeState);
      } else if (FKey == "t" && !seenTime) {
        seenTime = true;
        read = Int64Member("t", Entry.Time, Entry.TimeState);
      } else if (FKey == "h" && !seenHash) {
        seenHash = true;
        read = HashMember(Entry);
      } else {
        TJsonValue::TKind kind;
        read = Skip(4, kind);
      }
      if (!read || !Next(done, '}'))
        return false;
    }
    return true;
  }

  bool Int64Member(const char* Name, int64_t& Value, TInstalledRecord::TState& State) {
    if (FAt != FEnd && (*FAt == '-' || (*FAt >= '0' && *FAt <= '9'))) {
      std::string_view text;
      State = TInstalledRecord::TState::Value;
      return Integer(Value, text);
    }
    TJsonValue value;
    if (!this->Value(4, value))
      return false;
    FOut.ReadInt64Member(OneMember(Name, std::move(value)), Name, Value, State);
    return true;
  }

  bool HashMember(TInstalledRecord::TEntry& Entry) {
    if (FAt != FEnd && *FAt == '"') {
      FText.clear();
      if (!String(&FText))
        return false;
      FOut.SetHash(Entry, FText);
      return true;
    }
    TJsonValue value;
    if (!Value(4, value))
      return false;
    FOut.ReadHashMember(OneMember("h", std::move(value)), Entry);
    return true;
  }

  const char* FAt;
  const char* const FEnd;
  TRecordBuilder FOut;
  std::string FKey;   // reused for every name
  std::string FText;  // reused for every "h"
};

}  // namespace

std::optional<TInstalledRecord> TInstalledRecord::ParseQuick(std::string_view Text) {
  TInstalledRecord record;
  if (!TQuickReader(Text, record).Read())
    return std::nullopt;
  return record;
}

std::optional<TInstalledRecord> TInstalledRecord::Parse(std::string_view Text) {
  if (std::optional<TInstalledRecord> quick = ParseQuick(Text))
    return quick;
  const std::optional<TJsonValue> document = ParseJson(Text);
  if (!document)
    return std::nullopt;
  return FromDocument(*document);
}

TInstalledRecord TInstalledRecord::FromDocument(const TJsonValue& Root) {
  TInstalledRecord record;
  TRecordBuilder out(record);
  out.SetKind(Root.Kind);
  if (!Root.IsObject())
    return record;
  out.ReadRoot(Root);
  const TJsonValue* files = Root.Member("files");
  if (files == nullptr || !files->IsObject())
    return record;
  out.SetHasFiles();
  for (const TJsonValue::TMember& member : files->Members)
    out.ReadEntry(member.second, out.AddEntry(member.first));
  return record;
}

int32_t TInstalledRecord::Build() const {
  if (FBuildState == TState::Error)
    throw TJsonError(FErrors[static_cast<size_t>(FBuild)]);
  return FBuild;
}

std::string TInstalledRecord::List() const {
  if (FListState == TState::Error)
    throw TJsonError(FList);
  return FList;
}

int64_t TInstalledRecord::SizeOf(const TEntry& Entry) const {
  if (Entry.SizeState == TState::Error)
    throw TJsonError(FErrors[static_cast<size_t>(Entry.Size)]);
  return Entry.Size;
}

int64_t TInstalledRecord::TimeOf(const TEntry& Entry) const {
  if (Entry.TimeState == TState::Error)
    throw TJsonError(FErrors[static_cast<size_t>(Entry.Time)]);
  return Entry.Time;
}

std::string TInstalledRecord::HashOf(const TEntry& Entry) const {
  switch (Entry.HashState) {
    case THashState::Empty:
      return {};
    case THashState::Digest:
      return BytesToHex(Entry.Digest);
    case THashState::Text:
      return FTexts[Entry.HashAt];
    case THashState::Error:
      break;
  }
  throw TJsonError(FErrors[Entry.HashAt]);
}

const TInstalledRecord::TEntry* TInstalledRecord::Find(std::string_view Name) const {
  if (FIndex.size() != FFiles.size()) {
    FIndex.resize(FFiles.size());
    for (uint32_t i = 0; i < FIndex.size(); ++i)
      FIndex[i] = i;
    // Stable: among equal names the first stays first, and it is the one found.
    std::stable_sort(FIndex.begin(), FIndex.end(),
                     [&](uint32_t A, uint32_t B) { return NameOf(FFiles[A]) < NameOf(FFiles[B]); });
  }
  const auto found = std::lower_bound(
      FIndex.begin(), FIndex.end(), Name,
      [&](uint32_t At, std::string_view Wanted) { return NameOf(FFiles[At]) < Wanted; });
  if (found != FIndex.end() && NameOf(FFiles[*found]) == Name)
    return &FFiles[*found];
  return nullptr;
}

std::optional<TInstalledRecord> ReadInstalledRecord(const std::string& Path) {
  const std::optional<TFileInfo> info = GetFileInfo(Path);
  if (!info)
    return std::nullopt;
  std::optional<TInstalledRecord> record;
  {
    const std::string text = ReadWholeFile(Path, info->Size);
    const size_t bad = FindInvalidUtf8(text);
    if (bad != std::string_view::npos) {
      throw TUpdateError("installed.json is not valid UTF-8 text (byte " + std::to_string(bad) +
                         ")");
    }
    // Exactly one leading byte-order mark is skipped, as the decoder would; a second one is
    // not white space, so such a file is not a record.
    record = TInstalledRecord::Parse(text);
  }  // the text goes before the attribute queries start
  return record;
}

}  // namespace vt
