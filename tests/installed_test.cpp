// The installed record against a real folder: its exact written form, what it vouches for, and
// which files it lets the launcher delete.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "format/Digest.h"
#include "format/Errors.h"
#include "format/GameFolder.h"
#include "format/InstalledRecord.h"
#include "format/Json.h"
#include "platform/Files.h"
#include "support/StepRun.h"
#include "support/TestRelease.h"
#include "update/Installed.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

constexpr int32_t KBuild = 7;
const std::string KListHash(64, 'c');

class InstalledTest : public testing::Test {
 protected:
  InstalledTest() {
    fs::remove_all(FRoot);
    fs::create_directories(FRoot / "game");
    Release.Build = KBuild;
    Release.List = {"lists/files.json", 100, KListHash, 0, {}};
  }
  ~InstalledTest() override { fs::remove_all(FRoot); }

  // Writes Content to Relative inside the game folder, creating its folders.
  void Put(const std::string& Relative, const std::string& Content) {
    const fs::path path = At(Relative);
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << Content;
  }
  // Names are UTF-8, which a narrow path would take in the Windows code page.
  fs::path At(const std::string& Relative) const { return fs::u8path(FDir + Relative); }
  bool Exists(const std::string& Relative) const { return fs::exists(At(Relative)); }
  std::string Slurp(const std::string& Relative) const {
    std::ifstream in(At(Relative), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  TFileInfo InfoOf(const std::string& Relative) const {
    const std::optional<TFileInfo> info = GetFileInfo(FDir + Relative);
    EXPECT_TRUE(info) << Relative;
    return info.value_or(TFileInfo{-2, -2});
  }
  int64_t SizeOf(const std::string& Relative) const { return InfoOf(Relative).Size; }
  int64_t TimeOf(const std::string& Relative) const { return InfoOf(Relative).Time; }
  // A "files" member for Relative as it is on disk now.
  std::string Entry(const std::string& Relative, const std::string& Hash = "aa") const {
    return "\"" + Relative + "\":{\"s\":" + std::to_string(SizeOf(Relative)) +
           ",\"t\":" + std::to_string(TimeOf(Relative)) + ",\"h\":\"" + Hash + "\"}";
  }
  static TInstalledRecord Parse(const std::string& Text) {
    std::optional<TInstalledRecord> value = TInstalledRecord::Parse(Text);
    EXPECT_TRUE(value.has_value()) << Text;
    return value ? std::move(*value) : TInstalledRecord{};
  }
  // A record whose "files" is Files.
  static TInstalledRecord ParseFiles(const std::string& Files) {
    return Parse("{\"files\":" + Files + "}");
  }
  std::optional<TInstalledRecord> ReadRecord() const {
    return ReadInstalledRecord(FDir + KInstalledName);
  }

  const fs::path FRoot =
      fs::temp_directory_path() / ("vt_installed_" + std::to_string(::getpid()) + "_" +
                                   testing::UnitTest::GetInstance()->current_test_info()->name());
  const std::string FDir = (FRoot / "game").string() + "/";
  test::TStepRun Step{FDir, "https://updates.invalid/"};
  TManifest Release;
  std::vector<TRemoteFile> Files;
  bool IsUpToDate(const TInstalledRecord* Record) const {
    return vt::IsUpToDate(FDir, Record, Release);
  }
  bool IsFileCurrent(const TRemoteFile& File, const TInstalledRecord* Previous) const {
    return vt::IsFileCurrent(Step.Run, File, Previous);
  }
  void SaveInstalled() const { vt::SaveInstalled(FDir, Release, Files); }
  void RemoveObsoleteFiles(const TInstalledRecord* Previous) const {
    vt::RemoveObsoleteFiles(FDir, ObsoleteFiles(Previous, Files));
  }
};

TEST_F(InstalledTest, SaveWritesTheExactFormAndReadsItBack) {
  Put("Sound/\xC3\x84rger.ogg", "abc");
  Put("vt.exe", "12345");
  fs::create_directories(fs::path(FDir) / "data");
  Put(KInstalledName, std::string(5000, 'x'));  // longer than the new record: truncated
  Files = {{"Sound/\xC3\x84rger.ogg", 3, "ab", 0, {}},
           {"gone.dat", 1, "cd", 0, {}},
           {"data", 0, "ef", 0, {}},
           {"vt.exe", 5, "0f", 9, {}}};
  SaveInstalled();

  const std::string expected =
      "\xEF\xBB\xBF{\"build\":7,\"list\":\"" + KListHash +
      "\",\"files\":{\"Sound\\/\\u00C4rger.ogg\":{\"s\":3,\"t\":" +
      std::to_string(TimeOf("Sound/\xC3\x84rger.ogg")) +
      ",\"h\":\"ab\"},\"vt.exe\":{\"s\":5,\"t\":" + std::to_string(TimeOf("vt.exe")) +
      ",\"h\":\"0f\"}}}";
  EXPECT_EQ(Slurp(KInstalledName), expected);

  const std::optional<TInstalledRecord> record = ReadRecord();
  ASSERT_TRUE(record && record->IsObject());
  ASSERT_TRUE(record->HasFiles() && record->Files().size() == 2);
  EXPECT_EQ(TInstalledRecord::NameOf(record->Files()[0]), "Sound/\xC3\x84rger.ogg");
  EXPECT_TRUE(IsUpToDate(&*record));
}

TEST_F(InstalledTest, SaveRaisesWhenTheRecordCannotBeWritten) {
  fs::create_directories(fs::path(FDir) / KInstalledName);
  const std::string error = test::ErrorOf([&] { SaveInstalled(); });
  EXPECT_NE(error.find(KInstalledName), std::string::npos) << error;
}

TEST_F(InstalledTest, LayoutAndByteOrderMarkDoNotMatter) {
  Put("data/a.map", "map");
  const std::string compact =
      "{\"build\":7,\"list\":\"" + KListHash + "\",\"files\":{" + Entry("data/a.map") + "}}";
  std::string spread = "\r\n{\n  \"files\" : {\n    \"data\\/a.map\" : { \"h\" : \"aa\", \"t\" : " +
                       std::to_string(TimeOf("data/a.map")) + ",\n \"s\" : 3 }\n  },\n" +
                       "  \"build\" : 7, \"list\" : \"" + KListHash + "\"\n}\n\n";
  for (const std::string& text : {compact, "\xEF\xBB\xBF" + compact, spread}) {
    Put(KInstalledName, text);
    const std::optional<TInstalledRecord> record = ReadRecord();
    ASSERT_TRUE(record.has_value()) << text;
    EXPECT_TRUE(IsUpToDate(&*record)) << text;
    EXPECT_EQ(TInstalledRecord::NameOf(record->Files().at(0)), "data/a.map");
  }
}

TEST_F(InstalledTest, ReadRecordTellsNoRecordFromParsedValues) {
  EXPECT_FALSE(ReadRecord().has_value());  // missing
  fs::create_directories(fs::path(FDir) / KInstalledName);
  EXPECT_FALSE(ReadRecord().has_value());  // a folder of that name
  fs::remove(fs::path(FDir) / KInstalledName);

  for (const char* text : {"", "not json", "{\"build\":7", "{} {}", "{}x",
                           "\xEF\xBB\xBF\xEF\xBB\xBF{}", "{\"a\":\"\\ud800\"}"}) {
    Put(KInstalledName, text);
    EXPECT_FALSE(ReadRecord().has_value()) << text;
  }
  Put(KInstalledName, "\xEF\xBB\xBF {\"build\":3,\"files\":{\"\xF0\x9F\x98\x80\":{}}} ");
  std::optional<TInstalledRecord> record = ReadRecord();
  ASSERT_TRUE(record && record->IsObject());
  EXPECT_EQ(record->Build(), 3);
  EXPECT_EQ(TInstalledRecord::NameOf(record->Files().at(0)), "\xF0\x9F\x98\x80");

  Put(KInstalledName, "[1,2]");
  record = ReadRecord();
  // The caller decides what a non-object means.
  ASSERT_TRUE(record && record->Kind() == TJsonValue::TKind::Array);
  EXPECT_FALSE(IsUpToDate(&*record));
}

TEST_F(InstalledTest, ReadRecordRaisesOnBytesThatAreNotUtf8) {
  // Overlong "/", a surrogate, beyond U+10FFFF, cut short at the end, a lone continuation
  // byte, a byte that never occurs, a lead byte followed by ASCII.
  for (const std::string bad :
       {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80", "\xFF", "\xE2(\xA1"}) {
    Put(KInstalledName, "{\"a\":\"" + bad + "\"}");
    EXPECT_NE(test::ErrorOf([&] { ReadRecord(); }).find("not valid UTF-8"), std::string::npos)
        << testing::PrintToString(bad);
    Put(KInstalledName, "{}" + bad.substr(0, 2));  // also outside strings, and at the very end
    EXPECT_THROW(ReadRecord(), TUpdateError) << testing::PrintToString(bad);
  }
}

TEST_F(InstalledTest, UpToDateOnlyWhenEveryCheckPasses) {
  Put("vt.exe", "12345");
  Put("data/a.map", "map");
  fs::create_directories(fs::path(FDir) / "folder");
  Put("../outside.txt", "x");
  const std::string good = Entry("vt.exe") + "," + Entry("data/a.map");
  const std::string head = "{\"build\":7,\"list\":\"" + KListHash + "\",\"files\":{";
  const auto upToDate = [&](const std::string& Text) {
    const TInstalledRecord root = Parse(Text);
    return IsUpToDate(&root);
  };

  // The digest of the list is compared without regard to letter case.
  EXPECT_TRUE(
      upToDate("{\"build\":7,\"list\":\"" + std::string(64, 'C') + "\",\"files\":{" + good + "}}"));
  const std::string size = std::to_string(SizeOf("vt.exe"));
  const std::string time = std::to_string(TimeOf("vt.exe"));
  for (const std::string& text : {
           "{\"build\":8,\"list\":\"" + KListHash + "\",\"files\":{" + good + "}}",
           "{\"list\":\"" + KListHash + "\",\"files\":{" + good + "}}",
           "{\"build\":7,\"list\":\"" + std::string(64, 'd') + "\",\"files\":{" + good + "}}",
           "{\"build\":7,\"files\":{" + good + "}}",
           head + "}}",
           "{\"build\":7,\"list\":\"" + KListHash + "\",\"files\":[{" + good + "}]}",
           head + good + ",\"extra\":1}}",
           head + good + ",\"../outside.txt\":{}}}",
           head + good + ",\"folder\":{}}}",
           head + good + ",\"gone.dat\":{\"s\":0,\"t\":0}}}",
           head + "\"vt.exe\":{\"s\":" + size + "1,\"t\":" + time + "}}}",
           head + "\"vt.exe\":{\"s\":" + size + ",\"t\":" + time + "1}}}",
           head + "\"vt.exe\":{\"t\":" + time + "}}}",
           head + "\"vt.exe\":{\"s\":" + size + "}}}",
       }) {
    EXPECT_FALSE(upToDate(text)) << text;
  }
  // A missing build reads as -1, so it matches a manifest of build -1.
  Release.Build = -1;
  EXPECT_TRUE(upToDate("{\"list\":\"" + KListHash + "\",\"files\":{" + good + "}}"));

  for (const std::string text : {"null", "[]", "\"x\""}) {
    const TInstalledRecord root = Parse(text);
    EXPECT_FALSE(IsUpToDate(&root));
  }
  const TInstalledRecord none;
  EXPECT_FALSE(IsUpToDate(&none));
  EXPECT_FALSE(IsUpToDate(nullptr));
}

TEST_F(InstalledTest, UnreadableRecordValuesFailTheCheck) {
  Put("vt.exe", "12345");
  const std::string head = "{\"build\":7,\"list\":\"" + KListHash + "\",\"files\":{";
  const std::string size = std::to_string(SizeOf("vt.exe"));
  for (const std::string& text : {
           head + "\"vt.exe\":{\"s\":" + size + ",\"t\":null}}}",
           head + "\"vt.exe\":{\"s\":\"abc\",\"t\":0}}}",
           head + "\"vt.exe\":{\"s\":" + size + ",\"t\":[1]}}}",
           "{\"build\":\"seven\",\"list\":\"" + KListHash + "\",\"files\":{}}",
           std::string("{\"build\":7,\"list\":{},\"files\":{}}"),
       }) {
    const TInstalledRecord root = Parse(text);
    EXPECT_THROW(IsUpToDate(&root), TJsonError) << text;
  }
}

TEST_F(InstalledTest, FileIsCurrentByRecordOrByContent) {
  const std::string right = Sha256Hex(std::span(reinterpret_cast<const uint8_t*>("hello"), 5));
  const TRemoteFile file{"data/a.dat", 5, right, 0, {}};
  // Writes Content, then asks with Record, in which $S and $T stand for the new size and time.
  const auto current = [&](const std::string& Content, std::string Record,
                           const TRemoteFile& Wanted) {
    Put(Wanted.Path, Content);
    if (Record.empty())
      return IsFileCurrent(Wanted, nullptr);
    for (const auto& [mark, value] :
         {std::pair{"$S", SizeOf(Wanted.Path)}, std::pair{"$T", TimeOf(Wanted.Path)}}) {
      for (size_t at = Record.find(mark); at != std::string::npos; at = Record.find(mark))
        Record.replace(at, 2, std::to_string(value));
    }
    const TInstalledRecord previous = ParseFiles(Record);
    return IsFileCurrent(Wanted, &previous);
  };
  const auto entry = [](const std::string& Fields) { return "{\"data/a.dat\":{" + Fields + "}}"; };

  EXPECT_FALSE(IsFileCurrent(file, nullptr));  // missing
  EXPECT_TRUE(current("hello", "", file));     // no record: hashed
  EXPECT_FALSE(current("jello", "", file));
  // A size that differs from the list decides alone: this content would hash right.
  const TRemoteFile longer{"data/a.dat", 6, right, 0, {}};
  EXPECT_FALSE(current("hello", "", longer));
  EXPECT_FALSE(current("hello", entry("\"s\":$S,\"t\":$T,\"h\":\"" + right + "\""), longer));

  // A record that vouches (digest case ignored) is believed: the wrong content is not hashed.
  std::string upper = right;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(current("jello", entry("\"s\":$S,\"t\":$T,\"h\":\"" + upper + "\""), file));

  // Records that do not vouch: the content decides.
  for (const std::string& record : {
           entry("\"s\":$S,\"t\":$T,\"h\":\"" + std::string(64, 'e') + "\""),  // new digest
           entry("\"s\":$S,\"t\":$T1,\"h\":\"" + right + "\""),                // touched since
           entry("\"s\":$S,\"h\":\"" + right + "\""),                          // no time
           entry("\"s\":$S,\"t\":$T"),                                         // no digest
           "{\"DATA/A.DAT\":{\"s\":$S,\"t\":$T,\"h\":\"" + right + "\"}}",     // another name
           std::string("{\"data/a.dat\":[$S]}"),
           std::string("[]"),
       }) {
    EXPECT_FALSE(current("jello", record, file)) << record;
    EXPECT_TRUE(current("hello", record, file)) << record;
  }
}

TEST_F(InstalledTest, FolderIsNeverCurrent) {
  fs::create_directories(fs::path(FDir) / "data");
  const TInstalledRecord previous = ParseFiles("{\"data\":{\"s\":0,\"t\":0,\"h\":\"\"}}");
  EXPECT_FALSE(IsFileCurrent({"data", 0, Sha256Hex({}), 0, {}}, &previous));
}

TEST_F(InstalledTest, RemovesOnlyWhatThePreviousRecordNamedAndTheListLacks) {
  for (const char* name : {"Data/Map.DAT", "vtlaunch.exe", "VTLAUNCH.EXE", "sub/vtlaunch.exe",
                           "old.dat", "player.sav", "keep.dat"}) {
    Put(name, "x");
  }
  // A drive-relative name on Windows, where no file can be called that.
  const bool colonNames = KPathSeparator == '/';
  if (colonNames)
    Put("C:x", "x");
  Put("../outside.txt", "x");
  fs::create_directories(fs::path(FDir) / "emptydir");
  Files = {{"data/MAP.dat", 1, "aa", 0, {}}, {"keep.dat", 1, "bb", 0, {}}};
  const TInstalledRecord previous = ParseFiles(
      R"({"Data/Map.DAT":{},"vtlaunch.exe":{},"VTLAUNCH.EXE":{},"sub/vtlaunch.exe":{},"old.dat":1,)"
      R"("../outside.txt":{},"C:x":{},"emptydir":{},"missing.dat":{},"keep.dat":{}})");
  RemoveObsoleteFiles(&previous);

  for (const char* kept : {"Data/Map.DAT", "vtlaunch.exe", "VTLAUNCH.EXE", "player.sav", "keep.dat",
                           "../outside.txt", "emptydir", "sub"}) {
    EXPECT_TRUE(Exists(kept)) << kept;
  }
  EXPECT_EQ(Exists("C:x"), colonNames);
  EXPECT_FALSE(Exists("sub/vtlaunch.exe"));
  EXPECT_FALSE(Exists("old.dat"));
}

TEST_F(InstalledTest, EmptyListRemovesAllButTheLauncher) {
  for (const char* name : {"vtlaunch.exe", "a.dat", "b/c.dat"})
    Put(name, "x");
  const TInstalledRecord previous = ParseFiles(R"({"a.dat":{},"vtlaunch.exe":{},"b/c.dat":{}})");
  RemoveObsoleteFiles(nullptr);
  RemoveObsoleteFiles(&previous);  // the list is empty
  EXPECT_TRUE(Exists("vtlaunch.exe"));
  EXPECT_FALSE(Exists("a.dat"));
  EXPECT_FALSE(Exists("b/c.dat"));
  EXPECT_TRUE(Exists("b"));
}

TEST(FileSha256Hex, StreamsLargeFilesAndRaisesWhenMissing) {
  const fs::path path =
      fs::temp_directory_path() / ("vt_installed_hash_" + std::to_string(::getpid()));
  TBytes bytes(2 * 1024 * 1024 + 777);
  std::mt19937 random(42);
  for (uint8_t& b : bytes)
    b = static_cast<uint8_t>(random());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  EXPECT_EQ(FileSha256Hex(path.string()), Sha256Hex(bytes));
  std::ofstream(path, std::ios::binary | std::ios::trunc).flush();
  EXPECT_EQ(FileSha256Hex(path.string()), Sha256Hex({}));
  fs::remove(path);
  EXPECT_NE(test::ErrorOf([&] { FileSha256Hex(path.string()); }).find(path.string()),
            std::string::npos);
}

}  // namespace
}  // namespace vt
