// gwcfgd against hostile neighbours: a second daemon or another process on
// its port, links planted where it writes, a state directory other accounts
// can write, an inherited umask of 000, forged log lines, floods from
// forged sources, sources outside the allow list.

#include "config_protocol.h"
#include "daemon_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using gwdtest::Daemon;
using gwtest::FileExists;
using gwtest::ReadFile;
using gwtest::TempDir;
using gwtest::WriteFile;

namespace {

const char kMac[] = "02:00:5e:10:00:01";

using gwtest::ScopedUmask;

mode_t ModeOf(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool IsLink(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// gwcfgd started to completion (it should refuse to start): its status and
// stderr.
int StartExpectingRefusal(const std::string &state_dir, int port, std::string *err) {
    return gwtest::RunProgram({gwdtest::DaemonPath(), "--mac", kMac, "--port", std::to_string(port),
                               "--state-dir", state_dir},
                              nullptr, err, 5000);
}

// An update that changes the server address, made from what the daemon
// answers now.
void SendAddressUpdate(Daemon &d, const std::string &address) {
    gwblock::BlockContents bc{};
    ASSERT_TRUE(gwdtest::Discover(d.port(), &bc)) << d.Log();
    std::string why;
    ASSERT_TRUE(gwblock::set_value(&bc, "gateway_conf.server_address", address, &why)) << why;
    gwdtest::SendUpdate(d.port(), d.mac(), bc);
}

long NowMs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// Any address of 127.0.0.0/8 is this machine's: one socket bound to the
// wildcard address sends from whichever of them it names (IP_PKTINFO) and
// receives the replies to all of them, each with the address it was sent
// to. So a test forges as many sources as it likes, on loopback only.
class Spoofer {
public:
    Spoofer() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        EXPECT_GE(fd_, 0);
        int big = 4 << 20, one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    }
    ~Spoofer() { close(fd_); }
    Spoofer(const Spoofer &) = delete;
    Spoofer &operator=(const Spoofer &) = delete;

    // Sends len bytes to 127.0.0.1:port from the address `from` (host
    // order, within 127.0.0.0/8).
    bool SendFrom(uint32_t from, int port, const void *data, size_t len) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        iovec iov{const_cast<void *>(data), len};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr msg{};
        msg.msg_name = &to;
        msg.msg_namelen = sizeof to;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(from);
        memcpy(CMSG_DATA(c), &info, sizeof info);
        return sendmsg(fd_, &msg, 0) == static_cast<ssize_t>(len);
    }

    // Takes every reply that has arrived, counting those of `size` bytes
    // in all and those sent to `victim` (host order).
    void Drain(size_t size, uint32_t victim) {
        for (;;) {
            uint8_t buf[2048];
            iovec iov{buf, sizeof buf};
            alignas(cmsghdr) char control[256];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(fd_, &msg, 0);
            if (n < 0) return;
            if (static_cast<size_t>(n) != size) continue;
            ++replies;
            for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
                in_pktinfo info;
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    memcpy(&info, CMSG_DATA(c), sizeof info);
                    if (ntohl(info.ipi_addr.s_addr) == victim) ++to_victim;
                }
            }
        }
    }

    // Drains until no reply came for quiet_ms.
    void DrainUntilQuiet(size_t size, uint32_t victim, int quiet_ms) {
        for (;;) {
            Drain(size, victim);
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, quiet_ms) != 1) return;
        }
    }

    int replies = 0;
    int to_victim = 0;

private:
    int fd_ = -1;
};

uint32_t Loopback(int b, int c, int d) {
    return (127u << 24) | (static_cast<uint32_t>(b) << 16) | (static_cast<uint32_t>(c) << 8) |
           static_cast<uint32_t>(d);
}

// ---------------------------------------------------------------------------
// One daemon per port and state directory

