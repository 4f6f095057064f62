// Chunk data from the publisher: objects that are chunk stores and still one zlib stream,
// reuse across packs, what verify catches, and what prune keeps.

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <set>

#include "format/Chunks.h"
#include "format/Digest.h"
#include "publish/ChunkedObject.h"
#include "publish/Diff.h"
#include "publish/ObjectFiles.h"
#include "publish/Pack.h"
#include "publish/PackCache.h"
#include "publish/Prune.h"
#include "publish/Release.h"
#include "publish/ReleaseTree.h"
#include "publish/VerifyTree.h"
#include "support/TestRelease.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::WriteAll;

// Small enough for quick tests, big enough for a dozen chunks and more.
constexpr int64_t KChunkFrom = 512 * 1024;

using test::Key;

// Text that deflates well but not to nothing, so that Auto keeps the zlib object.
std::string Words(size_t Size, uint32_t Seed) {
  std::mt19937 generator(Seed);
  std::string text;
  while (text.size() < Size)
    text += "word" + std::to_string(generator() % 5000) + (generator() % 9 ? " " : ".\n");
  text.resize(Size);
  return text;
}

TBytes Bytes(const std::string& Text) {
  return TBytes(Text.begin(), Text.end());
}

// Raw deflate data inflated on its own, as a client inflates one chunk fetched by range.
std::string RawInflate(const uint8_t* Data, size_t Size, size_t Expected) {
  z_stream stream{};
  inflateInit2(&stream, -15);
  std::string out(Expected + 1, '\0');
  stream.next_in = const_cast<uint8_t*>(Data);
  stream.avail_in = static_cast<uInt>(Size);
  stream.next_out = reinterpret_cast<uint8_t*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = inflate(&stream, Z_SYNC_FLUSH);
  out.resize(status == Z_OK && stream.avail_in == 0 ? out.size() - stream.avail_out : 0);
  inflateEnd(&stream);
  return out;
}

std::set<TSha256Digest> HashesOf(const std::string& Content) {
  TChunkHasher hasher;
  hasher.Feed(reinterpret_cast<const uint8_t*>(Content.data()), Content.size());
  std::set<TSha256Digest> hashes;
  for (const TChunk& chunk : hasher.Finish())
    hashes.insert(chunk.Hash);
  return hashes;
}

class PublishChunks : public testing::Test {
 protected:
  void SetUp() override {
    FRoot =
        fs::temp_directory_path() / ("vt_publish_chunks_" + std::to_string(::getpid()) + "_" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FRoot);
    FGame = FRoot / "game";
    FOut = FRoot / "out";
    Add("vt.exe", "MZ not really a program");
    Add("data/small.txt", Words(KChunkFrom - 1, 1));
    Add("data/text.pak", Words(1536 * 1024, 2));
    Add("data/random.pak", test::RandomBytes(1024 * 1024 + 77, 3));
  }
  void TearDown() override { fs::remove_all(FRoot); }

  void Add(const std::string& Path, const std::string& Content) {
    FFiles[Path] = Content;
    WriteAll(FGame / Path, Content);
    // Older than the cache's guard against changes within the clock's resolution.
    fs::last_write_time(FGame / Path, fs::file_time_type::clock::now() - std::chrono::hours(1));
  }

  TPackResult PackBuild(int32_t Build, TPackOptions Options = {}, fs::path Out = {}) {
    Options.Build = Build;
    Options.ChunkFrom = KChunkFrom;
    return Pack(FGame.string(), (Out.empty() ? FOut : Out).string(), Key(), Options);
  }

  static TTreeRelease Live(const fs::path& Out) {
    return ReadTreeRelease(Out.string(), Bytes(ReadAll(Out / "version")));
  }

  static const TRemoteFile& EntryOf(const TTreeRelease& Release, const std::string& Path) {
    for (const TRemoteFile& file : Release.Files) {
      if (file.Path == Path)
        return file;
    }
    throw std::runtime_error(Path + " is not listed");
  }

