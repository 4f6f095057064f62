// Fetching, verifying and placing files, one at a time and through the four-worker queue.

#include "update/DownloadQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "format/Digest.h"
#include "format/DownloadSizes.h"
#include "platform/Files.h"
#include "platform/Locale.h"
#include "publish/Release.h"
#include "support/FakeHttp.h"
#include "support/StepRun.h"
#include "support/TestRelease.h"
#include "update/ClientSettings.h"
#include "update/Download.h"
#include "update/Progress.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using test::ErrorOf;

constexpr const char* KDamaged = "data/a.pak arrived damaged - try again";

// A fresh folder for one test, removed with everything in it afterwards.
class TTempDir {
 public:
  TTempDir() {
    std::random_device random;
    FPath = fs::temp_directory_path() / ("vt_download_" + std::to_string(random()));
    fs::create_directories(FPath);
  }
  ~TTempDir() {
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
  }
  // The folder with a trailing separator, as the updater wants it.
  std::string Text() const { return FPath.string() + KPathSeparator; }

 private:
  fs::path FPath;
};

std::string ReadText(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint8_t> Bytes(const std::string& Text) {
  return {Text.begin(), Text.end()};
}

TUpdaterOptions FakeOptions(test::TFakeHttp& Http) {
  TUpdaterOptions options;
  options.NewClient = Http.Factory();
  return options;
}

class DownloadTest : public ::testing::Test {
 protected:
  // The object's path on the server for an entry.
  static std::string ObjectPath(const TRemoteFile& File) {
    return "/objects/" + File.Hash.substr(0, 2) + "/" + File.Hash + (File.ZSize > 0 ? ".z" : "");
  }
  // An entry for Content, its object served plainly or zlib-compressed.
  TRemoteFile Publish(const std::string& Path, const std::string& Content, bool Compress = false) {
    TRemoteFile file{Path, static_cast<int64_t>(Content.size()), Sha256Hex(Bytes(Content)), 0, {}};
    if (Compress) {
      const auto z = ZlibCompress(Bytes(Content));
      file.ZSize = static_cast<int64_t>(z.size());
      Server.Serve(ObjectPath(file), z);
    } else {
      Server.Serve(ObjectPath(file), Content);
    }
    return file;
  }
  std::string Download(const TRemoteFile& File) {
    return ErrorOf([&] {
      TPlacer placer(Step.Run.Stop);
      DownloadFile(*Client, Objects, File, Local(File.Path), {Step.Run.Stop, nullptr, {}}, placer);
    });
  }
  std::string Local(const std::string& Path) const { return Step.Run.LocalPath(Path); }
  bool Exists(const std::string& Path) const { return fs::exists(Local(Path)); }
  void Put(const std::string& Path, const std::string& Content) {
    fs::create_directories(fs::path(Local(Path)).parent_path());
    std::ofstream(Local(Path), std::ios::binary) << Content;
  }

  TTempDir Dir;
  test::TFakeHttp Server;
  const std::string Objects = Server.BaseUrl() + "objects/";
  test::TStepRun Step{Dir.Text(), Server.BaseUrl(), FakeOptions(Server)};
  std::unique_ptr<THttpClient> Client = Server.Factory()(WorkerHttpSettings());
};

TEST_F(DownloadTest, PlainAndCompressedObjectsArePlacedAndVerified) {
  const std::string content(300000, 'v');
  for (const bool compress : {false, true}) {
    Put("data/a.pak", "old");
    const TRemoteFile file = Publish("data/a.pak", content + (compress ? "z" : "p"), compress);
    ASSERT_EQ(Download(file), "") << compress;
    EXPECT_EQ(ReadText(Local("data/a.pak")), content + (compress ? "z" : "p"));
    EXPECT_FALSE(Exists("data/a.pak.part"));
    EXPECT_FALSE(Exists("data/a.pak.zpart"));
    // Only compressed objects are asked for with ".z"; it is shorter than the file.
    ASSERT_EQ(Server.RequestsFor(ObjectPath(file)).size(), 1u) << compress;
    EXPECT_EQ(ObjectPath(file).ends_with(".z"), compress);
    EXPECT_EQ(DownloadSize(file), compress ? file.ZSize : file.Size);
  }
  // A negative compressed size means a plain object; the folder is made on the way.
  TRemoteFile file = Publish("deep/er/b.bin", "plain bytes");
  file.ZSize = -5;
  ASSERT_EQ(Download(file), "");
  EXPECT_EQ(ReadText(Local("deep/er/b.bin")), "plain bytes");
  EXPECT_EQ(DownloadSize(file), file.Size);
}

TEST_F(DownloadTest, EmptyFilesAndCompressedObjectsCutAtSize) {
  const TRemoteFile empty = Publish("e/empty", "");
  ASSERT_EQ(Download(empty), "");
  EXPECT_TRUE(Exists("e/empty"));
  EXPECT_EQ(fs::file_size(Local("e/empty")), 0u);

  // Nothing is inflated for a size of 0, whatever the object holds.
  TRemoteFile zeroSize = empty;
  zeroSize.Path = "e/zero";
  zeroSize.ZSize = 7;
  Server.Serve(ObjectPath(zeroSize), "not zlib at all");
  ASSERT_EQ(Download(zeroSize), "");
  EXPECT_EQ(fs::file_size(Local("e/zero")), 0u);

  // An object that inflates past the size: its first Size bytes count, and the hash decides.
  TRemoteFile longer = Publish("data/a.pak", "the first part and more", true);
  longer.Size = 14;
  longer.Hash = Sha256Hex(Bytes("the first part"));
  Server.Serve(ObjectPath(longer), ZlibCompress(Bytes("the first part and more")));
  ASSERT_EQ(Download(longer), "");
  EXPECT_EQ(ReadText(Local("data/a.pak")), "the first part");
  longer.Hash = Sha256Hex(Bytes("the first part and more"));
  Server.Serve(ObjectPath(longer), ZlibCompress(Bytes("the first part and more")));
  EXPECT_EQ(Download(longer), KDamaged);
}

TEST_F(DownloadTest, StatusOtherThan200NamesTheListPath) {
  Put("data/a.pak", "old");
  for (const bool compress : {false, true}) {
    TRemoteFile file = Publish("data/a.pak", "new content", compress);
    Server.ServeStatus(ObjectPath(file), 404, "a body that must not be kept");
    EXPECT_EQ(Download(file), "data/a.pak: HTTP 404");
    EXPECT_FALSE(Exists("data/a.pak.part"));
    EXPECT_FALSE(Exists("data/a.pak.zpart"));
    EXPECT_EQ(ReadText(Local("data/a.pak")), "old");
  }
}

TEST_F(DownloadTest, DamagedObjectsLeaveNothingBehind) {
  Put("data/a.pak", "old");
  const std::string content = "the real content of the file";
  const TRemoteFile plain = Publish("data/a.pak", content);
  const TRemoteFile packed = Publish("data/a.pak", content, true);
  auto corrupt = ZlibCompress(Bytes(content));
  corrupt[corrupt.size() / 2] ^= 0x5a;
  const std::vector<std::pair<TRemoteFile, std::vector<uint8_t>>> cases = {
      {plain, Bytes(content.substr(1))},               // complete answer, but short
      {plain, Bytes("the real content of the fil!")},  // right size, wrong digest
      {packed, corrupt},
      {packed, Bytes(content)},  // a compressed object served uncompressed
      {packed, ZlibCompress(Bytes(content.substr(0, 10)))},  // inflates to too few bytes
  };
  for (const auto& [file, body] : cases) {
    Server.Serve(ObjectPath(file), body);
    EXPECT_EQ(Download(file), KDamaged) << std::string(body.begin(), body.end());
    EXPECT_FALSE(Exists("data/a.pak.part"));
    EXPECT_FALSE(Exists("data/a.pak.zpart"));
    EXPECT_EQ(ReadText(Local("data/a.pak")), "old");
  }
}

TEST_F(DownloadTest, EndlessBodyIsCutOffAndDeleted) {
  for (const bool compress : {false, true}) {
    const TRemoteFile file = Publish("data/a.pak", std::string(1000, 'x'), compress);
    Server.ServeEndless(ObjectPath(file));
    EXPECT_EQ(Download(file), KDamaged) << compress;
    EXPECT_FALSE(Exists("data/a.pak.part"));
    EXPECT_FALSE(Exists("data/a.pak.zpart"));
    EXPECT_FALSE(Exists("data/a.pak"));
  }
}

TEST_F(DownloadTest, BodyCutShortIsDamagedAndStalledTransferKeepsThePart) {
  const TRemoteFile file = Publish("data/a.pak", std::string(1000, 'x'));
  // The connection closes before the announced length: what arrived fails verification.
  Server.ServeCut(ObjectPath(file), "only part");
  EXPECT_EQ(Download(file), KDamaged);
  EXPECT_FALSE(Exists("data/a.pak.part"));
  EXPECT_FALSE(Exists("data/a.pak"));

  // A transfer that stops moving fails with the client's own message; the part stays.
  Server.ServeFailing(ObjectPath(file), "only part", "Timeout was reached");
  EXPECT_EQ(Download(file), "Timeout was reached");
  EXPECT_EQ(ReadText(Local("data/a.pak.part")), "only part");
  EXPECT_FALSE(Exists("data/a.pak"));
}

TEST_F(DownloadTest, UnreplaceableTargetKeepsTheCandidate) {
  fs::create_directories(Local("data/a.pak/inside"));
  const TRemoteFile file = Publish("data/a.pak", "new content");
  const std::string message = Download(file);
  const std::string head = "cannot replace data/a.pak (";
  const std::string tail = ") - is the game still running?";
  ASSERT_TRUE(message.starts_with(head) && message.ends_with(tail)) << message;
  EXPECT_GT(message.size(), head.size() + tail.size()) << "the reason is missing";
  EXPECT_EQ(ReadText(Local("data/a.pak.part")), "new content");
  EXPECT_TRUE(fs::is_directory(Local("data/a.pak/inside")));
}

TEST_F(DownloadTest, ProgramsAloneGetExecutableBits) {
  if (KPathSeparator != '/')
    GTEST_SKIP() << "Windows files have no mode bits";
  constexpr auto kExec = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  constexpr auto kShared = fs::perms::group_write | fs::perms::others_write;
  const auto modeOf = [&](const std::string& Path) {
    return fs::status(Local(Path)).permissions();
  };
  ASSERT_EQ(Download(Publish("bin/game", std::string("\x7F"
                                                     "ELF\x02\x01",
                                                     6))),
            "");
  ASSERT_EQ(Download(Publish("bin/run.sh", "#!/bin/sh\necho hi\n", true)), "");
  EXPECT_NE(modeOf("bin/game") & fs::perms::owner_exec, fs::perms::none);
  EXPECT_NE(modeOf("bin/run.sh") & fs::perms::owner_exec, fs::perms::none);

  // A leftover executable ".part" is truncated, not recreated: its bits must not carry over.
  Put("bin/data.txt.part", "#!old");
  fs::permissions(Local("bin/data.txt.part"), fs::perms::all);
  for (const char* content : {"plain text", "#",
                              "\x7F"
                              "EL",
                              ""}) {
    ASSERT_EQ(Download(Publish("bin/data.txt", content)), "") << content;
    EXPECT_EQ(modeOf("bin/data.txt") & (kExec | kShared), fs::perms::none) << content;
    EXPECT_NE(modeOf("bin/data.txt") & fs::perms::owner_read, fs::perms::none) << content;
  }
}

// --- The queue ---

TEST(DownloadProgressLine, CountsMebibytesWithTheUserSeparator) {
  const std::string point = UserDecimalSeparator();
  EXPECT_EQ(DownloadProgressLine(3, 7, 0, 10000000),
            "Downloading the update: 3 of 7 files (0" + point + "0 of 9" + point + "5 MB)");
  // Past 32 bits.
  EXPECT_EQ(DownloadProgressLine(1, 1, 5368709120, 5368709120 + 104858),
            "Downloading the update: 1 of 1 files (5120" + point + "0 of 5120" + point + "1 MB)");
}

class DownloadQueueTest : public DownloadTest {
 protected:
  // Plans every entry whole; the total is what the checking pass would have summed.
  void SetQueue(std::vector<TRemoteFile> Entries) {
    Files = std::move(Entries);
    Plan = {};
    for (const TRemoteFile& file : Files) {
      Plan.Fetch.push_back({&file, nullptr});
      Plan.TotalBytes += DownloadSize(file);
    }
  }
  std::string RunQueue() {
    return ErrorOf([&] {
      TSources sources({Objects});
      DownloadQueue(Step.Run, sources, Plan);
    });
  }
  size_t ObjectRequests() const {
    size_t count = 0;
    for (const auto& request : Server.Requests())
      count += request.Path.starts_with("/objects/");
    return count;
  }
  // Answers File's object only after 400 ms, so that it is surely still in hand meanwhile.
  void ServeSlowly(const TRemoteFile& File, std::string Body, int Status = 200) {
    Server.ServeStatus(ObjectPath(File), Status, std::move(Body));
    Server.HoldAt(ObjectPath(File),
                  [](const TStopToken& Stop) { Stop.WaitFor(std::chrono::milliseconds(400)); });
  }

  std::vector<TRemoteFile> Files;
  TUpdatePlan Plan;
};

TEST_F(DownloadQueueTest, OneFileIsReportedOnceThroughThePostedCalls) {
  const TRemoteFile file = Publish("data/a.pak", std::string(1572864, 'q'));
  SetQueue({file});
  ASSERT_EQ(RunQueue(), "");
  EXPECT_EQ(ReadText(Local("data/a.pak")).size(), 1572864u);
  const auto lines = Step.Lines();
  const std::string point = UserDecimalSeparator();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front().Text,
            "Downloading the update: 0 of 1 files (0" + point + "0 of 1" + point + "5 MB)");
  EXPECT_EQ(lines.front().Done, 0);
  EXPECT_EQ(lines.back().Text,
            "Downloading the update: 1 of 1 files (1" + point + "5 of 1" + point + "5 MB)");
  EXPECT_EQ(lines.back().Done, 1572864);
  EXPECT_EQ(lines.back().Total, 1572864);
}

