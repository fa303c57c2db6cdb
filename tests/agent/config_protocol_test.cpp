// The date-text rule of the configuration protocol (config_protocol.h): the
// handler, gwcfg and the root helper all take TimeSync texts by it, and the
// text ends up between double quotes on a shell command line.
#include "config_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DateText, TakesTheCharactersADateNeeds) {
    const std::string allowed =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 :-+/.,@";
    for (char c : allowed)
        EXPECT_TRUE(gwproto::is_date_char(c)) << c;
    EXPECT_TRUE(gwproto::is_date_text(allowed.c_str()));
    EXPECT_TRUE(gwproto::is_date_text("@1796641933"));
    EXPECT_TRUE(gwproto::is_date_text("Dec 7, 2026 9:05pm +01:00"));
    EXPECT_TRUE(gwproto::is_date_text(""));
}

// Every other byte is refused, the shell's own characters first of all.
TEST(DateText, RefusesEveryOtherByte) {
    const std::string allowed =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 :-+/.,@";
    for (int b = 1; b < 256; ++b) {
        const char c = static_cast<char>(b);
        if (allowed.find(c) != std::string::npos) continue;
        EXPECT_FALSE(gwproto::is_date_char(c)) << "byte " << b;
        const std::string text = std::string("20261207 ") + c + "11:12:13";
        EXPECT_FALSE(gwproto::is_date_text(text.c_str())) << "byte " << b;
    }
    for (const char *shell : {"\"", "$(id)", "`id`", "1; reboot", "a'b", "x|y", "a\\b", "a\nb"})
        EXPECT_FALSE(gwproto::is_date_text(shell)) << shell;
}

}  // namespace
