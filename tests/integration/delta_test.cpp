// Chunked files updated from what the disk holds: only the changed chunks travel, with range
// requests, and the result is byte for byte the new version.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <set>

#include "format/Chunks.h"
#include "format/Digest.h"
#include "format/Paths.h"
#include "publish/ChunkedObject.h"
#include "publish/Release.h"
#include "support/FakeHttp.h"
#include "support/TestRelease.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

using test::ReadAll;
using test::WriteAll;

const std::string KOld = test::RandomBytes(3 << 20, 1);

std::span<const uint8_t> Bytes(const std::string& Text) {
  return {reinterpret_cast<const uint8_t*>(Text.data()), Text.size()};
}

// The bytes of the request's range ("bytes=a-b"); 0 for a request without one.
int64_t RangeLength(const test::TRecordedRequest& Request) {
  const std::string range = Request.Header("Range");
  int64_t from = 0, to = -1;
  if (std::sscanf(range.c_str(), "bytes=%lld-%lld", reinterpret_cast<long long*>(&from),
                  reinterpret_cast<long long*>(&to)) != 2) {
    return 0;
  }
  return to - from + 1;
}

int64_t RangeLength(const test::TFakeRequest& Request) {
  return Request.Range ? Request.Range->Count : 0;
}

class DeltaTest : public test::TReleaseRunTest {
 protected:
  // Serves Files as chunked objects with their indexes, a list and a manifest for Build.
  std::vector<TRemoteFile> Publish(const test::TGameFiles& Files, int32_t Build) {
    std::vector<TRemoteFile> entries;
    for (const auto& [path, content] : Files) {
      const std::span<const uint8_t> bytes = Bytes(content);
      const TChunkedObject object = MakeChunkedObject(bytes, Compress);
      const std::vector<uint8_t> index = WriteChunkIndex(object.Index);
      TRemoteFile entry{path,
                        static_cast<int64_t>(bytes.size()),
                        Sha256Hex(bytes),
                        Compress ? static_cast<int64_t>(object.Object.size()) : 0,
                        {static_cast<int64_t>(index.size()), Sha256Hex(index)}};
      Host->Serve(test::ObjectPath(entry), object.Object);
      Host->Serve("/o/" + ChunkIndexName(entry.Chunks.Hash), index);
      entries.push_back(entry);
    }
    test::PublishList(*Host, FileListJson(entries), true, Build,
                      "lists/" + std::to_string(Build) + ".json.z");
    return entries;
  }

  struct TTraffic {
    int Whole = 0;   // object requests without a range
    int Ranges = 0;  // range requests
    int64_t RangeBytes = 0;
  };
  TTraffic Traffic() const {
    return Host == &Http ? TrafficOf(Http.Requests()) : TrafficOf(Server.Requests());
  }
  template <typename TRequest>
  static TTraffic TrafficOf(const std::vector<TRequest>& Requests) {
    TTraffic traffic;
    for (const auto& request : Requests) {
      if (!request.Path.starts_with("/o/") || request.Path.ends_with(".ci"))
        continue;
      const int64_t length = RangeLength(request);
      if (length == 1)
        continue;  // the probe for range support
      if (length > 0) {
        ++traffic.Ranges;
        traffic.RangeBytes += length;
      } else {
        ++traffic.Whole;
      }
    }
    return traffic;
  }

  bool Compress = true;
  // Where Publish serves: the in-process server, or the fake for runs given Http's factory.
  test::TFakeHttp Http;
  test::TServedBodies* Host = &Server;
};

std::string Edited(std::string Text) {
  for (size_t at : {size_t{200000}, size_t{900000}, size_t{1700000}, size_t{2900000}})
    Text.replace(at, 100, test::RandomBytes(100, static_cast<uint32_t>(at)));
  return Text;
}

