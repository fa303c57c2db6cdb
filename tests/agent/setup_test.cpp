// The datagram service against a real loopback peer: every request is sent
// from a test socket to the agent's socket, then handled by one call of
// process_client_event(); what the handler logs on stderr and what arrives
// back at the peer are checked byte for byte.

#include "agent.h"
#include "config_protocol.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

using gwtest::CaptureFd;
using gwtest::FakeSudo;
using gwtest::FileExists;
using gwtest::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

// What the host functions saw.
struct HostRecord {
    Bytes block = Bytes(UPDATE_PAYLOAD_SIZE, 0);  // what getDeviceConfig hands out
    int get_calls = 0;
    bool get_area_was_zero = true;
    int set_calls = 0;
    Bytes last_set;
};
HostRecord g_host;

// time() is faked at link time so the date text can be checked for any
// year; 0 means "the real clock".
time_t g_fake_now = 0;

}  // namespace

extern "C" int getDeviceConfig(uint8_t *block) {
    ++g_host.get_calls;
    for (int i = 0; i < UPDATE_PAYLOAD_SIZE; ++i)
        g_host.get_area_was_zero = g_host.get_area_was_zero && block[i] == 0;
    memcpy(block, g_host.block.data(), UPDATE_PAYLOAD_SIZE);
    return 0;
}

extern "C" int setDeviceConfig(const uint8_t *block) {
    ++g_host.set_calls;
    g_host.last_set.assign(block, block + UPDATE_PAYLOAD_SIZE);
    return 0;
}

extern "C" int NetMACAddressGet(uint8_t *mac) {
    memcpy(mac, kMac, 6);
    return 0;
}

extern "C" time_t time(time_t *out) {
    time_t now = g_fake_now;
    if (now == 0) {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        now = ts.tv_sec;
    }
    if (out) *out = now;
    return now;
}

namespace {

std::string Lines(const std::vector<std::string> &lines) {
    // Every format of the handler ends in "\n" and the debug print adds
    // another, so each message is followed by an empty line.
    std::string out;
    for (const auto &l : lines)
        out += l + "\n\n";
    return out;
}

int BoundUdpSocket(sockaddr_in *addr) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *addr = a;
    return fd;
}

Bytes Discovery() {
    Bytes d(SEARCH_COMMAND_LEN, 0);
    memcpy(d.data(), SEARCH_MAGIC, SEARCH_MAGIC_LEN);
    return d;
}

Bytes Command(const std::string &cmd, const std::string &arg = "", const uint8_t *mac = kMac) {
    Bytes d(MESSAGE_COMMAND_LEN, 0);
    memcpy(d.data() + gwproto::kCommandMacOffset, mac, gwproto::kMacSize);
    memcpy(d.data() + gwproto::kCommandTextOffset, cmd.data(),
           std::min(cmd.size(), gwproto::kCommandTextField));
    memcpy(d.data() + gwproto::kArgumentOffset, arg.data(),
           std::min(arg.size(), gwproto::kArgumentField));
    return d;
}

Bytes Update(const Bytes &block, const uint8_t *mac = kMac) {
    Bytes d(UPDATE_COMMAND_LEN, 0);
    memcpy(d.data() + gwproto::kUpdateMacOffset, mac, gwproto::kMacSize);
    memcpy(d.data() + gwproto::kUpdateBlockOffset, block.data(), UPDATE_PAYLOAD_SIZE);
    return d;
}

class DatagramService : public ::testing::Test {
protected:
    void SetUp() override {
        g_host = HostRecord{};
        memset(saGetEqpConfigPtr(), 0, sizeof(EqpConfig));
        memcpy(saGetEqpConfigPtr()->mac, kMac, 6);
        agent_fd_ = BoundUdpSocket(&agent_addr_);
        peer_fd_ = BoundUdpSocket(&peer_addr_);
        ASSERT_GE(agent_fd_, 0);
        ASSERT_GE(peer_fd_, 0);
    }
    void TearDown() override {
        close(agent_fd_);
        close(peer_fd_);
    }

