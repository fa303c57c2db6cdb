// gwagent-ask and gwagent-helper as processes: the test plays systemd's
// part (a listening socket, one gwagent-helper per connection with the
// connection on its standard input and output), with a scratch dhcpcd.conf
// and a fake date that records its arguments.
#include "root_helper.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using gwtest::ReadFile;
using gwtest::RunProgram;
using gwtest::WriteFile;

template <size_t N>
std::string Bytes(const char (&s)[N]) {
    return std::string(s, N - 1);
}

// Accepts one connection on a socket in dir and runs gwagent-helper for it.
class Activator {
public:
    Activator(const std::string &socket_path, const std::vector<std::string> &helper_args,
              const std::string &log_path)
        : socket_path_(socket_path) {
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
        unlink(socket_path.c_str());
        EXPECT_EQ(0, bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
        EXPECT_EQ(0, listen(listen_fd_, 4));
        thread_ = std::thread([this, helper_args, log_path] {
            Serve(helper_args, log_path);
        });
    }
    ~Activator() {
        thread_.join();
        close(listen_fd_);
        unlink(socket_path_.c_str());
    }
    // Connects to the socket itself: the raw bytes of a request, bypassing
    // the client's checks; returns the answer.
    std::string Raw(const std::string &bytes) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, socket_path_.c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
        EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
        shutdown(fd, SHUT_WR);
        std::string out;
        char buf[512];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            out.append(buf, static_cast<size_t>(n));
        close(fd);
        return out;
    }

private:
    void Serve(const std::vector<std::string> &helper_args, const std::string &log_path) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 20000) != 1) return;  // the test failed to connect; it says so itself
        const int conn = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) return;
        std::vector<char *> argv;
        for (const std::string &a : helper_args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (log < 0 || dup2(conn, 0) < 0 || dup2(conn, 1) < 0 || dup2(log, 2) < 0) _exit(127);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(conn);
        int status;
        while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }

    std::string socket_path_;
    int listen_fd_ = -1;
    std::thread thread_;
};

class HelperProcess : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(dir.file("dhcpcd.conf"), "hostname\nnodev\n");
        // A date that records its arguments, one a line, and fails while
        // date.fail exists. It only sets: the helper reads the time text
        // with the system's date -d, which changes nothing.
        WriteFile(dir.file("date"),
                  "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + dir.file("date.args") +
                      "'\n"
                      "[ ! -e '" +
                      dir.file("date.fail") +
                      "' ] || { echo 'date: cannot set date' >&2; exit 1; }\n",
                  0755);
    }
    std::vector<std::string> HelperArgs() {
        return {GWAGENT_HELPER_BIN, "--dhcpcd-conf",  dir.file("dhcpcd.conf"),
                "--date",           dir.file("date"), "--root",
                dir.file("root"),   "--exec-path",    dir.file("bin")};
    }
    // Runs gwagent-ask (as argv0) with args against a fresh activator.
    int Ask(const std::vector<std::string> &args, std::string *err,
            const std::string &argv0 = GWAGENT_ASK_BIN) {
        Activator a(dir.file("helper.sock"), HelperArgs(), dir.file("helper.log"));
        return AskWithout(args, err, argv0);
    }
    // The same with nobody listening on the socket.
    int AskWithout(const std::vector<std::string> &args, std::string *err,
                   const std::string &argv0 = GWAGENT_ASK_BIN) {
        std::vector<std::string> argv = {argv0};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, nullptr, err, 30000,
                          {"GWAGENT_HELPER_SOCKET=" + dir.file("helper.sock")});
    }
    std::string Log() {
        return gwtest::FileExists(dir.file("helper.log")) ? ReadFile(dir.file("helper.log")) : "";
    }
    gwtest::TempDir dir;
};