TEST_F(DownloadQueueTest, ManyFilesArePlacedAndCountedByTransferSize) {
  std::vector<TRemoteFile> files;
  for (int i = 0; i < 40; ++i) {
    const std::string content =
        "file " + std::to_string(i) + std::string(1000 + i * 997, 'a' + i % 26);
    files.push_back(
        Publish("d" + std::to_string(i % 3) + "/f" + std::to_string(i), content, i % 2));
  }
  SetQueue(files);
  ASSERT_EQ(RunQueue(), "");
  for (const TRemoteFile& file : files) {
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(Local(file.Path))), file.Size) << file.Path;
  }
  const auto lines = Step.Lines();
  const int64_t total = lines[0].Total;
  // Lines in the order of their counts, so the bar never steps back; every placed file has one.
  int64_t lastBytes = 0;
  size_t nextCount = 0;
  for (const auto& line : lines) {
    EXPECT_EQ(line.Total, total);
    EXPECT_GE(line.Done, lastBytes);
    lastBytes = line.Done;
    if (line.Text.starts_with("Downloading the update: " + std::to_string(nextCount) + " of 40"))
      ++nextCount;
  }
  EXPECT_EQ(nextCount, files.size() + 1) << "a count was skipped or went back";
  // Compressed files count with their object's size, so the bytes reach the sum of those.
  int64_t transfer = 0;
  for (const TRemoteFile& file : files)
    transfer += file.ZSize > 0 ? file.ZSize : file.Size;
  EXPECT_EQ(total, transfer);
  EXPECT_EQ(lastBytes, transfer);
  EXPECT_EQ(ObjectRequests(), files.size());
}