  static std::string IndexPath(const TRemoteFile& Entry) {
    return "o/" + ChunkIndexName(Entry.Chunks.Hash);
  }

  static std::string ObjectOf(const TRemoteFile& Entry) {
    return "o/" + ObjectName(Entry.Hash, Entry.ZSize > 0);
  }

  std::vector<std::string> Problems(const fs::path& Out) {
    return VerifyTree(Out.string(), {1, {{Key().PublicX(), Key().PublicY()}}}).Problems;
  }

  fs::path FRoot, FGame, FOut;
  std::map<std::string, std::string> FFiles;
};

TEST_F(PublishChunks, AChunkedObjectInflatesWholeForAnOldClientAndChunkByChunkForANewOne) {
  const struct {
    TCompress Compress;
    bool TextZlib, RandomZlib;
  } cases[] = {{TCompress::Auto, true, false},
               {TCompress::Always, true, true},
               {TCompress::Never, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Compress));
    const fs::path out = FRoot / ("out" + std::to_string(static_cast<int>(c.Compress)));
    const fs::path plain = out.string() + "-never";
    TPackOptions options;
    options.Compress = c.Compress;
    const TPackResult result = PackBuild(1, options, out);
    EXPECT_EQ(result.Chunked, 2);
    EXPECT_EQ(result.IndexesWritten, 2);
    options.Chunks = TChunks::Never;
    PackBuild(1, options, plain);
    EXPECT_TRUE(Problems(out).empty()) << testing::PrintToString(Problems(out));
    const TTreeRelease release = Live(out);
    const TTreeRelease without = Live(plain);
    for (size_t f = 0; f < release.Files.size(); ++f) {
      const TRemoteFile& entry = release.Files[f];
      SCOPED_TRACE(entry.Path);
      const std::string& content = FFiles.at(entry.Path);
      const std::string object = ReadAll(out / ObjectOf(entry));
      EXPECT_TRUE(without.Files[f].Chunks.Hash.empty());
      if (static_cast<int64_t>(content.size()) < KChunkFrom) {
        // Small files come out as they did before chunk data existed.
        EXPECT_TRUE(entry.Chunks.Hash.empty());
        EXPECT_EQ(entry.ZSize, without.Files[f].ZSize);
        EXPECT_TRUE(object == ReadAll(plain / ObjectOf(entry)));
        continue;
      }
      ASSERT_FALSE(entry.Chunks.Hash.empty());
      EXPECT_EQ(entry.ZSize > 0, entry.Path == "data/text.pak" ? c.TextZlib : c.RandomZlib);
      // The old client's way: the whole object.
      const TBytes whole = entry.ZSize > 0 ? ZlibInflate(Bytes(object), entry.Size) : Bytes(object);
      EXPECT_TRUE(whole == Bytes(content));
      // The new client's way: each chunk from its offset, on its own.
      const TBytes indexBytes = Bytes(ReadAll(out / IndexPath(entry)));
      EXPECT_EQ(Sha256Hex(indexBytes), entry.Chunks.Hash);
      EXPECT_EQ(static_cast<int64_t>(indexBytes.size()), entry.Chunks.Size);
      const TChunkIndex index = ReadChunkIndex(indexBytes, entry.Size);
      EXPECT_EQ(index.Zlib, entry.ZSize > 0);
      EXPECT_GT(index.Chunks.size(), 4u);
      size_t at = 0;
      for (size_t i = 0; i < index.Chunks.size(); ++i) {
        const TChunk& chunk = index.Chunks[i];
        const uint64_t offset = StoredOffset(index, i);
        ASSERT_LE(offset + chunk.Stored, object.size()) << i;
        const auto* stored = reinterpret_cast<const uint8_t*>(object.data()) + offset;
        const std::string bytes =
            index.Zlib ? RawInflate(stored, chunk.Stored, chunk.Size)
                       : std::string(reinterpret_cast<const char*>(stored), chunk.Stored);
        EXPECT_TRUE(bytes == content.substr(at, chunk.Size)) << "chunk " << i;
        TSha256 sha;
        sha.Update(bytes.data(), bytes.size());
        EXPECT_EQ(sha.Final(), chunk.Hash) << "chunk " << i;
        at += chunk.Size;
      }
      EXPECT_EQ(at, content.size());
      // The tests' release builder makes the very same object and index.
      if (c.Compress != TCompress::Auto) {
        const TChunkedObject built = MakeChunkedObject(Bytes(content), index.Zlib);
        EXPECT_TRUE(built.Object == Bytes(object));
        EXPECT_EQ(WriteChunkIndex(built.Index), indexBytes);
      }
    }
  }
}

