#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>

#include "format/Digest.h"
#include "format/FileList.h"
#include "format/Inflate.h"
#include "format/Manifest.h"
#include "publish/ObjectFiles.h"
#include "publish/Pack.h"
#include "publish/VerifyTree.h"
#include "support/TestRelease.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

constexpr const char* KUrl = "https://updates.test/";

using test::Key;

TBytes ReadBytes(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& Path, const TBytes& Bytes) {
  fs::create_directories(Path.parent_path());
  std::ofstream(Path, std::ios::binary)
      .write(reinterpret_cast<const char*>(Bytes.data()),
             static_cast<std::streamsize>(Bytes.size()));
}

TBytes Text(const std::string& Text) {
  return TBytes(Text.begin(), Text.end());
}

// Bytes no compressor can shrink, the same on every run.
TBytes RandomBytes(size_t Size, uint32_t Seed) {
  std::mt19937 generator(Seed);
  TBytes bytes(Size);
  for (uint8_t& b : bytes)
    b = static_cast<uint8_t>(generator());
  return bytes;
}

TBytes Lines(size_t Size) {
  std::string text;
  for (int i = 0; text.size() < Size; ++i)
    text += "line " + std::to_string(i % 97) + " of the town of Veltrano\n";
  text.resize(Size);
  return Text(text);
}

TBytes Inflated(const TBytes& Z, int64_t Size) {
  TBytes out;
  TMemorySource source(Z);
  TMemorySink sink(out);
  InflateStream(source, sink, Size);
  return out;
}

class Publish : public testing::Test {
 protected:
  void SetUp() override {
    FRoot =
        fs::temp_directory_path() / ("vt_publish_" + std::to_string(::getpid()) + "_" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FRoot);
    FGame = FRoot / "game";
    FOut = FRoot / "out";
    AddFile("vt.exe", Text("MZ not really a program"));
    AddFile("data/text.txt", Lines(300000));
    AddFile("data/sub/random.bin", RandomBytes(70000, 1));
    AddFile("empty.dat", {});
    AddFile(
        "caf\xc3\xa9/\xc3\xb1"
        "ame.txt",
        Text("a name above 127"));
  }
  void TearDown() override { fs::remove_all(FRoot); }

  void AddFile(const std::string& Path, const TBytes& Bytes) {
    FFiles[Path] = Bytes;
    WriteBytes(FGame / Path, Bytes);
  }

  TPackResult PackInto(const fs::path& Out, TPackOptions Options = {}) {
    if (Options.Build == 0)
      Options.Build = 1;
    return Pack(FGame.string(), Out.string(), Key(), Options);
  }

  TVerifyReport VerifyOut(const fs::path& Out) {
    return VerifyTree(Out.string(), {1, {{Key().PublicX(), Key().PublicY()}}});
  }

  // The manifest and list of Out as the launcher reads them, checked on the way.
  std::vector<TRemoteFile> ReadBack(const fs::path& Out, TManifest& Manifest) {
    const TBytes version = ReadBytes(Out / "version");
    const TBytes sigBytes = ReadBytes(Out / "version.sig");
    const std::string signature(sigBytes.begin(), sigBytes.end());
    EXPECT_TRUE(std::regex_match(signature, std::regex("[0-9a-f]{128}\n")));
    EXPECT_TRUE(VerifySignatureWithKey(version, signature, Key().PublicX(), Key().PublicY()));
    Manifest = ReadManifest(version, KUrl);
    TBytes list = ReadBytes(Out / Manifest.List.Path);
    if (Manifest.List.ZSize > 0) {
      EXPECT_EQ(static_cast<int64_t>(list.size()), Manifest.List.ZSize);
      list = Inflated(list, Manifest.List.Size);
    }
    EXPECT_EQ(Sha256Hex(list), Manifest.List.Hash);
    return ReadFileList(list);
  }