TEST_F(HelperProcess, SetsAndClearsTheFixedAddressBlock) {
    std::string err;
    ASSERT_EQ(0, Ask({"fixed-ip", "set", "10.47.0.77/24", "10.47.0.1"}, &err)) << err << Log();
    EXPECT_EQ(ReadFile(dir.file("dhcpcd.conf")),
              std::string("hostname\nnodev\n") + gwhelper::kBlockBegin +
                  "\ninterface eth0\nstatic ip_address=10.47.0.77/24\nstatic routers=10.47.0.1\n" +
                  gwhelper::kBlockEnd + "\n");
    EXPECT_NE(Log().find("gwagent-helper: fixed-ip set 10.47.0.77/24 10.47.0.1 for pid "),
              std::string::npos)
        << Log();
    ASSERT_EQ(0, Ask({"fixed-ip", "clear"}, &err)) << err << Log();
    EXPECT_EQ(ReadFile(dir.file("dhcpcd.conf")), "hostname\nnodev\n");
}

TEST_F(HelperProcess, SetsTheClockThroughDateAsTheHandlerCallsSudo) {
    // gwcfgd's unit links the client as "sudo" first on the daemon's PATH.
    ASSERT_EQ(0, symlink(GWAGENT_ASK_BIN, dir.file("sudo").c_str()));
    std::string err;
    ASSERT_EQ(0, Ask({"date", "-s", "2099-12-07 13:00:00 UTC"}, &err, dir.file("sudo")))
        << err << Log();
    // Set from the number date read, not from the text again.
    EXPECT_EQ(ReadFile(dir.file("date.args")), "-s\n@4100331600\n");

    WriteFile(dir.file("date.fail"), "");
    EXPECT_EQ(1, Ask({"date", "-s", "@4100331600"}, &err)) << err << Log();
    EXPECT_NE(err.find("date: cannot set date"), std::string::npos) << err;
    EXPECT_NE(Log().find("failed"), std::string::npos) << Log();
}

// One reading of a date: the helper turns the text into seconds with the
// date that sets the clock (date -d), refuses what lies before the floor
// (the build) and sets the clock from that number. Texts the handler's own
// check reads otherwise than date does (the year of "31 Dec 14", the "-05"
// of "10:00 31 Dec -05") cannot walk around the floor here.
struct ClockCase {
    const char *name;
    std::string text;
    std::string set;  // the argument date -s gets; empty: refused
};

void PrintTo(const ClockCase &c, std::ostream *os) { *os << c.name; }

class HelperClock : public HelperProcess, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(HelperClock, SetsOnlyWhatDateReadsAsNotBeforeTheFloor) {
    const ClockCase &c = GetParam();
    std::string err;
    const int status = Ask({"date", "-s", c.text}, &err);
    if (c.set.empty()) {
        EXPECT_EQ(2, status) << err << Log();
        EXPECT_NE(err.find("before this program was built"), std::string::npos) << err;
        EXPECT_FALSE(gwtest::FileExists(dir.file("date.args")));
    } else {
        EXPECT_EQ(0, status) << err << Log();
        EXPECT_EQ(ReadFile(dir.file("date.args")), "-s\n" + c.set + "\n");
    }
}

// The shapes above for every two-digit year up to the build's: not one of
// them sets the clock.
TEST_F(HelperProcess, RefusesEveryYearOfTheShapesBeforeTheBuild) {
    const time_t build = static_cast<time_t>(GW_BUILD_TIME);
    struct tm utc {};
    gmtime_r(&build, &utc);
    const int last = (utc.tm_year + 1900) % 100 - 1;  // the years before the build's
    std::vector<std::string> texts;
    for (int yy = 0; yy <= last; ++yy) {
        const std::string y = (yy < 10 ? "0" : "") + std::to_string(yy);
        texts.push_back(std::string("28 Feb ") + y);
        texts.push_back(std::string("10:00 31 Dec -") + y);
        texts.push_back(std::string("2026 12 Dec ") + y);
    }
    for (const std::string &text : texts) {
        std::string err;
        EXPECT_EQ(2, Ask({"date", "-s", text}, &err)) << text << ": " << err << Log();
    }
    EXPECT_FALSE(gwtest::FileExists(dir.file("date.args")));
}