    // Sends one datagram from the peer and lets the handler take it;
    // returns what the handler wrote on stderr.
    std::string Handle(const Bytes &dgram) {
        EXPECT_EQ(sendto(peer_fd_, dgram.data(), dgram.size(), 0,
                         reinterpret_cast<sockaddr *>(&agent_addr_), sizeof agent_addr_),
                  static_cast<ssize_t>(dgram.size()));
        pollfd p{agent_fd_, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 2000), 1) << "datagram did not arrive";
        CaptureFd err(2);
        process_client_event(agent_fd_);
        return err.text();
    }

    // The next datagram that reached the peer, if one comes within the wait.
    bool Reply(Bytes *out, int wait_ms = 100) {
        pollfd p{peer_fd_, POLLIN, 0};
        if (poll(&p, 1, wait_ms) != 1) return false;
        Bytes buf(2048);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(peer_fd_, buf.data(), buf.size(), 0,
                             reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0) return false;
        EXPECT_EQ(from.sin_port, agent_addr_.sin_port) << "reply not sent from the agent socket";
        buf.resize(static_cast<size_t>(n));
        *out = buf;
        return true;
    }

    std::string ReceiveLine() const {
        return "process_client_event():Receive from 127.0.0.1, port " +
               std::to_string(ntohs(peer_addr_.sin_port));
    }

    int agent_fd_ = -1;
    int peer_fd_ = -1;
    sockaddr_in agent_addr_{};
    sockaddr_in peer_addr_{};
};

// ---------------------------------------------------------------------------
// Discovery

TEST_F(DatagramService, DiscoveryIsAnsweredWithMarkerMacBlockAndChecksum) {
    for (int i = 0; i < UPDATE_PAYLOAD_SIZE; ++i)
        g_host.block[i] = static_cast<uint8_t>(i * 7);
    g_host.block[0] = 0x12;

    std::string log = Handle(Discovery());

    uint8_t sum = 0;
    for (uint8_t b : g_host.block)
        sum = static_cast<uint8_t>(sum + b);
    char sumtext[8];
    snprintf(sumtext, sizeof sumtext, "%02X", sum);
    EXPECT_EQ(log,
              Lines({ReceiveLine(), "service_ip = 00000000, service_port = 0, service_type = 0",
                     std::string("checksum = ") + sumtext,
                     "sendto() buffer size = 1033(actual = 1033)"}));

    Bytes reply;
    ASSERT_TRUE(Reply(&reply));
    ASSERT_EQ(reply.size(), 1033u);
    EXPECT_EQ(reply[0], 'V');
    EXPECT_EQ(Bytes(reply.begin() + 1, reply.begin() + 7), Bytes(kMac, kMac + 6));
    EXPECT_EQ(reply[7], 0);
    EXPECT_EQ(Bytes(reply.begin() + gwproto::kReplyBlockOffset,
                    reply.begin() + gwproto::kReplyChecksumOffset),
              g_host.block);
    EXPECT_EQ(reply[1032], sum);
    EXPECT_EQ(g_host.get_calls, 1);
    EXPECT_TRUE(g_host.get_area_was_zero) << "getDeviceConfig must get a cleared area";
    EXPECT_EQ(g_host.set_calls, 0);
}

struct ChecksumCase {
    const char *name;
    void (*fill)(Bytes &);
    uint8_t mac_first;
    uint8_t expected;
};

class DiscoveryChecksum : public DatagramService,
                          public ::testing::WithParamInterface<ChecksumCase> {};

