#include <gtest/gtest.h>

#include "core/text/Json.h"

namespace korvalane {
namespace {

TEST(Json, EscapesWhatWouldBreakTheDocument) {
  struct Case {
    std::u16string text;
    std::string expected;
  };
  const Case cases[] = {
      {u"plain", "\"plain\""},
      {u"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\""},
      {u"line\nbreak\r\ttab", "\"line\\nbreak\\r\\ttab\""},
      {std::u16string(u"\u0001\u001F\u007F"), "\"\\u0001\\u001f\\u007f\""},
      {u"\u2028\u2029", "\"\\u2028\\u2029\""},
      {u"Отчёт", "\"Отчёт\""},
      {std::u16string(1, char16_t{0xD800}), "\"\xEF\xBF\xBD\""},  // a lone surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(Json(c.text).Dump(), c.expected + "\n");
  EXPECT_EQ(JsonString("\xFF"), "\"\xFF\"");  // raw bytes are the caller's: Json turns them into U+FFFD
  EXPECT_EQ(Json(std::string("\xFF")).Dump(), "\"\xEF\xBF\xBD\"\n");
}

TEST(Json, NumbersKeepTheirRangeAndObjectsTheirOrder) {
  Json json = Json::Object()
                  .Set("b", UINT64_MAX)
                  .Set("a", INT64_MIN)
                  .Set("empty", Json::Array())
                  .Set("list", Json::Array().Push(true).Push(Json()).Push(int32_t{-1}))
                  .Set("b", 7u);
  EXPECT_EQ(json.Dump(), "{\n  \"b\": 7,\n  \"a\": -9223372036854775808,\n  \"empty\": [],\n  \"list\": [\n    true,\n"
                         "    null,\n    -1\n  ]\n}\n");
  EXPECT_EQ(Json::Object().Dump(), "{}\n");
}

}  // namespace
}  // namespace korvalane
