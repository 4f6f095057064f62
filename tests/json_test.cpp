#include "format/Json.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "format/Errors.h"
#include "format/Text.h"
#include "support/TestData.h"

namespace vt {
namespace {

using namespace std::string_literals;

TJsonValue Doc(std::string_view Text) {
  std::optional<TJsonValue> parsed = ParseJson(Text);
  if (!parsed)
    throw std::runtime_error("test document is not JSON: " + std::string(Text));
  return std::move(*parsed);
}

// What a read raises: "TJsonError: ...", "TUpdateError: ..." or "no error".
std::string ErrorOf(const std::function<void()>& Read) {
  try {
    Read();
  } catch (const TJsonError& error) {
    return "TJsonError: "s + error.what();
  } catch (const TUpdateError& error) {
    return "TUpdateError: "s + error.what();
  }
  return "no error";
}

bool IsConversionError(const std::function<void()>& Read) {
  return ErrorOf(Read).rfind("TJsonError: ", 0) == 0;
}

std::string Nested(int Depth, const std::string& Open, const std::string& Close) {
  std::string text;
  for (int i = 0; i < Depth; ++i)
    text += Open;
  for (int i = 0; i < Depth; ++i)
    text += Close;
  return text;
}

// --- Parsing ---------------------------------------------------------------------------------

TEST(JsonParse, FollowsTheJsonTestSuite) {
  VT_REQUIRE_TESTDATA(dir, "jsontestsuite/test_parsing");
  int accepted = 0, refused = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    const bool parsed = ParseJson(text).has_value();  // i_ files: only that nothing breaks
    if (name.rfind("y_", 0) == 0) {
      EXPECT_TRUE(parsed) << name;
      ++accepted;
    } else if (name.rfind("n_", 0) == 0) {
      EXPECT_FALSE(parsed) << name;
      ++refused;
    }
  }
  EXPECT_GT(accepted, 50);
  EXPECT_GT(refused, 100);
}

TEST(JsonParse, TakesExactlyOneValueWithWhiteSpaceAround) {
  EXPECT_TRUE(ParseJson(" \t\r\n{\"a\":1} \n"));
  EXPECT_TRUE(ParseJson("7"));
  EXPECT_FALSE(ParseJson(""));
  EXPECT_FALSE(ParseJson("   "));
  EXPECT_FALSE(ParseJson("{} {}"));
  EXPECT_FALSE(ParseJson("{}x"));
  EXPECT_FALSE(ParseJson("{}\0"s));
  EXPECT_FALSE(ParseJson("{} \0{}"s));
  EXPECT_FALSE(ParseJson("[1\0]"s));
  EXPECT_FALSE(ParseJson("{\"a\":1,}"));
  EXPECT_FALSE(ParseJson("{\"a\":1 // note\n}"));
  EXPECT_FALSE(ParseJson("{\"a\":\"\xC3\x28\"}"));      // invalid UTF-8 in a string
  EXPECT_FALSE(ParseJson("{\"a\":\"\xED\xA0\x80\"}"));  // an encoded surrogate
}

TEST(JsonParse, SkipsOneLeadingByteOrderMark) {
  const std::string bom = "\xEF\xBB\xBF";
  EXPECT_TRUE(ParseJson(bom + "{}"));
  EXPECT_TRUE(ParseJson(bom + "\r\n {}"));
  EXPECT_FALSE(ParseJson(bom));
  EXPECT_FALSE(ParseJson(bom + bom + "{}"));
  EXPECT_FALSE(ParseJson(" " + bom + "{}"));
  EXPECT_FALSE(ParseJson("{}" + bom));
  EXPECT_FALSE(ParseJson("\xEF\xBB{}"));
}

TEST(JsonParse, LimitsNesting) {
  EXPECT_TRUE(ParseJson(Nested(KJsonMaxDepth, "[", "]")));
  EXPECT_FALSE(ParseJson(Nested(KJsonMaxDepth + 1, "[", "]")));
  const std::string mixed = Nested(KJsonMaxDepth / 2, "{\"b\":[", "]}");
  EXPECT_TRUE(ParseJson(mixed));
  EXPECT_FALSE(ParseJson("[" + mixed + "]"));
  // Far too deep, and unterminated: refused without exhausting the stack.
  EXPECT_FALSE(ParseJson(std::string(100000, '[')));
  EXPECT_FALSE(ParseJson(Nested(100000, "{\"\":", "}")));
}

TEST(JsonParse, KeepsMembersInOrderWithDuplicates) {
  const TJsonValue doc = Doc(R"({"z":1,"a":2,"m":3,"a":4})");
  ASSERT_EQ(doc.Members.size(), 4u);
  EXPECT_EQ(doc.Members[0].first, "z");
  EXPECT_EQ(doc.Members[1].first, "a");
  EXPECT_EQ(doc.Members[2].first, "m");
  EXPECT_EQ(doc.Members[3].first, "a");
  EXPECT_EQ(doc.Members[3].second.Text, "4");
  const TJsonValue list = Doc(R"([3,"x",null,true,[],{}])");
  ASSERT_EQ(list.Items.size(), 6u);
  EXPECT_EQ(list.Items[1].Text, "x");
  EXPECT_TRUE(list.Items[2].IsNull());
  EXPECT_TRUE(list.Items[3].Bool);
  EXPECT_TRUE(list.Items[4].IsArray());
  EXPECT_TRUE(list.Items[5].IsObject());
}

TEST(JsonParse, KeepsNumberTextAndDecodesStrings) {
  const TJsonValue doc =
      Doc(R"([1.50, -0.0e+00, 1E2, -12, 18446744073709551615, 18446744073709551616,)"
          R"( -9223372036854775809, "a\u00e9\/\"\n\ud83d\ude00"])");
  const std::vector<std::string> texts = {"1.50",
                                          "-0.0e+00",
                                          "1E2",
                                          "-12",
                                          "18446744073709551615",
                                          "18446744073709551616",
                                          "-9223372036854775809",
                                          "a\xC3\xA9/\"\n\xF0\x9F\x98\x80"};
  ASSERT_EQ(doc.Items.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i)
    EXPECT_EQ(doc.Items[i].Text, texts[i]) << i;
  EXPECT_EQ(doc.Items[0].Kind, TJsonValue::TKind::Number);
  EXPECT_EQ(doc.Items[7].Kind, TJsonValue::TKind::String);
}