TEST_F(DeltaTest, ChangedFilesFetchOnlyTheirNewChunks) {
  const std::string shared = test::RandomBytes(1 << 20, 7);
  struct TCase {
    const char* Name;
    test::TGameFiles Old, New;
    bool Reuses;  // no whole object travels, and the ranges are well under the new size
  };
  const TCase cases[] = {
      {"scattered edits", {{"game.pak", KOld}}, {{"game.pak", Edited(KOld)}}, true},
      {"insertion near the start",
       {{"game.pak", KOld}},
       {{"game.pak", KOld.substr(0, 100000) + test::RandomBytes(10000, 2) + KOld.substr(100000)}},
       true},
      {"append", {{"game.pak", KOld}}, {{"game.pak", KOld + test::RandomBytes(300000, 3)}}, true},
      {"truncation", {{"game.pak", KOld}}, {{"game.pak", KOld.substr(0, 2 << 20)}}, true},
      {"smaller than one chunk", {{"game.pak", KOld}}, {{"game.pak", KOld.substr(0, 9000)}}, false},
      {"new file",
       {{"a.pak", KOld}},
       {{"a.pak", KOld}, {"b.pak", test::RandomBytes(1 << 20, 4)}},
       false},
      {"identical chunks inside and across files",
       {{"a.pak", shared}},
       {{"a.pak", shared + shared}, {"b.pak", shared}},
       false},
  };
  // The engine's part alone: the fake answers, so the many runs take no sockets.
  Host = &Http;
  TUpdaterOptions options;
  options.NewClient = Http.Factory();
  for (const bool compress : {true, false}) {
    Compress = compress;
    for (const TCase& c : cases) {
      SCOPED_TRACE(std::string(c.Name) + (compress ? ", zlib" : ", plain"));
      fs::remove_all(Dir);
      Publish(c.Old, 1);
      ASSERT_EQ(Run(options).Error, "");
      Http.ClearRequests();
      Publish(c.New, 2);
      const auto result = Run(options);
      ASSERT_EQ(result.Error, "");
      for (const auto& [path, content] : c.New)
        EXPECT_TRUE(ReadAll(Dir / path) == content) << path;
      const TTraffic traffic = Traffic();
      if (c.Reuses) {
        EXPECT_EQ(traffic.Whole, 0);
        EXPECT_GT(traffic.Ranges, 0);
        EXPECT_LT(traffic.RangeBytes, static_cast<int64_t>(c.New.at("game.pak").size()) / 3);
        // The total shown is what really travelled.
        EXPECT_EQ(result.Lines[result.Lines.size() - 2].Total, traffic.RangeBytes);
      }
      for (const auto& entry : fs::recursive_directory_iterator(Dir))
        EXPECT_FALSE(entry.path().string().ends_with("part")) << entry.path();
    }
  }
}

TEST_F(DeltaTest, DuplicateChunksAreFetchedOnce) {
  const std::string piece = test::RandomBytes(1 << 20, 9);
  Publish({{"game.pak", KOld}}, 1);
  ASSERT_EQ(Run().Error, "");
  Server.ClearRequests();
  const std::string next = KOld + piece + piece + piece;
  Publish({{"game.pak", next}}, 2);
  ASSERT_EQ(Run().Error, "");
  EXPECT_TRUE(ReadAll(Dir / "game.pak") == next);
  // The piece's chunks travel once; its later copies come from the candidate.
  EXPECT_LT(Traffic().RangeBytes, static_cast<int64_t>(piece.size()) * 3 / 2);
}

TEST_F(DeltaTest, OldVersionMissingOnDiskFetchesTheWholeObject) {
  Publish({{"game.pak", KOld}}, 1);
  ASSERT_EQ(Run().Error, "");
  fs::remove(Dir / "game.pak");
  Server.ClearRequests();
  Publish({{"game.pak", Edited(KOld)}}, 2);
  ASSERT_EQ(Run().Error, "");
  EXPECT_TRUE(ReadAll(Dir / "game.pak") == Edited(KOld));
  EXPECT_EQ(Traffic().Whole, 1);
  EXPECT_EQ(Traffic().Ranges, 0);
}

TEST_F(DeltaTest, TamperedChunkOrIndexFailsAndTheRepairedServerConverges) {
  const std::string next = Edited(KOld);
  for (const bool index : {false, true}) {
    SCOPED_TRACE(index ? "index" : "chunk");
    fs::remove_all(Dir);
    Publish({{"game.pak", KOld}}, 1);
    ASSERT_EQ(Run().Error, "");
    const TRemoteFile entry = Publish({{"game.pak", next}}, 2)[0];
    const TChunkedObject object = MakeChunkedObject(Bytes(next), Compress);
    std::vector<uint8_t> bad =
        index ? WriteChunkIndex(object.Index) : std::vector<uint8_t>(object.Object);
    // In the index, a chunk's hash; in the object, the chunk of the second edit, which must
    // travel.
    size_t at = 24 + 40 * 3 + 20;
    if (!index) {
      size_t chunk = 0;
      for (int64_t offset = 0; offset + object.Index.Chunks[chunk].Size <= 900000; ++chunk)
        offset += object.Index.Chunks[chunk].Size;
      at = StoredOffset(object.Index, chunk) + object.Index.Chunks[chunk].Stored / 2;
    }
    bad[at] ^= 0x20;
    Server.Serve(index ? "/o/" + ChunkIndexName(entry.Chunks.Hash) : test::ObjectPath(entry), bad);
    EXPECT_EQ(Run().Error, "game.pak arrived damaged - try again");
    EXPECT_TRUE(ReadAll(Dir / "game.pak") == KOld);

    Publish({{"game.pak", next}}, 2);
    EXPECT_EQ(Run().Error, "");
    EXPECT_TRUE(ReadAll(Dir / "game.pak") == next);
  }
}

