// The file list step: accepted only by the signed size and digest.

#include "update/FetchFileList.h"

#include <gtest/gtest.h>

#include "format/Digest.h"
#include "format/Errors.h"
#include "format/ReleaseKey.h"
#include "format/Text.h"
#include "publish/Release.h"
#include "support/FakeHttp.h"
#include "support/StepRun.h"
#include "support/TestRelease.h"
#include "update/ClientSettings.h"
#include "update/FetchManifest.h"

namespace vt {
namespace {

using test::ErrorOf;

constexpr const char* KListDamaged = "the list of files arrived damaged - try again";
constexpr const char* KCannotRead = "the list of files cannot be read";

std::vector<uint8_t> ListBytes(const std::string& Text) {
  return {Text.begin(), Text.end()};
}

class FileListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::BuiltWithDevKey())
      GTEST_SKIP() << "built with another release key";
  }
  // Publishes a manifest for List, then runs both steps.
  std::string Run() {
    return ErrorOf([&] { Steps(); });
  }
  std::string RunWithKind() {
    try {
      Steps();
    } catch (const TJsonError&) {
      return "conversion error";
    } catch (const std::exception& e) {
      return e.what();
    }
    return {};
  }
  // Serves Body as the list object under a manifest that announces List.
  void Publish(const TRemoteFile& List, const std::vector<uint8_t>& Body) {
    Server.Serve("/" + List.Path, Body);
    test::PublishManifest(Server, ManifestJson(1, List));
  }

  void Steps() {
    Files.clear();
    Files = FetchFileList(Step.Run, *Client, {Step.Run.Url},
                          FetchManifest(Step.Run, *Client, {}).Release.List);
  }

  test::TFakeHttp Server;
  test::TStepRun Step{"/nonexistent/game/", Server.BaseUrl()};
  std::unique_ptr<THttpClient> Client = Server.Factory()(UpdateThreadHttpSettings());
  std::vector<TRemoteFile> Files;
};

const std::string KThreeFiles =
    R"({"files":[{"p":"vt.exe","s":10,"h":"AA","z":4,"x":1},{"p":"data/maps/a.map","s":"20","h":"bb"},)"
    R"({"p":"x","s":0,"h":"cc","z":-1}],"other":true})";

TEST_F(FileListTest, PlainAndCompressedListsAreReadInOrder) {
  for (const bool compress : {false, true}) {
    const TRemoteFile list = test::PublishList(Server, KThreeFiles, compress);
    ASSERT_EQ(Run(), "") << compress;
    const auto& files = Files;
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].Path, "vt.exe");
    EXPECT_EQ(files[0].Size, 10);
    EXPECT_EQ(files[0].Hash, "aa");
    EXPECT_EQ(files[0].ZSize, 4);
    EXPECT_EQ(files[1].Path, "data/maps/a.map");
    EXPECT_EQ(files[1].Size, 20);
    EXPECT_EQ(files[1].ZSize, 0);
    EXPECT_EQ(files[2].ZSize, -1);
    // The list is asked for at its plain path, with no query.
    const auto requests = Server.RequestsFor("/" + list.Path);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().Query, "");
  }
  const auto lines = Step.Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1].Text, "Reading the list of files...");
  EXPECT_EQ(lines[1].Done, 0);
  EXPECT_EQ(lines[1].Total, 0);
}

TEST_F(FileListTest, EmptyListAndManyEntriesKeepTheirOrder) {
  test::PublishList(Server, R"({"files":[]})", false);
  ASSERT_EQ(Run(), "");
  EXPECT_TRUE(Files.empty());

  std::vector<TRemoteFile> many;
  for (int i = 0; i < 1000; ++i)
    many.push_back({"f/" + std::to_string(i), i, "ab", 0, {}});
  test::PublishList(Server, FileListJson(many), true);
  ASSERT_EQ(Run(), "");
  ASSERT_EQ(Files.size(), 1000u);
  EXPECT_EQ(Files[4].Path, "f/4");
  EXPECT_EQ(Files[999].Size, 999);
}