  // Every entry matches the game's file, and its object decodes to the file's bytes.
  void ExpectEntriesMatch(const std::vector<TRemoteFile>& Entries, const fs::path& Store) {
    ASSERT_EQ(Entries.size(), FFiles.size());
    auto expected = FFiles.begin();
    for (const TRemoteFile& entry : Entries) {
      SCOPED_TRACE(entry.Path);
      EXPECT_EQ(entry.Path, expected->first);  // byte order, as the map keeps them
      EXPECT_EQ(entry.Size, static_cast<int64_t>(expected->second.size()));
      EXPECT_EQ(entry.Hash, Sha256Hex(expected->second));
      const fs::path object = Store / entry.Hash.substr(0, 2) / entry.Hash;
      TBytes bytes = ReadBytes(entry.ZSize > 0 ? fs::path(object.string() + ".z") : object);
      if (entry.ZSize > 0) {
        EXPECT_EQ(static_cast<int64_t>(bytes.size()), entry.ZSize);
        bytes = Inflated(bytes, entry.Size);
      }
      EXPECT_EQ(bytes, expected->second);
      ++expected;
    }
  }

  fs::path ObjectOf(const std::string& Path, bool Compressed) {
    const std::string hash = Sha256Hex(FFiles.at(Path));
    return FOut / "o" / hash.substr(0, 2) / (hash + (Compressed ? ".z" : ""));
  }

  fs::path FRoot, FGame, FOut;
  std::map<std::string, TBytes> FFiles;
};

TEST_F(Publish, PackedTreeReadsBackAsTheLauncherReadsIt) {
  TPackOptions options;
  options.Build = 42;
  const TPackResult result = PackInto(FOut, options);
  EXPECT_EQ(result.Files, 5);
  EXPECT_EQ(result.ObjectsWritten, 5);
  EXPECT_EQ(result.Compressed, 1);  // only the text shrinks by 5 %

  TManifest manifest;
  const std::vector<TRemoteFile> entries = ReadBack(FOut, manifest);
  EXPECT_EQ(manifest.Build, 42);
  EXPECT_EQ(manifest.Objects, std::string(KUrl) + "o/");
  EXPECT_GT(manifest.List.ZSize, 0);
  ExpectEntriesMatch(entries, FOut / "o");
  for (const TRemoteFile& entry : entries)
    EXPECT_EQ(entry.ZSize > 0, entry.Path == "data/text.txt") << entry.Path;

  const TVerifyReport report = VerifyOut(FOut);
  EXPECT_TRUE(report.Problems.empty()) << testing::PrintToString(report.Problems);
  EXPECT_EQ(report.Build, 42);
  EXPECT_EQ(report.Files, 5);
  EXPECT_EQ(report.Objects, 5);
}

TEST_F(Publish, CompressNeverAndAlwaysApplyToEveryObjectAndTheList) {
  for (const TCompress mode : {TCompress::Never, TCompress::Always}) {
    const bool always = mode == TCompress::Always;
    SCOPED_TRACE(always ? "always" : "never");
    const fs::path out = FOut / (always ? "always" : "never");
    TPackOptions options;
    options.Compress = mode;
    PackInto(out, options);
    TManifest manifest;
    const std::vector<TRemoteFile> entries = ReadBack(out, manifest);
    EXPECT_EQ(manifest.List.ZSize > 0, always);
    ExpectEntriesMatch(entries, out / "o");
    for (const TRemoteFile& entry : entries)
      EXPECT_EQ(entry.ZSize > 0, always) << entry.Path;  // the empty file too
    EXPECT_TRUE(VerifyOut(out).Problems.empty());
  }
}

TEST_F(Publish, RepackReusesSoundObjectsAndRewritesTheRest) {
  PackInto(FOut);
  const fs::path text = ObjectOf("data/text.txt", true);
  const auto textTime = fs::last_write_time(text);
  // A plain object of the wrong length is not trusted, whatever its name says.
  fs::resize_file(ObjectOf("vt.exe", false), 3);
  AddFile(
      "caf\xc3\xa9/\xc3\xb1"
      "ame.txt",
      Text("changed"));
  AddFile("data/new.txt", Text("new in build 2"));

  TPackOptions options;
  options.Build = 2;
  const TPackResult result = PackInto(FOut, options);
  EXPECT_EQ(result.ObjectsWritten, 3);  // vt.exe again, the changed and the new file
  EXPECT_EQ(result.ObjectsReused, 3);
  EXPECT_EQ(fs::last_write_time(text), textTime);
  TManifest manifest;
  ExpectEntriesMatch(ReadBack(FOut, manifest), FOut / "o");
  EXPECT_EQ(manifest.Build, 2);
  EXPECT_TRUE(VerifyOut(FOut).Problems.empty());
}

