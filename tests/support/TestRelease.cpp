#include "support/TestRelease.h"

#include <zlib.h>

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>

#include "format/Digest.h"
#include "format/ReleaseKey.h"
#include "platform/Files.h"
#include "publish/ChunkedObject.h"
#include "publish/Release.h"

namespace vt::test {

const TSigningKey& DevKey() {
  static const TSigningKey key = TSigningKey::Load(VT_SOURCE_DIR "/keys/dev-release-key.pem");
  return key;
}

const TSigningKey& Key() {
  static const TSigningKey key = TSigningKey::Generate();
  return key;
}

void PublishManifest(TServedBodies& Server, const std::string& ManifestText) {
  const std::vector<uint8_t> bytes(ManifestText.begin(), ManifestText.end());
  Server.Serve("/version", ManifestText);
  Server.Serve("/version.sig", DevKey().Sign(bytes));
}

TRemoteFile PublishList(TServedBodies& Server, const std::string& ListText, bool Compress,
                        int32_t Build, const std::string& Path) {
  const std::vector<uint8_t> bytes(ListText.begin(), ListText.end());
  TRemoteFile list{Path, static_cast<int64_t>(bytes.size()), Sha256Hex(bytes), 0, {}};
  if (Compress) {
    const std::vector<uint8_t> z = ZlibCompress(bytes);
    list.ZSize = static_cast<int64_t>(z.size());
    Server.Serve("/" + Path, z);
  } else {
    Server.Serve("/" + Path, ListText);
  }
  PublishManifest(Server, ManifestJson(Build, list));
  return list;
}

std::vector<uint8_t> DeflateAs(const std::vector<uint8_t>& Data, int WindowBits) {
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, WindowBits, 8, Z_DEFAULT_STRATEGY);
  std::vector<uint8_t> out(deflateBound(&s, Data.size()) + 32);
  s.next_in = const_cast<uint8_t*>(Data.data());
  s.avail_in = static_cast<uInt>(Data.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

std::string ObjectPath(const TRemoteFile& File) {
  return "/o/" + File.Hash.substr(0, 2) + "/" + File.Hash + (File.ZSize > 0 ? ".z" : "");
}

std::string ChunkIndexPath(const TRemoteFile& File) {
  return "/o/" + ChunkIndexName(File.Chunks.Hash);
}

std::vector<TRemoteFile> PublishRelease(TServedBodies& Server, const TGameFiles& Files,
                                        int32_t Build, bool Compress, int64_t ChunkFrom) {
  std::vector<TRemoteFile> entries;
  for (const auto& [path, content] : Files) {
    const std::vector<uint8_t> bytes(content.begin(), content.end());
    TRemoteFile entry{path, static_cast<int64_t>(bytes.size()), Sha256Hex(bytes), 0, {}};
    if (ChunkFrom > 0 && entry.Size >= ChunkFrom) {
      const TChunkedObject object = MakeChunkedObject(bytes, Compress);
      const std::vector<uint8_t> index = WriteChunkIndex(object.Index);
      entry.ZSize = Compress ? static_cast<int64_t>(object.Object.size()) : 0;
      entry.Chunks = {static_cast<int64_t>(index.size()), Sha256Hex(index)};
      Server.Serve(ObjectPath(entry), object.Object);
      Server.Serve(ChunkIndexPath(entry), index);
    } else if (Compress) {
      const std::vector<uint8_t> z = ZlibCompress(bytes);
      entry.ZSize = static_cast<int64_t>(z.size());
      Server.Serve(ObjectPath(entry), z);
    } else {
      Server.Serve(ObjectPath(entry), content);
    }
    entries.push_back(entry);
  }
  PublishList(Server, FileListJson(entries), true, Build, ReleaseListOf(entries, Build).Path);
  return entries;
}

TRemoteFile ReleaseListOf(const std::vector<TRemoteFile>& Entries, int32_t Build) {
  const std::string text = FileListJson(Entries);
  const std::vector<uint8_t> bytes(text.begin(), text.end());
  return {"lists/" + std::to_string(Build) + ".json.z",
          static_cast<int64_t>(bytes.size()),
          Sha256Hex(bytes),
          static_cast<int64_t>(ZlibCompress(bytes).size()),
          {}};
}

TRunResult RunUpdate(const std::string& Dir, const std::string& Url, TUpdaterOptions Options) {
  TRecordingView view;
  TCallQueue queue;
  {
    TUpdater updater(view, queue, Dir, Url, std::move(Options));
    updater.Start();
    updater.Wait();
    queue.RunPending();
  }
  TRunResult result;
  result.Lines = view.Lines;
  if (!view.Outcomes.empty()) {
    result.Finished = true;
    result.Error = view.Outcomes.back().first;
    result.Restart = view.Outcomes.back().second;
  }
  return result;
}

std::string RandomBytes(size_t Size, uint32_t Seed) {
  std::mt19937 generator(Seed);
  std::string bytes(Size, '\0');
  for (char& c : bytes)
    c = static_cast<char>(generator());
  return bytes;
}

std::string ReadAll(const std::filesystem::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const std::filesystem::path& Path, const std::string& Content) {
  std::filesystem::create_directories(Path.parent_path());
  std::ofstream(Path, std::ios::binary) << Content;
}

bool BuiltWithDevKey() {
  return KReleaseKeyX == DevKey().PublicX();
}

void TReleaseRunTest::SetUp() {
  if (!BuiltWithDevKey())
    GTEST_SKIP() << "built with another release key";
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  Dir = std::filesystem::temp_directory_path() / ("vt_run_" + std::to_string(::getpid()) + "_" +
                                                  test->test_suite_name() + "_" + test->name());
  std::filesystem::remove_all(Dir);
  std::filesystem::create_directories(Dir);
}

void TReleaseRunTest::TearDown() {
  std::filesystem::remove_all(Dir);
}

TRunResult TReleaseRunTest::Run(TUpdaterOptions Options) {
  return RunUpdate(Dir.string() + KPathSeparator, Server.BaseUrl(), std::move(Options));
}

std::vector<std::string> TReleaseRunTest::ObjectRequests() const {
  std::vector<std::string> paths;
  for (const auto& r : Server.Requests()) {
    if (r.Path.starts_with("/o/"))
      paths.push_back(r.Path);
  }
  return paths;
}

}  // namespace vt::test
