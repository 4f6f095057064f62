#include "UpdateCommand.h"

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/Process.h"

namespace vt {
namespace {

const std::string KUrl = "https://default.example/";

TUpdateCommand Parse(std::vector<std::string> Params, const std::string& ProgramFolder = {}) {
  return ParseUpdateCommand(Params, ProgramFolder, KUrl);
}

TEST(UpdateCommand, EveryOptionInEveryFormReachesItsField) {
  const std::string folder = AbsolutePath("games") + KPathSeparator;
  for (const std::vector<std::string>& line : std::vector<std::vector<std::string>>{
           {"-dir", "games", "-url", "http://h/x", "-check", "-json", "-verify", "-retries", "3",
            "-limit-rate", "1.5M", "-wait-lock", "-channel", "beta", "-skip-rollout"},
           {"--dir=games", "--url=http://h/x", "--check", "--json", "--verify", "--retries=3",
            "--limit-rate=1536k", "--wait-lock", "--channel=beta", "--skip-rollout"},
           {"--DIR", "games", "-Url", "http://h/x/", "--CHECK", "-JSON", "--Verify", "--retries",
            "3", "--LIMIT-RATE", "1572864", "--Wait-Lock", "--Channel", "beta",
            "--Skip-Rollout"}}) {
    const TUpdateCommand command = Parse(line);
    EXPECT_EQ(command.Dir, folder) << line[0];
    EXPECT_EQ(command.Url, "http://h/x/") << line[0];
    EXPECT_TRUE(command.Check && command.Json && command.Verify && command.WaitLock &&
                command.SkipRollout)
        << line[0];
    EXPECT_EQ(command.Retries, 3) << line[0];
    EXPECT_EQ(command.LimitRate, 1572864) << line[0];
    EXPECT_EQ(command.Channel, "beta") << line[0];
  }
  EXPECT_THROW(Parse({"-dir", "g", "--channel", "Beta"}), TUsageError);  // not a channel name
  // Mirrors are the one option given as often as there are mirrors, in order.
  const TUpdateCommand mirrors =
      Parse({"-dir", "g", "--mirror", "http://lan/x", "-mirror=https://m/", "--mirror-first"});
  EXPECT_EQ(mirrors.Mirrors, (std::vector<std::string>{"http://lan/x/", "https://m/"}));
  EXPECT_TRUE(mirrors.MirrorFirst);
  EXPECT_THROW(Parse({"-dir", "g", "--mirror", "lan/x"}), TUsageError);
  EXPECT_THROW(Parse({"-dir", "g", "--mirror-first"}), TUsageError);
}

TEST(UpdateCommand, DefaultsNeedAGameFolderToRunFrom) {
  const std::string folder = std::string("/g") + KPathSeparator;
  const TUpdateCommand fromGameFolder = Parse({}, folder);
  EXPECT_EQ(fromGameFolder.Dir, folder);
  EXPECT_EQ(fromGameFolder.Url, KUrl);
  EXPECT_EQ(fromGameFolder.Retries, 0);
  EXPECT_EQ(fromGameFolder.LimitRate, 0);
  EXPECT_FALSE(fromGameFolder.Check || fromGameFolder.Json || fromGameFolder.Verify ||
               fromGameFolder.WaitLock);
  EXPECT_THROW(Parse({"-url", "http://h/"}), TUsageError);
  // Asking for help or the version needs no folder.
  EXPECT_TRUE(Parse({"--version"}).Version);
  EXPECT_TRUE(Parse({"/?"}).Help);
}

TEST(UpdateCommand, HelpWinsOverAnyFault) {
  for (const std::vector<std::string>& line : std::vector<std::vector<std::string>>{
           {"-x", "--help"}, {"-dir", "--help"}, {"stray", "-h"}, {"-?", "-dir"}}) {
    EXPECT_TRUE(Parse(line).Help) << line[0] << " " << line[1];
  }
}

TEST(UpdateCommand, AValueThatBeginsWithADashNeedsTheEqualsForm) {
  EXPECT_THROW(Parse({"-dir", "-odd"}), TUsageError);
  EXPECT_EQ(Parse({"-dir=-odd"}).Dir, AbsolutePath("-odd") + KPathSeparator);
  // A lone "-" is a name like any other.
  EXPECT_EQ(Parse({"-dir", "-"}).Dir, AbsolutePath("-") + KPathSeparator);
}

TEST(UpdateCommand, MessagesAreOneLineAndPointToTheHelp) {
  try {
    Parse({"-dir", "x", "-bad\nname\x1b[2J"});
    FAIL() << "no error";
  } catch (const TUsageError& e) {
    const std::string message = e.what();
    EXPECT_EQ(message, "unknown option \"-bad?name?[2J\"; see vtupdate --help");
  }
}

TEST(ParseRate, SuffixesAreBinaryAndNothingElseIsARate) {
  EXPECT_EQ(ParseRate("500K"), 512000);
  EXPECT_EQ(ParseRate("8M"), 8388608);
  EXPECT_EQ(ParseRate("8m"), 8388608);
  EXPECT_EQ(ParseRate("1G"), 1073741824);
  EXPECT_EQ(ParseRate("0.5k"), 512);
  EXPECT_EQ(ParseRate("100"), 100);
  for (const char* bad :
       {"", "0", "0.4", "-1", "8MB", "8 M", "M", "1e3", "8Q", "inf", "nan", "2000G", ".", "1..2"}) {
    EXPECT_EQ(ParseRate(bad), 0) << bad;
  }
}

TEST(RetryDelaySeconds, DoublesFromOneSecondUpToAMinuteWithJitterBelow) {
  const double expected[] = {1, 2, 4, 8, 16, 32, 60, 60, 60};
  for (int attempt = 1; attempt <= 9; ++attempt) {
    EXPECT_DOUBLE_EQ(RetryDelaySeconds(attempt, 1.0), expected[attempt - 1]) << attempt;
    EXPECT_DOUBLE_EQ(RetryDelaySeconds(attempt, 0.0), 0.8 * expected[attempt - 1]) << attempt;
  }
  EXPECT_DOUBLE_EQ(RetryDelaySeconds(KMaxRetries, 0.5), 54.0);
}

}  // namespace
}  // namespace vt