TEST(GwcfgdSecondStart, FailsWithStatus1AndNamesTheHolder) {
    TempDir state, other_state;
    Daemon first(state.path(), {}, {}, kMac);
    ASSERT_TRUE(first.WaitReady()) << first.Log();
    const std::string holder = "process " + std::to_string(first.process().pid()) + " (gwcfgd)";

    struct Attempt {
        const char *what;
        std::string dir;
        int port;
        const char *message;
    } attempts[] = {
        {"same state directory and port", state.path(), first.port(), "is in use by "},
        {"same state directory, other port", state.path(), gwdtest::FreePort(), "is in use by "},
        {"same port, other state directory", other_state.path(), first.port(), "held by "},
    };
    for (const Attempt &a : attempts) {
        SCOPED_TRACE(a.what);
        std::string err;
        EXPECT_EQ(StartExpectingRefusal(a.dir, a.port, &err), 1) << err;
        EXPECT_NE(err.find(std::string(a.message) + holder), std::string::npos) << err;
        EXPECT_EQ(err.find("serving"), std::string::npos) << err;
    }
    // The first one still serves, and its state directory is untouched.
    EXPECT_TRUE(first.WaitReady(2000));
    EXPECT_TRUE(first.process().Running());
    EXPECT_EQ(ReadFile(state.file("gwcfgd.lock")), std::to_string(first.process().pid()) + "\n");
}

// Another local process cannot bind the daemon's port, whatever options it
// sets, on the daemon's address or on the wildcard address.
TEST(GwcfgdSecondStart, NoOtherProcessCanTakeThePort) {
    TempDir state;
    Daemon d(state.path(), {}, {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    for (const char *ip : {"127.0.0.1", "0.0.0.0"}) {
        for (const int option : {SO_REUSEADDR, SO_REUSEPORT}) {
            SCOPED_TRACE(std::string(ip) +
                         (option == SO_REUSEADDR ? " SO_REUSEADDR" : " SO_REUSEPORT"));
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ASSERT_GE(fd, 0);
            int one = 1;
            setsockopt(fd, SOL_SOCKET, option, &one, sizeof one);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(d.port()));
            inet_pton(AF_INET, ip, &a.sin_addr);
            const int rc = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
            const int err = errno;
            close(fd);
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(err, EADDRINUSE);
        }
    }
}

// ---------------------------------------------------------------------------
// The state directory

class GwcfgdUnsafeStateDir : public ::testing::TestWithParam<mode_t> {};

TEST_P(GwcfgdUnsafeStateDir, IsRefusedAtStartWithAHint) {
    TempDir base;
    const std::string dir = base.file("state");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.c_str(), GetParam()), 0);
    std::string err;
    EXPECT_EQ(StartExpectingRefusal(dir, gwdtest::FreePort(), &err), 1) << err;
    EXPECT_NE(err.find("can be written by other accounts"), std::string::npos) << err;
    EXPECT_NE(err.find("chmod go-w " + dir), std::string::npos) << err;
    // Nothing was written there.
    EXPECT_FALSE(FileExists(dir + "/global_conf.json"));
    EXPECT_FALSE(FileExists(dir + "/gwcfgd.lock"));
}

INSTANTIATE_TEST_SUITE_P(Modes, GwcfgdUnsafeStateDir, ::testing::Values(0777, 0775, 0757, 01777),
                         [](const auto &info) {
                             char name[16];
                             snprintf(name, sizeof name, "Mode%04o", info.param);
                             return std::string(name);
                         });

TEST(GwcfgdStateDirOwner, AnotherAccountsDirectoryIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a directory to another account needs root";
    TempDir base;
    const std::string dir = base.file("state");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    std::string err;
    EXPECT_EQ(StartExpectingRefusal(dir, gwdtest::FreePort(), &err), 1) << err;
    EXPECT_NE(err.find("belongs to another account (uid 65534)"), std::string::npos) << err;
}

// ---------------------------------------------------------------------------
// Files

class GwcfgdFiles : public ::testing::Test {
protected:
    void SetUp() override { gwdtest::WriteFixtureSiteScripts(state.path()); }
    TempDir state;
    TempDir elsewhere;  // a file someone wants the daemon to overwrite
};

