// The attribute reader of a whole pass against GetFileInfo of the full path: the same answer
// for every kind of name, also after files and folders change under a reader already in use.

#include "platform/FileInfo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Files.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

class FileInfoReaderTest : public testing::Test {
 protected:
  FileInfoReaderTest() {
    fs::remove_all(FRoot);
    fs::create_directories(FRoot);
  }
  ~FileInfoReaderTest() override { fs::remove_all(FRoot); }

  void Put(const std::string& Relative, const std::string& Content) {
    fs::create_directories((FRoot / Relative).parent_path());
    std::ofstream(FRoot / Relative, std::ios::binary) << Content;
  }
  // The reader's answer is the full path's.
  void ExpectLikeFullPath(TFileInfoReader& Reader, const std::string& Relative) {
    std::string local = FDir + Relative;
    for (char& c : local)
      c = c == '/' ? KPathSeparator : c;
    EXPECT_EQ(Reader.Get(Relative), GetFileInfo(local)) << Relative;
  }

  const fs::path FRoot = fs::temp_directory_path() / ("vt_fileinfo_" + std::to_string(::getpid()));
  const std::string FDir = FRoot.string() + KPathSeparator;
};

TEST_F(FileInfoReaderTest, AnswersAsTheFullPathDoes) {
  Put("top.dat", "12345");
  Put("a/b/c.dat", "abc");
  Put("a/b/d.dat", "");
  Put("a/e.dat", std::string(70000, 'e'));
  fs::create_directories(FRoot / "a/folder");
  TFileInfoReader reader(FDir);
  for (const char* name :
       {"top.dat", "a/b/c.dat", "a/b/d.dat", "a/e.dat", "a/b/c.dat", "a/folder", "a", "missing.dat",
        "a/missing/x.dat", "top.dat/x", "a//b/c.dat", "a/./e.dat", "", "a/", "a/b/d.dat"}) {
    ExpectLikeFullPath(reader, name);
  }

  // Changes after the folders were opened: a file removed, one grown, one made a folder, a
  // folder moved away and another made in its place (the moved one's files, asked for by
  // their old path, are seen where the folder was opened). Windows answers from listings made
  // before, so there only a new reader sees the changes.
  Put("top.dat", "1234567");
  fs::remove(FRoot / "a/b/c.dat");
  fs::remove(FRoot / "a/e.dat");
  fs::create_directories(FRoot / "a/e.dat");
  fs::rename(FRoot / "a/b", FRoot / "a/moved");
  Put("a/b/new.dat", "new");
  TFileInfoReader fresh(FDir);
  TFileInfoReader& again = KPathSeparator == '/' ? reader : fresh;
  for (const char* name : {"a/b/c.dat", "a/e.dat", "a/moved/d.dat", "a/b/new.dat", "top.dat"})
    ExpectLikeFullPath(again, name);
}

}  // namespace
}  // namespace vt
