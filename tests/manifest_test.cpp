// The manifest step: every failure message, and the release a good manifest gives.

#include "update/FetchManifest.h"

#include <gtest/gtest.h>

#include "format/Errors.h"
#include "format/ReleaseKey.h"
#include "platform/Clock.h"
#include "support/FakeHttp.h"
#include "support/StepRun.h"
#include "support/TestRelease.h"
#include "update/ClientSettings.h"

namespace vt {
namespace {

using test::ErrorOf;

constexpr const char* KNotSigned =
    "the update list is not signed by Veltrano RPG - nothing was changed";
constexpr const char* KCannotRead = "the update list cannot be read";
constexpr const char* KOldFormat = "the update list has an old format";
constexpr const char* KGoodList = R"("list":{"p":"l/files","s":10,"h":"ab"})";

class ManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::BuiltWithDevKey())
      GTEST_SKIP() << "built with another release key";
  }
  std::string Fetch(const TRunContext& Run) {
    return ErrorOf([&] { Release = FetchManifest(Run, *Client, {}).Release; });
  }
  std::string Fetch() { return Fetch(Step.Run); }
  // Conversion errors have free wording; they are told apart by their type.
  std::string FetchKind() {
    try {
      Release = FetchManifest(Step.Run, *Client, {}).Release;
    } catch (const TJsonError&) {
      return "conversion error";
    } catch (const std::exception& e) {
      return e.what();
    }
    return {};
  }
  std::string Manifest(const std::string& Members) { return "{" + Members + "}"; }

  test::TFakeHttp Server;
  test::TStepRun Step{"/nonexistent/game/", Server.BaseUrl()};
  std::unique_ptr<THttpClient> Client = Server.Factory()(UpdateThreadHttpSettings());
  TManifest Release;
};

TEST_F(ManifestTest, GoodManifestSetsBuildObjectsAndList) {
  test::PublishManifest(Server,
                        Manifest(R"("format":2,"notes":"x","build":42,)"
                                 R"("list":{"p":"lists/a.z","s":"123","h":"ABCDEF","z":77})"));
  ASSERT_EQ(Fetch(), "");
  EXPECT_EQ(Release.Build, 42);
  EXPECT_EQ(Release.Objects, Server.BaseUrl() + "o/");
  EXPECT_EQ(Release.List.Path, "lists/a.z");
  EXPECT_EQ(Release.List.Size, 123);
  EXPECT_EQ(Release.List.Hash, "abcdef");
  EXPECT_EQ(Release.List.ZSize, 77);
  const auto lines = Step.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].Text, "Checking for updates...");
  EXPECT_EQ(lines[0].Done, 0);
  EXPECT_EQ(lines[0].Total, 0);
}

TEST_F(ManifestTest, BothRequestsCarryOneTimeValueAndTheUserAgent) {
  test::PublishManifest(Server, Manifest(R"("format":2,"build":1,)" + std::string(KGoodList)));
  const int64_t before = LocalClockSeconds();
  ASSERT_EQ(Fetch(), "");
  const int64_t after = LocalClockSeconds();
  const auto requests = Server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Path, "/version");
  EXPECT_EQ(requests[1].Path, "/version.sig");
  EXPECT_EQ(requests[0].Query, requests[1].Query);
  ASSERT_EQ(requests[0].Query.rfind("t=", 0), 0u) << requests[0].Query;
  const int64_t t = std::stoll(requests[0].Query.substr(2));
  EXPECT_EQ(std::to_string(t), requests[0].Query.substr(2));  // plain decimal
  EXPECT_GE(t, before);
  EXPECT_LE(t, after);
  for (const auto& r : requests)
    EXPECT_EQ(r.UserAgent, "VeltranoLauncher/2");

  // The value is the clock's: a run a second later asks with a new one.
  TUpdaterOptions later;
  later.Clock = [t] { return t + 1; };
  test::TStepRun second("/nonexistent/game/", Server.BaseUrl(), later);
  ASSERT_EQ(Fetch(second.Run), "");
  EXPECT_EQ(Server.Requests()[2].Query, "t=" + std::to_string(t + 1));
}

TEST_F(ManifestTest, MissingFilesGiveTheHttpMessageWithTheFullUrl) {
  std::string message = Fetch();
  ASSERT_EQ(Server.Requests().size(), 1u) << "the signature is not asked for without a manifest";
  const std::string query = Server.Requests()[0].Query;
  EXPECT_EQ(message, Server.BaseUrl() + "version?" + query + ": HTTP 404");

  Server.Serve("/version", Manifest(R"("format":2,"build":1,)" + std::string(KGoodList)));
  message = Fetch();
  EXPECT_EQ(message, Server.BaseUrl() + "version.sig?" +
                         Server.RequestsFor("/version.sig").back().Query + ": HTTP 404");
}

