// The private debug print of the agent modules that log to standard error
// (setup and eqp_store include it; it has no symbol of its own).
#include "agent_dprintf.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "test_support.h"

namespace {

struct LevelCase {
    int level;
    const char *want;
};

// Names the case in test listings.
void PrintTo(const LevelCase &c, std::ostream *os) { *os << "level " << c.level; }

class StoreDprintfLevel : public ::testing::TestWithParam<LevelCase> {};

// The level is a switch: 0 suppresses, anything else prints the same way.
TEST_P(StoreDprintfLevel, ZeroSuppressesEveryOtherLevelPrints) {
    const LevelCase &c = GetParam();
    gwtest::CaptureFd err(2);
    int n = DPRINTF(c.level, "value %d %s\n", 42, "x");
    std::string got = err.text();
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(n, static_cast<int>(got.size()));
}

INSTANTIATE_TEST_SUITE_P(Levels, StoreDprintfLevel,
                         ::testing::Values(LevelCase{0, ""}, LevelCase{1, "value 42 x\n\n"},
                                           LevelCase{32, "value 42 x\n\n"},
                                           LevelCase{128, "value 42 x\n\n"},
                                           LevelCase{-1, "value 42 x\n\n"}));

TEST(StoreDprintf, LongTextIsCutAt1023Characters) {
    for (size_t len : {1022u, 1023u, 1024u, 5000u}) {
        std::string text(len, 'a');
        for (size_t i = 0; i < len; i += 97)
            text[i] = 'b';
        gwtest::CaptureFd err(2);
        DPRINTF(32, "%s", text.c_str());
        std::string want = text.substr(0, 1023) + "\n";
        EXPECT_EQ(err.text(), want) << "length " << len;
    }
}

}  // namespace