TEST_F(DownloadQueueTest, FirstFailureStopsTheQueue) {
  std::vector<TRemoteFile> files;
  for (int i = 0; i < 20; ++i)
    files.push_back(Publish("f/" + std::to_string(i), "content " + std::to_string(i)));
  Server.ServeStatus(ObjectPath(files[0]), 404);
  ServeSlowly(files[1], {}, 500);  // fails later: its message must not replace the first
  for (int i = 2; i < 20; ++i)
    ServeSlowly(files[i], "content " + std::to_string(i));
  SetQueue(files);
  EXPECT_EQ(RunQueue(), "f/0: HTTP 404");
  // Only the files in hand when the first one failed were asked for; those may still be placed.
  EXPECT_LE(ObjectRequests(), 4u);
  for (int i = 4; i < 20; ++i)
    EXPECT_FALSE(Exists(files[i].Path)) << i;
  size_t placed = 0;
  for (const TRemoteFile& file : files)
    placed += Exists(file.Path);
  const auto lines = Step.Lines();
  EXPECT_TRUE(lines.back().Text.starts_with("Downloading the update: " + std::to_string(placed) +
                                            " of 20 files"))
      << lines.back().Text;
}

TEST_F(DownloadQueueTest, StopRequestCutsTheTransfersInHand) {
  std::vector<TRemoteFile> files;
  test::TDoor door;
  for (int i = 0; i < 12; ++i) {
    files.push_back(Publish("f/" + std::to_string(i), "content " + std::to_string(i)));
    Server.HoldAt(ObjectPath(files.back()), [&door](const TStopToken&) { door.Pass(); });
  }
  SetQueue(files);
  std::string error = "not returned";
  std::thread run([&] { error = RunQueue(); });
  EXPECT_TRUE(door.WaitForArrivals(4));
  Step.RequestStop();
  door.Open();
  run.join();
  // The four transfers in hand end unplaced; nothing new starts; no error.
  EXPECT_EQ(error, "");
  EXPECT_EQ(ObjectRequests(), 4u);
  for (int i = 0; i < 12; ++i)
    EXPECT_FALSE(Exists(files[i].Path)) << i;
  const auto lines = Step.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].Text.starts_with("Downloading the update: 0 of 12 files"));

  // Stopped before it begins: not a single request.
  Server.ClearRequests();
  EXPECT_EQ(RunQueue(), "");
  EXPECT_EQ(ObjectRequests(), 0u);
}

TEST_F(DownloadQueueTest, BlockedFolderFailsBeforeAnyTransfer) {
  Put("data", "a file where a folder must go");
  SetQueue({Publish("ok/first", "fine"), Publish("data/a.pak", "x")});
  const std::string message = RunQueue();
  const std::string head =
      "cannot create the folder " + Dir.Text() + "data" + KPathSeparator + " - ";
  EXPECT_TRUE(message.starts_with(head)) << message;
  EXPECT_GT(message.size(), head.size()) << "the reason is missing";
  EXPECT_TRUE(Server.Requests().empty());
  EXPECT_FALSE(Exists("ok/first"));
}

}  // namespace
}  // namespace vt