TEST_F(FileListTest, WrongSizeOrDigestIsDamagedNeverUnreadable) {
  const auto good = ListBytes(KThreeFiles);
  TRemoteFile list{"l", static_cast<int64_t>(good.size()), Sha256Hex(good), 0, {}};
  auto longer = good;
  longer.push_back(' ');
  auto shorter = good;
  shorter.pop_back();
  auto changed = good;
  changed[5] ^= 1;
  for (const auto& body : {longer, shorter, changed, std::vector<uint8_t>{}}) {
    Publish(list, body);
    EXPECT_EQ(Run(), KListDamaged);
  }
  // Upper-case digest in the manifest still matches.
  list.Hash = AsciiLower(list.Hash);
  for (char& c : list.Hash)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  Publish(list, good);
  EXPECT_EQ(Run(), "");
}

TEST_F(FileListTest, CompressedListRules) {
  const auto good = ListBytes(KThreeFiles);
  const TRemoteFile plain{"l.z", static_cast<int64_t>(good.size()), Sha256Hex(good), 0, {}};
  TRemoteFile list = plain;
  list.ZSize = 1;  // only its sign matters

  // Inflating to more than the size: the first "s" bytes count.
  auto extra = good;
  extra.insert(extra.end(), {' ', ' ', 'x'});
  Publish(list, ZlibCompress(extra));
  EXPECT_EQ(Run(), "");

  // Fewer bytes than announced, gzip, raw deflate, plain bytes, corrupt data.
  auto tooShort = good;
  tooShort.pop_back();
  auto corrupt = ZlibCompress(good);
  corrupt[corrupt.size() / 2] ^= 0x55;
  std::vector<std::vector<uint8_t>> bad = {ZlibCompress(tooShort), good, corrupt};
  bad.push_back(test::DeflateAs(good, 15 + 16));  // gzip
  bad.push_back(test::DeflateAs(good, -15));      // raw deflate
  for (const auto& body : bad) {
    Publish(list, body);
    EXPECT_EQ(Run(), KListDamaged);
  }
  // "z" of 0 or less: the object is the list itself.
  for (const int64_t z : {0, -5}) {
    list.ZSize = z;
    Publish(list, good);
    EXPECT_EQ(Run(), "") << z;
  }
}

TEST_F(FileListTest, ABodyPastItsSignedSizeIsCutOff) {
  const auto good = ListBytes(KThreeFiles);
  TRemoteFile list{"l", static_cast<int64_t>(good.size()), Sha256Hex(good), 0, {}};
  test::PublishManifest(Server, ManifestJson(1, list));
  Server.ServeEndless("/l");
  EXPECT_EQ(Run(), KListDamaged);
  list.ZSize = 100;
  test::PublishManifest(Server, ManifestJson(1, list));
  EXPECT_EQ(Run(), KListDamaged);
}

TEST_F(FileListTest, MissingListGivesTheHttpMessageWithItsUrl) {
  const auto good = ListBytes(KThreeFiles);
  test::PublishManifest(Server, ManifestJson(1, {"lists/none", 1, "ab", 0, {}}));
  EXPECT_EQ(Run(), Server.BaseUrl() + "lists/none: HTTP 404");
}

struct TListCase {
  const char* Name;
  std::string List;
  std::string Expected;
};

class FileListFailureTest : public FileListTest, public ::testing::WithParamInterface<TListCase> {};

TEST_P(FileListFailureTest, GivesItsMessage) {
  test::PublishList(Server, GetParam().List, true);
  EXPECT_EQ(RunWithKind(), GetParam().Expected);
}

const std::string KBadName = "bad file name in the update list: ";
const std::string KOwnName = "the update list names a file the launcher keeps for itself: ";

