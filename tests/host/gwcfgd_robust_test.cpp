// gwcfgd under pressure: a burst of discovery requests from one source
// (the reflection limit), and SIGKILL in the middle of a stream of updates.

#include "daemon_harness.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

using gwdtest::Daemon;
using gwtest::TempDir;

namespace {

long NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// Sends `count` discovery requests from `from` as fast as it can, then
// collects replies for a while; returns how many came back and how long the
// sending took.
int Burst(int port, const std::string &from, int count, long *send_ms) {
    gwdtest::Udp udp(from);
    uint8_t req[SEARCH_COMMAND_LEN];
    gwblock::build_discovery_request(req);
    const long start = NowMs();
    for (int i = 0; i < count; ++i)
        udp.Send("127.0.0.1", port, req, sizeof req);
    *send_ms = NowMs() - start;
    int replies = 0;
    uint8_t buf[2048];
    while (udp.Recv(buf, sizeof buf, 300) == SEARCH_FORMAT_LEN)
        ++replies;
    return replies;
}

TEST(GwcfgdDiscoveryLimit, AnswersAboutTheRatePerSourceAndDropsTheRestUnhandled) {
    TempDir state;
    Daemon d(state.path());  // default: 20 per second
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    // Let the bucket that WaitReady used fill up again.
    usleep(1100 * 1000);
    const size_t handled_before = gwdtest::Count(d.Log(), "Receive from 127.0.0.1,");

    long send_ms = 0;
    const int answered = Burst(d.port(), "127.0.0.1", 100, &send_ms);
    ASSERT_LT(send_ms, 500) << "the burst was too slow to measure the limit";
    // 20 at once, plus what refills while the burst and the replies run.
    EXPECT_GE(answered, 20);
    EXPECT_LE(answered, 20 + 1 + static_cast<int>((send_ms + 350) * 20 / 1000));
    RecordProperty("answered_of_100", answered);

    // The handler saw only the answered ones.
    ASSERT_TRUE(d.WaitLog("dropping the excess")) << d.Log();
    const std::string log = d.Log();
    EXPECT_EQ(gwdtest::Count(log, "Receive from 127.0.0.1,") - handled_before,
              static_cast<size_t>(answered));
    EXPECT_EQ(gwdtest::Count(log, "dropping the excess"), 1u);

    // Another source has its own budget.
    long other_ms = 0;
    EXPECT_EQ(Burst(d.port(), "127.0.0.2", 3, &other_ms), 3);

    // After a second the first source is answered again, and the log says
    // how many were dropped.
    usleep(1100 * 1000);
    EXPECT_EQ(Burst(d.port(), "127.0.0.1", 1, &other_ms), 1);
    EXPECT_TRUE(d.WaitLog("answering discovery requests from 127.0.0.1 again (" +
                          std::to_string(100 - answered) + " dropped)"))
        << d.Log();
}

TEST(GwcfgdDiscoveryLimit, RateZeroAnswersEveryRequest) {
    TempDir state;
    Daemon d(state.path(), {"--discovery-rate", "0"});
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    long send_ms = 0;
    EXPECT_EQ(Burst(d.port(), "127.0.0.1", 60, &send_ms), 60);
}

// Kills the daemon at a random moment while updates stream in, several
// times. Whatever the moment, the stored block is a whole block (its CRC
// holds) and global_conf.json is a complete document, and the restarted
// daemon carries on from the stored revision.
TEST(GwcfgdCrash, SigkillDuringUpdatesLeavesWholeFiles) {
    TempDir state;
    const int port = gwdtest::FreePort();
    std::mt19937 rng(12345);
    uint32_t last_revision = 0;
    uint32_t round_start_freq = 0;
    int applied_total = 0;
    const long deadline = NowMs() + 40000;
    for (int round = 0; round < 6 && NowMs() < deadline; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // No update limit: as many updates as possible are in flight when
        // the kill comes.
        Daemon d(state.path(), {"--limit", "update=0/0"}, {}, "02:00:5e:10:00:01", port);
        gwblock::BlockContents bc{};
        ASSERT_TRUE(gwdtest::Discover(port, &bc)) << d.Log();
        // The restarted daemon starts from what was stored last.
        EXPECT_GE(bc.revision, last_revision);

        std::atomic<bool> killed{false};
        const int kill_after_ms = 30 + static_cast<int>(rng() % 250);
        std::thread killer([&] {
            usleep(kill_after_ms * 1000);
            d.process().Signal(SIGKILL);
            killed = true;
        });
        // Each update is made from the revision just read back, so every
        // one that arrives before the kill is applied.
        int sent = 0;
        while (!killed && sent < 2000) {
            std::string why;
            gwblock::set_value(&bc, "gateway_conf.server_address",
                               "srv-" + std::to_string(round) + "-" + std::to_string(sent) +
                                   ".example",
                               &why);
            bc.gw.radios[1].freq = 868000000u + static_cast<uint32_t>(sent);
            gwdtest::SendUpdate(port, d.mac(), bc);
            ++sent;
            gwblock::BlockContents now{};
            if (!gwdtest::Discover(port, &now, 300)) break;
            bc = now;
        }
        killer.join();
        EXPECT_EQ(d.process().Wait(5000), 128 + SIGKILL);

        gwblock::BlockContents stored{};
        std::string why;
        if (gwtest::FileExists(state.file("gwcfgd.block"))) {
            ASSERT_TRUE(gwdtest::ReadStoredBlock(state.path(), &stored, &why)) << why;
            EXPECT_GE(stored.revision, last_revision);
            applied_total += static_cast<int>(stored.revision - last_revision);
            last_revision = stored.revision;
        }
        Json::Value conf;
        ASSERT_TRUE(gwdtest::ReadGlobalConf(state.path(), &conf)) << "global_conf.json incomplete";
        for (const char *section : {"SX1301_conf", "gateway_conf", "serverIP_conf"})
            EXPECT_TRUE(conf[section].isObject()) << section;
        // The file is at most one update away from the stored block: the
        // same update, the one after it (an update writes the file, then
        // commits the block; the next start writes the file again from the
        // block, checked below), the one before it, or what the round
        // started from.
        const uint32_t file_freq = conf["SX1301_conf"]["radio_1"]["freq"].asUInt();
        const uint32_t stored_freq = stored.gw.radios[1].freq;
        EXPECT_TRUE(file_freq == stored_freq || file_freq == stored_freq + 1 ||
                    file_freq + 1 == stored_freq || file_freq == round_start_freq)
            << file_freq << " vs " << stored_freq;
        round_start_freq = stored_freq;
    }
    RecordProperty("updates_applied", applied_total);
    EXPECT_GT(applied_total, 0) << "no update reached the daemon before the kills";

    // A last start: the stored revision is served and the file matches it.
    Daemon d(state.path(), {}, {}, "02:00:5e:10:00:01", port);
    gwblock::BlockContents bc{};
    ASSERT_TRUE(gwdtest::Discover(port, &bc)) << d.Log();
    EXPECT_EQ(bc.revision, last_revision);
    Json::Value conf;
    ASSERT_TRUE(gwdtest::ReadGlobalConf(state.path(), &conf));
    EXPECT_EQ(conf["gateway_conf"]["server_address"].asString(),
              std::string(bc.gw.gateway_conf.server_address));
}

}  // namespace
