#include <gtest/gtest.h>

#include "core/text/NumberFormat.h"
#include "core/text/SectorField.h"
#include "core/text/Utf.h"

namespace korvalane {
namespace {

TEST(NumberFormat, DecimalHexAndFill) {
  EXPECT_EQ(Decimal(0), u"0");
  EXPECT_EQ(Decimal(-2147483648LL), u"-2147483648");
  EXPECT_EQ(Decimal(4294967295LL), u"4294967295");
  EXPECT_EQ(Decimal(INT64_MIN), u"-9223372036854775808");
  EXPECT_EQ(HexUpper(0x12C, 3), u"12C");
  EXPECT_EQ(HexUpper(5, 3), u"005");
  EXPECT_EQ(HexUpper(0xFFFF, 3), u"FFFF");
  EXPECT_EQ(LeftFill(u"5", 4, u' '), u"   5");
  EXPECT_EQ(LeftFill(u"4095", 4, u' '), u"4095");
  EXPECT_EQ(LeftFill(u"12345", 4, u' '), u"12345");
}

TEST(NumberFormat, RoundsHalvesToEven) {
  struct Case {
    double value;
    int64_t expected;
  };
  for (const Case& c : {Case{0.5, 0}, Case{1.5, 2}, Case{2.5, 2}, Case{3.5, 4}, Case{12.5, 12},
                        Case{37.5, 38}, Case{62.5, 62}, Case{87.5, 88}, Case{2.4999, 2}, Case{2.5001, 3}}) {
    EXPECT_EQ(RoundHalfEven(c.value), c.expected) << c.value;
  }
}

TEST(SectorField, AcceptsDecimalHexAndSigns) {
  struct Case {
    const char16_t* text;
    std::optional<FieldNumber> expected;
  };
  const auto plus = [](uint64_t v) { return std::optional(FieldNumber{false, v}); };
  const auto minus = [](uint64_t v) { return std::optional(FieldNumber{true, v}); };
  const Case cases[] = {
      {u"0", plus(0)},     {u"63", plus(63)},    {u"  63", plus(63)}, {u"+7", plus(7)},
      {u"-1", minus(1)},   {u"$10", plus(16)},   {u"x10", plus(16)},  {u"X1f", plus(31)},
      {u"0x10", plus(16)}, {u"0XfF", plus(255)}, {u"-$10", minus(16)}, {u"007", plus(7)},
      {u"-0", plus(0)},    {u"4294967296", plus(4294967296)},
      {u"18446744073709551615", plus(UINT64_MAX)}, {u"$FFFFFFFFFFFFFFFF", plus(UINT64_MAX)},
      {u"18446744073709551616", std::nullopt},     {u"$10000000000000000", std::nullopt},
      {u"", std::nullopt}, {u" ", std::nullopt}, {u"$", std::nullopt}, {u"0x", std::nullopt},
      {u"12abc", std::nullopt},                  {u"63 ", std::nullopt}, {u"1 2", std::nullopt},
      {u"--1", std::nullopt},                    {u"$g", std::nullopt},  {u"1e3", std::nullopt},
      {u"99999999999999999999999", std::nullopt}, {u"\uFF11", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseSectorNumber(std::u16string_view(c.text)), c.expected) << ToUtf8(c.text);
  }
  EXPECT_EQ(ParseSectorNumber(std::string_view("$10")), plus(16));
  EXPECT_EQ(ParseSectorIndex(std::string_view("-1")), std::nullopt);
  EXPECT_EQ(ParseSectorIndex(std::string_view("-0")), std::optional<uint64_t>(0));
}

TEST(NumberFormat, DecimalKeepsTheWholeUnsignedRange) {
  EXPECT_EQ(Decimal(UINT64_MAX), u"18446744073709551615");
  EXPECT_EQ(Decimal(INT64_MIN), u"-9223372036854775808");
  EXPECT_EQ(Decimal(int32_t{-5}), u"-5");
}

TEST(Utf, RoundTripsAndReplacesLoneSurrogates) {
  const std::u16string text = u"Отчёт \U0001F600 a";
  EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t{0xDC00}) + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(FromUtf8("\xFF" "a"), u"\uFFFDa");
  EXPECT_EQ(FromUtf8("\xE2\x82"), u"\uFFFD\uFFFD");
  EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong
}

}  // namespace
}  // namespace korvalane
