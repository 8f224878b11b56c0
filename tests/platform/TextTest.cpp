#include "platform/Text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace vl {
namespace {

struct DecimalCase {
  const char* name;
  std::string text;
  std::int64_t min, max;
  std::optional<std::int64_t> expected;
};

class ParseDecimalTest : public testing::TestWithParam<DecimalCase> {};

TEST_P(ParseDecimalTest, TakesOnlyAWholeNumberInRange) {
  const DecimalCase& c = GetParam();
  EXPECT_EQ(ParseDecimal(c.text, c.min, c.max), c.expected) << "\"" << c.text << "\"";
}

constexpr std::int64_t I32Min = INT32_MIN, I32Max = INT32_MAX;

INSTANTIATE_TEST_SUITE_P(
    Text, ParseDecimalTest,
    testing::Values(DecimalCase{"Plain", "4096", 0, I32Max, 4096}, DecimalCase{"LeadingZeros", "007", 0, 10, 7},
                    DecimalCase{"Minus", "-12", I32Min, I32Max, -12}, DecimalCase{"Plus", "+12", I32Min, I32Max, 12},
                    DecimalCase{"MinusZero", "-0", 0, 1, 0}, DecimalCase{"Empty", "", I32Min, I32Max, std::nullopt},
                    DecimalCase{"SignAlone", "-", I32Min, I32Max, std::nullopt},
                    DecimalCase{"TwoSigns", "+-1", I32Min, I32Max, std::nullopt},
                    DecimalCase{"LeadingBlank", " 1", I32Min, I32Max, std::nullopt},
                    DecimalCase{"TrailingBlank", "1 ", I32Min, I32Max, std::nullopt},
                    DecimalCase{"TrailingText", "12x", I32Min, I32Max, std::nullopt},
                    DecimalCase{"Hexadecimal", "0x10", I32Min, I32Max, std::nullopt},
                    DecimalCase{"Fraction", "1.5", I32Min, I32Max, std::nullopt},
                    DecimalCase{"EmbeddedNul",
                                std::string("1\0"
                                            "2",
                                            3),
                                I32Min, I32Max, std::nullopt},
                    DecimalCase{"Int32Max", "2147483647", I32Min, I32Max, I32Max},
                    DecimalCase{"Int32Min", "-2147483648", I32Min, I32Max, I32Min},
                    DecimalCase{"AboveInt32", "2147483648", I32Min, I32Max, std::nullopt},
                    DecimalCase{"BelowInt32", "-2147483649", I32Min, I32Max, std::nullopt},
                    DecimalCase{"BelowMin", "511", 512, 32767, std::nullopt},
                    DecimalCase{"Int64Max", "9223372036854775807", INT64_MIN, INT64_MAX, INT64_MAX},
                    DecimalCase{"Int64Min", "-9223372036854775808", INT64_MIN, INT64_MAX, INT64_MIN},
                    DecimalCase{"Overflows64Bits", "9223372036854775808", INT64_MIN, INT64_MAX, std::nullopt},
                    DecimalCase{"WrapsAround64Bits", "18446744073709551617", INT64_MIN, INT64_MAX, std::nullopt},
                    DecimalCase{"ManyDigits", std::string(40, '9'), INT64_MIN, INT64_MAX, std::nullopt}),
    [](const testing::TestParamInfo<DecimalCase>& info) { return std::string(info.param.name); });

TEST(Text, PortNumberIsDigitsOnlyFrom1To65535) {
  EXPECT_EQ(ParsePortNumber("1433"), 1433);
  EXPECT_EQ(ParsePortNumber("65535"), 65535);
  for (const char* bad : {"", "0", "65536", "+1433", "-1", " 1433", "14 33", "99999999999999999999"})
    EXPECT_EQ(ParsePortNumber(bad), std::nullopt) << "\"" << bad << "\"";
}

}  // namespace
}  // namespace vl