INSTANTIATE_TEST_SUITE_P(
    Table, FileListFailureTest,
    ::testing::Values(
        TListCase{"NotJson", "files", KCannotRead},
        TListCase{"Incomplete", R"({"files":[)", KCannotRead},
        TListCase{"ArrayRoot", R"([{"p":"a","s":1,"h":"b"}])", KCannotRead},
        TListCase{"FilesMissing", R"({"file":[]})", "Value 'files' not found"},
        TListCase{"FilesNotArray", R"({"files":{}})", "conversion error"},
        TListCase{"FilesNull", R"({"files":null})", "conversion error"},
        TListCase{"ElementNotObject", R"({"files":[1]})", "Value 'p' not found"},
        TListCase{"PathMissing", R"({"files":[{"s":1,"h":"b"}]})", "Value 'p' not found"},
        TListCase{"SizeMissing", R"({"files":[{"p":"a","h":"b"}]})", "Value 's' not found"},
        TListCase{"HashMissing", R"({"files":[{"p":"a","s":1}]})", "Value 'h' not found"},
        TListCase{"SizeNull", R"({"files":[{"p":"a","s":null,"h":"b"}]})", "conversion error"},
        TListCase{"ZNull", R"({"files":[{"p":"a","s":1,"h":"b","z":null}]})", "conversion error"},
        TListCase{"SizeFraction", R"({"files":[{"p":"a","s":1.5,"h":"b"}]})", "conversion error"},
        TListCase{"SizeOutOfRange", R"({"files":[{"p":"a","s":9223372036854775808,"h":"b"}]})",
                  "conversion error"},
        TListCase{"HashObject", R"({"files":[{"p":"a","s":1,"h":{}}]})", "conversion error"},
        TListCase{"ParentPart", R"({"files":[{"p":"a/../../b","s":1,"h":"b"}]})",
                  KBadName + "a/../../b"},
        TListCase{"Rooted", R"({"files":[{"p":"/etc/x","s":1,"h":"b"}]})", KBadName + "/etc/x"},
        TListCase{"Drive", R"({"files":[{"p":"C:/x","s":1,"h":"b"}]})", KBadName + "C:/x"},
        TListCase{"DotsInName", R"({"files":[{"p":"a..b","s":1,"h":"b"}]})", KBadName + "a..b"},
        TListCase{"Empty", R"({"files":[{"p":"","s":1,"h":"b"}]})", KBadName},
        TListCase{"FirstFailureWins",
                  R"({"files":[{"p":"ok","s":1,"h":"b"},{"p":"..","s":1,"h":"b"},{"x":1}]})",
                  KBadName + ".."},
        TListCase{"SamePathTwice",
                  R"({"files":[{"p":"Data/A","s":1,"h":"b"},{"p":"data/a","s":2,"h":"c"}]})",
                  "the update list names a file twice: data/a"},
        // A file named like another's download name would be overwritten by that download.
        TListCase{"PartAfterItsFile",
                  R"({"files":[{"p":"x.bin","s":1,"h":"b"},{"p":"X.bin.part","s":2,"h":"c"}]})",
                  "the update list names a file twice: X.bin.part is also the download name of "
                  "x.bin"},
        TListCase{"ZPartBeforeItsFile",
                  R"({"files":[{"p":"d/x.ZPART","s":1,"h":"b"},{"p":"d/x","s":2,"h":"c"}]})",
                  "the update list names a file twice: d/x.ZPART is also the download name of "
                  "d/x"},
        TListCase{"Record", R"({"files":[{"p":"Installed.json","s":1,"h":"b"}]})",
                  KOwnName + "Installed.json"},
        TListCase{"RecordBeingWritten", R"({"files":[{"p":"installed.json.part","s":1,"h":"b"}]})",
                  KOwnName + "installed.json.part"},
        TListCase{"NewLauncher", R"({"files":[{"p":"vtlaunch.new","s":1,"h":"b"}]})",
                  KOwnName + "vtlaunch.new"},
        TListCase{"OldLauncher", R"({"files":[{"p":"VTLAUNCH.OLD","s":1,"h":"b"}]})",
                  KOwnName + "VTLAUNCH.OLD"},
        TListCase{"NewLauncherArriving", R"({"files":[{"p":"vtlaunch.new.zpart","s":1,"h":"b"}]})",
                  KOwnName + "vtlaunch.new.zpart"},
        TListCase{"FolderLock", R"({"files":[{"p":"vtlaunch.lock","s":1,"h":"b"}]})",
                  KOwnName + "vtlaunch.lock"},
        // Only the top of the game folder is the launcher's, and a download name alone is a
        // name like any other.
        TListCase{"OwnNamesBelowTheTopAndLonePartNames",
                  R"({"files":[{"p":"data/installed.json","s":1,"h":"b"},)"
                  R"({"p":"d/vtlaunch.old","s":1,"h":"b"},{"p":"y.part","s":1,"h":"b"},)"
                  R"({"p":"x.bin.part.old","s":1,"h":"b"},{"p":"x.bin.par","s":1,"h":"b"}]})",
                  ""}),
    [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
}  // namespace vt
