// Restart requests: the forwarder found through /proc, the request text, and
// the whole road in private mount, IPC and pid namespaces: an applied update
// posts "fix_ip mode:<pid>" or "dhcp mode:<pid>" for a stand-in
// basic_pkt_fwd on the queue keyed by /home/pi/fifo (a tmpfs /home that only
// the namespace sees).
//
// The namespaced part runs in a child of this executable started with
// unshare; it prints its findings and the test checks them.

#include "daemon_harness.h"
#include "gwcfgd.h"
#include "restart_request.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

using gwtest::TempDir;
using gwtest::WriteFile;

namespace {

// ---------------------------------------------------------------------------
// The forwarder's pid from a /proc tree

struct ProcCase {
    const char *name;
    std::vector<std::pair<std::string, std::string>> entries;  // dir name, comm ("" = no comm)
    int expected;
};

class ForwarderPid : public ::testing::TestWithParam<ProcCase> {};

TEST_P(ForwarderPid, IsTheLowestPidWhoseCommIsBasicPktFwd) {
    TempDir proc;
    for (const auto &[dir, comm] : GetParam().entries) {
        mkdir(proc.file(dir).c_str(), 0755);
        if (!comm.empty()) WriteFile(proc.file(dir + "/comm"), comm);
    }
    EXPECT_EQ(gwcfgd::find_forwarder_pid(proc.path().c_str()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Proc, ForwarderPid,
    ::testing::Values(ProcCase{"None", {{"1", "init\n"}, {"77", "sleep\n"}}, -1},
                      ProcCase{"One", {{"1", "init\n"}, {"4242", "basic_pkt_fwd\n"}}, 4242},
                      ProcCase{"LowestOfSeveral",
                               {{"900", "basic_pkt_fwd\n"},
                                {"35", "basic_pkt_fwd\n"},
                                {"4000", "basic_pkt_fwd\n"}},
                               35},
                      ProcCase{"NamesThatOnlyLookAlike",
                               {{"10", "basic_pkt_fwd2\n"},
                                {"11", "basic_pkt_fw\n"},
                                {"12", "sudo\n"},
                                {"13", "basic_pkt_fwd"}},
                               13},
                      ProcCase{"EntriesThatAreNoPids",
                               {{"self", "basic_pkt_fwd\n"},
                                {"0012", "basic_pkt_fwd\n"},
                                {"12a", "basic_pkt_fwd\n"},
                                {"99999999999", "basic_pkt_fwd\n"},
                                {"50", ""}},
                               -1},
                      ProcCase{"LargestPid",
                               {{"2147483648", "basic_pkt_fwd\n"},
                                {"4294967297", "basic_pkt_fwd\n"},
                                {"2147483647", "basic_pkt_fwd\n"}},
                               2147483647}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

// A process a forwarder forked carries its name but is no forwarder of its
// own (as the leak checker of a sanitizer build while the forwarder exits);
// a zombie is none either.
TEST(Forwarders, LeaveOutTheChildrenOfAForwarderAndZombies) {
    TempDir proc;
    // pid comm state ppid start
    const struct {
        const char *pid, *state, *ppid, *start;
    } entries[] = {{"100", "S", "1", "5000"},
                   {"105", "R", "100", "7000"},
                   {"200", "S", "1", "6000"},
                   {"300", "Z", "1", "6500"}};
    for (const auto &e : entries) {
        mkdir(proc.file(e.pid).c_str(), 0755);
        WriteFile(proc.file(std::string(e.pid) + "/comm"), "basic_pkt_fwd\n");
        std::string stat = std::string(e.pid) + " (basic_pkt_fwd) " + e.state + " " + e.ppid;
        for (int field = 5; field < 22; ++field)
            stat += " 0";
        stat += std::string(" ") + e.start + " 0 0\n";
        WriteFile(proc.file(std::string(e.pid) + "/stat"), stat);
    }
    const std::vector<gwcfgd::Forwarder> all = gwcfgd::list_forwarders(proc.path().c_str());
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].pid, 100);
    EXPECT_EQ(all[0].start_ticks, 5000u);
    EXPECT_EQ(all[1].pid, 200);
    EXPECT_EQ(all[1].start_ticks, 6000u);
}

TEST(RestartRequestText, NamesTheModeAndThePid) {
    char text[64];
    EXPECT_EQ(gwcfgd::format_restart_request(1, 1234, text, sizeof text), 16);
    EXPECT_STREQ(text, "fix_ip mode:1234");
    EXPECT_EQ(gwcfgd::format_restart_request(0, 77, text, sizeof text), 12);
    EXPECT_STREQ(text, "dhcp mode:77");
    EXPECT_GT(gwcfgd::format_restart_request(1, 2147483647, text, sizeof text), 0);
    EXPECT_LE(strlen(text), 50u);
    EXPECT_EQ(gwcfgd::format_restart_request(1, 1, text, 8), -1);
}

// ---------------------------------------------------------------------------
// The scenario inside the namespaces

// Reads one type-1 message within timeout_ms; "" when none comes.
std::string ReadRequest(int queue, int timeout_ms) {
    struct {
        long mtype;
        char mtext[64];
    } msg;
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        memset(&msg, 0, sizeof msg);
        ssize_t n = msgrcv(queue, &msg, respawn::kMaxText, respawn::kRequestType, IPC_NOWAIT);
        if (n >= 0) return std::string(msg.mtext, static_cast<size_t>(n));
        usleep(10000);
    }
    return "";
}

int Fail(const char *what) {
    printf("FAILED %s (%s)\n", what, strerror(errno));
    return 1;
}

int RestartScenario() {
    printf("SCENARIO-START pid=%d\n", getpid());
    if (mount("tmpfs", "/home", "tmpfs", 0, "mode=0755") != 0) return Fail("mount tmpfs on /home");
    if (mkdir("/home/pi", 0755) != 0) return Fail("mkdir /home/pi");
    WriteFile(respawn::kKeyPath, "");

    TempDir state;
    // Three updates follow each other within a second: no update limit.
    gwdtest::Daemon d(state.path(), {"--restart-requests", "--limit", "update=0/0"});
    if (!d.WaitReady()) {
        printf("FAILED daemon start\n%s\n", d.Log().c_str());
        return 1;
    }
    gwblock::BlockContents bc{};

    // No forwarder yet: one log line, nothing posted (not even a queue).
    gwdtest::Discover(d.port(), &bc);
    gwdtest::SendUpdate(d.port(), d.mac(), bc);
    d.WaitLog("update applied: revision 1");
    d.WaitLog("gwcfgd: no restart request: basic_pkt_fwd is not running", 3000);
    const key_t key = ftok(respawn::kKeyPath, respawn::kProjectId);
    printf("NO_FORWARDER_QUEUE=%s\n",
           msgget(key, 0) == -1 && errno == ENOENT ? "absent" : "exists");

    // A stand-in forwarder: a copy of sleep under the forwarder's name.
    const std::string fwd = state.file("basic_pkt_fwd");
    WriteFile(fwd, gwtest::ReadFile("/bin/sleep"), 0755);
    gwtest::Process forwarder({fwd, "60"});
    gwtest::Process decoy({"/bin/sleep", "60"});
    printf("FORWARDER_PID=%d\n", forwarder.pid());
    // The exec may still be on its way.
    gwdtest::WaitFor(
        [] {
            return gwcfgd::find_forwarder_pid() > 0;
        },
        3000);

    // A queue made as before, open to all (0666), and filled with 1 KiB
    // messages of a type the respawner never reads: a full queue that only
    // a reboot would have emptied.
    const int queue = msgget(key, IPC_CREAT | 0666);
    if (queue == -1) return Fail("msgget");
    struct {
        long mtype;
        char mtext[1024];
    } junk = {7, ""};
    int filled = 0;
    while (filled < 1000 && msgsnd(queue, &junk, sizeof junk.mtext, IPC_NOWAIT) == 0)
        ++filled;
    printf("FILLED=%d\n", filled);
    for (int mode : {1, 0}) {
        gwdtest::Discover(d.port(), &bc);
        bc.eqp.networkmode = static_cast<uint8_t>(mode);
        gwdtest::SendUpdate(d.port(), d.mac(), bc);
        printf("REQUEST_MODE_%d=%s\n", mode, ReadRequest(queue, 5000).c_str());
    }
    printf("EXTRA=%s\n", ReadRequest(queue, 200).c_str());
    msqid_ds info{};
    msgctl(queue, IPC_STAT, &info);
    printf("QUEUE_MODE=%o\n", static_cast<unsigned>(info.msg_perm.mode & 0777));
    printf("LOG_BEGIN\n%sLOG_END\n", d.Log().c_str());
    msgctl(queue, IPC_RMID, nullptr);
    return 0;
}

std::string Field(const std::string &out, const std::string &name) {
    const std::string tag = name + "=";
    size_t at = out.find("\n" + tag);
    if (at == std::string::npos) return "<missing>";
    at += 1 + tag.size();
    return out.substr(at, out.find('\n', at) - at);
}

TEST(RestartRequestInNamespaces, NamesTheRunningStandInForwarder) {
    if (!GW_CAN_EXEC_TARGET)
        GTEST_SKIP() << "this machine cannot start the target's programs (cross build without "
                        "binfmt_misc): the executable is not re-run in namespaces";
    if (geteuid() != 0) GTEST_SKIP() << "needs root for private mount, IPC and pid namespaces";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    std::string out, err;
    const int status = gwtest::RunProgram({"unshare", "-m", "-i", "-p", "-f", "--mount-proc",
                                           "--propagation", "private", self, "--restart-scenario"},
                                          &out, &err, 60000);
    if (out.find("SCENARIO-START") == std::string::npos)
        GTEST_SKIP() << "cannot make private namespaces here: " << err;
    ASSERT_EQ(status, 0) << out << err;
    // The scenario runs as pid 1 of its own pid namespace.
    EXPECT_NE(out.find("SCENARIO-START pid=1\n"), std::string::npos) << out;
    EXPECT_EQ(Field(out, "NO_FORWARDER_QUEUE"), "absent") << out;
    const std::string pid = Field(out, "FORWARDER_PID");
    EXPECT_EQ(Field(out, "REQUEST_MODE_1"), "fix_ip mode:" + pid) << out;
    EXPECT_EQ(Field(out, "REQUEST_MODE_0"), "dhcp mode:" + pid) << out;
    EXPECT_EQ(Field(out, "EXTRA"), "") << out;
    // Only the gateway's own account may use the queue, and messages no
    // one reads do not keep the requests out.
    EXPECT_EQ(Field(out, "QUEUE_MODE"), "620") << out;
    EXPECT_NE(out.find("gwcfgd: the respawner's queue was full: took " + Field(out, "FILLED") +
                       " messages of other types that no one reads off it"),
              std::string::npos)
        << out;
    EXPECT_EQ(gwdtest::Count(out, "gwcfgd: no restart request: basic_pkt_fwd is not running"), 1u)
        << out;
    EXPECT_NE(out.find("gwcfgd: restart request posted: fix_ip mode:" + pid), std::string::npos);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--restart-scenario") == 0) {
        setvbuf(stdout, nullptr, _IOLBF, 0);
        return RestartScenario();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