// --- Finding members -------------------------------------------------------------------------

TEST(JsonFind, FirstOfEqualNamesWinsAtEveryLevel) {
  const TJsonValue doc =
      Doc(R"({"build":1,"list":{"p":"first","p":"second"},"build":2,"list":{"p":"x","s":5}})");
  EXPECT_EQ(ReadInt32(doc, "build"), 1);
  EXPECT_EQ(ReadString(doc, "list.p"), "first");
  // The first "list" decides even though only the second one has "s".
  EXPECT_EQ(FindPath(doc, "list.s"), nullptr);
}

TEST(JsonFind, LargeObjectsFindEveryNameAndKeepTheFirstOfEqualNames) {
  // Many members: looked up through the sorted index rather than by a scan.
  std::string text = "{";
  for (int i = 0; i < 500; ++i)
    text += "\"k" + std::to_string(i % 250) + "\":" + std::to_string(i) + ",";
  text += "\"\":-1}";
  const auto root = ParseJson(text);
  ASSERT_TRUE(root.has_value());
  for (int i = 0; i < 250; ++i) {
    const TJsonValue* value = root->Member("k" + std::to_string(i));
    ASSERT_NE(value, nullptr) << i;
    EXPECT_EQ(value->Text, std::to_string(i));  // the first of the two
  }
  ASSERT_NE(root->Member(""), nullptr);
  EXPECT_EQ(root->Member("")->Text, "-1");
  EXPECT_EQ(root->Member("k250"), nullptr);
  EXPECT_EQ(root->Member("K1"), nullptr);
}