TEST_P(DiscoveryChecksum, CoversExactlyTheBlock) {
    GetParam().fill(g_host.block);
    saGetEqpConfigPtr()->mac[0] = GetParam().mac_first;
    Handle(Discovery());
    Bytes reply;
    ASSERT_TRUE(Reply(&reply));
    ASSERT_EQ(reply.size(), 1033u);
    EXPECT_EQ(reply[1032], GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Blocks, DiscoveryChecksum,
                         ::testing::Values(ChecksumCase{"AllZero", [](Bytes &) {}, 0x00, 0x00},
                                           ChecksumCase{"FirstAndLast",
                                                        [](Bytes &b) {
                                                            b[0] = 0x12;
                                                            b[1023] = 0xF0;
                                                        },
                                                        0x00, 0x02},
                                           ChecksumCase{"AllEqualBytes",
                                                        [](Bytes &b) {
                                                            std::fill(b.begin(), b.end(), 0xAB);
                                                        },
                                                        0x00, 0x00},
                                           ChecksumCase{"MacDoesNotCount",
                                                        [](Bytes &b) {
                                                            b[0] = 0x12;
                                                            b[1023] = 0xF0;
                                                        },
                                                        0xFE, 0x02}),
                         [](const auto &info) {
                             return std::string(info.param.name);
                         });

TEST_F(DatagramService, DiscoveryOfAnAllZeroBlockIsMarkerMacAndZeros) {
    Handle(Discovery());
    Bytes reply;
    ASSERT_TRUE(Reply(&reply));
    Bytes expected(1033, 0);
    expected[0] = 'V';
    memcpy(expected.data() + 1, kMac, 6);
    EXPECT_EQ(reply, expected);
}

TEST_F(DatagramService, DiscoveryIgnoresTheBytesAfterTheMagic) {
    Bytes d = Discovery();
    for (size_t i = 15; i < d.size(); ++i)
        d[i] = static_cast<uint8_t>(0xC0 + i);
    Handle(d);
    Bytes reply;
    EXPECT_TRUE(Reply(&reply));
}

TEST_F(DatagramService, DiscoveryWithoutTheTrailingSpaceOfTheMagicIsDropped) {
    Bytes d = Discovery();
    d[14] = '\0';
    EXPECT_EQ(Handle(d), Lines({ReceiveLine()}));
    Bytes reply;
    EXPECT_FALSE(Reply(&reply));
    EXPECT_EQ(g_host.get_calls, 0);
}

TEST_F(DatagramService, DiscoveryReplyThatCannotBeSentLogsTheErrno) {
    signal(SIGPIPE, SIG_IGN);
    const Bytes d = Discovery();
    ASSERT_EQ(sendto(peer_fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&agent_addr_),
                     sizeof agent_addr_),
              24);
    pollfd p{agent_fd_, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    shutdown(agent_fd_, SHUT_WR);  // the datagram is still readable, a send fails with EPIPE
    CaptureFd err(2);
    process_client_event(agent_fd_);
    std::string log = err.text();
    EXPECT_NE(log.find(Lines({"sendto() buffer size = 1033(actual = -1)",
                              "errno = " + std::to_string(EPIPE)})),
              std::string::npos)
        << log;
}

// ---------------------------------------------------------------------------
// Classification by length

class UnknownLength : public DatagramService, public ::testing::WithParamInterface<size_t> {};

TEST_P(UnknownLength, IsLoggedAndDropped) {
    Bytes d(GetParam(), 0);
    if (d.size() >= SEARCH_MAGIC_LEN) memcpy(d.data(), SEARCH_MAGIC, SEARCH_MAGIC_LEN);
    if (d.size() >= gwproto::kCommandMacOffset + gwproto::kMacSize)
        memcpy(d.data() + gwproto::kCommandMacOffset, kMac, gwproto::kMacSize);
    const size_t seen = std::min<size_t>(GetParam(), RECV_BUF_SIZE);
    EXPECT_EQ(Handle(d), Lines({ReceiveLine(), "Unknown command, len = " + std::to_string(seen)}));
    Bytes reply;
    EXPECT_FALSE(Reply(&reply));
    EXPECT_EQ(g_host.get_calls + g_host.set_calls, 0);
}

// 1500 bytes arrive cut to the 1200 that are read.
INSTANTIATE_TEST_SUITE_P(Lengths, UnknownLength,
                         ::testing::Values(0, 1, 23, 25, 79, 81, 1047, 1049, 1200, 1500));

TEST_F(DatagramService, FailedReceiveLogsOneLineWithTheErrno) {
    // Nothing is queued on a non-blocking socket: the receive fails with
    // EAGAIN and nothing else may happen.
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    CaptureFd err(2);
    process_client_event(fd);
    std::string log = err.text();
    close(fd);
    EXPECT_EQ(log, Lines({"process_client_event():recvfrom() failed, errno = " +
                          std::to_string(EAGAIN)}));
    EXPECT_EQ(g_host.get_calls + g_host.set_calls, 0);
}

// ---------------------------------------------------------------------------
// Commands

std::vector<std::string> CommandHead() {
    return {"MESSAGE_COMMAND_LEN(80)",
            "service_port = 00000000, service_port = 0, service_type = 0",
            "REQ:mac_addr[0] = 00, mac_addr[1] = 11, mac_addr[2] = 22",
            "REQ:mac_addr[3] = 33, mac_addr[4] = 44, mac_addr[5] = 55"};
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(DatagramService, RebootIsOnlyLogged) {
    FakeSudo sudo;
    std::string log = Handle(Command("Reboot"));
    EXPECT_EQ(log, Lines(Join(Join({ReceiveLine()}, CommandHead()),
                              {"Reboot Command Received.", "Reboot, len = 6"})));
    Bytes reply;
    EXPECT_FALSE(Reply(&reply));
    EXPECT_TRUE(sudo.calls().empty());
}

TEST_F(DatagramService, ServiceFieldsArePrintedInHostOrder) {
    Bytes d = Command("Nothing");
    const uint8_t fields[8] = {0xC0, 0xA8, 0x01, 0x14, 0x13, 0x88, 0x00, 0x07};
    memcpy(d.data() + gwproto::kServiceIpOffset, fields, 8);
    std::string log = Handle(d);
    EXPECT_NE(log.find("service_port = C0A80114, service_port = 5000, service_type = 7\n\n"),
              std::string::npos)
        << log;
}

TEST_F(DatagramService, CommandForAnotherGatewayStopsAfterTheMacLines) {
    for (int byte = 0; byte < 6; ++byte) {
        SCOPED_TRACE("differing MAC byte " + std::to_string(byte));
        FakeSudo sudo;
        uint8_t other[6];
        memcpy(other, kMac, 6);
        other[byte] ^= 0x01;
        std::string log = Handle(Command("ClrCfgBuf", "", other));
        EXPECT_EQ(gwtest::SplitLines(log).size(), 10u) << log;
        EXPECT_EQ(log.find("ClearBuf"), std::string::npos);
        Bytes reply;
        EXPECT_FALSE(Reply(&reply));
        EXPECT_TRUE(sudo.calls().empty());
    }
}

TEST_F(DatagramService, ClrCfgBufIsAcknowledged) {
    std::string log = Handle(Command("ClrCfgBuf"));
    EXPECT_EQ(log,
              Lines(Join(Join({ReceiveLine()}, CommandHead()),
                         {"ClearBuf Command Received.", "server_ack_msg size = 32(actual = 32)"})));
    Bytes reply;
    ASSERT_TRUE(Reply(&reply));
    const Bytes expected = {0x56, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, 0x52, 0x65, 0x63,
                            0x65, 0x69, 0x76, 0x65, 0x43, 0x6F, 0x6E, 0x66, 0x69, 0x67, 0x00,
                            0,    0,    0,    0,    0,    0,    0,    0,    0,    0};
    EXPECT_EQ(reply, expected);
}

TEST_F(DatagramService, AckThatCannotBeSentHasNoErrnoLine) {
    signal(SIGPIPE, SIG_IGN);
    const Bytes d = Command("ClrCfgBuf");
    ASSERT_EQ(sendto(peer_fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&agent_addr_),
                     sizeof agent_addr_),
              80);
    pollfd p{agent_fd_, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    shutdown(agent_fd_, SHUT_WR);
    CaptureFd err(2);
    process_client_event(agent_fd_);
    std::string log = err.text();
    EXPECT_NE(log.find("server_ack_msg size = 32(actual = -1)\n\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("errno"), std::string::npos) << log;
}

struct OtherCommandCase {
    const char *name;
    std::string text;  // up to 12 bytes, placed in the command text field
    std::string logged;
};

class OtherCommand : public DatagramService,
                     public ::testing::WithParamInterface<OtherCommandCase> {};

TEST_P(OtherCommand, IsLoggedWithItsLengthOnly) {
    FakeSudo sudo;
    // Non-zero argument bytes right behind the command field: a command
    // text that fills its field must not run into them.
    std::string log = Handle(Command(GetParam().text, "XYZ"));
    EXPECT_EQ(log, Lines(Join(Join({ReceiveLine()}, CommandHead()), {GetParam().logged})));
    Bytes reply;
    EXPECT_FALSE(Reply(&reply));
    EXPECT_TRUE(sudo.calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, OtherCommand,
    ::testing::Values(OtherCommandCase{"Empty", "", ", len = 0"},
                      OtherCommandCase{"LowerCase", "clrcfgbuf", "clrcfgbuf, len = 9"},
                      OtherCommandCase{"TrailingBlank", "ClrCfgBuf ", "ClrCfgBuf , len = 10"},
                      OtherCommandCase{"RebootPrefix", "Rebooting", "Rebooting, len = 9"},
                      OtherCommandCase{"FillsItsField", "ABCDEFGHIJKL", "ABCDEFGHIJKL, len = 12"},
                      // Bytes that are not printable ASCII reach the log as \xNN, so a
                      // datagram cannot forge a line or drive a terminal.
                      OtherCommandCase{"ForgedDaemonLine", "\ngwcfgd: OK\n",
                                       "\\x0Agwcfgd: OK\\x0A, len = 12"},
                      OtherCommandCase{"TerminalEscape", "\x1b[2J\r", "\\x1B[2J\\x0D, len = 5"},
                      OtherCommandCase{"Utf8AndDelete", "\xc3\xa9t\xc3\xa9\x7f",
                                       "\\xC3\\xA9t\\xC3\\xA9\\x7F, len = 6"},
                      OtherCommandCase{"BackslashIsPrintable", "a\\x0Ab", "a\\x0Ab, len = 6"}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

// ---------------------------------------------------------------------------
// TimeSync

TEST_F(DatagramService, TimeSyncRunsTheDateCommandThroughSudo) {
    FakeSudo sudo;
    std::string log = Handle(Command("TimeSync", "20991207 09:05:03"));
    EXPECT_EQ(log, Lines(Join(Join({ReceiveLine()}, CommandHead()),
                              {"TimeSync Command Received.",
                               "[TimeSync]sudo date -s \"20991207 09:05:03\" > /dev/null",
                               "TimeSync, len = 8"})));
    EXPECT_EQ(sudo.calls(), std::vector<std::string>{"date -s 20991207 09:05:03"});
}

TEST_F(DatagramService, TimeSyncArgumentIsReadWithinItsField) {
    FakeSudo sudo;
    const std::string twenty = "2099-12-07T09:05:03Z";
    ASSERT_EQ(twenty.size(), 20u);
    Bytes d = Command("TimeSync", twenty);
    memset(d.data() + gwproto::kServiceIpOffset, 'A',
           8);  // letters right behind the argument field
    std::string log = Handle(d);
    EXPECT_NE(log.find("[TimeSync]sudo date -s \"" + twenty + "\" > /dev/null\n\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(sudo.calls(), std::vector<std::string>{"date -s " + twenty});
}

TEST_F(DatagramService, TimeSyncAcceptsEveryDateCharacter) {
    for (const std::string arg :
         {"@4100000000", "2099-12-07 09:05+01", "Dec 7, 2099 9:05 UTC", "12/07/2099 9:05:03.5"}) {
        SCOPED_TRACE(arg);
        FakeSudo sudo;
        Handle(Command("TimeSync", arg));
        EXPECT_EQ(sudo.calls(), std::vector<std::string>{"date -s " + arg});
    }
}

class TimeSyncInjection : public DatagramService,
                          public ::testing::WithParamInterface<std::string> {};

TEST_P(TimeSyncInjection, IsRefusedAndRunsNothing) {
    FakeSudo sudo;
    TempDir dir;
    gwtest::ScopedCwd cwd(dir.path());  // "touch x" would create ./x
    std::string log = Handle(Command("TimeSync", GetParam()));
    EXPECT_EQ(log, Lines(Join(Join({ReceiveLine()}, CommandHead()),
                              {"TimeSync Command Received.",
                               "[TimeSync]refused: the argument holds a character that no date "
                               "text needs; nothing was run",
                               "TimeSync, len = 8"})));
    EXPECT_TRUE(sudo.calls().empty());
    EXPECT_FALSE(FileExists(dir.file("x")));
}

INSTANTIATE_TEST_SUITE_P(Arguments, TimeSyncInjection,
                         ::testing::Values("\";touch x;\"", "$(touch x)", "`touch x`",
                                           "1 | touch x", "1 & touch x", "1;touch x", "1 > x",
                                           "1 < x", "(touch x)", "\\\"", "'", "1\ntouch x",
                                           "1\ttouch x", "$HOME", "1\x7f", "\xc3\xa9t\xc3\xa9",
                                           "{a,b}", "*", "~", "!1", "a=b", "#"));

// The floor: a date text is placed on the time line first, and one that
// lies before the program's build time, or that the handler cannot place,
// runs nothing. The zone is UTC and the clock (time()) is faked, so "today"
// is fixed.
constexpr long long kBuildTime = GW_BUILD_TIME;

std::string At(long long seconds) { return "@" + std::to_string(seconds); }

struct FloorCase {
    const char *name;
    std::string text;
    bool runs;
};

void PrintTo(const FloorCase &c, std::ostream *os) { *os << '"' << c.text << '"'; }

class TimeSyncFloor : public DatagramService, public ::testing::WithParamInterface<FloorCase> {
protected:
    void SetUp() override {
        DatagramService::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        g_fake_now = 0;
        DatagramService::TearDown();
    }
};

const char kBeforeBuild[] =
    "[TimeSync]refused: the argument names a time before this program "
    "was built (";
const char kCannotPlace[] =
    "[TimeSync]refused: the argument is not a date text this gateway can check; nothing was run";

TEST_P(TimeSyncFloor, RunsOnlyADateAtOrAfterTheBuild) {
    const FloorCase &c = GetParam();
    FakeSudo sudo;
    // "Today", for a time alone: a month after the build (within a 32-bit
    // time_t for years yet).
    g_fake_now = static_cast<time_t>(kBuildTime + 30 * 86400);
    const std::string log = Handle(Command("TimeSync", c.text));
    if (c.runs) {
        EXPECT_EQ(sudo.calls(), std::vector<std::string>{"date -s " + c.text}) << log;
        EXPECT_EQ(log.find("refused"), std::string::npos) << log;
    } else {
        EXPECT_TRUE(sudo.calls().empty()) << log;
        EXPECT_TRUE(log.find(kBeforeBuild) != std::string::npos ||
                    log.find(kCannotPlace) != std::string::npos)
            << log;
        EXPECT_EQ(log.find("[TimeSync]sudo"), std::string::npos) << log;
    }
    EXPECT_NE(log.find("TimeSync, len = 8"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TimeSyncFloor,
    ::testing::Values(FloorCase{"SecondsAtTheBuild", At(kBuildTime), true},
                      FloorCase{"SecondsWithFraction", At(kBuildTime) + ".5", true},
                      FloorCase{"SecondBeforeTheBuild", At(kBuildTime - 1), false},
                      FloorCase{"Epoch", "@0", false},
                      FloorCase{"NegativeSeconds", "@-86400", false},
                      FloorCase{"SecondsWithText", "@4102444800 x", false},
                      FloorCase{"Compact", "20991231 23:59:59", true},
                      FloorCase{"CompactHHMM", "20991231 2359", true},
                      FloorCase{"CompactIn1970", "19700101 00:00:00", false},
                      FloorCase{"IsoZulu", "2099-12-07T09:05:03Z", true},
                      FloorCase{"IsoOffset", "2099-12-07 9:05+0100", true},
                      FloorCase{"OneDigitOffsetHour", "2099-12-07 9:05+1:00", false},
                      FloorCase{"IsoHourOnly", "2099-12-07 9", true},
                      FloorCase{"IsoIn2000", "2000-01-01 00:00", false},
                      FloorCase{"SlashesYearFirst", "2099/12/07", true},
                      FloorCase{"SlashesTwoDigitYear", "12/07/69",
                                false},  // 1969, as date reads it
                      FloorCase{"MonthNamePm", "Dec 7 2099 9:05pm", true},
                      FloorCase{"DayMonthYear", "7 December 2099", true},
                      FloorCase{"WeekdayAndDate", "Mon, 07 Dec 2099", true},
                      FloorCase{"MonthNameIn1999", "Dec 31, 1999", false},
                      // date reads "20" as 2020 and "2049" as 20:49
                      FloorCase{"TwoDigitYearAfterAComma", "Dec 7, 20 2049", false},
                      FloorCase{"YearAfterAComma", "Dec 7, 2099 20", true},
                      FloorCase{"TimeAloneIsToday", "09:05:03", true},  // a month after the build
                      FloorCase{"NoSuchDay", "2099-02-30", false},
                      FloorCase{"HourTwentyFour", "2099-12-07 24:00", false},
                      FloorCase{"Empty", "", false}, FloorCase{"Relative", "yesterday", false},
                      FloorCase{"RelativeOffset", "2099-12-07 -1 year", false},
                      FloorCase{"MilitaryZone", "20991207T0905", false},
                      FloorCase{"WeekdayAlone", "Monday", false},
                      FloorCase{"TooManyNumbers", "2099-12-07 1 2", false}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

TEST_F(TimeSyncFloor, RefusalNamesTheBuildTime) {
    FakeSudo sudo;
    const std::string log = Handle(Command("TimeSync", "@0"));
    const time_t build = static_cast<time_t>(kBuildTime);
    struct tm utc {};
    gmtime_r(&build, &utc);
    char when[32];
    strftime(when, sizeof when, "%Y%m%d %H:%M:%S", &utc);
    EXPECT_EQ(log, Lines(Join(Join({ReceiveLine()}, CommandHead()),
                              {"TimeSync Command Received.",
                               std::string(kBeforeBuild) + when + " UTC); nothing was run",
                               "TimeSync, len = 8"})));
}

// A text without a zone is local time, as date -s reads it: in a zone 14
// hours ahead of UTC, the build time written in UTC digits lies 14 hours
// before the build, and the build time in local digits is the floor itself.
TEST_F(TimeSyncFloor, TextWithoutAZoneIsLocalTime) {
    setenv("TZ", "<+14>-14", 1);
    tzset();
    const time_t build = static_cast<time_t>(kBuildTime);
    char utc_text[32], local_text[32];
    struct tm tm {};
    gmtime_r(&build, &tm);
    strftime(utc_text, sizeof utc_text, "%Y%m%d %H:%M:%S", &tm);
    localtime_r(&build, &tm);
    strftime(local_text, sizeof local_text, "%Y%m%d %H:%M:%S", &tm);

    FakeSudo sudo;
    EXPECT_NE(Handle(Command("TimeSync", utc_text)).find(kBeforeBuild), std::string::npos);
    EXPECT_TRUE(sudo.calls().empty());
    Handle(Command("TimeSync", local_text));
    EXPECT_EQ(sudo.calls(), std::vector<std::string>{std::string("date -s ") + local_text});
}

// The host's gate: asked only for a text the handler would run, and a
// refusal runs nothing.
const char *g_gate_answer = nullptr;
int g_gate_calls = 0;
const char *Gate() {
    ++g_gate_calls;
    return g_gate_answer;
}

class TimeSyncGate : public DatagramService {
protected:
    void SetUp() override {
        DatagramService::SetUp();
        g_gate_calls = 0;
        set_timesync_gate(Gate);
    }
    void TearDown() override {
        set_timesync_gate(nullptr);
        g_gate_answer = nullptr;
        DatagramService::TearDown();
    }
};

TEST_F(TimeSyncGate, RefusalRunsNothing) {
    FakeSudo sudo;
    g_gate_answer = "the clock is synchronised by NTP";
    const std::string log = Handle(Command("TimeSync", "20991207 09:05:03"));
    EXPECT_EQ(log, Lines(Join(Join({ReceiveLine()}, CommandHead()),
                              {"TimeSync Command Received.",
                               "[TimeSync]refused: the clock is synchronised by NTP; nothing was "
                               "run",
                               "TimeSync, len = 8"})));
    EXPECT_TRUE(sudo.calls().empty());
    EXPECT_EQ(g_gate_calls, 1);
}

TEST_F(TimeSyncGate, IsAskedOnlyForADateTheHandlerWouldRun) {
    FakeSudo sudo;
    for (const char *refused : {"@0", "1;reboot", "soon"})
        Handle(Command("TimeSync", refused));
    EXPECT_EQ(g_gate_calls, 0);
    Handle(Command("TimeSync", "20991207 09:05:03"));
    EXPECT_EQ(g_gate_calls, 1);
    EXPECT_EQ(sudo.calls(), std::vector<std::string>{"date -s 20991207 09:05:03"});
}

// ---------------------------------------------------------------------------
// Updates

TEST_F(DatagramService, UpdateHandsTheBlockToTheHost) {
    Bytes block(UPDATE_PAYLOAD_SIZE);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(255 - i % 251);
    std::string log = Handle(Update(block));
    EXPECT_EQ(log, Lines({ReceiveLine(), "UPDATE_COMMAND_LEN(1048)",
                          "REQ: mac_addr[0] = 00, mac_addr[1] = 11, mac_addr[2] = 22",
                          "REQ: mac_addr[3] = 33, mac_addr[4] = 44, mac_addr[5] = 55",
                          "UPDATE_PAYLOAD_SIZE(1024)", "upate OK"}));
    EXPECT_EQ(g_host.set_calls, 1);
    EXPECT_EQ(g_host.last_set, block);
    Bytes reply;
    EXPECT_FALSE(Reply(&reply)) << "an update is never answered";
}

TEST_F(DatagramService, UpdateForAnotherGatewayPassesNothing) {
    uint8_t other[6];
    memcpy(other, kMac, 6);
    other[5] = 0x56;
    std::string log = Handle(Update(Bytes(UPDATE_PAYLOAD_SIZE, 1), other));
    EXPECT_EQ(log, Lines({ReceiveLine(), "UPDATE_COMMAND_LEN(1048)",
                          "REQ: mac_addr[0] = 00, mac_addr[1] = 11, mac_addr[2] = 22",
                          "REQ: mac_addr[3] = 33, mac_addr[4] = 44, mac_addr[5] = 56"}));
    EXPECT_EQ(g_host.set_calls, 0);
}

// ---------------------------------------------------------------------------
// Date text

struct DateCase {
    const char *name;
    int year, mon, mday, hour, min, sec;
    const char *text;
};

class CurrentDatetime : public ::testing::TestWithParam<DateCase> {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override { g_fake_now = 0; }
};

TEST_P(CurrentDatetime, WritesTheLocalTimeIntoAtMost18Bytes) {
    const DateCase &c = GetParam();
    struct tm tm {};
    tm.tm_year = c.year - 1900;
    tm.tm_mon = c.mon - 1;
    tm.tm_mday = c.mday;
    tm.tm_hour = c.hour;
    tm.tm_min = c.min;
    tm.tm_sec = c.sec;
    g_fake_now = timegm(&tm);
    if (g_fake_now == static_cast<time_t>(-1) || (c.year < 1902 || c.year > 2037)) {
        if (sizeof(time_t) < 8)
            GTEST_SKIP() << "time_t of this platform cannot hold the year " << c.year;
    }

    char buf[32];
    memset(buf, 0x5A, sizeof buf);
    CaptureFd err(2);
    get_current_datetime(buf);
    std::string log = err.text();

    EXPECT_STREQ(buf, c.text);
    for (size_t i = 18; i < sizeof buf; ++i)
        ASSERT_EQ(buf[i], 0x5A) << "byte " << i << " written";
    EXPECT_EQ(log, Lines({"Current DateTime(" + std::to_string(strlen(c.text)) + ") = \"" + c.text +
                          "\""}));
}

INSTANTIATE_TEST_SUITE_P(
    Dates, CurrentDatetime,
    ::testing::Values(DateCase{"Morning", 2026, 12, 7, 9, 5, 3, "20261207 09:05:03"},
                      DateCase{"LastSecondOfYear", 2026, 12, 31, 23, 59, 59, "20261231 23:59:59"},
                      DateCase{"ThreeDigitYear", 999, 1, 2, 3, 4, 5, " 9990102 03:04:05"},
                      DateCase{"FiveDigitYearIsCut", 12026, 12, 7, 9, 5, 3, "120261207 09:05:0"}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

// The zone in force at the call counts, also when TZ changes while the
// program runs (nobody calls tzset in between).
TEST(CurrentDatetimeZone, FollowsAZoneChangedAtRunTime) {
    setenv("TZ", "UTC", 1);
    tzset();
    g_fake_now = 1796634303;  // 2026-12-07 09:05:03 UTC
    char buf[32];
    {
        CaptureFd err(2);
        get_current_datetime(buf);
    }
    EXPECT_STREQ(buf, "20261207 09:05:03");
    setenv("TZ", "<+0530>-5:30", 1);
    {
        CaptureFd err(2);
        get_current_datetime(buf);
    }
    EXPECT_STREQ(buf, "20261207 14:35:03");
    setenv("TZ", "UTC", 1);
    tzset();
    g_fake_now = 0;
}

}  // namespace