// A link planted where the stored block is written next is neither
// followed nor renamed into place: a plain gwcfgd.block.tmp is not used at
// all, and the daemon's own name is refused when something stands there.
TEST_F(GwcfgdFiles, PlantedLinkIsNeitherFollowedNorKept) {
    const std::string victim = elsewhere.file("victim");
    WriteFile(victim, "precious\n", 0644);
    Daemon d(state.path(), {}, {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();

    ASSERT_EQ(symlink(victim.c_str(), state.file("gwcfgd.block.tmp").c_str()), 0);
    SendAddressUpdate(d, "first.example");
    ASSERT_TRUE(d.WaitLog("update applied: revision 1")) << d.Log();
    EXPECT_EQ(ReadFile(victim), "precious\n");
    EXPECT_FALSE(IsLink(state.file("gwcfgd.block")));
    EXPECT_TRUE(IsLink(state.file("gwcfgd.block.tmp")));  // left alone

    const std::string own = state.file("gwcfgd.block.tmp." + std::to_string(d.process().pid()));
    ASSERT_EQ(symlink(victim.c_str(), own.c_str()), 0);
    SendAddressUpdate(d, "second.example");
    ASSERT_TRUE(d.WaitLog("update refused: cannot create gwcfgd.block.tmp.")) << d.Log();
    EXPECT_EQ(ReadFile(victim), "precious\n");
    EXPECT_FALSE(IsLink(state.file("gwcfgd.block")));
    gwblock::BlockContents stored{};
    std::string why;
    ASSERT_TRUE(gwdtest::ReadStoredBlock(state.path(), &stored, &why)) << why;
    EXPECT_EQ(stored.revision, 1u);
    EXPECT_STREQ(stored.gw.gateway_conf.server_address, "first.example");
}

// Under an inherited umask of 000 nothing the daemon creates is writable
// by others, and a global_conf.json that was loses the write bits.
TEST_F(GwcfgdFiles, InheritedUmaskDoesNotMakeFilesWritableByOthers) {
    WriteFile(state.file("global_conf.json"), "{}\n", 0666);
    ASSERT_EQ(chmod(state.file("global_conf.json").c_str(), 0666), 0);
    std::unique_ptr<Daemon> d;
    {
        ScopedUmask open_mask(0);
        d = std::make_unique<Daemon>(state.path(), std::vector<std::string>{},
                                     std::vector<std::string>{}, kMac);
    }
    ASSERT_TRUE(d->WaitReady()) << d->Log();
    SendAddressUpdate(*d, "umask.example");
    ASSERT_TRUE(d->WaitLog("update applied: revision 1")) << d->Log();
    for (const char *name : {"gwcfgd.block", "gwcfgd.lock"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ModeOf(state.file(name)), 0640u);
    }
    EXPECT_EQ(ModeOf(state.file("global_conf.json")), 0644u);
}

// What a killed daemon left between create and rename goes at the next
// start, in the state directory and where global_conf.json's link points;
// nothing else does.
TEST_F(GwcfgdFiles, StaleTemporaryFilesAreRemovedAtStart) {
    ASSERT_EQ(mkdir(elsewhere.file("fwd").c_str(), 0755), 0);
    WriteFile(elsewhere.file("fwd/global_conf.json"), "{}\n");
    ASSERT_EQ(symlink(elsewhere.file("fwd/global_conf.json").c_str(),
                      state.file("global_conf.json").c_str()),
              0);
    const std::vector<std::string> stale = {state.file("gwcfgd.block.tmp"),
                                            state.file("gwcfgd.block.tmp.4242"),
                                            state.file(".global_conf.json.4242.1a2b3c"),
                                            elsewhere.file("fwd/.global_conf.json.77.ff")};
    const std::vector<std::string> kept = {state.file("gwcfgd.block.tmpfile"),
                                           state.file("notes.txt"), elsewhere.file("fwd/other")};
    for (const auto &f : stale)
        WriteFile(f, "half");
    for (const auto &f : kept)
        WriteFile(f, "keep");

    Daemon d(state.path(), {}, {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    for (const auto &f : stale)
        EXPECT_FALSE(FileExists(f)) << f;
    for (const auto &f : kept)
        EXPECT_EQ(ReadFile(f), "keep") << f;
    EXPECT_EQ(gwdtest::Count(d.Log(), "left by an earlier run"), stale.size()) << d.Log();
    EXPECT_TRUE(IsLink(state.file("global_conf.json")));
}

// ---------------------------------------------------------------------------
// Logs

// Bytes from the network that are not printable ASCII reach the log as
// \xNN: a command text cannot forge a daemon line or clear a terminal.
TEST(GwcfgdLog, CommandTextCannotForgeALine) {
    TempDir state;
    Daemon d(state.path(), {}, {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    for (const std::string text : {"\ngwcfgd: OK\n", "\x1b[2J\x1b[H"}) {
        uint8_t dgram[MESSAGE_COMMAND_LEN] = {};
        memcpy(dgram + gwproto::kCommandMacOffset, d.mac(), gwproto::kMacSize);
        memcpy(dgram + gwproto::kCommandTextOffset, text.data(),
               text.size());  // up to 12 bytes, no NUL needed
        gwdtest::Udp udp;
        udp.Send("127.0.0.1", d.port(), dgram, sizeof dgram);
    }
    ASSERT_TRUE(d.WaitLog("\\x1B[2J\\x1B[H, len = 7")) << d.Log();
    const std::string log = d.Log();
    EXPECT_NE(log.find("\\x0Agwcfgd: OK\\x0A, len = 12"), std::string::npos) << log;
    for (const std::string &line : gwtest::SplitLines(log))
        EXPECT_NE(line, "gwcfgd: OK");
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
}

// ---------------------------------------------------------------------------
// Rate limits

// The reflection attack: requests forged with a victim's address,
// interleaved with thousands of other forged sources that push the
// victim's entry out of the daemon's table. Whatever the sources, the
// victim gets about its own rate of answers and all sources together about
// the total, with the default limits (20 per source, 200 in all).
TEST(GwcfgdSpoofedFlood, AnswersStayWithinThePerSourceAndTotalLimits) {
    TempDir state;
    Daemon d(state.path(), {}, {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    Spoofer spoofer;
    const uint32_t victim = Loopback(0, 0, 77);
    uint8_t req[SEARCH_COMMAND_LEN];
    gwblock::build_discovery_request(req);

    constexpr int kRounds = 5, kSources = 2048, kVictimPerRound = 30, kBatch = 128;
    const long start = NowMs();
    int sent = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kSources; ++i) {
            spoofer.SendFrom(Loopback(10 + round, i >> 8, i & 0xFF), d.port(), req, sizeof req);
            if (++sent % kBatch == 0) {  // within the daemon's receive buffer
                spoofer.Drain(SEARCH_FORMAT_LEN, victim);
                usleep(2000);
            }
        }
        for (int i = 0; i < kVictimPerRound; ++i)
            spoofer.SendFrom(victim, d.port(), req, sizeof req);
        usleep(5000);
        spoofer.Drain(SEARCH_FORMAT_LEN, victim);
    }
    spoofer.DrainUntilQuiet(SEARCH_FORMAT_LEN, victim, 300);
    const double seconds = (NowMs() - start) / 1000.0;
    RecordProperty("answers", spoofer.replies);
    RecordProperty("answers_to_victim", spoofer.to_victim);
    printf("spoofed flood: %d requests from %d sources in %.2f s: %d answers, %d to the victim\n",
           kRounds * (kSources + kVictimPerRound), kRounds * kSources + 1, seconds, spoofer.replies,
           spoofer.to_victim);

    EXPECT_LE(spoofer.replies, 200 + static_cast<int>(200 * seconds) + 5);
    // A full bucket once, its refill, and one token each time it came back.
    EXPECT_LE(spoofer.to_victim, 20 + static_cast<int>(20 * seconds) + kRounds);
    EXPECT_NE(d.Log().find("discovery requests per second in all; dropping the excess"),
              std::string::npos);
    // Still answering its own.
    EXPECT_TRUE(d.WaitReady(3000));
}

// A flood of one kind from one source: the burst of its bucket reaches the
// handler, the rest is dropped before it with one line, and one line says
// how many when the source's datagrams pass again.
struct KindFlood {
    const char *name;
    const char *noun;
    int per_source;
    std::vector<uint8_t> (*datagram)(const uint8_t mac[6]);
    const char *handled;  // a handler line that marks each datagram handled
};

void PrintTo(const KindFlood &k, std::ostream *os) { *os << k.name; }

std::vector<uint8_t> RebootCommand(const uint8_t mac[6]) {
    std::vector<uint8_t> d(MESSAGE_COMMAND_LEN);
    gwblock::build_command(d.data(), mac, "Reboot", "");
    return d;
}

std::vector<uint8_t> StaleUpdate(const uint8_t mac[6]) {
    gwblock::BlockContents bc{};
    bc.revision = 41;  // never the daemon's
    uint8_t block[gwblock::kBlockSize];
    gwblock::encode(bc, block);
    std::vector<uint8_t> d(UPDATE_COMMAND_LEN);
    gwblock::build_update(d.data(), mac, block);
    return d;
}

std::vector<uint8_t> Junk(const uint8_t *) { return std::vector<uint8_t>(25, 0x41); }

class GwcfgdKindFlood : public ::testing::TestWithParam<KindFlood> {};

TEST_P(GwcfgdKindFlood, KeepsOneSourceToItsRate) {
    const KindFlood &k = GetParam();
    TempDir state;
    Daemon d(state.path(), {}, {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    Spoofer spoofer;
    const uint32_t source = Loopback(0, 0, 88);
    const std::vector<uint8_t> dgram = k.datagram(d.mac());

    const int count = 4 * k.per_source;
    const long start = NowMs();
    for (int i = 0; i < count; ++i)
        spoofer.SendFrom(source, d.port(), dgram.data(), dgram.size());
    const long send_ms = NowMs() - start;
    ASSERT_TRUE(d.WaitLog(std::string("more than ") + std::to_string(k.per_source) + " " + k.noun +
                          " per second from 127.0.0.88; dropping the excess"))
        << d.Log();
    usleep(200 * 1000);
    const int handled = static_cast<int>(gwdtest::Count(d.Log(), k.handled));
    EXPECT_GE(handled, k.per_source);
    EXPECT_LE(handled, k.per_source + 1 + static_cast<int>((send_ms + 200) * k.per_source / 1000));

    // After a second the source's datagrams pass again, and the log says
    // how many were dropped.
    usleep(1100 * 1000);
    spoofer.SendFrom(source, d.port(), dgram.data(), dgram.size());
    EXPECT_TRUE(d.WaitLog(std::string("handling ") + k.noun + " from 127.0.0.88 again (" +
                          std::to_string(count - handled) + " dropped)"))
        << d.Log();
    EXPECT_EQ(gwdtest::Count(d.Log(), "dropping the excess"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, GwcfgdKindFlood,
                         ::testing::Values(KindFlood{"Command", "command datagrams", 5,
                                                     RebootCommand, "Reboot Command Received."},
                                           KindFlood{"Update", "update datagrams", 2, StaleUpdate,
                                                     "UPDATE_COMMAND_LEN(1048)"},
                                           KindFlood{"Other", "other datagrams", 20, Junk,
                                                     "Unknown command, len = 25"}),
                         [](const auto &info) {
                             return std::string(info.param.name);
                         });

// TimeSyncs from many (forged) sources, with a date command that takes
// 0.2 s: at most the command total runs per second, so a discovery request
// sent behind them is answered soon, not after all of them.
TEST(GwcfgdSlowTimeSync, FloodDoesNotHoldDiscoveryBack) {
    TempDir bin, state;
    const std::string log = bin.file("calls");
    WriteFile(bin.file("sudo"), "#!/bin/sh\nsleep 0.2\nprintf '%s\\n' \"$*\" >> '" + log + "'\n",
              0755);
    const char *path = getenv("PATH");
    Daemon d(state.path(), {}, {"PATH=" + bin.path() + ":" + (path ? path : "/usr/bin:/bin")},
             kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();

    Spoofer spoofer;
    uint8_t cmd[MESSAGE_COMMAND_LEN];
    ASSERT_TRUE(gwblock::build_command(cmd, d.mac(), "TimeSync", "@4102444800"));
    constexpr int kCommands = 50;
    for (int i = 0; i < kCommands; ++i)
        spoofer.SendFrom(Loopback(3, 0, i + 1), d.port(), cmd, sizeof cmd);

    gwdtest::Udp asker("127.0.0.66");
    uint8_t req[SEARCH_COMMAND_LEN];
    gwblock::build_discovery_request(req);
    const long start = NowMs();
    ASSERT_TRUE(asker.Send("127.0.0.1", d.port(), req, sizeof req));
    uint8_t reply[2048];
    const ssize_t n = asker.Recv(reply, sizeof reply, 15000);
    const long waited = NowMs() - start;
    RecordProperty("discovery_wait_ms", static_cast<int>(waited));
    EXPECT_EQ(n, SEARCH_FORMAT_LEN);
    EXPECT_LT(waited, 2500) << "the discovery request waited behind the TimeSyncs";
    ASSERT_TRUE(d.WaitLog("command datagrams per second in all; dropping the excess")) << d.Log();
    usleep(300 * 1000);
    const size_t ran = gwtest::SplitLines(FileExists(log) ? ReadFile(log) : "").size();
    printf(
        "slow TimeSync flood: %d commands, %zu ran the date command, discovery answered "
        "after %ld ms\n",
        kCommands, ran, waited);
    RecordProperty("date_commands_run", static_cast<int>(ran));
    EXPECT_GE(ran, 1u);
    EXPECT_LE(ran, 5u + 2u);
}

// ---------------------------------------------------------------------------
// The audit trail

// Every update that reaches the daemon is in its history with its source;
// a flood of refused ones (no limit here, so all of them reach it) takes
// its budget of lines and one count, and the applied update stays.
TEST(GwcfgdHistory, RecordsEachUpdateWithItsSourceAndOutlastsAFlood) {
    TempDir state;
    gwdtest::WriteFixtureSiteScripts(state.path());
    Daemon d(state.path(), {"--limit", "update=0/0"}, {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();

    gwblock::BlockContents bc{};
    ASSERT_TRUE(gwdtest::Discover(d.port(), &bc)) << d.Log();
    std::string why;
    ASSERT_TRUE(gwblock::set_value(&bc, "gateway_conf.server_address", "audit.example", &why));
    uint8_t block[gwblock::kBlockSize];
    gwblock::encode(bc, block);  // made from revision 0
    uint8_t dgram[UPDATE_COMMAND_LEN];
    gwblock::build_update(dgram, d.mac(), block);
    gwdtest::Udp tool;
    sockaddr_in me{};
    socklen_t len = sizeof me;
    ASSERT_EQ(getsockname(tool.fd(), reinterpret_cast<sockaddr *>(&me), &len), 0);
    const std::string source = "127.0.0.1:" + std::to_string(ntohs(me.sin_port));
    ASSERT_TRUE(tool.Send("127.0.0.1", d.port(), dgram, sizeof dgram));
    ASSERT_TRUE(d.WaitLog("update applied: revision 1")) << d.Log();

    // The same block again and again: its revision is stale now. The
    // kernel may drop some at the daemon's socket; what reached it counts.
    for (int i = 0; i < 200; ++i) {
        tool.Send("127.0.0.1", d.port(), dgram, sizeof dgram);
        if (i % 10 == 9) usleep(5000);
    }
    // Settled once the count stays the same over three log flushes.
    size_t refused = 0;
    for (int waited = 0; waited < 10000; waited += 300) {
        usleep(300 * 1000);
        const size_t now = gwdtest::Count(d.Log(), "update refused");
        if (now == refused && now > 0) break;
        refused = now;
    }
    EXPECT_EQ(d.Stop(), 0);
    ASSERT_GT(refused, 20u);

    const std::vector<std::string> lines =
        gwtest::SplitLines(ReadFile(state.file("gwcfgd.history")));
    // The source's budget is 20 entries, its applied update included, and
    // one line counts the rest.
    ASSERT_EQ(lines.size(), 20u + 1u) << ReadFile(state.file("gwcfgd.history"));
    EXPECT_NE(lines[0].find("Z " + source + " applied 0 -> 1 changed: gateway_conf.server_address"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("Z " + source +
                            " refused 1 -> 1 reason: it was made from revision 0 "
                            "but the configuration is at revision 1"),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines.back().find(" - skipped " + std::to_string(refused - 19) + " refused updates"),
              std::string::npos)
        << lines.back();
    EXPECT_EQ(ModeOf(state.file("gwcfgd.history")) & 0022, 0u);
}

// ---------------------------------------------------------------------------
// The allow list

TEST(GwcfgdAllowFrom, DropsOtherSourcesBeforeTheHandler) {
    TempDir state;
    Daemon d(state.path(), {"--allow-from", "127.0.0.0/30", "--allow-from", "127.0.0.9,10.0.0.0/8"},
             {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();  // from 127.0.0.1
    Spoofer spoofer;
    uint8_t req[SEARCH_COMMAND_LEN];
    gwblock::build_discovery_request(req);
    for (int last : {2, 9, 5, 4, 130})
        spoofer.SendFrom(Loopback(0, 0, last), d.port(), req, sizeof req);
    spoofer.DrainUntilQuiet(SEARCH_FORMAT_LEN, Loopback(0, 0, 9), 300);
    EXPECT_EQ(spoofer.replies, 2);
    EXPECT_EQ(spoofer.to_victim, 1);  // 127.0.0.9

    ASSERT_TRUE(
        d.WaitLog("dropping datagrams from 127.0.0.5 and every other source outside "
                  "--allow-from"))
        << d.Log();
    const std::string log = d.Log();
    for (const char *outside : {"127.0.0.5,", "127.0.0.4,", "127.0.0.130,"})
        EXPECT_EQ(log.find(std::string("Receive from ") + outside), std::string::npos) << outside;
    EXPECT_EQ(gwdtest::Count(log, "outside --allow-from"), 1u);
}

// ---------------------------------------------------------------------------
// --timesync unsynchronised: TimeSync runs only while the kernel does not
// report the clock synchronised. The test cannot change that state (it is
// the machine's), so it checks the daemon against what the kernel reports.

TEST(GwcfgdTimeSyncWhen, UnsynchronisedFollowsTheKernelsClockState) {
    timex tx{};
    const int state_now = ntp_adjtime(&tx);
    const bool synchronised = state_now != -1 && state_now != TIME_ERROR &&
                              !(tx.status & STA_UNSYNC);
    gwtest::FakeSudo sudo;
    TempDir state;
    Daemon d(state.path(), {"--timesync", "unsynchronised"}, {}, kMac);
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    uint8_t cmd[MESSAGE_COMMAND_LEN];
    ASSERT_TRUE(gwblock::build_command(cmd, d.mac(), "TimeSync", "20991207 09:05:03"));
    gwdtest::Udp udp;
    udp.Send("127.0.0.1", d.port(), cmd, sizeof cmd);
    ASSERT_TRUE(d.WaitLog("TimeSync, len = 8")) << d.Log();
    if (synchronised) {
        EXPECT_NE(d.Log().find("[TimeSync]refused: the clock is synchronised by NTP; nothing was "
                               "run"),
                  std::string::npos)
            << d.Log();
        EXPECT_TRUE(sudo.calls().empty());
    } else {
        EXPECT_TRUE(gwdtest::WaitFor(
            [&] {
                return !sudo.calls().empty();
            },
            3000))
            << d.Log();
        EXPECT_EQ(sudo.calls(), std::vector<std::string>{"date -s 20991207 09:05:03"});
    }
    RecordProperty("clock_synchronised", synchronised ? 1 : 0);
}

}  // namespace