TEST(JsonFind, PathsGoOneObjectLevelPerName) {
  const TJsonValue doc =
      Doc(R"({"list.p":"flat","List":{"p":"case"},"a":{"b":{"c":7}},"arr":[{"p":1}],"s":"t"})");
  EXPECT_EQ(FindPath(doc, "list.p"), nullptr);  // a dotted name is not a path
  EXPECT_EQ(FindPath(doc, "list"), nullptr);    // names are case-sensitive
  EXPECT_EQ(ReadInt32(doc, "a.b.c"), 7);
  EXPECT_EQ(FindPath(doc, "a.b.c.d"), nullptr);
  EXPECT_EQ(FindPath(doc, "arr.p"), nullptr);
  EXPECT_EQ(FindPath(doc, "s.t"), nullptr);
  EXPECT_EQ(FindPath(Doc("[1]"), "p"), nullptr);
  EXPECT_EQ(ErrorOf([&] { ReadString(Doc(R"({"list":[]})"), "list.p"); }),
            "TUpdateError: Value 'list.p' not found");
}

// --- Reading ---------------------------------------------------------------------------------

TEST(JsonRead, RequiredMembersMissingOrNull) {
  const TJsonValue doc = Doc(R"({"n":null})");
  EXPECT_EQ(ErrorOf([&] { ReadInt32(doc, "build"); }), "TUpdateError: Value 'build' not found");
  EXPECT_EQ(ErrorOf([&] { ReadInt64(doc, "list.s"); }), "TUpdateError: Value 'list.s' not found");
  EXPECT_EQ(ErrorOf([&] { ReadString(doc, "h"); }), "TUpdateError: Value 'h' not found");
  EXPECT_EQ(ErrorOf([&] { ReadArray(doc, "files"); }), "TUpdateError: Value 'files' not found");
  EXPECT_EQ(ReadString(doc, "n"), "");
  EXPECT_TRUE(IsConversionError([&] { ReadInt32(doc, "n"); }));
  EXPECT_TRUE(IsConversionError([&] { ReadInt64(doc, "n"); }));
  EXPECT_TRUE(IsConversionError([&] { ReadArray(doc, "n"); }));
}

TEST(JsonRead, OptionalMembersMissingOrNull) {
  const TJsonValue doc = Doc(R"({"n":null})");
  EXPECT_EQ(ReadInt32(doc, "format", 0), 0);
  EXPECT_EQ(ReadInt64(doc, "list.z", -1), -1);
  EXPECT_EQ(ReadString(doc, "objects", "o/"), "o/");
  EXPECT_EQ(ReadInt32(doc, "n", 9), 9);
  EXPECT_EQ(ReadString(doc, "n", "d"), "d");
  EXPECT_TRUE(IsConversionError([&] { ReadInt64(doc, "n", 0); }));
}

TEST(JsonRead, IntegersAtTheEdgesOfTheirWidth) {
  const TJsonValue doc =
      Doc(R"({"i32max":2147483647,"i32min":-2147483648,"i32over":2147483648,)"
          R"("i32under":-2147483649,"i64max":9223372036854775807,)"
          R"("i64min":-9223372036854775808,"i64over":9223372036854775808,)"
          R"("i64under":-9223372036854775809,"huge":123456789012345678901234567890})");
  EXPECT_EQ(ReadInt32(doc, "i32max"), 2147483647);
  EXPECT_EQ(ReadInt32(doc, "i32min", 0), -2147483647 - 1);
  EXPECT_TRUE(IsConversionError([&] { ReadInt32(doc, "i32over"); }));
  EXPECT_TRUE(IsConversionError([&] { ReadInt32(doc, "i32under", 0); }));
  EXPECT_EQ(ReadInt64(doc, "i32over"), 2147483648);
  EXPECT_EQ(ReadInt64(doc, "i64max"), INT64_MAX);
  EXPECT_EQ(ReadInt64(doc, "i64min", 0), INT64_MIN);
  EXPECT_TRUE(IsConversionError([&] { ReadInt64(doc, "i64over"); }));
  EXPECT_TRUE(IsConversionError([&] { ReadInt64(doc, "i64under", 0); }));
  EXPECT_TRUE(IsConversionError([&] { ReadInt64(doc, "huge"); }));
}

TEST(JsonRead, IntegersRefuseFractionsExponentsAndOtherKinds) {
  const TJsonValue doc =
      Doc(R"({"frac":1.0,"exp":1e2,"negzero":-0,"yes":true,"arr":[1],"obj":{"a":1},"str":"5"})");
  for (const char* path : {"frac", "exp", "yes", "arr", "obj"}) {
    EXPECT_TRUE(IsConversionError([&] { ReadInt32(doc, path); })) << path;
    EXPECT_TRUE(IsConversionError([&] { ReadInt64(doc, path, 0); })) << path;
  }
  EXPECT_EQ(ReadInt32(doc, "negzero"), 0);
  EXPECT_EQ(ReadInt64(doc, "str"), 5);
}

