// The launcher's own splitting of a command line, and the parameter texts of a started program.

#include "platform/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vt {
namespace {

using TList = std::vector<std::string>;

TEST(SplitCommandLine, ProgramNameIsSkippedByTheSameRules) {
  EXPECT_EQ(SplitCommandLine(""), TList{});
  EXPECT_EQ(SplitCommandLine("vtlaunch.exe"), TList{});
  EXPECT_EQ(SplitCommandLine("vtlaunch.exe -noupdate"), TList{"-noupdate"});
  // A quoted program name with blanks is one name, wherever its quotes stand.
  EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\vtlaunch.exe\" -dir x"), (TList{"-dir", "x"}));
  EXPECT_EQ(SplitCommandLine("C:\\Program\" Files\"\\vtlaunch.exe -url u"), (TList{"-url", "u"}));
  EXPECT_EQ(SplitCommandLine("   vt.exe\t a"), TList{"a"});
}

TEST(SplitCommandLine, CharactersOneToThirtyTwoSeparate) {
  EXPECT_EQ(SplitCommandLine("p a\tb\r\nc\x01"
                             "d\x1f"
                             "e  \t f"),
            (TList{"a", "b", "c", "d", "e", "f"}));
  // Bytes of UTF-8 text are above 127 and never separate; DEL (127) is an ordinary character.
  EXPECT_EQ(SplitCommandLine("p -dir C:\\Spiele\\Veltrano\xc2\xa0RPG \x7f"),
            (TList{"-dir", "C:\\Spiele\\Veltrano\xc2\xa0RPG", "\x7f"}));
  // Trailing separators give no empty parameter.
  EXPECT_EQ(SplitCommandLine("p a   \r\n"), TList{"a"});
}

TEST(SplitCommandLine, QuotesGroupAndVanish) {
  EXPECT_EQ(SplitCommandLine("p \"C:\\My Games\\Veltrano\" -noupdate"),
            (TList{"C:\\My Games\\Veltrano", "-noupdate"}));
  // A quoted stretch may stand inside a parameter, and several may follow one another.
  EXPECT_EQ(SplitCommandLine("p -dir=\"a b\"c \"x\"\"y\" a\"\"b"),
            (TList{"-dir=a bc", "xy", "ab"}));
  // Separators of any kind inside quotes belong to the parameter.
  EXPECT_EQ(SplitCommandLine("p \"\ta\r\nb \""), TList{"\ta\r\nb "});
  // A quote that is never closed runs to the end of the line.
  EXPECT_EQ(SplitCommandLine("p a \"b c"), (TList{"a", "b c"}));
  EXPECT_EQ(SplitCommandLine("p a \""), TList{"a"});
  // Backslashes have no special meaning before a quote (unlike the C runtime's rules).
  EXPECT_EQ(SplitCommandLine("p \"C:\\dir\\\" x"), (TList{"C:\\dir\\", "x"}));
}

TEST(SplitCommandLine, EmptyQuotedPairsAreNoParameters) {
  EXPECT_EQ(SplitCommandLine("p \"\" a \"\" \"\"b"), (TList{"a", "b"}));
  EXPECT_EQ(SplitCommandLine("p \"\"\"\" a"), TList{"a"});
  EXPECT_EQ(SplitCommandLine("p \"\""), TList{});
  // Three quotes: a skipped pair, then a stretch opened by the third.
  EXPECT_EQ(SplitCommandLine("p \"\"\" b\" c"), (TList{" b", "c"}));
  // A quoted blank is not empty.
  EXPECT_EQ(SplitCommandLine("p \" \" x"), (TList{" ", "x"}));
}

TEST(SplitCommandLine, NulEndsTheLine) {
  const std::string line("p a\0b c", 7);
  EXPECT_EQ(SplitCommandLine(line), TList{"a"});
}

TEST(ParamText, AsIsJoinsWithSingleBlanks) {
  EXPECT_EQ(ParamText({}, TParamText::AsIs), "");
  EXPECT_EQ(ParamText({"-launched"}, TParamText::AsIs), "-launched");
  EXPECT_EQ(ParamText({"a b", "", "c"}, TParamText::AsIs), "a b  c");
}

TEST(ParamText, QuotedWrapsEachAndTrimsTheEnds) {
  EXPECT_EQ(ParamText({}, TParamText::Quoted), "");
  EXPECT_EQ(ParamText({"-dir", "C:\\My Games\\"}, TParamText::Quoted),
            "\"-dir\" \"C:\\My Games\\\"");
  EXPECT_EQ(ParamText({""}, TParamText::Quoted), "\"\"");
}

TEST(ParamText, QuotedTextSplitsBackIntoTheSameParameters) {
  // What a restarted launcher receives: its own parameters, blanks and all. (An empty one is
  // the exception the rules make: its quote pair is skipped.)
  const TList params{
      "-dir",        "C:\\My Games\\Veltrano", "-url", "http://h/a b/", "/NOUPDATE", "-dir:x",
      "\xe2\x82\xac"};
  EXPECT_EQ(SplitCommandLine("vtlaunch.exe " + ParamText(params, TParamText::Quoted)), params);
  EXPECT_EQ(SplitCommandLine("x " + ParamText({"a", "", "b"}, TParamText::Quoted)),
            (TList{"a", "b"}));
}

}  // namespace
}  // namespace vt
