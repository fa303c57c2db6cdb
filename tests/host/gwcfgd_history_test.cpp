// The update history in process: its lines, rotation at the size limit, a
// line torn by a crash, the budget that keeps a flood of refused updates
// from washing out the rest, and a link planted at its name.

#include "gwcfgd.h"
#include "test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using gwcfgd::History;
using gwcfgd::HistoryEvent;
using gwtest::FileExists;
using gwtest::ReadFile;
using gwtest::SplitLines;
using gwtest::TempDir;

namespace {

constexpr time_t kNoon = 1796644800;  // 2026-12-07T12:00:00Z
constexpr uint64_t kSecond = 1000000000ull;

class UpdateHistory : public ::testing::Test {
protected:
    TempDir dir;
    gwtest::ScopedCwd cwd{dir.path()};

    std::vector<std::string> Lines(const char *name = gwcfgd::kHistoryFile) {
        const std::string path = dir.file(name);
        return FileExists(path) ? SplitLines(ReadFile(path)) : std::vector<std::string>{};
    }
};

TEST_F(UpdateHistory, OneLinePerUpdateWithTimeSourceRevisionsAndDetail) {
    History h;
    h.record(HistoryEvent::Applied, "192.168.1.20:5000", 3, 4,
             "changed: gateway_conf.server_address, SX1301_conf.radio_0.freq", kNoon, kSecond);
    h.record(HistoryEvent::Refused, "192.168.1.21:40000", 4, 4, "reason: bad CRC", kNoon + 61,
             2 * kSecond);
    h.record(HistoryEvent::RolledBack, "-", 4, 3, "reason: the forwarder did not start",
             kNoon + 3600, 3 * kSecond);
    h.record(HistoryEvent::Refused, "10.0.0.1:1", 3, 3, "reason: \n\x1b[2Jforged", kNoon + 3601,
             4 * kSecond);
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "2026-12-07T12:00:00Z 192.168.1.20:5000 applied 3 -> 4 changed: "
                           "gateway_conf.server_address, SX1301_conf.radio_0.freq",
                           "2026-12-07T12:01:01Z 192.168.1.21:40000 refused 4 -> 4 reason: bad CRC",
                           "2026-12-07T13:00:00Z - rolled-back 4 -> 3 reason: the forwarder did "
                           "not start",
                           "2026-12-07T13:00:01Z 10.0.0.1:1 refused 3 -> 3 reason: "
                           "\\x0A\\x1B[2Jforged"}));
    struct stat st;
    ASSERT_EQ(stat(dir.file(gwcfgd::kHistoryFile).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

// At the limit the file becomes the old one and a new file starts: two
// files at most, each within the limit, and the newest entries in order.
TEST_F(UpdateHistory, RotatesAtTheSizeLimitKeepingTwoFiles) {
    constexpr size_t kLimit = 400;
    History h(kLimit);
    for (uint32_t rev = 0; rev < 40; ++rev)
        h.record(HistoryEvent::Applied, "127.0.0." + std::to_string(rev) + ":9", rev, rev + 1,
                 "changed: k" + std::to_string(rev), kNoon, rev * kSecond);
    for (const char *name : {gwcfgd::kHistoryFile, gwcfgd::kHistoryOldFile})
        EXPECT_LE(ReadFile(dir.file(name)).size(), kLimit) << name;
    std::vector<std::string> all = Lines(gwcfgd::kHistoryOldFile);
    const std::vector<std::string> current = Lines();
    all.insert(all.end(), current.begin(), current.end());
    ASSERT_FALSE(current.empty());
    EXPECT_NE(current.back().find("applied 39 -> 40 changed: k39"), std::string::npos);
    // Consecutive revisions, newest last, nothing lost in between.
    auto revision_before = [](const std::string &line) {
        return std::stoul(line.substr(line.find("applied ") + 8));
    };
    for (size_t i = 1; i < all.size(); ++i)
        EXPECT_EQ(revision_before(all[i]), revision_before(all[i - 1]) + 1) << all[i];
    EXPECT_FALSE(FileExists(dir.file("gwcfgd.history.2")));
}

TEST_F(UpdateHistory, LineTornByACrashIsClosedBeforeTheNextEntry) {
    gwtest::WriteFile(dir.file(gwcfgd::kHistoryFile),
                      "2026-12-07T11:00:00Z 1.2.3.4:5 applied 1 -> 2 changed: a\n2026-12-07T11:",
                      0644);
    History h;
    h.record(HistoryEvent::Applied, "1.2.3.4:5", 2, 3, "changed: b", kNoon, kSecond);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "2026-12-07T11:");
    EXPECT_EQ(lines[2], "2026-12-07T12:00:00Z 1.2.3.4:5 applied 2 -> 3 changed: b");
}

// A flood of refused updates takes at most its budget of lines; what it
// took beyond is one counted line, and the applied update in between
// stays.
TEST_F(UpdateHistory, FloodOfRefusalsIsCountedNotWrittenOut) {
    History h;
    h.record(HistoryEvent::Applied, "10.0.0.2:7", 0, 1, "changed: x", kNoon, kSecond);
    uint64_t now_ns = 2 * kSecond;
    for (int i = 0; i < 1000; ++i, now_ns += kSecond / 100)
        h.record(HistoryEvent::Refused, "10.6.6.6:666", 1, 1, "reason: bad CRC", kNoon + 1, now_ns);
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u + History::kSourceBurst);
    EXPECT_EQ(lines[0], "2026-12-07T12:00:00Z 10.0.0.2:7 applied 0 -> 1 changed: x");

    // An hour later the budget is back; the count comes first.
    h.record(HistoryEvent::Refused, "10.6.6.6:666", 1, 1, "reason: bad CRC", kNoon + 3600,
             now_ns + 3600 * kSecond);
    lines = Lines();
    ASSERT_EQ(lines.size(), 3u + History::kSourceBurst);
    EXPECT_EQ(lines[lines.size() - 2],
              "2026-12-07T13:00:00Z - skipped 980 refused updates since 2026-12-07T12:00:01Z, too "
              "many to record each (see the daemon's log)");
    EXPECT_NE(lines.back().find("refused 1 -> 1 reason: bad CRC"), std::string::npos);

    // Another source's applied update is not held back by this one's
    // flood, and flush() writes a pending count at the daemon's stop.
    for (int i = 0; i < 3; ++i)
        h.record(HistoryEvent::Refused, "10.6.6.6:666", 1, 1, "reason: bad CRC", kNoon + 3601,
                 now_ns + 3601 * kSecond);
    h.record(HistoryEvent::Applied, "10.0.0.2:7", 1, 2, "changed: y", kNoon + 3602,
             now_ns + 3602 * kSecond);
    EXPECT_EQ(Lines().back(), "2026-12-07T13:00:02Z 10.0.0.2:7 applied 1 -> 2 changed: y");
    for (int i = 0; i < 2 * static_cast<int>(History::kSourceBurst); ++i)
        h.record(HistoryEvent::Refused, "10.6.6.6:666", 1, 1, "reason: bad CRC", kNoon + 3603,
                 now_ns + 3603 * kSecond);
    h.flush(kNoon + 3700);
    EXPECT_NE(Lines().back().find(" - skipped "), std::string::npos);
}

