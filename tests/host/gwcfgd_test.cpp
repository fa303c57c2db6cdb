// gwcfgd as a process: options, start-up, discovery over loopback, stop.

#include "agent.h"
#include "daemon_harness.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using gwtest::Process;
using gwtest::RunProgram;

namespace {

const std::string kDaemon = GWCFGD_PATH;

using gwdtest::FreePort;

// Sends a discovery request to 127.0.0.1:port until a reply comes (the
// daemon may still be starting) or the wait is over.
std::vector<uint8_t> Discover(int port, int wait_ms = 5000) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    uint8_t req[SEARCH_COMMAND_LEN] = {};
    memcpy(req, SEARCH_MAGIC, SEARCH_MAGIC_LEN);
    std::vector<uint8_t> reply;
    for (int waited = 0; waited < wait_ms && reply.empty(); waited += 100) {
        sendto(fd, req, sizeof req, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) == 1) {
            reply.resize(2048);
            ssize_t n = recv(fd, reply.data(), reply.size(), 0);
            reply.resize(n > 0 ? static_cast<size_t>(n) : 0);
        }
    }
    close(fd);
    return reply;
}

TEST(Gwcfgd, AnswersDiscoveryOnLoopbackAndStopsOnSignal) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        const int port = FreePort();
        gwtest::TempDir state;
        Process daemon({kDaemon, "--mac", "02:ab:cd:00:00:01", "--port", std::to_string(port),
                        "--state-dir", state.path()});
        std::vector<uint8_t> reply = Discover(port);
        ASSERT_EQ(reply.size(), static_cast<size_t>(SEARCH_FORMAT_LEN)) << daemon.Stderr();
        const std::vector<uint8_t> head = {'V', 0x02, 0xab, 0xcd, 0x00, 0x00, 0x01, 0x00};
        EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + 8), head);
        daemon.Signal(sig);
        EXPECT_EQ(daemon.Wait(5000), 0) << daemon.Stderr();
        EXPECT_NE(daemon.Stderr().find("sendto() buffer size = 1033(actual = 1033)"),
                  std::string::npos);
    }
}

TEST(Gwcfgd, TakesTheMacAddressOfAnInterface) {
    const int port = FreePort();
    gwtest::TempDir state;
    Process daemon(
        {kDaemon, "--iface", "lo", "--port", std::to_string(port), "--state-dir", state.path()});
    std::vector<uint8_t> reply = Discover(port);
    ASSERT_EQ(reply.size(), static_cast<size_t>(SEARCH_FORMAT_LEN)) << daemon.Stderr();
    // The loopback interface's address is all zero.
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 1, reply.begin() + 7),
              std::vector<uint8_t>(6, 0));
}

struct BadStart {
    const char *name;
    std::vector<std::string> args;
    const char *message;
};

class GwcfgdRefuses : public ::testing::TestWithParam<BadStart> {};

