// The restart request's text (restart_request.h): what a sender writes with
// FormatRequest() the respawner reads back with ParseRequest().
#include "restart_request.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ostream>
#include <string>

namespace {

struct RoundTrip {
    const char *mode;
    pid_t pid;
    const char *text;
};

void PrintTo(const RoundTrip &c, std::ostream *os) { *os << c.text; }

class RestartRequestRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(RestartRequestRoundTrip, ReadsBackWhatWasWritten) {
    const RoundTrip &c = GetParam();
    char text[respawn::kMaxText + 1];
    const int n = respawn::FormatRequest(c.mode, c.pid, text, sizeof text);
    ASSERT_EQ(n, static_cast<int>(strlen(c.text)));
    EXPECT_STREQ(text, c.text);
    respawn::Request req;
    ASSERT_EQ(respawn::ParseRequest(std::string(text, static_cast<size_t>(n)), &req, nullptr),
              respawn::ParseStatus::Ok);
    EXPECT_EQ(req.mode, c.mode);
    EXPECT_EQ(req.pid, c.pid);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RestartRequestRoundTrip,
    testing::Values(RoundTrip{"fix_ip mode", 1234, "fix_ip mode:1234"},
                    RoundTrip{"dhcp mode", 77, "dhcp mode:77"}, RoundTrip{"", 1, ":1"},
                    RoundTrip{"fix_ip mode", INT_MAX, "fix_ip mode:2147483647"},
                    // 50 bytes: the longest text the respawner takes.
                    RoundTrip{"mode text of thirty-nine characters....", 1234567890,
                              "mode text of thirty-nine characters....:1234567890"}));

// What could not be read back, or not be received whole, is not written.
TEST(RestartRequestText, RefusesWhatTheRespawnerCouldNotRead) {
    char text[128];
    EXPECT_EQ(respawn::FormatRequest("fix_ip mode", 0, text, sizeof text), -1);
    EXPECT_EQ(respawn::FormatRequest("fix_ip mode", -1, text, sizeof text), -1);
    EXPECT_EQ(respawn::FormatRequest("fix:ip", 5, text, sizeof text), -1);
    EXPECT_EQ(respawn::FormatRequest("mode text of forty characters...........", 1234567890, text,
                                     sizeof text),
              -1);                                                      // 51 bytes
    EXPECT_EQ(respawn::FormatRequest("fix_ip mode", 1, text, 13), -1);  // no room for the NUL
    EXPECT_EQ(respawn::FormatRequest("fix_ip mode", 1, text, 14), 13);
}

}  // namespace
