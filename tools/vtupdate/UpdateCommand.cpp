#include "UpdateCommand.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

#include "cli/Options.h"
#include "format/Manifest.h"
#include "format/Text.h"

namespace vt {

namespace {

enum class TOption {
  Help,
  Version,
  Dir,
  Url,
  Channel,
  Check,
  Json,
  Verify,
  WaitLock,
  Retries,
  LimitRate,
  SkipRollout,
  Mirror,
  MirrorFirst
};

struct TOptionName {
  std::string_view Name;
  TOption Option;
  const char* Value;           // what the value is, for messages; null for a switch
  bool TUpdateCommand::*Flag;  // what a switch sets
};

constexpr TOptionName KOptions[] = {
    {"help", TOption::Help, nullptr, &TUpdateCommand::Help},
    {"h", TOption::Help, nullptr, &TUpdateCommand::Help},
    {"?", TOption::Help, nullptr, &TUpdateCommand::Help},
    {"version", TOption::Version, nullptr, &TUpdateCommand::Version},
    {"dir", TOption::Dir, "a folder", nullptr},
    {"url", TOption::Url, "a URL", nullptr},
    {"channel", TOption::Channel, "a channel name", nullptr},
    {"check", TOption::Check, nullptr, &TUpdateCommand::Check},
    {"json", TOption::Json, nullptr, &TUpdateCommand::Json},
    {"verify", TOption::Verify, nullptr, &TUpdateCommand::Verify},
    {"wait-lock", TOption::WaitLock, nullptr, &TUpdateCommand::WaitLock},
    {"skip-rollout", TOption::SkipRollout, nullptr, &TUpdateCommand::SkipRollout},
    {"retries", TOption::Retries, "a number", nullptr},
    {"limit-rate", TOption::LimitRate, "a rate such as 8M or 500K", nullptr},
    {"mirror", TOption::Mirror, "a URL", nullptr},
    {"mirror-first", TOption::MirrorFirst, nullptr, &TUpdateCommand::MirrorFirst},
};

// A parameter as it may be shown inside one line of a message: control characters would break
// the line (or drive the terminal), so they show as "?".
std::string Shown(std::string_view Param) {
  std::string text(Param);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 32 || c == 127)
      c = '?';
  }
  return "\"" + text + "\"";
}

[[noreturn]] void Refuse(const std::string& Message) {
  throw TUsageError(Message + "; see vtupdate --help");
}

bool IsOptionLike(std::string_view Param) {
  return Param.size() > 1 && Param[0] == '-';
}

const TOptionName* FindOption(std::string_view Name) {
  const std::string lower = AsciiLower(Name);
  for (const TOptionName& option : KOptions) {
    if (option.Name == lower)
      return &option;
  }
  return nullptr;
}

// An option's name without its one or two leading dashes.
std::string_view DashesOff(std::string_view Param) {
  return Param.substr(Param.compare(0, 2, "--") == 0 ? 2 : 1);
}

bool StartsWithNoCase(std::string_view Text, std::string_view Prefix) {
  return Text.size() >= Prefix.size() && AsciiLower(Text.substr(0, Prefix.size())) == Prefix;
}

int ParseRetries(const std::string& Text) {
  int value = -1;
  const char* end = Text.data() + Text.size();
  const auto [ptr, error] = std::from_chars(Text.data(), end, value);
  if (Text.empty() || error != std::errc() || ptr != end || value < 0 || value > KMaxRetries)
    return -1;
  return value;
}

// Reads one value option into Command; Name is the option as the user wrote it.
void SetValue(TUpdateCommand& Command, TOption Option, const std::string& Value,
              const std::string& Name) {
  switch (Option) {
    case TOption::Dir:
      Command.Dir = GameFolderValue(Value);
      return;
    case TOption::Url:
      if (!StartsWithNoCase(Value, "http://") && !StartsWithNoCase(Value, "https://"))
        Refuse("option " + Name + " needs an http:// or https:// URL, not " + Shown(Value));
      Command.Url = BaseUrlValue(Value);
      return;
    case TOption::Mirror:
      if (!IsMirrorUrl(Value))
        Refuse("option " + Name + " needs an http:// or https:// URL, not " + Shown(Value));
      Command.Mirrors.push_back(BaseUrlValue(Value));
      return;
    case TOption::Channel:
      if (!IsChannelName(Value))
        Refuse("option " + Name + " needs a channel name (a-z, 0-9, - and _), not " + Shown(Value));
      Command.Channel = Value;
      return;
    case TOption::Retries:
      Command.Retries = ParseRetries(Value);
      if (Command.Retries < 0) {
        Refuse("option " + Name + " needs a whole number from 0 to " + std::to_string(KMaxRetries) +
               ", not " + Shown(Value));
      }
      return;
    case TOption::LimitRate:
      Command.LimitRate = ParseRate(Value);
      if (Command.LimitRate <= 0)
        Refuse("option " + Name + " needs a rate such as 8M or 500K, not " + Shown(Value));
      return;
    default:
      return;
  }
}

}  // namespace

