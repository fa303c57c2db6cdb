// gwcfgd under a flood: 200,000 datagrams of random lengths (0..1500) and
// contents from several source sockets, among them commands and updates
// addressed to the daemon's MAC (TimeSync with dates after the build, with
// date characters that name no time and with hostile texts, ClrCfgBuf,
// Reboot, random names; updates with random blocks),
// discovery requests and datagrams of exactly the protocol's lengths. A
// separate source asks for discovery after every batch of the flood, which
// also keeps the flood within the daemon's receive buffer, so the kernel
// drops nothing. The daemon must answer every one of those requests, never
// crash, run through sudo only "date -s" with an acceptable text, and its
// resident memory after the flood must not exceed the value after the
// warm-up by more than 1 MiB. The rate limits are off: the flood is to
// reach the handler (the limits have their own tests).
//
// The figures (datagrams per second, VmRSS, discoveries answered) are
// printed and recorded as test properties. Under ASan the daemon keeps its
// full checking, quarantine included; what the quarantine holds after the
// flood stays well within the margin (about 0.25 MiB).

#include "config_protocol.h"
#include "daemon_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using gwdtest::Daemon;
using gwtest::TempDir;

namespace {

constexpr int kDatagrams = 200000;
constexpr int kWarmUp = 20000;
// Flood datagrams between two discovery round trips. A whole batch and the
// discovery request fit in the daemon's default receive buffer (212992
// bytes; a 1500-byte datagram takes about 4 KiB of it) even when the daemon
// gets no CPU until the batch is sent, so a busy machine drops nothing.
constexpr int kBatch = 25;
constexpr int kSources = 6;
constexpr long kSendBudgetMs = 100000;
constexpr long kRssMarginKb = 1024;

long NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// VmRSS of a process in kB, -1 when it cannot be read.
long VmRssKb(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Datagrams the kernel dropped at the UDP socket bound to 127.0.0.1:port
// (the last column of /proc/net/udp), -1 when the socket is not listed.
long KernelDrops(int port) {
    std::ifstream in("/proc/net/udp");
    std::string line;
    char want[32];
    snprintf(want, sizeof want, "0100007F:%04X", port);
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, field, last;
        fields >> slot >> local;
        if (local != want) continue;
        while (fields >> field)
            last = field;
        return std::atol(last.c_str());
    }
    return -1;
}

// What the flood holds, drawn from a fixed seed.
class Flood {
public:
    explicit Flood(const uint8_t mac[6]) : rng_(20240607) { memcpy(mac_, mac, 6); }

    std::vector<uint8_t> Next() {
        const unsigned pick = rng_() % 1000;
        if (pick < 10) return Command();
        if (pick < 15) return Update();
        if (pick < 20) {
            std::vector<uint8_t> d(SEARCH_COMMAND_LEN);
            gwblock::build_discovery_request(d.data());
            return d;
        }
        if (pick < 30) {
            static const size_t kLengths[] = {SEARCH_COMMAND_LEN, MESSAGE_COMMAND_LEN,
                                              UPDATE_COMMAND_LEN, SEARCH_FORMAT_LEN};
            return Random(kLengths[rng_() % 4]);
        }
        return Random(rng_() % 1501);
    }

    int acceptable_timesyncs() const { return timesyncs_; }

private:
    std::vector<uint8_t> Random(size_t len) {
        std::vector<uint8_t> d(len);
        for (auto &b : d)
            b = static_cast<uint8_t>(rng_());
        return d;
    }