// "N D Mon": the day before the build, this year (as date reads it) at N
// o'clock.
std::string DayBeforeTheBuild() {
    const time_t t = static_cast<time_t>(GW_BUILD_TIME) - 86400;
    struct tm local {};
    localtime_r(&t, &local);
    char text[32];
    strftime(text, sizeof text, "12 %d %b", &local);
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HelperClock,
    ::testing::Values(ClockCase{"DayMonthTwoDigitYear", "31 Dec 14", ""},
                      ClockCase{"TimeDayMonthMinusYear", "10:00 31 Dec -05", ""},
                      ClockCase{"YearDayMonthYear", "2026 12 Dec 00", ""},
                      ClockCase{"NumberDayMonth", DayBeforeTheBuild(), ""},
                      ClockCase{"Epoch", "@0", ""}, ClockCase{"OneYearAgo", "1 year ago", ""},
                      ClockCase{"ASecondBeforeTheBuild", "@" + std::to_string(GW_BUILD_TIME - 1),
                                ""},
                      ClockCase{"TheBuild", "@" + std::to_string(GW_BUILD_TIME),
                                "@" + std::to_string(GW_BUILD_TIME)},
                      ClockCase{"CompactWithZone", "20991231 23:59:59 UTC", "@4102444799"},
                      ClockCase{"MonthDayYear", "Jan 1, 2100 UTC", "@4102444800"}),
    [](const ::testing::TestParamInfo<ClockCase> &info) {
        return std::string(info.param.name);
    });

TEST_F(HelperProcess, RefusesWhatIsNotInItsTableEvenFromAnotherClient) {
    std::string err;
    // Refused by the client before it connects (nobody listens: a
    // connection attempt would fail with status 1).
    EXPECT_EQ(2, AskWithout({"-n", "date", "-s", "2026-12-07"}, &err));
    EXPECT_NE(err.find("refused"), std::string::npos) << err;

    // The helper checks for itself: a request that never went through the client.
    const std::string before = ReadFile(dir.file("dhcpcd.conf"));
    Activator a(dir.file("helper.sock"), HelperArgs(), dir.file("helper.log"));
    const std::string answer =
        a.Raw(Bytes("fixed-ip\0set\0"
                    "1.2.3.4/24\0"
                    "1.2.3.1\nstatic routers=6.6.6.6\0"));
    EXPECT_EQ(answer.substr(answer.size() - 9), "status 2\n") << answer;
    EXPECT_EQ(ReadFile(dir.file("dhcpcd.conf")), before);
    EXPECT_FALSE(gwtest::FileExists(dir.file("date.args")));
    EXPECT_NE(Log().find("refused"), std::string::npos) << Log();
    EXPECT_EQ(Log().find('\x1b'), std::string::npos);
}

// ---- each network stack ---------------------------------------------------------

