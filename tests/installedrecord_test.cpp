// The installed record's own reader against the general JSON document read by the same rules:
// every text must give the same record either way, and the quick reader must answer alone for
// the records the launcher writes.

#include "format/InstalledRecord.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "format/Json.h"
#include "format/Utf8.h"
#include "support/RecordText.h"
#include "support/TestData.h"

namespace vt {
namespace {

using namespace std::string_literals;

// Parse and ParseQuick agree with the document wherever they answer; Quick says whether the
// quick reader must answer alone.
void ExpectSameAsDocument(const std::string& Text, bool Quick) {
  const std::optional<TJsonValue> document = ParseJson(Text);
  const std::optional<TInstalledRecord> record = TInstalledRecord::Parse(Text);
  ASSERT_EQ(record.has_value(), document.has_value()) << Text;
  const std::optional<TInstalledRecord> quick = TInstalledRecord::ParseQuick(Text);
  EXPECT_EQ(quick.has_value(), Quick) << Text;
  if (!document)
    return;
  const std::string expected = test::RecordText(TInstalledRecord::FromDocument(*document));
  EXPECT_EQ(test::RecordText(*record), expected) << Text;
  if (quick) {
    EXPECT_EQ(test::RecordText(*quick), expected) << Text;
  }
}

TEST(InstalledRecord, ReadsLikeTheGeneralDocument) {
  const std::string hex(64, 'a'), upper(64, 'B');
  const struct {
    std::string Text;
    bool Quick;
  } cases[] = {
      // As written, and laid out otherwise.
      {"\xEF\xBB\xBF{\"build\":7,\"list\":\"" + hex +
           "\",\"files\":{\"d\\/\\u00C4.x\":{\"s\":3,"
           "\"t\":133000000000000000,\"h\":\"" +
           hex + "\"}}}",
       true},
      {" \r\n{ \"files\" : { \"a\" : { \"h\" : \"" + upper +
           "\" , \"t\" : -5 , \"s\" : 0 } } ,"
           " \"build\" : 7 }\t",
       true},
      // First of equal names wins, at every level; other members are passed over.
      {"{\"build\":1,\"build\":2,\"files\":{\"a\":{\"s\":1,\"s\":2,\"x\":[{},[]]},\"a\":{}}}",
       true},
      {"{\"files\":7,\"files\":{\"a\":{}}}", true},
      {"{\"files\":{\"a\":{}},\"files\":7}", true},
      // Defaults and conversion errors, kept for when the value is read.
      {"{\"build\":null,\"list\":null,\"files\":{\"a\":{\"s\":null,\"t\":\"+12\",\"h\":null}}}",
       true},
      {"{\"build\":\"seven\",\"list\":{},\"files\":{\"a\":{\"s\":\"abc\",\"t\":[1],\"h\":{}}}}",
       true},
      {"{\"build\":2147483648,\"list\":12,\"files\":{\"a\":{\"s\":true,\"t\":false,\"h\":3}}}",
       true},
      {"{\"files\":{\"a\":{\"h\":\"" + hex.substr(1) + "g\"},\"b\":{\"h\":\"ab\"},\"c\":1}}", true},
      // Escapes in names, values and member names.
      {"{\"files\":{\"\\ud83d\\ude00\\n\\\"\\\\\\b\\f\\r\\t\\u0000\":{\"\\u0073\":1}}}", true},
      {"[1,2]", true},
      {"\"x\"", true},
      {"null", true},
      {"{\"files\":{}}", true},
      // JSON that the quick reader leaves to the general parser.
      {"{\"files\":{\"a\":{\"s\":1.0,\"t\":1e3}}}", false},
      {"{\"files\":{\"a\":{\"s\":123456789012345678901,\"t\":-0}}}", false},
      {"{\"build\":7.5}", false},
      {std::string(100, '[') + std::string(100, ']'), false},
      // Text that is not JSON: no record.
      {"", false},
      {"{\"a\":\"\\ud800\"}", false},
      {"{\"a\":\"\\udc00\"}", false},
      {"{\"a\":\"\x01\"}", false},
      {"\xEF\xBB\xBF\xEF\xBB\xBF{}", false},
      {"{\"files\":{\"a\":{}}}x", false},
      {"{\"files\":{\"a\":{},}}", false},
      {"{\"files\":{\"a\":{\"s\":01}}}", false},
      {"{\"a\":1}\0"s, false},
      {"{\"build\":7", false},
  };
  for (const auto& row : cases)
    ExpectSameAsDocument(row.Text, row.Quick);
}

// Every text of the JSON test suite, alone and in each place the record reads a value.
TEST(InstalledRecord, AgreesWithTheGeneralParserOnTheJsonTestSuite) {
  VT_REQUIRE_TESTDATA(dir, "jsontestsuite/test_parsing");
  int compared = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    // Bytes that are not UTF-8 fail the run before any parsing.
    if (FindInvalidUtf8(text) != std::string_view::npos)
      continue;
    for (const std::string& wrapped :
         {text, "{\"build\":" + text + "}", "{\"files\":" + text + "}",
          "{\"files\":{\"a\":" + text + "}}", "{\"files\":{\"a\":{\"s\":" + text + "}}}",
          "{\"files\":{\"a\":{\"h\":" + text + "}}}"}) {
      const std::optional<TJsonValue> document = ParseJson(wrapped);
      const std::optional<TInstalledRecord> record = TInstalledRecord::Parse(wrapped);
      ASSERT_EQ(record.has_value(), document.has_value()) << entry.path() << ": " << wrapped;
      if (document) {
        EXPECT_EQ(test::RecordText(*record),
                  test::RecordText(TInstalledRecord::FromDocument(*document)))
            << entry.path();
      }
      ++compared;
    }
  }
  EXPECT_GT(compared, 1000);
}

}  // namespace
}  // namespace vt