TEST_F(Publish, VerifyListsEveryDamagedObject) {
  PackInto(FOut);
  TBytes z = ReadBytes(ObjectOf("data/text.txt", true));
  z[z.size() / 2] ^= 0x55;
  WriteBytes(ObjectOf("data/text.txt", true), z);
  TBytes plain = ReadBytes(ObjectOf("vt.exe", false));
  plain[0] ^= 1;
  WriteBytes(ObjectOf("vt.exe", false), plain);
  fs::remove(ObjectOf("data/sub/random.bin", false));

  const std::vector<std::string> problems = VerifyOut(FOut).Problems;
  ASSERT_EQ(problems.size(), 3u) << testing::PrintToString(problems);
  EXPECT_EQ(problems[0].rfind("data/sub/random.bin: its object is missing", 0), 0u);
  EXPECT_EQ(problems[1].rfind("data/text.txt: ", 0), 0u);
  EXPECT_EQ(problems[2].rfind("vt.exe: its object does not have the listed SHA-256", 0), 0u);
}

TEST_F(Publish, VerifyRefusesAWrongKeyATamperedManifestAndADamagedList) {
  PackInto(FOut);
  const TSigningKey other = TSigningKey::Generate();
  const TVerifyReport wrongKey =
      VerifyTree(FOut.string(), {1, {{other.PublicX(), other.PublicY()}}});
  ASSERT_EQ(wrongKey.Problems.size(), 1u);
  EXPECT_NE(wrongKey.Problems[0].find("version.sig"), std::string::npos);

  const TBytes version = ReadBytes(FOut / "version");
  std::string tampered(version.begin(), version.end());
  tampered.replace(tampered.find("\"build\":1"), 9, "\"build\":7");
  WriteBytes(FOut / "version", Text(tampered));
  ASSERT_EQ(VerifyOut(FOut).Problems.size(), 1u);
  WriteBytes(FOut / "version", version);

  TManifest manifest;
  ReadBack(FOut, manifest);
  TBytes list = ReadBytes(FOut / manifest.List.Path);
  list[list.size() / 2] ^= 0x20;
  WriteBytes(FOut / manifest.List.Path, list);
  const std::vector<std::string> problems = VerifyOut(FOut).Problems;
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].rfind(manifest.List.Path + ": ", 0), 0u) << problems[0];

  fs::remove(FOut / "version");
  ASSERT_EQ(VerifyOut(FOut).Problems.size(), 1u);
}

TEST_F(Publish, RefusesWhatTheLauncherCannotPlaceAndKeepsThePreviousRelease) {
  PackInto(FOut);
  const TBytes version = ReadBytes(FOut / "version");
  const auto expectRefused = [&](const std::string& Name, const std::string& Why,
                                 const std::string& Remove = {}) {
    SCOPED_TRACE(Name);
    TPackOptions options;
    options.Build = 2;
    try {
      PackInto(FOut, options);
      ADD_FAILURE() << "packed";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(Name + ": "), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(Why), std::string::npos) << e.what();
    }
    fs::remove(FGame / (Remove.empty() ? Name : Remove));
  };
  WriteBytes(FGame / "data/a..b", Text("x"));
  expectRefused("data/a..b", "refuses this name");
  fs::create_symlink("text.txt", FGame / "data/link");
  expectRefused("data/link", "symbolic link");
  ASSERT_EQ(::mkfifo((FGame / "pipe").c_str(), 0600), 0);
  expectRefused("pipe", "not a regular file");
  WriteBytes(FGame / "back\\slash", Text("x"));
  expectRefused("back\\slash", "folder separator");
  WriteBytes(FGame / "bad\xff.txt", Text("x"));
  expectRefused("bad\xff.txt", "UTF-8");
  WriteBytes(FGame / "VT.EXE", Text("x"));
  expectRefused("vt.exe", "differs from VT.EXE only in letter case", "VT.EXE");
  WriteBytes(FGame / "Installed.json", Text("{}"));
  expectRefused("Installed.json", "record");
  WriteBytes(FGame / "vtlaunch.new.part", Text("x"));
  expectRefused("vtlaunch.new.part", "for itself");
  WriteBytes(FGame / "data/Text.txt.zpart", Text("x"));
  expectRefused("data/Text.txt.zpart", "download name for data/text.txt");
  WriteBytes(FGame / "aux.txt", Text("x"));
  expectRefused("aux.txt", "device name");

  EXPECT_EQ(ReadBytes(FOut / "version"), version);
  EXPECT_TRUE(VerifyOut(FOut).Problems.empty());
}

