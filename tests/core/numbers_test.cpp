#include <gtest/gtest.h>

#include "core/dates.h"
#include "core/numbers.h"
#include "core/text.h"

namespace tagvane {
namespace {

TEST(Numbers, SingleTextIsShortestWithSevenDigitsAtMost) {
  EXPECT_EQ(SingleText(100.0f), "100");
  EXPECT_EQ(SingleText(0.1f), "0.1");
  EXPECT_EQ(SingleText(-3.25f), "-3.25");
  EXPECT_EQ(SingleText(0.0f), "0");
  EXPECT_EQ(SingleText(1.0f / 3.0f), "0.3333333");
  EXPECT_EQ(SingleText(1234567.0f), "1234567");
  EXPECT_EQ(SingleText(1e20f), "1E+20");
  // Figures of ordinary size read back as the same single.
  for (float v : {55.0f, 60.5f, 66.55f, 73.205f, 80.5255f, 86399.99f, 0.001f}) {
    EXPECT_EQ(std::strtof(SingleText(v).c_str(), nullptr), v) << SingleText(v);
  }
}

TEST(Numbers, LeadingNumberAndIsNumeric) {
  EXPECT_EQ(LeadingNumber("12abc"), 12);
  EXPECT_EQ(LeadingNumber("  -3.5x"), -3.5);
  EXPECT_EQ(LeadingNumber("abc"), 0);
  EXPECT_EQ(LeadingNumber(".5"), 0.5);
  EXPECT_EQ(LeadingNumber("1e3z"), 1000);
  EXPECT_TRUE(IsNumeric("12.5"));
  EXPECT_TRUE(IsNumeric(" 7 "));
  EXPECT_TRUE(IsNumeric("-1e2"));
  EXPECT_FALSE(IsNumeric("abc"));
  EXPECT_FALSE(IsNumeric("12a"));
  EXPECT_FALSE(IsNumeric("\"12\""));
  // Beyond what a double holds is no number at all.
  EXPECT_FALSE(IsNumeric("1e400"));
  EXPECT_TRUE(IsNumeric("1e-400"));
}

TEST(Numbers, SixteenBitConversionRoundsHalvesToEvenAndOverflows) {
  EXPECT_EQ(ToInt16(12.5), 12);
  EXPECT_EQ(ToInt16(13.5), 14);
  EXPECT_EQ(ToInt16(-2.5), -2);
  EXPECT_EQ(ToInt16(32767.4), 32767);
  EXPECT_THROW(ToInt16(32767.5), OverflowError);
  EXPECT_THROW(ToInt16(-40000), OverflowError);
  EXPECT_EQ(Int16OrDefault("32767.5", 7), 7);
  EXPECT_EQ(Int16OrDefault("1e400", 7), 7);
  EXPECT_EQ(Int16OrDefault("x", 7), 7);
}

TEST(Dates, FixedFormatsAndParsing) {
  const DateTime t = MakeDateTime(2026, 12, 5, 6, 42, 27, 550);
  EXPECT_EQ(FormatGeneralDate(t), "05/12/2026 06:42:27");
  EXPECT_EQ(FormatMediumDate(t), "05-Dec-26");
  EXPECT_EQ(FormatTimeOfDay(t), "6:42:27 AM");
  EXPECT_EQ(FormatTimeOfDay(MakeDateTime(2026, 1, 1, 0, 5, 0)), "12:05:00 AM");
  EXPECT_EQ(FormatHttpDate(t), "Sat, 05 Dec 2026 06:42:27 GMT");
  EXPECT_EQ(SingleText(SecondsSinceMidnight(t)), "24147.55");
  EXPECT_EQ(ParseDate("05/12/2026 06:42:27"), MakeDateTime(2026, 12, 5, 6, 42, 27));
  EXPECT_EQ(ParseDate("01/01/2000"), MakeDateTime(2000, 1, 1));
  EXPECT_FALSE(ParseDate("31/02/2026").has_value());
  EXPECT_FALSE(ParseDate("").has_value());
}

TEST(Text, Splitting) {
  EXPECT_EQ(Split("a=b=c", '='), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(Split("", ';'), (std::vector<std::string>{""}));
  EXPECT_EQ(TrimSpaces("  a\t "), "a\t");
}

}  // namespace
}  // namespace tagvane