// The stack's commands as fakes on the helper's PATH that record their
// words, one command a line ('' for an empty word). The fake nmcli knows
// one profile, gwagent-eth0, once "connection add" made it, and answers
// for a missing one with nmcli's status 10; it fails with 4 while
// nmcli.fail exists.
class StackProcess : public HelperProcess {
protected:
    void SetUp() override {
        HelperProcess::SetUp();
        ASSERT_EQ(0, mkdir(dir.file("bin").c_str(), 0755));
        ASSERT_EQ(0, mkdir(dir.file("root").c_str(), 0755));
        const std::string record =
            "#!/bin/sh\nprintf '%s' \"${0##*/}\" >> '" + dir.file("commands") +
            "'\n"
            "for a; do if [ -z \"$a\" ]; then printf \" ''\"; "
            "else printf ' %s' \"$a\"; fi; done >> '" +
            dir.file("commands") + "'\necho >> '" + dir.file("commands") + "'\n";
        for (const char *name : {"dhcpcd", "systemctl"})
            WriteFile(dir.file(std::string("bin/") + name), record, 0755);
        const std::string profile = dir.file("nm-profile");
        WriteFile(dir.file("bin/nmcli"),
                  record + "[ ! -e '" + dir.file("nmcli.fail") +
                      "' ] || { echo 'Error: NetworkManager is not running.' >&2; exit 4; }\n"
                      "case \"$*\" in\n"
                      "'connection add '*) : > '" +
                      profile +
                      "' ;;\n"
                      "'connection modify gwagent-eth0 '* | *'connection up gwagent-eth0')\n"
                      "  [ -e '" +
                      profile +
                      "' ] || { echo 'Error: unknown connection' >&2; exit 10; } ;;\n"
                      "esac\n",
                  0755);
    }
    // Makes root/PATH, the sign of a running stack.
    void Runs(const std::string &path) {
        ASSERT_EQ(0, system(("mkdir -p \"$(dirname '" + dir.file("root" + path) +
                             "')\" && touch '" + dir.file("root" + path) + "'")
                                .c_str()));
    }
    // The commands run since the last call.
    std::string Commands() {
        const std::string path = dir.file("commands");
        const std::string text = gwtest::FileExists(path) ? ReadFile(path) : "";
        unlink(path.c_str());
        return text;
    }
};

struct StackCase {
    const char *name;
    const char *runs;                 // the sign of the stack under the root
    bool block;                       // the fixed address is dhcpcd.conf's block
    const char *set, *renew, *clear;  // the commands of each duty
};

void PrintTo(const StackCase &c, std::ostream *os) { *os << c.name; }

class EachStack : public StackProcess, public ::testing::WithParamInterface<StackCase> {};

// networkmode 1, the restart's renewal, networkmode 0, the renewal again.
TEST_P(EachStack, AppliesTheFixedAddressAndRenewsInItsOwnTerms) {
    const StackCase &c = GetParam();
    Runs(c.runs);
    const std::string plain = ReadFile(dir.file("dhcpcd.conf"));
    std::string err;
    ASSERT_EQ(0, Ask({"fixed-ip", "set", "10.47.0.77/24", "10.47.0.1"}, &err)) << err << Log();
    EXPECT_EQ(Commands(), c.set);
    EXPECT_EQ(ReadFile(dir.file("dhcpcd.conf")).find("static ip_address=10.47.0.77/24") !=
                  std::string::npos,
              c.block);
    ASSERT_EQ(0, Ask({"network", "renew"}, &err)) << err << Log();
    EXPECT_EQ(Commands(), c.renew);
    ASSERT_EQ(0, Ask({"fixed-ip", "clear"}, &err)) << err << Log();
    EXPECT_EQ(Commands(), c.clear);
    EXPECT_EQ(ReadFile(dir.file("dhcpcd.conf")), plain);
    ASSERT_EQ(0, Ask({"network", "renew"}, &err)) << err << Log();
    EXPECT_EQ(Commands(), c.renew);
    EXPECT_NE(Log().find("gwagent-helper: network renew for pid "), std::string::npos) << Log();
    EXPECT_NE(Log().find(std::string(": done (") + c.name), std::string::npos) << Log();
}