TUpdateCommand ParseUpdateCommand(const std::vector<std::string>& Params,
                                  const std::string& ProgramFolder, const std::string& DefaultUrl) {
  TUpdateCommand command;
  // Asking for help anywhere gets it, whatever else is wrong. "/?" is how Windows users ask.
  for (const std::string& param : Params) {
    const TOptionName* option = IsOptionLike(param) ? FindOption(DashesOff(param)) : nullptr;
    if (param == "/?" || (option != nullptr && option->Option == TOption::Help)) {
      command.Help = true;
      return command;
    }
  }
  std::vector<TOption> seen;
  for (size_t i = 0; i < Params.size(); ++i) {
    const std::string& param = Params[i];
    if (!IsOptionLike(param))
      Refuse("unexpected argument " + Shown(param));
    const size_t equals = param.find('=');
    const std::string name = param.substr(0, equals);
    const TOptionName* option = FindOption(DashesOff(name));
    if (option == nullptr)
      Refuse("unknown option " + Shown(name));
    // A mirror may be given as often as there are mirrors.
    if (option->Option != TOption::Mirror &&
        std::find(seen.begin(), seen.end(), option->Option) != seen.end())
      Refuse("option " + name + " is given twice");
    seen.push_back(option->Option);
    if (option->Value == nullptr) {
      if (equals != std::string::npos)
        Refuse("option " + name + " takes no value");
      command.*option->Flag = true;
      continue;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = param.substr(equals + 1);
    } else {
      if (i + 1 >= Params.size())
        Refuse("option " + name + " needs a value (" + option->Value + ")");
      value = Params[++i];
      if (IsOptionLike(value)) {
        Refuse("option " + name + " needs a value (" + option->Value + "), not the option " +
               Shown(value));
      }
    }
    if (value.empty())
      Refuse("option " + name + " needs a value (" + option->Value + "), not an empty one");
    SetValue(command, option->Option, value, name);
  }
  if (command.Help || command.Version)
    return command;
  if (command.Dir.empty()) {
    if (ProgramFolder.empty()) {
      Refuse(
          "option -dir is missing: this program's folder holds no \"installed.json\", so "
          "the game folder must be given");
    }
    command.Dir = ProgramFolder;
  }
  if (command.Url.empty())
    command.Url = BaseUrlValue(DefaultUrl);
  if (command.MirrorFirst && command.Mirrors.empty())
    Refuse("option --mirror-first needs a --mirror to put first");
  return command;
}

double RetryDelaySeconds(int Attempt, double Jitter) {
  constexpr double cap = KMaxRetryWait;
  // 2 to the power of 6 is past the cap already; larger powers would only overflow.
  const double base = Attempt >= 7 ? cap : std::min(cap, std::ldexp(1.0, Attempt - 1));
  return base * (0.8 + 0.2 * std::clamp(Jitter, 0.0, 1.0));
}

std::string HelpText(const std::string& DefaultUrl) {
  return "Usage: vtupdate -dir FOLDER [-url URL] [--channel NAME] [--check] [--verify] [--json]\n"
         "                [--retries N] [--limit-rate RATE] [--wait-lock] [--skip-rollout]\n"
         "                [--mirror URL]... [--mirror-first]\n"
         "\n"
         "Brings a Veltrano RPG game folder up to date from its update server, as the launcher\n"
         "does, without a window. It never starts the game.\n"
         "\n"
         "  -dir FOLDER        the game folder; made when missing. It may be left out only when\n"
         "                     this program runs from a game folder that holds \"installed.json\"\n"
         "  -url URL           the update server's base URL, http:// or https:// (default:\n"
         "                     " +
         DefaultUrl +
         ")\n"
         "  --channel NAME     follow the publisher's channel NAME (\"beta\") from now on; the\n"
         "                     folder remembers it, and --channel stable goes back\n"
         "  --check            only tell whether an update is available; change nothing\n"
         "  --verify           trust no record: hash every file and fetch what differs (with\n"
         "                     --check: only list the files that differ)\n"
         "  --json             JSON Lines on standard output instead of text, one object per\n"
         "                     report and a final one (see the README)\n"
         "  --retries N        try a failed run again, up to N times (default 0), waiting 1, 2,\n"
         "                     4 ... seconds (at most " +
         std::to_string(KMaxRetryWait) +
         ") in between; a bad signature is final\n"
         "  --limit-rate RATE  keep the downloads under RATE bytes a second all together, for\n"
         "                     example 8M or 500K (K, M, G: 1024, 1024^2, 1024^3)\n"
         "  --wait-lock        when another update of the folder is running, wait for it to\n"
         "                     finish instead of failing at once\n"
         "  --skip-rollout     take the newest release even while the publisher rolls it out to\n"
         "                     a share of installs only (for dedicated servers)\n"
         "  --mirror URL       also fetch from URL, a server with a copy of the update server's\n"
         "                     tree (a LAN cache; repeatable): tried after the update server\n"
         "                     and the mirrors its signed manifest names. Everything from a\n"
         "                     mirror is checked as strictly as from the update server\n"
         "  --mirror-first     try the --mirror servers before all others\n"
         "  --help             this text\n"
         "  --version          the version of this program\n"
         "\n"
         "Every option takes one or two dashes (-dir or --dir); a value follows as the next\n"
         "parameter or after \"=\" (--dir=FOLDER, for a value that begins with \"-\").\n"
         "\n"
         "The update list must carry the publisher's signature, and every file is checked by size\n"
         "and SHA-256 before it replaces the old one in a single rename. Files the previous build\n"
         "had and the new one lacks are removed; \"installed.json\" records the installation.\n"
         "\n"
         "Exit status:\n"
         "  0    the folder is up to date (with --check: no update is available)\n"
         "  1    the update (or the check) failed; the reason is on standard error\n"
         "  2    the command line is wrong; nothing was done\n"
         "  10   with --check: an update is available\n"
         "  130  stopped by Ctrl-C or SIGTERM; every file is its old or its new version (a second\n"
         "       Ctrl-C ends the program at once)\n";
}

}  // namespace vt
