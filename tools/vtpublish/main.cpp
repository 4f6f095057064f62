// vtpublish: the publisher's tool. Makes a release key, turns a game folder into the static
// tree an update server serves, and checks such a tree before it goes live.

#include <cstdio>
#include <string>
#include <vector>

#include "Args.h"
#include "Commands.h"
#include "format/Version.h"
#include "platform/Process.h"

namespace {

constexpr int KFailed = 1;
constexpr int KUsage = 2;
constexpr int KStopped = 130;

void PrintHelp() {
  std::printf(
      "Usage: vtpublish COMMAND ...\n"
      "\n"
      "Commands:\n"
      "  %s\n"
      "      make a new release key (private half in KEY_FILE, public half printed)\n"
      "  %s\n"
      "      turn a game folder into a signed update-server tree\n"
      "  %s\n"
      "      check a tree as the launcher would (default: the root keys built in)\n"
      "  %s\n"
      "      print the public half of a release key\n"
      "  %s\n"
      "      remove what none of the last N builds needs\n"
      "  %s\n"
      "      what moving from build A to B changes and costs players\n"
      "  %s\n"
      "      sign the live release again with a new release number and expiry\n"
      "  %s\n"
      "      widen, narrow, halt or end the rollout of the live release\n"
      "  %s\n"
      "      the tree's root and release keys: show, add, retire, replace, sign\n"
      "\n"
      "\"vtpublish COMMAND --help\" tells more about each; \"vtpublish --version\" the version.\n"
      "Exit status: 0 done, 1 failed or problems found, 2 bad command line, 130 stopped by\n"
      "Ctrl-C (files already renamed into place stay; the manifest is written last).\n",
      vt::KKeygenUsage, vt::KPackUsage, vt::KVerifyUsage, vt::KKeyShowUsage, vt::KPruneUsage,
      vt::KDiffUsage, vt::KRefreshUsage, vt::KRolloutUsage, vt::KKeysUsage);
}

int Run(const std::string& Command, const vt::TWords& Words) {
  if (Command == "keygen")
    return vt::KeygenCommand(Words);
  if (Command == "pack")
    return vt::PackCommand(Words);
  if (Command == "verify")
    return vt::VerifyCommand(Words);
  if (Command == "key")
    return vt::KeyCommand(Words);
  if (Command == "prune")
    return vt::PruneCommand(Words);
  if (Command == "diff")
    return vt::DiffCommand(Words);
  if (Command == "refresh")
    return vt::RefreshCommand(Words);
  if (Command == "rollout")
    return vt::RolloutCommand(Words);
  if (Command == "keys")
    return vt::KeysCommand(Words);
  throw vt::TUsageError("unknown command \"" + Command + "\" (try vtpublish --help)");
}

}  // namespace

int main(int Argc, char** Argv) {
  // UTF-8 on every platform (Windows' argv is in the ANSI code page).
  const std::vector<std::string> params = vt::CommandLineParams(Argc, Argv);
  if (params.empty()) {
    std::fprintf(stderr, "vtpublish: missing command (try vtpublish --help)\n");
    return KUsage;
  }
  const std::string command = params[0];
  if (command == "--help" || command == "-h" || command == "help") {
    PrintHelp();
    return 0;
  }
  if (command == "--version") {
    std::printf("vtpublish %s\n", vt::KVersion);
    return 0;
  }
  try {
    return Run(command, vt::TWords(params.begin() + 1, params.end()));
  } catch (const vt::TUsageError& e) {
    std::fprintf(stderr, "vtpublish: %s\n", e.what());
    return KUsage;
  } catch (const vt::TStopped&) {
    std::fprintf(stderr, "vtpublish: stopped\n");
    return KStopped;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vtpublish: %s\n", e.what());
    return KFailed;
  }
}
