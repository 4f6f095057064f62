// The launcher's trust against a hostile or stale server: every move of the table is one case,
// and a refused move leaves the game folder, memory included, as it was.

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>

#include "format/Digest.h"
#include "format/GameFolder.h"
#include "format/Keys.h"
#include "format/Manifest.h"
#include "format/Paths.h"
#include "format/ReleaseKey.h"
#include "platform/Files.h"
#include "publish/KeyRotation.h"
#include "publish/Pack.h"
#include "publish/Release.h"
#include "support/TestRelease.h"
#include "update/RunToEnd.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

using test::DevKey;
using test::ReadAll;

constexpr int64_t KNow = 1798761600;  // 2027-01-01T00:00:00Z

const TSigningKey& Key(int Index) {
  static const std::vector<TSigningKey> keys = [] {
    std::vector<TSigningKey> made;
    for (int i = 0; i < 5; ++i)
      made.push_back(TSigningKey::Generate());
    return made;
  }();
  return keys.at(static_cast<size_t>(Index));
}
// Release keys and later root keys; the first root is the one built in.
const TSigningKey& K1() {
  return Key(0);
}
const TSigningKey& K2() {
  return Key(1);
}
const TSigningKey& Root(int Index) {
  return Index == 1 ? DevKey() : Key(Index);  // roots 2, 3, 4
}

TPublicKey Public(const TSigningKey& Key) {
  return {Key.PublicX(), Key.PublicY()};
}

TKeyRole Role(std::vector<const TSigningKey*> Keys, int32_t Threshold = 1) {
  TKeyRole role{Threshold, {}};
  for (const TSigningKey* key : Keys)
    role.Keys.push_back(Public(*key));
  return role;
}

std::string SignedBy(const std::string& Text, std::vector<const TSigningKey*> Signers) {
  const TBytes bytes(Text.begin(), Text.end());
  std::vector<TSignatureLine> lines;
  for (const TSigningKey* key : Signers)
    lines.push_back({KeyId(Public(*key)), key->Sign(bytes)});
  return SignatureLinesText(lines);
}

class TrustTest : public test::TReleaseRunTest {
 public:
  using TReleaseRunTest::Server;
  // Build's release "game.txt" = "build N" on the stamp's channel, stamped and signed by
  // Signers in version.sigs; the root signs version.sig as well when Legacy.
  void Release(int32_t Build, TManifestStamp Stamp, std::vector<const TSigningKey*> Signers,
               bool Legacy = false) {
    const auto entries =
        test::PublishRelease(Server, {{"game.txt", "build " + std::to_string(Build)}}, Build, true);
    const std::string folder = "/" + ChannelFolder(Stamp.Channel);
    const std::string text =
        ManifestJson(Build, test::ReleaseListOf(entries, Build), {}, std::move(Stamp));
    FServed[folder] = {text, Legacy ? DevKey().Sign(TBytes(text.begin(), text.end())) : "",
                       SignedBy(text, std::move(Signers))};
    // Each channel's files again: the release builder served its own manifest at the top.
    for (const auto& [at, files] : FServed) {
      Server.Serve(at + "version", files[0]);
      if (files[1].empty())
        Server.Remove(at + "version.sig");
      else
        Server.Serve(at + "version.sig", files[1]);
      Server.Serve(at + "version.sigs", files[2]);
    }
  }
  // The manifest files served in each channel's folder: the manifest, version.sig, version.sigs.
  std::map<std::string, std::array<std::string, 3>> FServed;
  std::string Channel;  // what the runs ask to follow
  void Release(int32_t Build, int64_t Sequence, int32_t KeysVersion,
               std::vector<const TSigningKey*> Signers) {
    Release(Build, {Sequence, std::nullopt, KeysVersion}, std::move(Signers));
  }

  void Keys(int32_t Version, TKeyRole RootKeys, TKeyRole ReleaseKeys,
            std::vector<const TSigningKey*> Signers) {
    const std::string text =
        KeysDocumentJson({Version, std::move(RootKeys), std::move(ReleaseKeys)});
    Server.Serve("/" + KeysDocumentPath(Version), text);
    Server.Serve("/" + KeysSignaturesPath(Version), SignedBy(text, std::move(Signers)));
  }

  TRunEnd Update() {
    TUpdaterOptions options;
    options.UtcNow = [] { return KNow; };
    options.Channel = Channel;
    test::TRecordingView view;
    return RunToEnd(view, Dir.string() + KPathSeparator, Server.BaseUrl(), std::move(options),
                    [] { return false; });
  }
  void UpdateOk() {
    const TRunEnd end = Update();
    ASSERT_EQ(end.Error, "");
  }