TEST_F(Publish, ObjectsGoWhereTheManifestSendsTheLauncher) {
  TPackOptions options;
  options.Objects = "files/";
  EXPECT_FALSE(PackInto(FOut / "relative", options).UploadObjects);
  TManifest manifest;
  ExpectEntriesMatch(ReadBack(FOut / "relative", manifest), FOut / "relative/files");
  EXPECT_EQ(manifest.Objects, std::string(KUrl) + "files/");
  EXPECT_TRUE(VerifyOut(FOut / "relative").Problems.empty());

  options.Objects = "HTTPS://cdn.test/objects/";
  const TPackResult result = PackInto(FOut / "absolute", options);
  EXPECT_TRUE(result.UploadObjects);
  EXPECT_EQ(result.ObjectsFolder, "o/");
  ExpectEntriesMatch(ReadBack(FOut / "absolute", manifest), FOut / "absolute/o");
  EXPECT_EQ(manifest.Objects, options.Objects);
  const TVerifyReport report = VerifyOut(FOut / "absolute");
  EXPECT_TRUE(report.Problems.empty());
  EXPECT_EQ(report.Objects, 5);
  EXPECT_EQ(report.Notes.size(), 2u);  // the release's number, and where its objects live

  for (const char* bad : {"files", "../files/", "/files/", "https://cdn.test/objects"}) {
    options.Objects = bad;
    EXPECT_THROW(PackInto(FOut / "bad", options), std::runtime_error) << bad;
  }
  EXPECT_FALSE(fs::exists(FOut / "bad"));
  EXPECT_THROW(Pack(FGame.string(), (FGame / "out").string(), Key(), {}), std::runtime_error);
}

TEST_F(Publish, AFileChangedWhileItIsPackedFailsThePack) {
  AddFile("data/big.txt", Lines(3 * KFilePiece));
  TPackOptions options;
  bool changed = false;
  options.Progress = [&](const TTreeProgress& Progress) {
    if (Progress.Path == "data/big.txt" && !changed) {
      changed = true;  // between the hashing and the second piece of the deflation
      WriteBytes(FGame / "data/big.txt", RandomBytes(3 * KFilePiece, 2));
    }
  };
  try {
    PackInto(FOut, options);
    ADD_FAILURE() << "packed";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "data/big.txt: the file changed while it was being packed");
  }
  EXPECT_TRUE(changed);
  EXPECT_FALSE(fs::exists(FOut / "version"));
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(FOut))
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
}

TEST_F(Publish, ProgressOnlyMovesForwardAndAutoGivesUpOnBigIncompressibleFiles) {
  AddFile("data/archive.pak", RandomBytes(5 * KFilePiece + 17, 3));
  std::vector<TTreeProgress> steps;
  TPackOptions options;
  options.Progress = [&](const TTreeProgress& Progress) { steps.push_back(Progress); };
  const TPackResult result = PackInto(FOut, options);
  EXPECT_EQ(result.Compressed, 1);
  ASSERT_FALSE(steps.empty());
  for (size_t i = 1; i < steps.size(); ++i) {
    EXPECT_GE(steps[i].DoneBytes, steps[i - 1].DoneBytes) << i;
    EXPECT_GE(steps[i].DoneFiles, steps[i - 1].DoneFiles) << i;
  }
  EXPECT_EQ(steps.back().DoneFiles, 6);
  EXPECT_EQ(steps.back().DoneBytes, result.Bytes);
  EXPECT_EQ(steps.back().Bytes, result.Bytes);
  EXPECT_TRUE(fs::exists(ObjectOf("data/archive.pak", false)));
}

