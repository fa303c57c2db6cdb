// The number parsing every program shares (tools/cli/cli.h): what it takes
// and what it refuses, at the edges that matter.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "cli.h"

namespace {

struct DecimalCase {
    const char *text;
    uint64_t min, max;
    bool ok;
    uint64_t value;
};

class ParseDecimal : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(ParseDecimal, TakesDigitsWithinTheRangeOnly) {
    const DecimalCase &c = GetParam();
    uint64_t v = 12345;
    EXPECT_EQ(gwcli::parse_decimal(c.text, c.min, c.max, &v), c.ok) << c.text;
    EXPECT_EQ(v, c.ok ? c.value : 12345u) << "written only on success";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseDecimal,
    ::testing::Values(DecimalCase{"1", 1, 65535, true, 1},
                      DecimalCase{"65535", 1, 65535, true, 65535},
                      DecimalCase{"007", 0, 10, true, 7}, DecimalCase{"0", 1, 65535, false, 0},
                      DecimalCase{"65536", 1, 65535, false, 0}, DecimalCase{"", 0, 10, false, 0},
                      DecimalCase{"-1", 0, 10, false, 0}, DecimalCase{"+1", 0, 10, false, 0},
                      DecimalCase{" 1", 0, 10, false, 0}, DecimalCase{"1 ", 0, 10, false, 0},
                      DecimalCase{"0x10", 0, 100, false, 0}, DecimalCase{"1e3", 0, 10000, false, 0},
                      DecimalCase{"18446744073709551615", 0, UINT64_MAX, true, UINT64_MAX},
                      DecimalCase{"18446744073709551616", 0, UINT64_MAX, false, 0},
                      DecimalCase{"99999999999999999999999", 0, UINT64_MAX, false, 0}));

TEST(ParseDecimal, IntoSmallerTypes) {
    int timeout = 0;
    EXPECT_TRUE(gwcli::parse_decimal("3600000", 1, 3600000, &timeout));
    EXPECT_EQ(timeout, 3600000);
    EXPECT_FALSE(gwcli::parse_decimal("3600001", 1, 3600000, &timeout));
    uint16_t port = 0;
    EXPECT_FALSE(gwcli::parse_decimal("70000", uint16_t{1}, uint16_t{65535}, &port));
    EXPECT_EQ(port, 0);
}

struct IntegerCase {
    const char *text;
    bool ok;
    long long value;
};

class ParseInteger : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(ParseInteger, DecimalOrHex) {
    long long v = 99;
    EXPECT_EQ(gwcli::parse_integer(GetParam().text, &v), GetParam().ok) << GetParam().text;
    EXPECT_EQ(v, GetParam().ok ? GetParam().value : 99) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseInteger,
    ::testing::Values(IntegerCase{"0x7F", true, 127}, IntegerCase{"0XffFFffFF", true, 0xFFFFFFFFll},
                      IntegerCase{"-32768", true, -32768}, IntegerCase{"12", true, 12},
                      IntegerCase{"0x", false, 0}, IntegerCase{"0x100000000", false, 0},
                      IntegerCase{"0x1g", false, 0}, IntegerCase{"-", false, 0},
                      IntegerCase{"--1", false, 0}, IntegerCase{"-0x10", false, 0},
                      IntegerCase{"12a", false, 0}));

TEST(VersionLine, NamesTheProgramAndTheVersion) {
    EXPECT_EQ(gwcli::version_line("gwcfg"), std::string("gwcfg ") + GW_VERSION + "\n");
}

}  // namespace