// Applied updates share the budget: a source that sends a flood of updates
// it may make cannot rotate the record of earlier ones (its own first ones
// included) out of both files; a line counts what was left out. Forged
// sources share the budget of all.
TEST_F(UpdateHistory, FloodOfAppliedUpdatesCannotRotateTheRecordOut) {
    History h(16384);  // room for the budget's burst, not for a flood
    h.record(HistoryEvent::Applied, "10.0.0.2:7", 0, 1, "changed: x", kNoon, kSecond);
    uint64_t now_ns = 2 * kSecond;
    uint32_t rev = 1;
    for (int i = 0; i < 1000; ++i, ++rev, now_ns += kSecond / 1000)
        h.record(HistoryEvent::Applied, "10.6.6.6:666", rev, rev + 1, "changed: y", kNoon + 1,
                 now_ns);
    for (int i = 0; i < 1000; ++i, ++rev, now_ns += kSecond / 1000)
        h.record(HistoryEvent::Applied,
                 "10.7." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ":1", rev,
                 rev + 1, "changed: z", kNoon + 2, now_ns);
    h.flush(kNoon + 300);
    std::vector<std::string> all = Lines(gwcfgd::kHistoryOldFile);
    const std::vector<std::string> current = Lines();
    all.insert(all.end(), current.begin(), current.end());
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(), "2026-12-07T12:00:00Z 10.0.0.2:7 applied 0 -> 1 changed: x");
    // The budget of all, the first one included, and two counts: the
    // source's flood before the first forged entry, the forged ones at the end.
    EXPECT_EQ(all.size(), History::kTotalBurst + 2u);
    size_t skipped = 0;
    for (const std::string &line : all)
        if (line.find(" - skipped ") != std::string::npos)
            skipped += std::stoul(line.substr(line.find(" - skipped ") + 11));
    EXPECT_EQ(skipped, 2001u - History::kTotalBurst);
    EXPECT_NE(all.back().find(" applied updates since 2026-12-07T12:00:02Z, too many to record"),
              std::string::npos)
        << all.back();
}

TEST_F(UpdateHistory, PlantedLinkIsNotWrittenThrough) {
    TempDir elsewhere;
    gwtest::WriteFile(elsewhere.file("victim"), "precious\n", 0644);
    ASSERT_EQ(symlink(elsewhere.file("victim").c_str(), dir.file(gwcfgd::kHistoryFile).c_str()), 0);
    History h;
    gwtest::CaptureFd err(2);
    h.record(HistoryEvent::Applied, "1.2.3.4:5", 0, 1, "changed: a", kNoon, kSecond);
    fflush(stderr);
    const std::string log = err.text();
    EXPECT_EQ(ReadFile(elsewhere.file("victim")), "precious\n");
    EXPECT_NE(log.find("gwcfgd: cannot write the update history gwcfgd.history"), std::string::npos)
        << log;
}

}  // namespace