  void EmptyFolder() {
    fs::remove_all(Dir);
    fs::create_directories(Dir);
  }

  // A run: Build installed when Says is empty; else refused with Says and Cause, and the
  // folder as Before held it.
  void ExpectRun(const std::map<std::string, std::string>& Before, const char* Says,
                 const char* Cause, int32_t Build) {
    const TRunEnd end = Update();
    if (*Says == '\0') {
      EXPECT_EQ(end.Error, "");
      EXPECT_EQ(ReadAll(Dir / "game.txt"), "build " + std::to_string(Build));
      return;
    }
    EXPECT_NE(end.Error.find(Says), std::string::npos) << end.Error;
    EXPECT_EQ(end.Cause, Cause);
    EXPECT_TRUE(Folder() == Before) << "the folder changed";
  }

  std::map<std::string, std::string> Folder() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(Dir)) {
      if (entry.is_regular_file())
        files[fs::relative(entry.path(), Dir).generic_string()] = ReadAll(entry.path());
    }
    return files;
  }
};

struct TMove {
  const char* Name;
  std::function<void(TrustTest&)> Before;  // what the folder verified first
  std::function<void(TrustTest&)> Move;    // what the server offers then
  const char* Says;                        // part of the refusal; empty: the release installs
  const char* Cause;
  int32_t Build = 0;  // the build installed when it does
};

const TSigningKey* const R1 = &Root(1);

void Seq5(TrustTest& T) {
  T.Release(2, 5, 0, {R1});
  T.UpdateOk();
}

// Keys 1 hands releases to K1, which signed release 1.
void HandedToK1(TrustTest& T, int64_t Sequence = 1) {
  T.Keys(1, Role({R1}), Role({&K1()}), {R1});
  T.Release(1, Sequence, 1, {&K1()});
  T.UpdateOk();
}

const TMove KMoves[] = {
    {"replay of an older verified manifest", Seq5, [](TrustTest& T) { T.Release(1, 4, 0, {R1}); },
     "the update server offers an older release than this game folder already has (release 4, "
     "had 5) - nothing was changed",
     "rollback"},
    {"replay of a manifest from before sequences", Seq5,
     [](TrustTest& T) { T.Release(1, TManifestStamp{}, {R1}, true); }, "without a release number",
     "rollback"},
    {"expired manifest", Seq5,
     [](TrustTest& T) {
       T.Release(3, {6, KNow - 86400, 0}, {R1});
     },
     "the update list expired on 2026-12-31 - the update server is out of date, or this "
     "computer's date is wrong; nothing was changed",
     "expired"},
    {"manifest signed by a retired release key, after the rotation",
     [](TrustTest& T) {
       HandedToK1(T);
       T.Keys(2, Role({R1}), Role({&K2()}), {R1});
       T.Release(2, 2, 2, {&K2()});
       T.UpdateOk();
     },
     [](TrustTest& T) { T.Release(3, 9, 1, {&K1()}); }, "not signed", "signature"},
    {"release threshold counted once per key",
     [](TrustTest& T) {
       T.Keys(1, Role({R1}), Role({&K1(), &K2()}, 2), {R1});
       T.Release(1, 1, 1, {&K1(), &K2()});
       T.UpdateOk();
     },
     [](TrustTest& T) {
       T.Release(2, 2, 1, {&K1(), &K1()});
     },
     "not signed", "signature"},
    {"keys document not signed by a threshold of the previous root", Seq5,
     [](TrustTest& T) {
       T.Keys(1, Role({&Root(2)}), Role({&K1()}), {&Root(2)});
       T.Release(3, 6, 1, {&K1()});
     },
     "the update server's keys cannot be verified (version 1) - nothing was changed", "keys"},
    {"keys document that skips a version", Seq5,
     [](TrustTest& T) {
       T.Keys(2, Role({R1}), Role({&K1()}), {R1});
       T.Server.Remove("/" + KeysDocumentPath(1));
       T.Release(3, 6, 2, {&K1()});
     },
     "not signed", "signature"},
    {"older keys document served again",
     [](TrustTest& T) {
       HandedToK1(T);
       T.Keys(2, Role({R1}), Role({&K2()}), {R1});
       T.Release(2, 2, 2, {&K2()});
       T.UpdateOk();
     },
     [](TrustTest& T) {
       const std::string text = KeysDocumentJson({1, Role({R1}), Role({&K1()})});
       T.Server.Serve("/" + KeysDocumentPath(3), text);
       T.Server.Serve("/" + KeysSignaturesPath(3), SignedBy(text, {R1}));
       T.Release(3, 3, 3, {&K1()});
     },
     "cannot be verified (version 3)", "keys"},
    {"endless keys document", Seq5,
     [](TrustTest& T) {
       T.Server.SetHandler("/" + KeysDocumentPath(1), T.Server.Endless());
       T.Release(3, 6, 1, {&K1()});
     },
     "the update server's keys are larger than 64 KiB - nothing was changed", "keys"},
    {"endless versions of keys", Seq5,
     [](TrustTest& T) {
       for (int32_t version = 1; version <= KMaxKeySteps + 1; ++version)
         T.Keys(version, Role({R1}), Role({&K1()}), {R1});
       T.Release(3, 6, KMaxKeySteps + 1, {&K1()});
     },
     "more than 32 versions ahead", "keys"},
    {"release key signed a far-ahead sequence, then was rotated out",
     [](TrustTest& T) { HandedToK1(T, 1000000); },
     [](TrustTest& T) {
       T.Keys(2, Role({R1}), Role({&K2()}), {R1});
       T.Release(2, 5, 2, {&K2()});
     },
     "", "", 2},
    {"root rotated three times while the folder was offline", [](TrustTest& T) { HandedToK1(T); },
     [](TrustTest& T) {
       T.Keys(2, Role({&Root(2)}), Role({&K1()}), {R1, &Root(2)});
       T.Keys(3, Role({&Root(3)}), Role({&K1()}), {&Root(2), &Root(3)});
       T.Keys(4, Role({&Root(4)}), Role({&K2()}), {&Root(3), &Root(4)});
       T.Release(2, 2, 4, {&K2()});
     },
     "", "", 2},
    {"publisher's own rollback: old content as a new sequence", Seq5,
     [](TrustTest& T) { T.Release(1, 6, 0, {R1}); }, "", "", 1},
};

