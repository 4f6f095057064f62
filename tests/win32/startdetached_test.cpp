// Starting a program with ShellExecuteW: its folder and the parameters it receives, read back
// through its command line by the launcher's own rules. The started program is this test
// binary itself, which then only records how it was started.

#include <windows.h>
// windows.h would turn the ReplaceFile of Files.h into its own ReplaceFileW.
#undef ReplaceFile

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/WideWin32.h"

namespace vt {
namespace {

constexpr char KRecordSwitch[] = "--vt-record-start";

// Runs before GoogleTest's main: started with KRecordSwitch and a file name, the binary writes
// its whole command line and its working folder there (through a rename, so that the test
// never reads half a file) and ends.
const bool GRecorded = [] {
  const std::vector<std::string> params = CommandLineParams(0, nullptr);
  if (params.size() < 2 || params[0] != KRecordSwitch)
    return false;
  wchar_t folder[MAX_PATH + 1] = {};
  ::GetCurrentDirectoryW(MAX_PATH + 1, folder);
  const std::string text = Utf8(::GetCommandLineW()) + "\n" + Utf8(folder) + "\n";
  {
    TFile file = TFile::Create(params[1] + ".tmp");
    file.Write(text.data(), text.size());
  }
  ReplaceFile(params[1] + ".tmp", params[1]);
  ::ExitProcess(0);
}();

// The two lines the started program recorded, or none after 20 s.
std::vector<std::string> Recorded(const std::string& Path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!GetFileInfo(Path) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::vector<std::string> lines;
  const std::optional<TFileInfo> info = GetFileInfo(Path);
  if (!info)
    return lines;
  TFile file = TFile::OpenRead(Path);
  std::string text(static_cast<size_t>(info->Size), '\0');
  text.resize(file.Read(text.data(), text.size()));
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

class Win32Start : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    FRoot = Utf8(std::wstring_view(temp, length)) + "vt start " +
            std::to_string(::GetCurrentProcessId()) + "\\";
    FWork = FRoot + "work dir\\";
    ASSERT_TRUE(CreateFolders(FWork));
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(Wide(FRoot)), ignored);
  }

  std::string FRoot;
  std::string FWork;
};

TEST_F(Win32Start, QuotedParametersArriveExactlyInTheWorkingFolder) {
  const std::vector<std::string> params{KRecordSwitch, "quoted.txt",
                                        "-dir",        "C:\\My Games\\Veltrano RPG\\",
                                        "/NOUPDATE",   "\xc3\xa9t\xc3\xa9"};
  StartDetached(RunningExecutablePath(), params, FWork, TParamText::Quoted);
  const std::vector<std::string> lines = Recorded(FWork + "quoted.txt");
  ASSERT_EQ(lines.size(), 2u) << "the program did not run";
  EXPECT_EQ(SplitCommandLine(lines[0]), params) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(ParamText(params, TParamText::Quoted))) << lines[0];
  EXPECT_EQ(lines[1] + "\\", FWork);
}

TEST_F(Win32Start, AsIsParametersAreJoinedWithBlanks) {
  const std::vector<std::string> params{KRecordSwitch, "plain.txt", "-launched"};
  StartDetached(RunningExecutablePath(), params, FWork, TParamText::AsIs);
  const std::vector<std::string> lines = Recorded(FWork + "plain.txt");
  ASSERT_EQ(lines.size(), 2u) << "the program did not run";
  EXPECT_TRUE(lines[0].ends_with(" --vt-record-start plain.txt -launched")) << lines[0];
  EXPECT_EQ(SplitCommandLine(lines[0]), params);
}

TEST(Win32Process, PathsAreFullAndUtf8) {
  const std::string exe = RunningExecutablePath();
  ASSERT_GE(exe.size(), 4u);
  EXPECT_EQ(exe.substr(exe.size() - 4), ".exe");
  EXPECT_EQ(exe[1], ':') << exe;
  EXPECT_EQ(AbsolutePath("C:\\a\\.\\b\\..\\c\\"), "C:\\a\\c\\");
  EXPECT_EQ(AbsolutePath("C:/a/b"), "C:\\a\\b");
  wchar_t folder[MAX_PATH + 1] = {};
  ::GetCurrentDirectoryW(MAX_PATH + 1, folder);
  std::string current = Utf8(folder);
  if (!current.ends_with("\\"))
    current += "\\";
  EXPECT_EQ(AbsolutePath("game\\data"), current + "game\\data");
}

}  // namespace
}  // namespace vt
