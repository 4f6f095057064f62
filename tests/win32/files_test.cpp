// The Win32 file calls behind Files.h: replacing, renaming, sizes and times, long and non-ASCII
// paths, and the system's error text.

#include <windows.h>
// windows.h would turn the ReplaceFile of Files.h into its own ReplaceFileW.
#undef ReplaceFile

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "format/Streams.h"
#include "platform/Files.h"
#include "platform/SysError.h"
#include "platform/WideWin32.h"

namespace vt {
namespace {

void WriteAll(const std::string& Path, const std::string& Text) {
  TFile file = TFile::Create(Path);
  file.Write(Text.data(), Text.size());
  file.Close();
}

class Win32Files : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    ASSERT_GT(length, 0u);
    const std::string base = Utf8(std::wstring_view(temp, length));
    FDir = base + "vt_files_" + std::to_string(::GetCurrentProcessId()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "\\";
    const TSysStatus made = CreateFolders(FDir);
    ASSERT_TRUE(made) << made.Text();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(Wide(FDir)), ignored);
  }
  std::string Made(const std::string& Name) const { return FDir + Name; }

  std::string FDir;
};

TEST_F(Win32Files, ReplaceFileMovesOverAnExistingTarget) {
  const std::string part = Made("data.bin.part");
  const std::string target = Made("data.bin");
  WriteAll(target, "old");
  WriteAll(part, "new content");
  const TSysStatus moved = ReplaceFile(part, target);
  ASSERT_TRUE(moved) << moved.Text();
  EXPECT_EQ(ReadWholeFile(target), "new content");
  EXPECT_FALSE(GetFileInfo(part));

  // A missing source fails, leaves the target alone and says why.
  const TSysStatus missing = ReplaceFile(part, target);
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.Text(), SystemErrorText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ReadWholeFile(target), "new content");
}

TEST_F(Win32Files, RenameFileRefusesAnExistingTarget) {
  const std::string exe = Made("vtlaunch.exe");
  const std::string old = Made("vtlaunch.old");
  WriteAll(exe, "running");
  WriteAll(old, "left over");
  const TSysStatus refused = RenameFile(exe, old);
  EXPECT_FALSE(refused);
  EXPECT_EQ(refused.Text(), SystemErrorText(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadWholeFile(exe), "running");
  EXPECT_EQ(ReadWholeFile(old), "left over");
  ASSERT_TRUE(RemoveFile(old));
  EXPECT_TRUE(RenameFile(exe, old));
  EXPECT_EQ(ReadWholeFile(old), "running");
  EXPECT_FALSE(RemoveFile(exe));
}

TEST_F(Win32Files, FileInfoGivesSizeAndTheRawLastWriteTime) {
  const std::string path = Made("sized.dat");
  WriteAll(path, std::string(70000, 'x'));
  // A time far from now, set through the handle, must come back as the same 100 ns count.
  constexpr int64_t KTime = 132000000001234567;  // 2019-04-18, with odd low digits
  {
    const HANDLE handle = ::CreateFileW(WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    FILETIME time{static_cast<DWORD>(KTime & 0xffffffff), static_cast<DWORD>(KTime >> 32)};
    EXPECT_TRUE(::SetFileTime(handle, nullptr, nullptr, &time));
    ::CloseHandle(handle);
  }
  EXPECT_EQ(GetFileInfo(path), (TFileInfo{70000, KTime}));
  // Folders and missing files give nothing.
  EXPECT_FALSE(GetFileInfo(FDir));
  EXPECT_FALSE(GetFileInfo(FDir + "missing"));
}

TEST_F(Win32Files, LongPathsWork) {
  // Well past MAX_PATH (260), with "/" separators as a list path brings them.
  std::string deep = FDir;
  for (int i = 0; i < 12; ++i)
    deep += "a folder with a long name " + std::to_string(i) + "/";
  ASSERT_GT(deep.size(), 300u);
  const TSysStatus made = CreateFolders(deep);
  ASSERT_TRUE(made) << made.Text();
  EXPECT_TRUE(FolderExists(deep));
  const std::string file = deep + "file.txt";
  WriteAll(file + ".part", "deep");
  const TSysStatus moved = ReplaceFile(file + ".part", file);
  ASSERT_TRUE(moved) << moved.Text();
  const std::optional<TFileInfo> info = GetFileInfo(file);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->Size, 4);
  EXPECT_EQ(ReadWholeFile(file), "deep");
  EXPECT_TRUE(RemoveFile(file));
  // Tidy the folders from the deepest up.
  for (std::string folder = deep; folder.size() > FDir.size();) {
    folder.pop_back();
    EXPECT_TRUE(::RemoveDirectoryW(WidePath(folder).c_str()));
    folder.erase(folder.find_last_of('/') + 1);
  }
}

TEST_F(Win32Files, NamesAreUtf8AndDotPartsResolve) {
  const std::string name =
      "Gr\xc3\xbc\xc3\x9f"
      "e \xe2\x82\xac.txt";  // "Grüße €.txt"
  const std::string path = Made(name);
  WriteAll(FDir + "./sub/../" + name, "euro");
  const std::wstring wide = Wide(FDir) + L"Gr\u00fc\u00dfe \u20ac.txt";
  EXPECT_NE(::GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(ReadWholeFile(path), "euro");
}

TEST_F(Win32Files, ErrorsNameThePathAndTheSystemsReason) {
  const std::string missing = FDir + "missing.txt";
  const std::string reason = SystemErrorText(ERROR_FILE_NOT_FOUND);
  try {
    TFile::OpenRead(missing);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), missing + ": " + reason);
  }
  // The words are the system's (Windows and Wine differ), without FormatMessageW's closing
  // full stop and line end, and a code without any text still says which it was.
  const int codes[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_ALREADY_EXISTS, 12002,
                       12029};
  for (const int code : codes) {
    const std::string text = SystemErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '.') << text;
    EXPECT_GT(static_cast<unsigned char>(text.back()), ' ') << text;
    EXPECT_EQ(text.find("error "), std::string::npos) << code << ": " << text;
  }
  EXPECT_EQ(SystemErrorText(0x2fffffff), "error 805306367");
}

}  // namespace
}  // namespace vt