TEST_F(PublishChunks, ASecondPackRewritesNothingAndCountsWhatTheStoreHeld) {
  const TPackResult first = PackBuild(1);
  EXPECT_EQ(first.HeldWhole + first.HeldChunks, 0);
  std::map<std::string, fs::file_time_type> written;
  for (const fs::directory_entry& file : fs::recursive_directory_iterator(FOut / "o"))
    written[file.path().string()] = file.last_write_time();

  const TPackResult same = PackBuild(2);
  EXPECT_EQ(same.ObjectsWritten, 0);
  EXPECT_EQ(same.IndexesWritten, 0);
  EXPECT_EQ(same.FromCache, same.Files);
  EXPECT_EQ(same.Chunked, 2);
  EXPECT_EQ(same.HeldWhole, same.Bytes);
  for (const fs::directory_entry& file : fs::recursive_directory_iterator(FOut / "o"))
    EXPECT_EQ(written.at(file.path().string()), file.last_write_time()) << file.path();

  // An edit in the middle of one big file: its new object, whose chunks but those around the
  // edit the store held already.
  const std::string before = FFiles["data/text.pak"];
  std::string edited = before;
  edited.replace(700000, 5, "EDIT!");
  edited.insert(1200000, "and a few more words ");
  Add("data/text.pak", edited);
  const TPackResult changed = PackBuild(3);
  EXPECT_EQ(changed.ObjectsWritten, 1);
  EXPECT_EQ(changed.IndexesWritten, 1);
  EXPECT_EQ(changed.HeldWhole, changed.Bytes - static_cast<int64_t>(edited.size()));
  const std::set<TSha256Digest> old = HashesOf(before);
  TChunkHasher hasher;
  hasher.Feed(reinterpret_cast<const uint8_t*>(edited.data()), edited.size());
  int64_t held = 0;
  for (const TChunk& chunk : hasher.Finish())
    held += old.count(chunk.Hash) ? chunk.Size : 0;
  EXPECT_GT(held, static_cast<int64_t>(edited.size()) / 2);
  EXPECT_EQ(changed.HeldChunks, held);

  // What a player on build 2 fetches with chunk reuse: the new index and the chunks it lacks.
  const TBuildDiff diff = DiffBuilds(FOut.string(), 2, 3);
  const TTreeRelease live = Live(FOut);
  const TRemoteFile& entry = EntryOf(live, "data/text.pak");
  const TChunkIndex index = ReadChunkIndex(Bytes(ReadAll(FOut / IndexPath(entry))), entry.Size);
  int64_t fetched = entry.Chunks.Size;
  for (const TChunk& chunk : index.Chunks)
    fetched += old.count(chunk.Hash) ? 0 : chunk.Stored;
  EXPECT_EQ(diff.ChunkedFiles, 1);
  EXPECT_EQ(diff.ChunkedBytes, fetched);
  EXPECT_LT(diff.ChunkedBytes, diff.DownloadBytes / 2);

  // Without the cache, the indexes come from the releases the tree keeps.
  fs::remove(FOut / KPrivateFolder / "cache");
  const TPackResult uncached = PackBuild(4);
  EXPECT_EQ(uncached.FromCache, 0);
  EXPECT_EQ(uncached.ObjectsWritten + uncached.IndexesWritten, 0);
  EXPECT_EQ(uncached.Chunked, 2);

  // A tree packed without chunk data: a plain object gains an index as it is; a zlib object is
  // kept as live lists describe it, without.
  const fs::path other = FRoot / "other";
  TPackOptions never;
  never.Chunks = TChunks::Never;
  EXPECT_EQ(PackBuild(1, never, other).Chunked, 0);
  const TPackResult later = PackBuild(2, {}, other);
  EXPECT_EQ(later.ObjectsWritten, 0);
  EXPECT_EQ(later.Chunked, 1);
  EXPECT_EQ(later.IndexesWritten, 1);
  EXPECT_EQ(later.WithoutChunks, 1);
  EXPECT_FALSE(EntryOf(Live(other), "data/random.pak").Chunks.Hash.empty());
  EXPECT_TRUE(Problems(FOut).empty()) << testing::PrintToString(Problems(FOut));
  EXPECT_TRUE(Problems(other).empty()) << testing::PrintToString(Problems(other));
}