TEST_F(ManifestTest, SignatureTextRules) {
  const std::string text = Manifest(R"("format":2,"build":1,)" + std::string(KGoodList));
  const std::string sig =
      test::DevKey().Sign({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  Server.Serve("/version", text);
  std::string upper = sig;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& good : {sig + "\n", sig + "\r\n", "  \t" + sig, upper}) {
    Server.Serve("/version.sig", good);
    EXPECT_EQ(Fetch(), "") << good;
  }
  for (const std::string& bad :
       {sig.substr(0, 127), sig + "0", sig + "00", sig.substr(0, 64) + "\n" + sig.substr(64),
        sig.substr(0, 64) + " " + sig.substr(64), "\xEF\xBB\xBF" + sig, std::string(),
        std::string(128, '0')}) {
    Server.Serve("/version.sig", bad);
    EXPECT_EQ(Fetch(), KNotSigned) << bad;
  }
  // Any changed byte of the manifest, white space included, is caught before it is read.
  Server.Serve("/version.sig", sig);
  for (const std::string& changed :
       {text + " ", " " + text, "{\"format\":2,\"build\":2" + text.substr(20)}) {
    Server.Serve("/version", changed);
    EXPECT_EQ(Fetch(), KNotSigned) << changed;
  }
}

TEST_F(ManifestTest, ByteOrderMarkIsSignedAndSkipped) {
  test::PublishManifest(
      Server,
      "\xEF\xBB\xBF " + Manifest(R"("format":2,"build":9,)" + std::string(KGoodList)) + "\n");
  EXPECT_EQ(Fetch(), "");
  EXPECT_EQ(Release.Build, 9);
}

TEST_F(ManifestTest, ObjectsBase) {
  const auto objectsOf = [&](const std::string& Member) {
    test::PublishManifest(Server, Manifest(R"("format":2,"build":1,)" + Member + KGoodList));
    EXPECT_EQ(Fetch(), "");
    return Release.Objects;
  };
  EXPECT_EQ(objectsOf(""), Server.BaseUrl() + "o/");
  EXPECT_EQ(objectsOf(R"("objects":"files/",)"), Server.BaseUrl() + "files/");
  EXPECT_EQ(objectsOf(R"("objects":"",)"), Server.BaseUrl());
  EXPECT_EQ(objectsOf(R"("objects":null,)"), Server.BaseUrl() + "o/");
  EXPECT_EQ(objectsOf(R"("objects":"HTTPS://cdn.example/x/",)"), "HTTPS://cdn.example/x/");
  EXPECT_EQ(objectsOf(R"("objects":"http://mirror/",)"), "http://mirror/");
}

struct TFailureCase {
  const char* Name;
  std::string Members;
  std::string Expected;
};

class ManifestFailureTest : public ManifestTest,
                            public ::testing::WithParamInterface<TFailureCase> {};

TEST_P(ManifestFailureTest, GivesItsMessage) {
  const std::string members = GetParam().Members;
  test::PublishManifest(Server,
                        members.starts_with("RAW:") ? members.substr(4) : Manifest(members));
  EXPECT_EQ(FetchKind(), GetParam().Expected);
}

const std::string KList = KGoodList;
const std::string KTooOld =
    std::string("this launcher is too old - download the game again from ") + KDownloadHost;

INSTANTIATE_TEST_SUITE_P(
    Table, ManifestFailureTest,
    ::testing::Values(
        TFailureCase{"NotJson", "RAW:format=2", KCannotRead},
        TFailureCase{"Incomplete", "RAW:{\"format\":2", KCannotRead},
        TFailureCase{"TrailingText", "RAW:{\"format\":2} x", KCannotRead},
        TFailureCase{"ArrayRoot", "RAW:[1,2]", KCannotRead},
        TFailureCase{"EmptyBody", "RAW:", KCannotRead},
        TFailureCase{"Format3", R"("format":3,"build":1,)" + KList, KTooOld},
        TFailureCase{"TooOldBeforeMissingBuild", R"("format":99)", KTooOld},
        TFailureCase{"Format1", R"("format":1,"build":1,)" + KList, KOldFormat},
        TFailureCase{"Format0", R"("format":0,"build":1,)" + KList, KOldFormat},
        TFailureCase{"FormatNegative", R"("format":-5,"build":1,)" + KList, KOldFormat},
        TFailureCase{"FormatMissing", R"("build":1,)" + KList, KOldFormat},
        TFailureCase{"FormatNull", R"("format":null,"build":1,)" + KList, KOldFormat},
        TFailureCase{"FormatAsText", R"("format":"2","build":1,)" + KList, ""},
        TFailureCase{"FirstOfEqualNamesWins", R"("format":2,"format":3,"build":1,)" + KList, ""},
        TFailureCase{"BuildMissing", R"("format":2,)" + KList, "Value 'build' not found"},
        TFailureCase{"ListMissing", R"("format":2,"build":1)", "Value 'list.p' not found"},
        TFailureCase{"ListIsArray", R"("format":2,"build":1,"list":[1])",
                     "Value 'list.p' not found"},
        TFailureCase{"SizeMissing", R"("format":2,"build":1,"list":{"p":"a","h":"b"})",
                     "Value 'list.s' not found"},
        TFailureCase{"HashMissing", R"("format":2,"build":1,"list":{"p":"a","s":1})",
                     "Value 'list.h' not found"},
        TFailureCase{"DottedNameIsNotAPath",
                     R"("format":2,"build":1,"list.p":"a","list":{"s":1,"h":"b"})",
                     "Value 'list.p' not found"},
        TFailureCase{"BuildFraction", R"("format":2,"build":1.5,)" + KList, "conversion error"},
        TFailureCase{"BuildOutOfRange", R"("format":2,"build":2147483648,)" + KList,
                     "conversion error"},
        TFailureCase{"BuildNull", R"("format":2,"build":null,)" + KList, "conversion error"},
        TFailureCase{"BuildObject", R"("format":2,"build":{},)" + KList, "conversion error"},
        TFailureCase{"ListZNull", R"("format":2,"build":1,"list":{"p":"a","s":1,"h":"b","z":null})",
                     "conversion error"},
        TFailureCase{"ListSizeText", R"("format":2,"build":1,"list":{"p":"a","s":"ten","h":"b"})",
                     "conversion error"},
        TFailureCase{"ListPathNumber", R"("format":2,"build":1,"list":{"p":17,"s":1,"h":"b"})", ""},
        TFailureCase{"PathParent", R"("format":2,"build":1,"list":{"p":"../x","s":1,"h":"b"})",
                     "bad file name in the update list: ../x"},
        TFailureCase{"PathRooted", R"("format":2,"build":1,"list":{"p":"/x","s":1,"h":"b"})",
                     "bad file name in the update list: /x"},
        TFailureCase{"PathBackslash", R"("format":2,"build":1,"list":{"p":"\\x","s":1,"h":"b"})",
                     "bad file name in the update list: \\x"},
        TFailureCase{"PathDrive", R"("format":2,"build":1,"list":{"p":"C:x","s":1,"h":"b"})",
                     "bad file name in the update list: C:x"},
        TFailureCase{"PathDotsInName", R"("format":2,"build":1,"list":{"p":"a..b","s":1,"h":"b"})",
                     "bad file name in the update list: a..b"},
        TFailureCase{"PathEmpty", R"("format":2,"build":1,"list":{"p":"","s":1,"h":"b"})",
                     "bad file name in the update list: "},
        TFailureCase{"RolloutShareAbove100",
                     R"("format":2,"build":1,"rollout":{"share":101,"before":{"build":0,)" + KList +
                         "}}," + KList,
                     "the update list has an unreadable rollout share"},
        TFailureCase{"RolloutWithoutTheReleaseBefore",
                     R"("format":2,"build":1,"rollout":{"share":5},)" + KList,
                     "Value 'rollout.before.build' not found"},
        TFailureCase{"RolloutBeforeLeavesTheTree",
                     R"("format":2,"build":1,"rollout":{"share":5,"before":{"build":0,"list":)"
                     R"({"p":"../x","s":1,"h":"b"}}},)" +
                         KList,
                     "bad file name in the update list: ../x"},
        TFailureCase{"MirrorNotAUrl", R"("format":2,"build":1,"mirrors":["ftp://m/"],)" + KList,
                     "the update list has an unreadable member \"mirrors\""},
        TFailureCase{"ObjectMirrorsNotAList",
                     R"("format":2,"build":1,"object_mirrors":"https://m/",)" + KList,
                     "conversion error"},
        TFailureCase{"PathNullReadsEmpty",
                     R"("format":2,"build":1,"list":{"p":null,"s":1,"h":"b"})",
                     "bad file name in the update list: "}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST_F(ManifestTest, ListFieldsWithDefaultsAndCase) {
  test::PublishManifest(
      Server, Manifest(R"("format":2,"build":-3,"list":{"p":"a/b","s":-1,"h":"00FF","z":-9})"));
  ASSERT_EQ(Fetch(), "");
  EXPECT_EQ(Release.Build, -3);
  EXPECT_EQ(Release.List.Hash, "00ff");
  EXPECT_EQ(Release.List.ZSize, -9);
  test::PublishManifest(Server,
                        Manifest(R"("format":2,"build":1,"list":{"p":"a/b","s":1,"h":"x"})"));
  ASSERT_EQ(Fetch(), "");
  EXPECT_EQ(Release.List.ZSize, 0);
}

TEST_F(ManifestTest, AnEndlessManifestIsCutOff) {
  Server.ServeEndless("/version");
  const std::string message = Fetch();
  EXPECT_NE(message.find("version?t="), std::string::npos) << message;
  EXPECT_NE(message.find("larger than"), std::string::npos) << message;
}

}  // namespace
}  // namespace vt