TEST(JsonRead, IntegersFromText) {
  const TJsonValue doc =
      Doc(R"({"plain":"42","plus":"+42","minus":"-42","zeros":"007",)"
          R"("i32max":"2147483647","i32over":"2147483648","i64min":"-9223372036854775808"})");
  EXPECT_EQ(ReadInt32(doc, "plain"), 42);
  EXPECT_EQ(ReadInt32(doc, "plus"), 42);
  EXPECT_EQ(ReadInt64(doc, "minus"), -42);
  EXPECT_EQ(ReadInt32(doc, "zeros", 0), 7);
  EXPECT_EQ(ReadInt32(doc, "i32max"), 2147483647);
  EXPECT_TRUE(IsConversionError([&] { ReadInt32(doc, "i32over"); }));
  EXPECT_EQ(ReadInt64(doc, "i64min"), INT64_MIN);
  for (const char* text : {"", " 42", "42 ", "4 2", "0x10", "$10", "1.0", "1e2", "+-1", "-+1",
                           "--1", "-", "+", "abc", "9223372036854775808"}) {
    const TJsonValue one = Doc("{\"v\":\"" + std::string(text) + "\"}");
    EXPECT_TRUE(IsConversionError([&] { ReadInt64(one, "v"); })) << '"' << text << '"';
  }
}

TEST(JsonRead, StringsFromTextAndNumbersOnly) {
  const TJsonValue doc =
      Doc(R"({"s":"vt.exe","n":1.50,"i":12,"big":18446744073709551616,"b":false,"a":[],"o":{}})");
  EXPECT_EQ(ReadString(doc, "s"), "vt.exe");
  EXPECT_EQ(ReadString(doc, "n"), "1.50");
  EXPECT_EQ(ReadString(doc, "i", "x"), "12");
  EXPECT_EQ(ReadString(doc, "big"), "18446744073709551616");
  for (const char* path : {"b", "a", "o"}) {
    EXPECT_TRUE(IsConversionError([&] { ReadString(doc, path); })) << path;
    EXPECT_TRUE(IsConversionError([&] { ReadString(doc, path, "d"); })) << path;
  }
  EXPECT_TRUE(IsConversionError([&] { ReadArray(doc, "o"); }));
  EXPECT_TRUE(IsConversionError([&] { ReadArray(doc, "s"); }));
  EXPECT_TRUE(ReadArray(doc, "a").empty());
}

TEST(JsonRead, ConversionErrorsAreOneShortLineNamingPathAndValue) {
  const TJsonValue doc = Doc("{\"build\":1.5,\"list\":{\"s\":\"" + std::string(39, 'a') +
                             "\xC3\xA9tail\",\"h\":[]},\"t\":\"" + "\\u0001line\\nbreak " +
                             std::string(100, 'x') + "\"}");
  EXPECT_EQ(ErrorOf([&] { ReadInt32(doc, "build"); }),
            "TJsonError: Value 'build' is not a 32-bit integer: 1.5");
  EXPECT_EQ(ErrorOf([&] { ReadString(doc, "list.h"); }),
            "TJsonError: Value 'list.h' is not a string: an array");
  // Cut short without splitting a UTF-8 character.
  EXPECT_EQ(
      ErrorOf([&] { ReadInt64(doc, "list.s"); }),
      "TJsonError: Value 'list.s' is not a 64-bit integer: \"" + std::string(39, 'a') + "...\"");
  const std::string message = ErrorOf([&] { ReadInt64(doc, "t"); });
  EXPECT_LT(message.size(), 100u);
  EXPECT_EQ(message.find_first_of("\x01\n"), std::string::npos) << message;
}

TEST(JsonRead, AsciiLowerChangesOnlyAToZ) {
  EXPECT_EQ(AsciiLower("ABCxyz09@[`{Z"), "abcxyz09@[`{z");
  EXPECT_EQ(AsciiLower("\xC3\x89"), "\xC3\x89");  // É stays
}

}  // namespace
}  // namespace vt