TEST_F(TrustTest, EachMoveOfTheAttackTable) {
  if (KRootKeyCount != 1 || KRootThreshold != 1)
    GTEST_SKIP() << "built with a root of several keys";
  for (const TMove& move : KMoves) {
    SCOPED_TRACE(move.Name);
    EmptyFolder();
    for (int32_t version = 1; version <= KMaxKeySteps + 1; ++version)
      Server.Remove("/" + KeysDocumentPath(version));
    move.Before(*this);
    const auto before = Folder();
    move.Move(*this);
    ExpectRun(before, move.Says, move.Cause, move.Build);
  }
}

// Channels: what a folder follows, what it may move to, and what is served in a channel's place.
struct TChannelMove {
  const char* Name;
  std::function<void(TrustTest&)> Move;  // after stable's build 1 and beta's build 2
  const char* Follow;                    // the run's --channel; empty: what the folder follows
  const char* Says;                      // part of the refusal; empty: Build installs
  const char* Cause;
  int32_t Build = 0;
};

TManifestStamp Beta(int64_t Sequence) {
  return {Sequence, std::nullopt, 0, "beta"};
}

const TChannelMove KChannelMoves[] = {
    {"beta's build for a folder on beta, remembered without the switch",
     [](TrustTest& T) { T.Release(3, Beta(3), {R1}); }, "", "", "", 3},
    {"back to stable although its sequence is lower", [](TrustTest&) {}, "stable", "", "", 1},
    {"a replay within beta", [](TrustTest& T) { T.Release(2, Beta(1), {R1}); }, "",
     "older release than this game folder already has (release 1, had 2)", "rollback"},
    {"stable's manifest served under beta's name",
     [](TrustTest& T) {
       T.Release(4, 5, 0, {R1});
       T.Server.Serve("/channels/beta/version", T.FServed["/"][0]);
       T.Server.Serve("/channels/beta/version.sigs", T.FServed["/"][2]);
     },
     "", "a release of the channel \"stable\" as one of \"beta\"", "channel"},
    {"a channel the server does not offer",
     [](TrustTest& T) { T.Server.Serve("/channels/index", "beta\nnot a name!\n"); }, "rc",
     "the update server has no channel \"rc\" (it offers stable, beta) - nothing was changed", ""},
};