TEST_F(DeltaTest, InterruptedDownloadsResumeFromWhatArrived) {
  const std::string next = test::RandomBytes(3 << 20, 5);
  for (const bool compress : {true, false}) {
    SCOPED_TRACE(compress ? "zlib" : "plain");
    Compress = compress;
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Publish({{"game.pak", next}}, 1);
    // What a killed first download of the whole object leaves: the first 40 % of the object.
    const TChunkedObject whole = MakeChunkedObject(Bytes(next), compress);
    const TReceivingNames names = ReceivingNames((Dir / "game.pak").string());
    WriteAll(compress ? names.Compressed : names.Candidate,
             std::string(whole.Object.begin(), whole.Object.begin() + whole.Object.size() * 2 / 5));
    Server.ClearRequests();
    ASSERT_EQ(Run().Error, "");
    EXPECT_TRUE(ReadAll(Dir / "game.pak") == next);
    const TTraffic traffic = Traffic();
    EXPECT_EQ(traffic.Whole, 0);
    EXPECT_LT(traffic.RangeBytes, static_cast<int64_t>(whole.Object.size()) * 7 / 10);
  }
}

TEST_F(DeltaTest, ClientsThatIgnoreChunksOrServersThatIgnoreRangesGetWholeObjects) {
  const std::string next = Edited(KOld);
  enum class TMode { NoChunks, NoRanges, NoRangesAfterTheFirst };
  for (const TMode mode : {TMode::NoChunks, TMode::NoRanges, TMode::NoRangesAfterTheFirst}) {
    SCOPED_TRACE(static_cast<int>(mode));
    fs::remove_all(Dir);
    Publish({{"game.pak", KOld}}, 1);
    ASSERT_EQ(Run().Error, "");
    const TRemoteFile entry = Publish({{"game.pak", next}}, 2)[0];
    TUpdaterOptions options;
    options.UseChunks = mode != TMode::NoChunks;
    if (mode != TMode::NoChunks) {
      // A server without range support answers with the whole body (here: to all but the first
      // range request, too).
      const std::vector<uint8_t> object = MakeChunkedObject(Bytes(next), Compress).Object;
      auto ranges = std::make_shared<std::atomic<int>>(0);  // handlers are copied per request
      Server.SetHandler(test::ObjectPath(entry),
                        [body = std::string(object.begin(), object.end()), mode, ranges](
                            const httplib::Request&, httplib::Response& Response) {
                          if (mode == TMode::NoRanges || (*ranges)++ > 0)
                            Response.status = 200;
                          Response.set_content(body, "application/octet-stream");
                        });
    }
    Server.ClearRequests();
    const auto result = Run(options);
    ASSERT_EQ(result.Error, "");
    EXPECT_TRUE(ReadAll(Dir / "game.pak") == next);
    EXPECT_EQ(Traffic().Whole, 1);
    // The bar ends full: the total followed what travelled.
    const auto& last = result.Lines[result.Lines.size() - 2];
    EXPECT_EQ(last.Done, last.Total);
  }
}

TEST_F(DeltaTest, OneBigFileUsesSeveralConnections) {
  const std::string old = test::RandomBytes(12 << 20, 11);
  const std::string next =
      old.substr(0, 3 << 20) + test::RandomBytes(6 << 20, 12) + old.substr(9 << 20);
  Publish({{"game.pak", old}}, 1);
  ASSERT_EQ(Run().Error, "");
  Server.ClearRequests();
  Publish({{"game.pak", next}}, 2);
  ASSERT_EQ(Run().Error, "");
  EXPECT_TRUE(ReadAll(Dir / "game.pak") == next);
  std::set<int> connections;
  for (const auto& request : Server.Requests()) {
    if (RangeLength(request) > 1)
      connections.insert(request.RemotePort);
  }
  EXPECT_GE(connections.size(), 2u);
  EXPECT_LE(Traffic().Ranges, 4 + 1);  // four shares, the changed run cut in between
}

}  // namespace
}  // namespace vt