    // A command for this MAC: TimeSync with an acceptable or a hostile
    // argument, ClrCfgBuf, Reboot, or a random name.
    std::vector<uint8_t> Command() {
        std::vector<uint8_t> d(MESSAGE_COMMAND_LEN);
        const unsigned kind = rng_() % 5;
        std::string name = kind < 2    ? gwproto::kCommandTimeSync
                           : kind == 2 ? gwproto::kCommandClear
                           : kind == 3 ? gwproto::kCommandReboot
                                       : "";
        std::string arg;
        if (kind == 4)
            for (size_t n = rng_() % 12; n > 0; --n)
                name.push_back(static_cast<char>(1 + rng_() % 255));
        if (kind == 0 && (rng_() & 1)) {
            // A time after any build: it runs.
            arg = "@" + std::to_string(4102444800u + rng_() % 100000000u);
            ++timesyncs_;
        } else if (kind == 0) {
            // Date characters that name no time the daemon can place (the
            // first word is a lone sign): refused, nothing runs.
            static const char kDate[] = "0123456789 :-";
            arg = "-";
            for (size_t n = rng_() % 19; n > 0; --n)
                arg.push_back(kDate[rng_() % (sizeof kDate - 1)]);
        } else if (kind == 1) {
            static const char *const kHostile[] = {"1; reboot", "$(reboot)",   "`id`", "a\"b",
                                                   "x|y",       "12 > /etc/x", "\\n",  "'q'"};
            arg = kHostile[rng_() % (sizeof kHostile / sizeof kHostile[0])];
        }
        const uint8_t *mac = mac_;
        uint8_t other[6];
        if (kind == 3 && (rng_() & 1)) {  // now and then a command for another gateway
            memcpy(other, mac_, 6);
            other[5] ^= 0x5A;
            mac = other;
        }
        memcpy(d.data() + gwproto::kCommandMacOffset, mac, gwproto::kMacSize);
        memcpy(d.data() + gwproto::kCommandTextOffset, name.data(),
               std::min(name.size(), gwproto::kCommandTextField));
        memcpy(d.data() + gwproto::kArgumentOffset, arg.data(),
               std::min(arg.size(), gwproto::kArgumentField));
        return d;
    }

    // An update for this MAC with a random block (the daemon refuses it).
    std::vector<uint8_t> Update() {
        std::vector<uint8_t> block = Random(gwblock::kBlockSize);
        if (rng_() & 1) memcpy(block.data(), gwblock::kMagic, 4);
        std::vector<uint8_t> d(UPDATE_COMMAND_LEN);
        gwblock::build_update(d.data(), mac_, block.data());
        return d;
    }

