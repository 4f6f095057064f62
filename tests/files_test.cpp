// The file calls that report a failure say the failing system call's own reason.

#include "platform/Files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/SysError.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

#ifndef _WIN32  // Windows' codes differ; tests/win32/files_test.cpp checks them there.

TEST(FileStatus, EachFailureCarriesTheReasonOfTheCallThatFailed) {
  const fs::path dir = fs::temp_directory_path() / ("vt_files_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string file = (dir / "file").string();
  const std::string other = (dir / "other").string();
  const std::string missing = (dir / "missing").string();
  std::ofstream(file) << "x";
  std::ofstream(other) << "y";
  struct TCase {
    const char* Name;
    std::function<TSysStatus()> Call;
    int Code;
  };
  for (const TCase& c : {
           // The file stands where the first missing folder would be made.
           TCase{"folder below a file", [&] { return CreateFolders(file + "/sub/deeper"); },
                 EEXIST},
           TCase{"folder in a missing place", [&] { return CreateFolders("/proc/vt_no/such"); },
                 ENOENT},
           TCase{"replace from a missing file", [&] { return ReplaceFile(missing, other); },
                 ENOENT},
           TCase{"replace later from a missing file",
                 [&] { return ReplaceFileFolderLater(missing, other); }, ENOENT},
           TCase{"rename onto an existing file", [&] { return RenameFile(file, other); }, EEXIST},
           TCase{"rename from a missing file", [&] { return RenameFile(missing, file + ".new"); },
                 ENOENT},
           TCase{"flush a missing folder", [&] { return FlushFolder(missing); }, ENOENT},
       }) {
    // A stale errno must not leak into the answer.
    errno = EPERM;
    const TSysStatus status = c.Call();
    EXPECT_FALSE(status) << c.Name;
    EXPECT_EQ(status.Text(), SystemErrorText(c.Code)) << c.Name;
  }
  EXPECT_TRUE(CreateFolders((dir / "a/b").string()));
  EXPECT_TRUE(RenameFile(file, (dir / "a/b/file").string()).Text().empty());
  fs::remove_all(dir);
}

#endif

}  // namespace
}  // namespace vt