TEST_F(Publish, AnUnreadableFileIsNamed) {
  if (::geteuid() == 0)
    GTEST_SKIP() << "root reads every file";
  fs::permissions(FGame / "vt.exe", fs::perms::none);
  try {
    PackInto(FOut);
    ADD_FAILURE() << "packed";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("vt.exe: Permission denied"), std::string::npos);
  }
  fs::permissions(FGame / "vt.exe", fs::perms::owner_all);
}

// The built tool beside this test binary, or nothing (another build layout, or Windows).
fs::path ToolPath() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  const fs::path tool = self.parent_path().parent_path() / "tools/vtpublish/vtpublish";
  return !error && fs::exists(tool) ? tool : fs::path();
}

// Runs the tool with Args (shell words), its output caught in Output: the exit status and what
// it printed on either stream.
std::pair<int, std::string> RunTool(const fs::path& Tool, const std::string& Args,
                                    const fs::path& Output) {
  const int status =
      std::system(("'" + Tool.string() + "' " + Args + " >'" + Output.string() + "' 2>&1").c_str());
  const TBytes bytes = ReadBytes(Output);
  return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                        std::string(bytes.begin(), bytes.end()));
}

TEST_F(Publish, ToolRunsKeygenPackAndVerifyWithTheirExitStatus) {
  const fs::path tool = ToolPath();
  if (tool.empty())
    GTEST_SKIP() << "vtpublish is not built beside the tests";
  const fs::path output = FRoot / "output.txt";
  const auto run = [&](const std::string& Args) { return RunTool(tool, Args, output); };
  const std::string key = (FRoot / "key.pem").string();
  const auto [keygen, keys] = run("keygen '" + key + "'");
  ASSERT_EQ(keygen, 0) << keys;
  std::smatch x, y;
  ASSERT_TRUE(std::regex_search(keys, x, std::regex("VT_RELEASE_KEY_X=([0-9a-f]{64})\n")));
  ASSERT_TRUE(std::regex_search(keys, y, std::regex("VT_RELEASE_KEY_Y=([0-9a-f]{64})\n")));
  EXPECT_EQ(fs::status(key).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(run("keygen '" + key + "'").first, 1);  // never replaces a key

  const std::string dirs = "'" + FGame.string() + "' '" + FOut.string() + "'";
  const auto [pack, summary] = run("pack " + dirs + " --build 9 --key '" + key + "'");
  ASSERT_EQ(pack, 0) << summary;
  EXPECT_NE(summary.find("5 files"), std::string::npos) << summary;
  const std::string verify = "verify '" + FOut.string() + "' --key-x " + x[1].str() + " --key-y ";
  EXPECT_EQ(run(verify + y[1].str()).first, 0);
  EXPECT_EQ(run(verify + x[1].str()).first, 1);  // a wrong key

  for (const std::string& args :
       {"pack " + dirs + " --build x9 --key k", "pack " + dirs,
        "pack " + dirs + " --build 1 --key k --compress best",
        "verify " + FOut.string() + " --key-x " + x[1].str(), std::string("deploy")}) {
    const auto [status, text] = run(args);
    EXPECT_EQ(status, 2) << args;
    EXPECT_EQ(text.rfind("vtpublish: ", 0), 0u) << text;
  }
}

TEST_F(Publish, ToolShowsKeysPrunesDiffsAndRefusesWhatWouldHurtPlayers) {
  const fs::path tool = ToolPath();
  if (tool.empty())
    GTEST_SKIP() << "vtpublish is not built beside the tests";
  const fs::path output = FRoot / "output.txt";
  const auto run = [&](const std::string& Args) { return RunTool(tool, Args, output); };
  const std::string key = "'" + (FRoot / "key.pem").string() + "'";
  const std::string other = "'" + (FRoot / "other.pem").string() + "'";
  const auto [keygen, printed] = run("keygen " + key);
  ASSERT_EQ(keygen, 0) << printed;
  ASSERT_EQ(run("keygen " + other).first, 0);
  std::smatch x, y;
  ASSERT_TRUE(std::regex_search(printed, x, std::regex("(VT_RELEASE_KEY_X=[0-9a-f]{64})\n")));
  ASSERT_TRUE(std::regex_search(printed, y, std::regex("(VT_RELEASE_KEY_Y=[0-9a-f]{64})\n")));
  const std::string out = "'" + FOut.string() + "'";
  const std::string pack = "pack '" + FGame.string() + "' " + out + " --key " + key;
  const std::string byOther = "pack '" + FGame.string() + "' " + out + " --key " + other;

  struct TCase {
    std::string Args;
    int Status;
    std::string Says;  // a part of what it prints
  };
  const TCase cases[] = {
      {"key show " + key, 0, x[1].str() + "\n" + y[1].str() + "\n"},
      {"key show '" + (FRoot / "none.pem").string() + "'", 1, "none.pem"},
      {"key", 2, "usage: vtpublish key show KEY_FILE"},
      {"key list " + key, 2, "unknown key command"},
      {pack + " --build 9 --threads 0", 2, "--threads takes a count"},
      {pack + " --build 9 --allow-same-or-lower=yes", 2, "takes no value"},
      {pack + " --build 9 --threads 2 --exclude '*.txt' --exclude empty.dat", 0, "3 files"},
      {"verify " + out + " --key " + key, 0, "build 9 is sound"},
      {"verify " + out + " --key-x " + x[1].str() + " --key-y -D" + y[1].str(), 0, "sound"},
      {"verify " + out + " --key " + other, 1, "not signed by enough of the given root keys"},
      {"verify " + out + " --key " + key + " --key-x " + x[1].str() + " --key-y " + y[1].str(), 2,
       "not both"},
      {"verify " + out + " --key-x " + y[1].str() + " --key-y " + y[1].str(), 2, "--key-x takes"},
      {pack + " --build 9", 1, "build 9 is not greater than the live build 9"},
      {pack + " --build 8 --allow-same-or-lower", 0, "replaces the higher or equal build 9"},
      {pack + " --build 10", 0, "Packed build 10: 5 files"},
      {"diff " + out + " --from 9 --to 10", 0, "+ data/text.txt\n"},
      {"diff " + out + " --from 8 --to 77", 1, "build 77 is not in the history"},
      {"diff " + out + " --from 8", 2, "--to is needed"},
      {"prune " + out, 2, "--keep is needed"},
      {"prune " + out + " --keep 0", 2, "--keep takes"},
      {"prune " + out + " --keep 1 --dry-run", 0, "Would free"},
      {"prune " + out + " --keep 1", 0, "kept builds: 10"},
      {"verify " + out + " --key " + key, 0, "build 10 is sound"},
      {pack + " --build 11 --chunks often", 2, "--chunks takes auto or never, not \"often\""},
      {pack + " --build 11 --chunks never", 0,
       "The store already held 0.4 MB of this build's 0.4 MB (100 %)"},
      // Trust: release numbers, expiry and key changes.
      {pack + " --build 12 --expires 0d", 2, "--expires takes a duration"},
      {"refresh " + out + " --expires 7d", 2, "refresh needs --key"},
      {"refresh " + out + " --key " + key + " --expires 7d", 0, "Release 5, expires 2"},
      {"keys frob " + out, 2, "unknown keys command \"frob\""},
      {"keys show " + out + " --root " + key, 0, "Live keys: version 0"},
      {"keys add-release " + out + " " + other + " --key " + other + " --root " + key, 1,
       "neither a current"},
      {"keys add-release " + out + " " + other + " --key " + key + " --root " + key, 0,
       "Published keys version 1"},
      {"keys add-release " + out + " " + other, 1, "is a release key already"},
      {"keys retire-release " + out + " " + key, 0, "waits for 1 more of the current root keys"},
      {"keys sign " + out + " --key " + key, 0, "Published keys version 2"},
      {"keys retire-release " + out + " " + other + " --key " + key, 1, "the only release key"},
      {"verify " + out + " --key " + key, 1, "not signed by enough of the release keys"},
      {pack + " --build 12", 1, "do not reach the threshold of the keys/2.json release keys"},
      {"refresh " + out + " --key " + other, 0,
       "Release 6, never expires, signed for keys "
       "version 2"},
      {"verify " + out + " --key " + key, 0, "launchers built before keys documents refuse"},
      {"prune " + out + " --keep 2 --dry-run", 0, "kept builds: 10, 11\n"},  // refreshes are one
      {pack + " --build 20 --channel Beta", 2, "--channel takes a name"},
      {byOther + " --build 20 --channel beta", 0, "Release 7 on channel beta, never expires"},
      {"verify " + out + " --key " + key, 0, "note: channel beta: build 20 checked\n"},
      // Staged rollout, on the stable channel whose live build is 11.
      {byOther + " --build 21 --rollout 25 --channel rc", 1, "--rollout needs a live release"},
      {byOther + " --build 21 --rollout 101", 2, "--rollout takes a share of installs from 1"},
      {byOther + " --build 21 --rollout 25 --critical", 2, "leave out --rollout"},
      {byOther + " --build 21 --rollout 25%", 0,
       "Rollout: 25 % of installs take this build, the others build 11\n"},
      {"rollout " + out + " 50", 2, "rollout needs --key"},
      {"rollout " + out + " 0 --key " + other, 2, "rollout takes a share"},
      {"rollout " + out + " 50 --key " + other, 0, "Rollout: 50 % of installs"},
      {"rollout " + out + " halt --key " + other, 0, "Rollout halted at 50 %"},
      {"verify " + out + " --key " + key, 0,
       "build 21 halted at 50 % of installs; build 11 for the others checked"},
      {"prune " + out + " --keep 1", 0, "kept builds: 20 (beta), 21\n"},
      {"verify " + out + " --key " + key, 0, "build 21 is sound"},         // prune kept build 11
      {byOther + " --build 22 --rollout 10", 0, "the others build 11\n"},  // never the halted 21
      {byOther + " --build 23 --critical", 0, "Packed build 23"},
      {"rollout " + out + " 30 --key " + other, 1, "build 23 went to every install"},
      {"diff " + out + " --from 20 --to 20 --channel beta", 0, "Build 20 to 20: 0 added"},
      {"diff " + out + " --from 23 --to 20 --channel beta", 1,
       "of " + FOut.string() + " on channel beta (it has 20)"},
      // Mirrors: named once, kept by later packs and refreshes until replaced or dropped.
      {byOther + " --build 24 --mirror ftp://eu/", 2, "--mirror takes an http:// or https:// URL"},
      {byOther + " --build 24 --mirror https://eu/ --no-mirrors", 2, "leave out --mirror"},
      {byOther + " --build 24 --mirror https://eu --mirror https://us/ --object-mirror "
                 "https://cdn/o",
       0, "Mirrors: 2 of the tree, 1 of the objects"},
      {"refresh " + out + " --key " + other, 0, "Mirrors: 2 of the tree, 1 of the objects"},
      {byOther + " --build 25 --object-mirror https://cdn2/", 0,
       "Mirrors: 2 of the tree, 1 of the objects"},
      {byOther + " --build 26 --no-mirrors", 0, "Packed build 26"},
  };
  for (const TCase& c : cases) {
    const auto [status, text] = run(c.Args);
    EXPECT_EQ(status, c.Status) << c.Args << "\n" << text;
    EXPECT_NE(text.find(c.Says), std::string::npos) << c.Args << "\n" << text;
    if (status != 0 && !c.Args.starts_with("verify")) {  // one line saying what to do
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << c.Args << "\n" << text;
    }
  }
}

}  // namespace
}  // namespace vt
