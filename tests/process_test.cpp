// Starting a real program detached: its folder, its arguments, its session, its descriptors.

#include "platform/Process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace vt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(StartDetached, RunsInItsOwnSessionAndFolderWithExactArguments) {
  const fs::path root = fs::temp_directory_path() / ("vt_spawn_" + std::to_string(::getpid()));
  const fs::path work = root / "work dir";
  fs::create_directories(work);
  // A descriptor of ours without close-on-exec: the started program must not get it.
  const int leaked = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(leaked, 3);

  const fs::path script = root / "probe.sh";
  std::ofstream(script) << "#!/bin/sh\n"
                        << "{ echo $$; cut -d' ' -f6 /proc/$$/stat; pwd\n"
                        << "  if [ -e /proc/$$/fd/" << leaked << " ]; then echo open; "
                        << "else echo closed; fi\n"
                        << "  for a in \"$@\"; do echo \"[$a]\"; done; } > out.tmp\n"
                        << "mv out.tmp out.txt\n";
  fs::permissions(script, fs::perms::owner_all);

  StartDetached(script.string(), {"two words", "", "-x"}, work.string() + "/", TParamText::Quoted);
  ::close(leaked);

  const fs::path out = work / "out.txt";
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!fs::exists(out) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(fs::exists(out)) << "the program did not run";

  std::ifstream in(out);
  pid_t pid = 0;
  pid_t session = 0;
  std::string folder, descriptor, args, line;
  in >> pid >> session;
  std::getline(in, line);
  std::getline(in, folder);
  std::getline(in, descriptor);
  while (std::getline(in, line))
    args += line;
  // It was our child; reap it here, since the launcher itself never waits.
  ::waitpid(pid, nullptr, 0);

  EXPECT_EQ(session, pid);  // a session leader
  EXPECT_NE(session, ::getsid(0));
  EXPECT_EQ(fs::path(folder), work);
  EXPECT_EQ(descriptor, "closed");
  EXPECT_EQ(args, "[two words][][-x]");
  fs::remove_all(root);
}

}  // namespace
}  // namespace vt