TEST_P(GwcfgdRefuses, WithStatus2AndAHint) {
    std::vector<std::string> argv = {kDaemon};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    std::string out, err;
    EXPECT_EQ(RunProgram(argv, &out, &err, 10000), 2);
    EXPECT_NE(err.find(GetParam().message), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Starts, GwcfgdRefuses,
    ::testing::Values(
        BadStart{"NoMac", {}, "--mac XX:XX:XX:XX:XX:XX"},
        BadStart{"UnknownInterface", {"--iface", "no-such-if0"}, "cannot read"},
        BadStart{"InterfacePath", {"--iface", "../lo"}, "not an interface name"},
        BadStart{"ShortMac", {"--mac", "02:00:00:00:00"}, "--mac wants"},
        BadStart{"MacWithSign", {"--mac", "+2:00:00:00:00:01"}, "--mac wants"},
        BadStart{"MacWithDashes", {"--mac", "02-00-00-00-00-01"}, "--mac wants"},
        BadStart{"PortZero", {"--mac", "02:00:00:00:00:01", "--port", "0"}, "--port wants"},
        BadStart{"PortText", {"--mac", "02:00:00:00:00:01", "--port", "12ab"}, "--port wants"},
        BadStart{"BadBind", {"--mac", "02:00:00:00:00:01", "--bind", "localhost"}, "--bind wants"},
        BadStart{"UnknownOption", {"--frobnicate"}, "gwcfgd --help"},
        BadStart{"MissingValue", {"--port"}, "gwcfgd --help"},
        BadStart{"StrayArgument", {"--mac", "02:00:00:00:00:01", "extra"}, "unexpected argument"},
        BadStart{"AllowFromPrefixTooLong",
                 {"--mac", "02:00:00:00:00:01", "--allow-from", "10.0.0.0/33"},
                 "--allow-from wants"},
        BadStart{"AllowFromName",
                 {"--mac", "02:00:00:00:00:01", "--allow-from", "localhost"},
                 "--allow-from wants"},
        BadStart{"AllowFromHostBits",
                 {"--mac", "02:00:00:00:00:01", "--allow-from", "10.0.0.1/8"},
                 "--allow-from \"10.0.0.1/8\" has host bits set: write the network (10.0.0.0/8)"},
        BadStart{"AllowFromPrefixLeadingZero",
                 {"--mac", "02:00:00:00:00:01", "--allow-from", "10.0.0.0/08"},
                 "--allow-from wants"},
        BadStart{"AllowFromEmptyPrefix",
                 {"--mac", "02:00:00:00:00:01", "--allow-from", "10.0.0.0/"},
                 "--allow-from wants"},
        BadStart{"AllowFromEmptyItem",
                 {"--mac", "02:00:00:00:00:01", "--allow-from", "10.0.0.1,"},
                 "--allow-from wants"},
        BadStart{"LimitUnknownKind",
                 {"--mac", "02:00:00:00:00:01", "--limit", "flood=1"},
                 "--limit wants KIND"},
        BadStart{"LimitTooHigh",
                 {"--mac", "02:00:00:00:00:01", "--limit", "discovery=1000001"},
                 "--limit wants datagrams per second"},
        BadStart{"LimitNoValue",
                 {"--mac", "02:00:00:00:00:01", "--limit", "update=/5"},
                 "--limit wants datagrams per second"},
        BadStart{"TimeSyncWhen",
                 {"--mac", "02:00:00:00:00:01", "--timesync", "sometimes"},
                 "--timesync wants always or unsynchronised"}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

TEST(Gwcfgd, HelpListsTheOptions) {
    std::string out;
    EXPECT_EQ(RunProgram({kDaemon, "--help"}, &out), 0);
    for (const char *opt : {"--bind", "--port", "--mac", "--iface", "--state-dir", "--profile",
                            "--restart-requests", "--discovery-rate", "48321", "--limit",
                            "--allow-from", "--timesync", "no authentication"})
        EXPECT_NE(out.find(opt), std::string::npos) << opt;
}

}  // namespace

// Socket activation: the port is gwcfgd.socket's from boot on, and gwcfgd
// serves the socket systemd passes (fd 3, LISTEN_PID, LISTEN_FDS) instead
// of binding its own (--port names another port here).
TEST(GwcfgdSocketActivation, ServesTheSocketSystemdPasses) {
    gwtest::TempDir state;
    const int port = gwdtest::FreePort();
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);  // inherited: no close-on-exec
    ASSERT_GE(sock, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
    ASSERT_EQ(fcntl(9, F_GETFD), -1) << "fd 9 is in use; the shell's redirection needs one digit";
    ASSERT_EQ(dup2(sock, 9), 9);
    close(sock);
    // The shell's pid is the daemon's: env and gwcfgd replace it in turn.
    const std::string line = "exec env LISTEN_PID=$$ LISTEN_FDS=1 '" + std::string(GWCFGD_PATH) +
                             "' --mac 02:00:5e:10:00:01 --port " +
                             std::to_string(gwdtest::FreePort()) + " --state-dir '" + state.path() +
                             "' 3<&9 9<&-";
    gwtest::Process daemon({"/bin/sh", "-c", line});
    close(9);
    gwblock::BlockContents bc{};
    EXPECT_TRUE(gwdtest::Discover(port, &bc, 10000)) << daemon.Stderr();
    const std::string serving = "gwcfgd: serving 127.0.0.1:" + std::to_string(port) +
                                " (gwcfgd.socket) for 02:00:5E";
    EXPECT_TRUE(gwdtest::WaitFor(
        [&] {
            return daemon.Stderr().find(serving) != std::string::npos;
        },
        3000))
        << daemon.Stderr();
}