INSTANTIATE_TEST_SUITE_P(
    Stacks, EachStack,
    ::testing::Values(
        StackCase{"dhcpcd-eth0", "/run/dhcpcd/eth0.pid", true, "",
                  "dhcpcd -k eth0\ndhcpcd -n eth0\n", ""},
        StackCase{"dhcpcd", "/run/dhcpcd/pid", true, "",
                  "systemctl kill --kill-who=main --signal=SIGHUP dhcpcd.service\n"
                  "systemctl restart dhcpcd.service\n",
                  ""},
        StackCase{"networkmanager", "/run/NetworkManager/devices/2", false,
                  "nmcli connection modify gwagent-eth0 ipv4.method manual ipv4.addresses "
                  "10.47.0.77/24 ipv4.gateway 10.47.0.1\n"
                  "nmcli connection add type ethernet ifname eth0 con-name gwagent-eth0 "
                  "connection.autoconnect-priority 100 ipv4.method manual ipv4.addresses "
                  "10.47.0.77/24 ipv4.gateway 10.47.0.1\n",
                  "nmcli --wait 20 connection up gwagent-eth0\n",
                  "nmcli connection modify gwagent-eth0 ipv4.method auto ipv4.addresses '' "
                  "ipv4.gateway ''\n"}),
    [](const ::testing::TestParamInfo<StackCase> &i) {
        std::string name = i.param.name;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

TEST_F(StackProcess, NetworkManagerWithoutTheProfileRenewsEth0sOwnAndClearsNothing) {
    Runs("/run/NetworkManager");
    std::string err;
    ASSERT_EQ(0, Ask({"network", "renew"}, &err)) << err << Log();
    EXPECT_EQ(Commands(),
              "nmcli --wait 20 connection up gwagent-eth0\nnmcli --wait 20 device connect eth0\n");
    ASSERT_EQ(0, Ask({"fixed-ip", "clear"}, &err)) << err << Log();
    EXPECT_EQ(Commands(),
              "nmcli connection modify gwagent-eth0 ipv4.method auto ipv4.addresses '' "
              "ipv4.gateway ''\n");
    EXPECT_FALSE(gwtest::FileExists(dir.file("nm-profile")));
}

TEST_F(StackProcess, AFailingStackCommandFailsTheRequestAndSaysWhy) {
    Runs("/run/NetworkManager");
    WriteFile(dir.file("nmcli.fail"), "");
    std::string err;
    EXPECT_EQ(1, Ask({"fixed-ip", "set", "10.47.0.77/24", "none"}, &err)) << Log();
    EXPECT_NE(err.find("Error: NetworkManager is not running."), std::string::npos) << err;
    EXPECT_NE(err.find("networkmanager: found /run/NetworkManager; nmcli connection ... exited "
                       "with status 4"),
              std::string::npos)
        << err;
}

TEST_F(StackProcess, ShowsTheStackAndRefusesAnUnknownSetting) {
    Runs("/run/dhcpcd/pid");
    std::string err;
    ASSERT_EQ(0, Ask({"network", "show"}, &err)) << err << Log();
    EXPECT_EQ(err, "network stack dhcpcd: found /run/dhcpcd/pid\n");
    ASSERT_EQ(0, mkdir(dir.file("root/etc").c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir.file("root/etc/default").c_str(), 0755));
    WriteFile(dir.file("root/etc/default/gwcfgd"), "GW_NETWORK_STACK=netplan\n");
    const std::string before = ReadFile(dir.file("dhcpcd.conf"));
    EXPECT_EQ(1, Ask({"fixed-ip", "set", "10.47.0.77/24", "none"}, &err)) << Log();
    EXPECT_NE(err.find("GW_NETWORK_STACK=\"netplan\" names no network stack"), std::string::npos)
        << err;
    EXPECT_EQ(ReadFile(dir.file("dhcpcd.conf")), before);
    EXPECT_EQ(Commands(), "");
}

TEST(HelperClient, SaysHowToFindAMissingHelper) {
    gwtest::TempDir dir;
    std::string err;
    EXPECT_EQ(1, RunProgram({GWAGENT_ASK_BIN, "fixed-ip", "clear"}, nullptr, &err, 10000,
                            {"GWAGENT_HELPER_SOCKET=" + dir.file("none.sock")}));
    EXPECT_NE(err.find("systemctl status gwagent-helper.socket"), std::string::npos) << err;
}

}  // namespace