TEST_F(PublishChunks, VerifyNamesTheFileWhoseChunkDataIsDamaged) {
  const fs::path pristine = FRoot / "pristine";
  PackBuild(1, {}, pristine);
  const TTreeRelease release = Live(pristine);
  const TRemoteFile& text = EntryOf(release, "data/text.pak");
  const TRemoteFile& random = EntryOf(release, "data/random.pak");
  ASSERT_GT(text.ZSize, 0);
  ASSERT_EQ(random.ZSize, 0);
  const auto offset = [&](const TRemoteFile& Entry, size_t Chunk) {
    const TChunkIndex index =
        ReadChunkIndex(Bytes(ReadAll(pristine / IndexPath(Entry))), Entry.Size);
    return StoredOffset(index, Chunk) + index.Chunks[Chunk].Stored / 2;
  };
  const auto flip = [](const fs::path& Path, uint64_t At) {
    std::string bytes = ReadAll(Path);
    bytes[At] = static_cast<char>(bytes[At] ^ 0x20);
    WriteAll(Path, bytes);
  };
  const struct {
    const char* Name;
    std::function<void(const fs::path&)> Damage;
    std::string Says;
  } cases[] = {
      {"an index byte", [&](const fs::path& Out) { flip(Out / IndexPath(text), 30); },
       "data/text.pak: its chunk index does not have the SHA-256 of \"c.h\""},
      {"no index", [&](const fs::path& Out) { fs::remove(Out / IndexPath(random)); },
       "data/random.pak: its chunk index is missing"},
      {"a byte of a zlib chunk",
       [&](const fs::path& Out) { flip(Out / ObjectOf(text), offset(text, 3)); },
       "data/text.pak: chunk 4 "},
      {"a byte of a plain chunk",
       [&](const fs::path& Out) { flip(Out / ObjectOf(random), offset(random, 2)); },
       "data/random.pak: chunk 3 does not have the SHA-256 its index gives"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const fs::path out = FRoot / c.Name;
    fs::copy(pristine, out, fs::copy_options::recursive);
    c.Damage(out);
    const std::vector<std::string> problems = Problems(out);
    ASSERT_EQ(problems.size(), 1u) << testing::PrintToString(problems);
    EXPECT_EQ(problems[0].rfind(c.Says, 0), 0u) << problems[0];
  }
}

// The object checks of verify, on objects whose index does not tell the truth.
TEST_F(PublishChunks, AChunkStoreIsSoundOnlyWhenEveryCutAndTheEndAreWhereTheIndexSays) {
  const TBytes content = Bytes(Words(700000, 9));
  const std::string hash = Sha256Hex(content);
  const TChunkedObject zlib = MakeChunkedObject(content, true);
  const TChunkedObject plain = MakeChunkedObject(content, false);
  ASSERT_GT(zlib.Index.Chunks.size(), 3u);
  const struct {
    const char* Name;
    bool Zlib;
    std::function<void(TChunkedObject&)> Change;
    std::string Says;  // "" for a sound object
    bool Fits;         // the sizes alone still fit the object (what pack asks before reuse)
  } cases[] = {
      {"zlib as written", true, [](TChunkedObject&) {}, "", true},
      {"plain as written", false, [](TChunkedObject&) {}, "", true},
      {"a cut one byte late", true,
       [](TChunkedObject& O) {
         ++O.Index.Chunks[0].Stored;
         --O.Index.Chunks[1].Stored;
       },
       "chunk 1 ", true},
      {"a plain chunk's size moved", false,
       [](TChunkedObject& O) {
         O.Index.Chunks[0].Size += 1;
         O.Index.Chunks[0].Stored += 1;
         O.Index.Chunks[1].Size -= 1;
         O.Index.Chunks[1].Stored -= 1;
       },
       "chunk 1 does not have the SHA-256", true},
      {"the Adler-32 damaged", true, [](TChunkedObject& O) { O.Object.back() ^= 1; }, "Adler-32",
       true},
      {"a byte past the end", true, [](TChunkedObject& O) { O.Object.push_back(0); },
       "its object does not end with an empty final block", true},
      {"a plain byte past the end", false, [](TChunkedObject& O) { O.Object.push_back(0); },
       "its object has 1 bytes after the last chunk", false},
      {"no final block", true,
       [](TChunkedObject& O) { O.Object.erase(O.Object.end() - 6, O.Object.end() - 4); },
       "bytes after the last chunk", false},
      {"the first chunk at byte 0", true, [](TChunkedObject& O) { O.Index.DataOffset = 0; },
       "its chunk index puts the first chunk at byte 0", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TChunkedObject object = c.Zlib ? zlib : plain;
    c.Change(object);
    TMemorySource source(object.Object);
    const std::string problem =
        CheckChunkedObject(source, static_cast<int64_t>(object.Object.size()), object.Index, hash);
    if (c.Says.empty())
      EXPECT_EQ(problem, "");
    else
      EXPECT_NE(problem.find(c.Says), std::string::npos) << problem;
    EXPECT_EQ(IndexFitsObject(object.Index, static_cast<int64_t>(object.Object.size())), c.Fits);
  }
}

TEST_F(PublishChunks, PruneRemovesTheIndexesOfDroppedBuildsAndKeepsLiveOnes) {
  std::vector<std::string> indexes;  // of data/text.pak, by build
  for (int build = 1; build <= 3; ++build) {
    Add("data/text.pak", Words(1536 * 1024, static_cast<uint32_t>(10 + build)));
    PackBuild(build);
    indexes.push_back(IndexPath(EntryOf(Live(FOut), "data/text.pak")));
  }
  const std::string randomIndex = IndexPath(EntryOf(Live(FOut), "data/random.pak"));
  const TPruneReport report = Prune(FOut.string(), 2, false);
  EXPECT_FALSE(fs::exists(FOut / indexes[0]));
  EXPECT_TRUE(fs::exists(FOut / indexes[1]));
  EXPECT_TRUE(fs::exists(FOut / indexes[2]));
  EXPECT_TRUE(fs::exists(FOut / randomIndex));
  EXPECT_EQ(report.Objects, 2);  // build 1's text object and its index
  EXPECT_NE(std::find(report.Removed.begin(), report.Removed.end(), indexes[0]),
            report.Removed.end());
  EXPECT_TRUE(Problems(FOut).empty()) << testing::PrintToString(Problems(FOut));
}

// The tests' release builder makes chunked trees that the engine installs and updates.
class ChunkedRelease : public test::TReleaseRunTest {};

TEST_F(ChunkedRelease, InstallsAndUpdatesWithTheEngine) {
  test::TGameFiles files{{"big.pak", Words(600000, 4)}, {"small.txt", "small"}};
  for (const int32_t build : {1, 2}) {
    const std::vector<TRemoteFile> entries =
        test::PublishRelease(Server, files, build, true, 300000);
    ASSERT_FALSE(entries[0].Chunks.Hash.empty());
    EXPECT_EQ(Run().Error, "");
    EXPECT_TRUE(ReadAll(Dir / "big.pak") == files["big.pak"]) << build;
    files["big.pak"].replace(300000, 4, "EDIT");
  }
}

}  // namespace
}  // namespace vt
