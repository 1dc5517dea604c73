// JSON text of the --json output: any bytes of a Linux name come out as
// valid JSON, and a name that is not UTF-8 keeps its exact bytes in hex.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "cli/output/json_text.h"
#include "tests/cli_support/json_check.h"

namespace {

struct StringCase {
  std::string label;
  std::string text;
  std::string json;
};

TEST(CliJson, StringsAreValidJsonWhateverTheBytes) {
  const std::vector<StringCase> cases = {
      {"plain", "a b.txt", "\"a b.txt\""},
      {"escapes", "q\"\\\n\t\x01", "\"q\\\"\\\\\\n\\t\\u0001\""},
      {"utf-8 kept", "Grüße/日本語 😀", "\"Grüße/日本語 😀\""},
      {"a stray byte", "b\xff.txt", "\"b\\\\xff.txt\""},
      {"Latin-1", "caf\xe9", "\"caf\\\\xe9\""},
      {"cut short", "\xe6\x97", "\"\\\\xe6\\\\x97\""},
      {"overlong slash", "\xc0\xaf", "\"\\\\xc0\\\\xaf\""},
      {"surrogate", "\xed\xa0\x80", "\"\\\\xed\\\\xa0\\\\x80\""},
      {"past U+10FFFF", "\xf4\x90\x80\x80", "\"\\\\xf4\\\\x90\\\\x80\\\\x80\""},
      {"NUL", std::string("a\0b", 3), "\"a\\u0000b\""},
  };
  for (const StringCase& c : cases) {
    const std::string json = json_string(c.text);
    EXPECT_EQ(json, c.json) << c.label;
    EXPECT_TRUE(is_json_object("{\"v\":" + json + "}")) << c.label << ": " << json;
  }
}

TEST(CliJson, ObjectsNameBytesAndNumbers) {
  JsonObject object;
  object.name("item", "ok.txt")
      .name("odd", "b\xff")
      .number("n", std::size_t{7})
      .number("seconds", 1.5)
      .number("fraction", 0.12345)
      .number("bad", std::nan(""))
      .boolean("yes", true);
  EXPECT_EQ(object.str(), "{\"item\":\"ok.txt\",\"odd\":\"b\\\\xff\",\"odd_hex\":\"62ff\",\"n\":7,"
                          "\"seconds\":1.5,\"fraction\":0.123,\"bad\":0,\"yes\":true}");
  EXPECT_TRUE(is_json_object(object.str()));
}

}  // namespace