    std::mt19937 rng_;
    uint8_t mac_[6];
    int timesyncs_ = 0;
};

// One discovery round trip from `udp`: true when a valid reply for mac
// comes within timeout_ms.
bool Discovery(gwdtest::Udp &udp, int port, const uint8_t mac[6], int timeout_ms) {
    uint8_t req[SEARCH_COMMAND_LEN];
    gwblock::build_discovery_request(req);
    if (!udp.Send("127.0.0.1", port, req, sizeof req)) return false;
    const long until = NowMs() + timeout_ms;
    uint8_t buf[2048];
    for (long left = timeout_ms; left > 0; left = until - NowMs()) {
        const ssize_t n = udp.Recv(buf, sizeof buf, static_cast<int>(left));
        if (n < 0) return false;
        uint8_t from_mac[6];
        gwblock::BlockContents bc;
        std::string why;
        if (gwblock::parse_discovery_reply(buf, static_cast<size_t>(n), from_mac, &bc, &why) &&
            memcmp(from_mac, mac, 6) == 0)
            return true;
    }
    return false;
}

TEST(GwcfgdLoad, FloodOfRandomDatagramsNeitherCrashesNorGrowsAndDiscoveryIsAnswered) {
    gwtest::FakeSudo sudo;
    TempDir state;
    gwdtest::WriteFixtureSiteScripts(state.path());
    // No rate limits: the flood is to reach the handler.
    Daemon d(state.path(), {"--limit", "discovery=0/0", "--limit", "command=0/0", "--limit",
                            "update=0/0", "--limit", "other=0/0"});
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    const int pid = d.process().pid();
    const long rss_start = VmRssKb(pid);

    std::vector<std::unique_ptr<gwdtest::Udp>> sources;
    for (int i = 0; i < kSources; ++i)  // 127.0.0.1, 127.0.0.3, 127.0.0.4, ...
        sources.push_back(std::make_unique<gwdtest::Udp>(
            i == 0 ? "127.0.0.1" : "127.0.0." + std::to_string(i + 2)));
    for (auto &s : sources)  // their answers are not read; keep them small
        fcntl(s->fd(), F_SETFL, O_NONBLOCK);
    gwdtest::Udp asker("127.0.0.2");

    Flood flood(d.mac());
    int sent = 0, asked = 0, answered = 0;
    long rss_warm = -1;
    long warm_ms = 0;
    const long start = NowMs();
    while (sent < kDatagrams && NowMs() - start < kSendBudgetMs) {
        for (int i = 0; i < kBatch && sent < kDatagrams; ++i, ++sent) {
            const std::vector<uint8_t> dgram = flood.Next();
            sources[sent % kSources]->Send("127.0.0.1", d.port(), dgram.data(), dgram.size());
        }
        ++asked;
        if (Discovery(asker, d.port(), d.mac(), 5000)) {
            ++answered;
        } else {
            ADD_FAILURE() << "no answer to discovery request " << asked << " after " << sent
                          << " datagrams";
        }
        if (asked - answered > 3) break;
        if (rss_warm < 0 && sent >= kWarmUp) {
            rss_warm = VmRssKb(pid);
            warm_ms = NowMs();
        }
    }
    const long elapsed_ms = NowMs() - start;
    const long rss_end = VmRssKb(pid);
    const long drops = KernelDrops(d.port());
    const double rate = elapsed_ms > 0 ? sent * 1000.0 / elapsed_ms : 0;
    const double rate_after_warm =
        NowMs() > warm_ms ? (sent - kWarmUp) * 1000.0 / (NowMs() - warm_ms) : 0;

    printf(
        "gwcfgd load: %d datagrams in %ld ms (%.0f datagrams/s, %.0f after warm-up), "
        "%d acceptable TimeSyncs among them\n",
        sent, elapsed_ms, rate, rate_after_warm, flood.acceptable_timesyncs());
    printf(
        "gwcfgd load: VmRSS %ld kB at start, %ld kB after %d datagrams of warm-up, %ld kB "
        "after the flood\n",
        rss_start, rss_warm, kWarmUp, rss_end);
    printf("gwcfgd load: discovery answered %d of %d; kernel drops at the daemon's socket: %ld\n",
           answered, asked, drops);
    RecordProperty("datagrams", sent);
    RecordProperty("datagrams_per_second", static_cast<int>(rate));
    RecordProperty("vmrss_start_kb", static_cast<int>(rss_start));
    RecordProperty("vmrss_warm_kb", static_cast<int>(rss_warm));
    RecordProperty("vmrss_end_kb", static_cast<int>(rss_end));
    RecordProperty("discoveries_answered", answered);
    RecordProperty("discoveries_asked", asked);

    ASSERT_TRUE(d.process().Running()) << "gwcfgd died during the flood";
    ASSERT_EQ(sent, kDatagrams) << "the flood did not go through within " << kSendBudgetMs << " ms";
    EXPECT_EQ(answered, asked);
    EXPECT_EQ(drops, 0) << "the kernel dropped datagrams: the counts below are not exact";

    // The resident size after the flood stays within a small margin of the
    // size after the warm-up.
    ASSERT_GT(rss_warm, 0);
    EXPECT_LE(rss_end, rss_warm + kRssMarginKb);

    // Only the acceptable TimeSyncs reached sudo, each as "date -s <text>".
    const std::vector<std::string> calls = sudo.calls();
    for (const std::string &c : calls) {
        EXPECT_EQ(c.compare(0, 8, "date -s "), 0) << "sudo ran: " << c;
    }
    if (drops == 0) {
        EXPECT_EQ(static_cast<int>(calls.size()), flood.acceptable_timesyncs());
    }

    // Still in service, and it stops cleanly.
    EXPECT_TRUE(Discovery(asker, d.port(), d.mac(), 5000));
    EXPECT_EQ(d.Stop(), 0);
}

}  // namespace