TEST_F(TrustTest, ChannelMoves) {
  for (const TChannelMove& move : KChannelMoves) {
    SCOPED_TRACE(move.Name);
    EmptyFolder();
    Release(1, 1, 0, {R1});
    Release(2, Beta(2), {R1});
    Channel = "beta";
    UpdateOk();
    const auto before = Folder();
    move.Move(*this);
    Channel = move.Follow;
    ExpectRun(before, move.Says, move.Cause, move.Build);
  }
}

// The record with its file times left out, which differ from one install to the next.
std::string Timeless(const std::string& Record) {
  return std::regex_replace(Record, std::regex("\"t\":[0-9]+"), "\"t\":0");
}

TEST_F(TrustTest, OldTreesNewTreesAndTheMemoryFile) {
  if (KRootKeyCount != 1 || KRootThreshold != 1)
    GTEST_SKIP() << "built with a root of several keys";
  // A tree vtpublish writes with a keys change, a release key and an expiry.
  const fs::path base = Dir.parent_path() / (Dir.filename().string() + "_trees");
  fs::remove_all(base);
  test::WriteAll(base / "game" / "game.txt", "build 1");
  const std::string tree = (base / "new").string();
  ChangeKeys(tree, {TKeysChange::TKind::AddRelease, Public(K1()), {}, {}}, {DevKey()});
  TPackOptions options;
  options.Build = 1;
  options.MoreKeys = {K1()};
  options.ExpiresIn = int64_t{3650} * 86400;
  Pack((base / "game").string(), tree, DevKey(), options);
  // What a launcher of the format before trust checks holds: version.sig by the key built in.
  const std::string manifest = ReadAll(base / "new" / "version");
  const TBytes manifestBytes(manifest.begin(), manifest.end());
  EXPECT_TRUE(VerifySignatureWithKey(manifestBytes, ReadAll(base / "new" / "version.sig"),
                                     KReleaseKeyX, KReleaseKeyY));
  // The same release as a tree of that format: no number, no expiry, no keys, version.sig
  // alone. Installed from there, nothing is remembered.
  fs::copy(tree, base / "old", fs::copy_options::recursive);
  fs::remove_all(base / "old" / "keys");
  fs::remove(base / "old" / "version.sigs");
  const std::string plain = ManifestJson(1, ReadManifest(manifestBytes, "https://x/").List);
  test::WriteAll(base / "old" / "version", plain);
  test::WriteAll(base / "old" / "version.sig", DevKey().Sign(TBytes(plain.begin(), plain.end())));
  std::string records[2];
  for (const char* from : {"old", "new"}) {
    EmptyFolder();
    Server.ServeDirectory("/", base / from);
    UpdateOk();
    EXPECT_EQ(fs::exists(Dir / KTrustName), *from == 'n') << from;
    records[*from == 'n'] = Timeless(ReadAll(Dir / "installed.json"));
  }
  EXPECT_EQ(records[0], records[1]);
  // The keys were walked, each request with the run's one-time value.
  size_t keyRequests = 0;
  for (const auto& request : Server.Requests()) {
    if (request.Path.starts_with("/keys/")) {
      ++keyRequests;
      EXPECT_TRUE(request.Query.starts_with("t=")) << request.Path;
    }
  }
  EXPECT_EQ(keyRequests, 3u);  // 1.json, 1.sigs, and 2.json, which is not there
  EXPECT_NE(ReadAll(Dir / KTrustName).find("\"seq\":1,"), std::string::npos);
  Server.Remove("/");

  // A deleted memory trusts from the root again: the older release is taken.
  Release(2, 5, 0, {R1});
  UpdateOk();
  fs::remove(Dir / KTrustName);
  Release(1, 4, 0, {R1});
  UpdateOk();
  // A damaged one too, said once, and then written whole again.
  test::WriteAll(Dir / KTrustName, "{\"format\":1,\"seq\":");
  Release(1, 3, 0, {R1});
  test::TRecordingView view;
  TUpdaterOptions now;
  now.UtcNow = [] { return KNow; };
  const TRunEnd end = RunToEnd(view, Dir.string() + KPathSeparator, Server.BaseUrl(),
                               std::move(now), [] { return false; });
  EXPECT_EQ(end.Error, "");
  EXPECT_EQ(
      std::count_if(view.Lines.begin(), view.Lines.end(),
                    [](const auto& Line) { return Line.Text.find("damaged") != Line.Text.npos; }),
      1);
  EXPECT_NE(ReadAll(Dir / KTrustName).find("\"seq\":3"), std::string::npos);
  fs::remove_all(base);
}

}  // namespace
}  // namespace vt
