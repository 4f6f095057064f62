#include "format/JsonWriter.h"

#include <gtest/gtest.h>

#include "format/Json.h"

namespace vt {
namespace {

std::string Quoted(std::string_view Text) {
  std::string out;
  AppendJsonString(out, Text);
  return out;
}

TEST(JsonWriter, EscapesSlashesControlsAndEverythingAbove127AsUtf16Units) {
  EXPECT_EQ(Quoted("data/a \"b\"\\c"), R"("data\/a \"b\"\\c")");
  EXPECT_EQ(Quoted("\b\t\n\f\r\x01\x1f"), R"("\b\t\n\f\r\u0001\u001F")");
  EXPECT_EQ(Quoted("\xC3\xA9"), R"("\u00E9")");                // é
  EXPECT_EQ(Quoted("\xE2\x82\xAC"), R"("\u20AC")");            // €
  EXPECT_EQ(Quoted("\xF0\x9F\x8E\xAE"), R"("\uD83C\uDFAE")");  // U+1F3AE, a surrogate pair
  EXPECT_EQ(Quoted("\x7f"), "\"\x7f\"");
}

TEST(JsonWriter, InvalidUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(Quoted("a\xC3"), R"("a\uFFFD")");                              // cut sequence
  EXPECT_EQ(Quoted("\xC0\xAF"), R"("\uFFFD\uFFFD")");                      // overlong "/"
  EXPECT_EQ(Quoted("\xED\xA0\x80"), R"("\uFFFD\uFFFD\uFFFD")");            // encoded surrogate
  EXPECT_EQ(Quoted("\xF4\x90\x80\x80"), R"("\uFFFD\uFFFD\uFFFD\uFFFD")");  // above U+10FFFF
}

TEST(JsonWriter, WhatItWritesReadsBackUnchanged) {
  const std::string name = "Sound/\xC3\x84rger \xF0\x9F\x8E\xAE \"q\"\\.ogg";
  std::string doc = "{";
  AppendJsonName(doc, name);
  AppendJsonInt(doc, -9223372036854775807 - 1);
  doc += '}';
  const auto root = ParseJson(doc);
  ASSERT_TRUE(root.has_value());
  ASSERT_EQ(root->Members.size(), 1u);
  EXPECT_EQ(root->Members[0].first, name);
  EXPECT_EQ(root->Members[0].second.Text, "-9223372036854775808");
}

}  // namespace
}  // namespace vt
