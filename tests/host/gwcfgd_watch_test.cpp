// Safe apply on the restart road: gwcfgd, the respawner and a stand-in
// basic_pkt_fwd (tests/testbed/standin_forwarder.c: it exits at start when
// its server_address contains "crash", one second later with "late") in
// private PID, IPC and mount namespaces. /home is a tmpfs only the namespace
// sees (the queue's key file and the forwarder's directory), and a fake sudo
// first on PATH runs the forwarder and nothing else. Windows are short
// through the daemon's options.
//
// The test executable re-runs itself under unshare; each test then runs as
// pid 1 of its own namespace, so that it reaches and ends exactly what it
// started.
#include "daemon_harness.h"
#include "gwcfgd.h"
#include "restart_request.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

using gwblock::BlockContents;
using gwblock::ChangeReason;
using gwblock::ChangeState;

const char kInsideEnv[] = "GWTEST_WATCH_NS";
const char kSkipEnv[] = "GWTEST_WATCH_SKIP";
const std::string kForwarderDir = "/home/pi/lora0427/lora/packet_forwarder/basic_pkt_fwd";

uint8_t StateOf(ChangeState s) { return static_cast<uint8_t>(s); }

class SafeApply : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char *why = getenv(kSkipEnv)) GTEST_SKIP() << "no private namespaces: " << why;
        if (!getenv(kInsideEnv) || getpid() != 1)
            GTEST_SKIP() << "not running inside the private PID namespace";
        inside_ = true;
        ASSERT_EQ(mount("gwtest", "/home", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=8m"), 0)
            << strerror(errno);
        mounted_ = true;
        std::filesystem::create_directories(kForwarderDir);
        gwtest::WriteFile(respawn::kKeyPath, "");
        gwtest::WriteFile(kForwarderDir + "/basic_pkt_fwd", gwtest::ReadFile(STANDIN_FORWARDER),
                          0755);
        // The respawner's commands: dhcpcd does nothing, the forwarder runs.
        gwtest::WriteFile(bin_.file("sudo"),
                          "#!/bin/sh\ncase \"$1\" in dhcpcd) exit 0 ;; esac\nexec \"$@\"\n", 0755);
        const char *path = getenv("PATH");
        setenv("PATH", (bin_.path() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
        respawner_ = std::make_unique<gwtest::Process>(std::vector<std::string>{RESPAWNER_BIN});
    }

    void TearDown() override {
        daemon_.reset();
        forwarder_.reset();
        respawner_.reset();
        if (inside_) {
            // Pid 1 of the namespace: -1 reaches exactly what the test
            // started there, forwarders the respawner launched included.
            kill(-1, SIGKILL);
            while (waitpid(-1, nullptr, 0) > 0) {
            }
        }
        const key_t key = ftok(respawn::kKeyPath, respawn::kProjectId);
        const int q = key == -1 ? -1 : msgget(key, 0);
        if (q >= 0) msgctl(q, IPC_RMID, nullptr);
        if (mounted_) umount2("/home", MNT_DETACH);
    }

    void StartDaemon(unsigned window_s = 2, unsigned start_timeout_s = 8) {
        daemon_ = std::make_unique<gwdtest::Daemon>(
            state_.path(),
            std::vector<std::string>{"--restart-requests", "--conf-dir", kForwarderDir,
                                     "--confirm-window", std::to_string(window_s),
                                     "--start-timeout", std::to_string(start_timeout_s), "--limit",
                                     "update=0/0", "--limit", "command=0/0"});
        ASSERT_TRUE(daemon_->WaitReady()) << daemon_->Log();
    }

    // A forwarder that runs before any change, started by the test.
    void StartForwarder(const std::vector<std::string> &argv = {kForwarderDir + "/basic_pkt_fwd"}) {
        forwarder_ =
            std::make_unique<gwtest::Process>(argv, std::vector<std::string>{}, kForwarderDir);
        ASSERT_TRUE(gwdtest::WaitFor(
            [] {
                return gwcfgd::find_forwarder_pid() > 0;
            },
            5000));
    }

    BlockContents Read() {
        BlockContents bc{};
        EXPECT_TRUE(gwdtest::Discover(daemon_->port(), &bc));
        return bc;
    }

    // Reads the gateway and sends it the configuration with server as the
    // forwarder's server address; the revision it was made from.
    uint32_t Change(const std::string &server) {
        BlockContents bc = Read();
        snprintf(bc.gw.gateway_conf.server_address, sizeof bc.gw.gateway_conf.server_address, "%s",
                 server.c_str());
        gwdtest::SendUpdate(daemon_->port(), daemon_->mac(), bc);
        return bc.revision;
    }

    bool WaitLog(const std::string &needle, int timeout_ms = 30000, size_t count = 1) {
        return daemon_->WaitLog(needle, timeout_ms, count);
    }

    std::string ForwarderLog() const { return respawner_->Stdout(); }

    // gwcfg VERB MAC ARGS... against the daemon (discover: no MAC).
    struct ToolResult {
        int status;
        std::string out, err;
        double seconds;
    };
    ToolResult Tool(const std::string &verb, const std::vector<std::string> &args) {
        std::vector<std::string> argv = {GWCFG_BIN, verb};
        if (verb != "discover") argv.push_back(daemon_->mac_text());
        argv.insert(argv.end(), args.begin(), args.end());
        for (const std::string &a : {std::string("--to"), std::string("127.0.0.1"),
                                     std::string("--port"), std::to_string(daemon_->port())})
            argv.push_back(a);
        ToolResult r{};
        const auto start = std::chrono::steady_clock::now();
        r.status = gwtest::RunProgram(argv, &r.out, &r.err, 90000);
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return r;
    }

    std::string ServerInConf() {
        Json::Value conf;
        if (!gwdtest::ReadGlobalConf(kForwarderDir, &conf)) return "<no global_conf.json>";
        return conf["gateway_conf"]["server_address"].asString();
    }

    std::string Context() {
        return "\n--- gwcfgd\n" + daemon_->Log() + "--- respawner\n" + ForwarderLog() +
               "--- its errors\n" + respawner_->Stderr();
    }

    gwtest::TempDir state_, bin_;
    std::unique_ptr<gwtest::Process> respawner_, forwarder_;
    std::unique_ptr<gwdtest::Daemon> daemon_;
    bool inside_ = false, mounted_ = false;
};

TEST_F(SafeApply, AGoodChangeIsConfirmedAfterTheWindow) {
    StartDaemon();
    StartForwarder();
    Change("good.example.net");
    ASSERT_TRUE(WaitLog("watching revision 1:")) << Context();
    const BlockContents watching = Read();
    EXPECT_EQ(watching.change.state, StateOf(ChangeState::Watching));
    EXPECT_EQ(watching.change.revision, 1u);
    EXPECT_GE(watching.change.left, 1u);
    EXPECT_LE(watching.change.left, 2u + 8u);
    EXPECT_TRUE(gwtest::FileExists(state_.file(gwcfgd::kPreviousBlockFile)));

    ASSERT_TRUE(WaitLog("gwcfgd: revision 1 confirmed: basic_pkt_fwd ")) << Context();
    const BlockContents after = Read();
    EXPECT_EQ(after.revision, 1u);
    EXPECT_EQ(after.change.state, StateOf(ChangeState::Confirmed));
    EXPECT_EQ(after.change.revision, 1u);
    EXPECT_EQ(after.change.reason, 0);
    EXPECT_EQ(after.change.left, 0u);
    EXPECT_FALSE(gwtest::FileExists(state_.file(gwcfgd::kPreviousBlockFile)));
    EXPECT_EQ(ServerInConf(), "good.example.net");
    EXPECT_NE(ForwarderLog().find("server_address=good.example.net"), std::string::npos)
        << Context();
    EXPECT_EQ(gwdtest::Count(daemon_->Log(), "rolled back"), 0u) << Context();
}

// A change the forwarder cannot run with, whether it exits at once or a
// second after starting, is rolled back well within the window.
struct CrashCase {
    const char *name;
    const char *server;
    const char *reason;  // a regular expression for the reason's words
};

class SafeApplyCrash : public SafeApply, public ::testing::WithParamInterface<CrashCase> {};

TEST_P(SafeApplyCrash, IsRolledBackAndTheFailedRevisionIsStale) {
    const CrashCase &c = GetParam();
    StartDaemon(/*window_s=*/3);
    StartForwarder();
    const std::string original = ServerInConf();
    const BlockContents before = Read();
    Change(c.server);
    ASSERT_TRUE(WaitLog("update applied: revision 1")) << Context();
    const BlockContents holding_the_failed_one = Read();
    ASSERT_EQ(holding_the_failed_one.revision, 1u);

    ASSERT_TRUE(WaitLog("gwcfgd: rolled back revision 1 to the configuration of revision 0: "))
        << Context();
    std::smatch m;
    const std::string log = daemon_->Log();
    EXPECT_TRUE(std::regex_search(
        log, m,
        std::regex(std::string("rolled back revision 1 to the configuration of revision 0: ") +
                   c.reason)))
        << Context();
    // The restored configuration is a new revision, and it runs.
    ASSERT_TRUE(WaitLog("the configuration of revision 0, restored as revision 2, runs"))
        << Context();
    EXPECT_EQ(ServerInConf(), original);
    const std::string fwd = ForwarderLog();
    EXPECT_NE(fwd.find("exiting pid="), std::string::npos) << Context();
    EXPECT_NE(fwd.rfind("server_address=" + original), std::string::npos);
    EXPECT_GT(fwd.rfind("server_address=" + original),
              fwd.find(std::string("server_address=") + c.server))
        << Context();

    const BlockContents after = Read();
    EXPECT_EQ(after.revision, 2u);
    EXPECT_EQ(after.change.state, StateOf(ChangeState::RolledBack));
    EXPECT_EQ(after.change.revision, 1u);
    EXPECT_TRUE(after.change.reason == static_cast<uint8_t>(ChangeReason::Exited) ||
                after.change.reason == static_cast<uint8_t>(ChangeReason::NoStart));
    EXPECT_TRUE(std::regex_match(gwblock::change_reason_text(after.change), std::regex(c.reason)))
        << gwblock::change_reason_text(after.change);
    // The configuration is the one before the change, revision aside.
    BlockContents stored;
    std::string error;
    ASSERT_TRUE(gwdtest::ReadStoredBlock(state_.path(), &stored, &error)) << error;
    EXPECT_EQ(stored.revision, 2u);
    EXPECT_STREQ(stored.gw.gateway_conf.server_address, before.gw.gateway_conf.server_address);
    EXPECT_EQ(memcmp(&stored.gw, &before.gw, sizeof stored.gw), 0);
    EXPECT_NE(
        gwtest::ReadFile(state_.file(gwcfgd::kHistoryFile)).find(" - rolled-back 1 -> 2 reason: "),
        std::string::npos)
        << gwtest::ReadFile(state_.file(gwcfgd::kHistoryFile));

    // A tool that still holds the failed revision is refused.
    BlockContents stale = holding_the_failed_one;
    snprintf(stale.gw.gateway_conf.server_address, sizeof stale.gw.gateway_conf.server_address,
             "late.example");
    gwdtest::SendUpdate(daemon_->port(), daemon_->mac(), stale);
    ASSERT_TRUE(WaitLog(
        "update refused: it was made from revision 1 but the configuration is at revision 2"))
        << Context();
    EXPECT_EQ(Read().revision, 2u);
    EXPECT_EQ(ServerInConf(), original);
}

INSTANTIATE_TEST_SUITE_P(
    Forwarder, SafeApplyCrash,
    ::testing::Values(
        // Gone before the daemon may see it: either no start or an exit.
        CrashCase{"ExitsAtStart", "crash.example.net",
                  "(no forwarder started within 8 s|the forwarder exited [0-9] s after starting)"},
        CrashCase{"ExitsAfterASecond", "crash-late.example.net",
                  "the forwarder exited [0-3] s after starting"}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

// A forwarder stopped on a request gwcfgd did not make (another process of
// the gateway's account restarted it) is not the change's failure: the one
// the respawner starts instead is watched, and the change confirmed.
TEST_F(SafeApply, AForwarderRestartedByAnotherIsNotTheChangesFailure) {
    StartDaemon(3, 8);
    StartForwarder();
    Change("good.example.net");
    ASSERT_TRUE(WaitLog("started with revision 1; watching it")) << Context();
    const int fresh = gwcfgd::find_forwarder_pid();
    ASSERT_GT(fresh, 0);
    const key_t key = ftok(respawn::kKeyPath, respawn::kProjectId);
    const int queue = msgget(key, 0);
    ASSERT_GE(queue, 0) << strerror(errno);
    struct {
        long mtype;
        char mtext[64];
    } msg = {respawn::kRequestType, ""};
    const int len = snprintf(msg.mtext, sizeof msg.mtext, "other:%d", fresh);
    ASSERT_EQ(msgsnd(queue, &msg, static_cast<size_t>(len), 0), 0) << strerror(errno);

    ASSERT_TRUE(WaitLog("was stopped by a restart request that gwcfgd did not make")) << Context();
    ASSERT_TRUE(WaitLog("gwcfgd: revision 1 confirmed: basic_pkt_fwd ")) << Context();
    EXPECT_EQ(gwdtest::Count(daemon_->Log(), "rolled back"), 0u) << Context();
    EXPECT_EQ(Read().change.state, StateOf(ChangeState::Confirmed));
}

// A restart that could not be posted is said to be that: the change is not
// blamed for a forwarder that nobody asked to start.
TEST_F(SafeApply, AChangeWhoseRestartCouldNotBePostedIsNotRolledBack) {
    StartDaemon(2, 2);
    StartForwarder();
    ASSERT_EQ(unlink(respawn::kKeyPath), 0);  // no key: nothing can be posted
    Change("good.example.net");
    ASSERT_TRUE(
        WaitLog("gwcfgd: revision 1 is not watched: the restart request could not be "
                "posted"))
        << Context();
    std::this_thread::sleep_for(std::chrono::seconds(3));  // past the start timeout
    EXPECT_EQ(gwdtest::Count(daemon_->Log(), "rolled back"), 0u) << Context();
    const BlockContents after = Read();
    EXPECT_EQ(after.revision, 1u);
    EXPECT_EQ(after.change.state, StateOf(ChangeState::None));
    EXPECT_FALSE(gwtest::FileExists(state_.file(gwcfgd::kPreviousBlockFile)));
}

TEST_F(SafeApply, ARestoredConfigurationThatFailsTooIsKeptWithoutALoop) {
    StartDaemon(/*window_s=*/30, /*start_timeout_s=*/3);
    // A configuration the forwarder cannot run with, taken while none ran
    // (not watched), then a forwarder that does not read it.
    Change("crash-first.example.net");
    ASSERT_TRUE(WaitLog("revision 1 is not watched: basic_pkt_fwd was not running")) << Context();
    const std::string sleeper = state_.file("basic_pkt_fwd");
    gwtest::WriteFile(sleeper, gwtest::ReadFile("/bin/sleep"), 0755);
    StartForwarder({sleeper, "600"});

    Change("crash-second.example.net");
    ASSERT_TRUE(WaitLog("rolled back revision 2 to the configuration of revision 1: "))
        << Context();
    ASSERT_TRUE(
        WaitLog("gwcfgd: the configuration of revision 1, restored as revision 3, failed too: "))
        << Context();
    EXPECT_TRUE(WaitLog("keeping it and trying nothing more", 1000)) << Context();
    const BlockContents after = Read();
    EXPECT_EQ(after.revision, 3u);
    EXPECT_EQ(after.change.state, StateOf(ChangeState::Failed));
    EXPECT_EQ(after.change.revision, 2u);
    EXPECT_EQ(ServerInConf(), "crash-first.example.net");
    EXPECT_FALSE(gwtest::FileExists(state_.file(gwcfgd::kPreviousBlockFile)));

    // Nothing more is asked of the respawner: two restarts, one rollback.
    usleep(2 * 3 * 1000 * 1000);
    const std::string log = daemon_->Log();
    EXPECT_EQ(gwdtest::Count(log, "restart request posted"), 2u) << Context();
    EXPECT_EQ(gwdtest::Count(log, "rolled back revision"), 1u) << Context();
    EXPECT_EQ(Read().revision, 3u);
}

// A daemon killed during the window resumes the watch from its state
// directory: with the forwarder it sees running, or asking for one.
struct ResumeCase {
    const char *name;
    const char *server;
    const char *kill_after;  // the log line after which the daemon is killed
    ChangeState outcome;
};

class SafeApplyResume : public SafeApply, public ::testing::WithParamInterface<ResumeCase> {};

TEST_P(SafeApplyResume, ADaemonKilledDuringTheWindowResumes) {
    const ResumeCase &c = GetParam();
    StartDaemon(/*window_s=*/4);
    StartForwarder();
    Change(c.server);
    ASSERT_TRUE(WaitLog(c.kill_after)) << Context();
    daemon_->process().Signal(SIGKILL);
    ASSERT_EQ(daemon_->process().Wait(5000), 128 + SIGKILL);
    const std::string first = daemon_->Log();

    StartDaemon(/*window_s=*/4);
    ASSERT_TRUE(WaitLog("gwcfgd: resuming the watch of revision 1")) << first << Context();
    if (c.outcome == ChangeState::Confirmed) {
        ASSERT_TRUE(WaitLog("gwcfgd: revision 1 confirmed: basic_pkt_fwd ")) << first << Context();
    } else {
        ASSERT_TRUE(WaitLog("gwcfgd: rolled back revision 1 to the configuration of revision 0: "))
            << first << Context();
        ASSERT_TRUE(WaitLog("restored as revision 2, runs")) << Context();
    }
    const BlockContents after = Read();
    EXPECT_EQ(after.change.state, StateOf(c.outcome));
    EXPECT_EQ(after.change.revision, 1u);
    EXPECT_FALSE(gwtest::FileExists(state_.file(gwcfgd::kPreviousBlockFile)));
}

INSTANTIATE_TEST_SUITE_P(
    Window, SafeApplyResume,
    ::testing::Values(ResumeCase{"WatchingAGoodForwarder", "good.example.net",
                                 "started with revision 1; watching it", ChangeState::Confirmed},
                      ResumeCase{"BeforeTheCrashingForwarderStarted", "crash-late.example.net",
                                 "watching revision 1:", ChangeState::RolledBack}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

// A Confirm command ends the window of the revision it names, and only that.
TEST_F(SafeApply, AConfirmOfTheWatchedRevisionEndsTheWindow) {
    StartDaemon(/*window_s=*/600);
    StartForwarder();
    Change("good.example.net");
    ASSERT_TRUE(WaitLog("started with revision 1; watching it")) << Context();
    uint8_t cmd[MESSAGE_COMMAND_LEN];
    gwdtest::Udp udp;
    gwblock::build_confirm(cmd, daemon_->mac(), 0);
    udp.Send("127.0.0.1", daemon_->port(), cmd, sizeof cmd);
    ASSERT_TRUE(WaitLog("Confirm of revision 0 from 127.0.0.1:")) << Context();
    EXPECT_NE(daemon_->Log().find("ignored: revision 1 is being watched"), std::string::npos)
        << Context();
    EXPECT_EQ(Read().change.state, StateOf(ChangeState::Watching));

    gwblock::build_confirm(cmd, daemon_->mac(), 1);
    udp.Send("127.0.0.1", daemon_->port(), cmd, sizeof cmd);
    ASSERT_TRUE(WaitLog("gwcfgd: revision 1 confirmed with gwcfg confirm from 127.0.0.1:"))
        << Context();
    const BlockContents after = Read();
    EXPECT_EQ(after.change.state, StateOf(ChangeState::Confirmed));
    EXPECT_EQ(after.change.reason, static_cast<uint8_t>(ChangeReason::Operator));
    EXPECT_FALSE(gwtest::FileExists(state_.file(gwcfgd::kPreviousBlockFile)));
    // The handler logs the command as any other text.
    EXPECT_NE(daemon_->Log().find("Confirm, len = 7"), std::string::npos) << Context();
}

// A Confirm means something: it counts only once a forwarder that started
// with the change runs, and only from the address that sent the change,
// unless --confirm-from-any says any source may confirm.
TEST_F(SafeApply, AConfirmCountsOnlyForARunningChangeFromItsSource) {
    StartDaemon(/*window_s=*/600);
    StartForwarder();
    Change("good.example.net");
    ASSERT_TRUE(WaitLog("watching revision 1:")) << Context();
    uint8_t cmd[MESSAGE_COMMAND_LEN];
    gwblock::build_confirm(cmd, daemon_->mac(), 1);
    gwdtest::Udp same;
    same.Send("127.0.0.1", daemon_->port(), cmd, sizeof cmd);  // before the restart is done
    ASSERT_TRUE(WaitLog("refused: no basic_pkt_fwd that started with it runs yet")) << Context();

    ASSERT_TRUE(WaitLog("started with revision 1; watching it")) << Context();
    gwdtest::Udp other("127.0.0.2");
    other.Send("127.0.0.1", daemon_->port(), cmd, sizeof cmd);
    ASSERT_TRUE(WaitLog("Confirm of revision 1 from 127.0.0.2:")) << Context();
    EXPECT_NE(daemon_->Log().find("refused: the change came from 127.0.0.1 (--confirm-from-any"),
              std::string::npos)
        << Context();
    EXPECT_EQ(Read().change.state, StateOf(ChangeState::Watching));

    same.Send("127.0.0.1", daemon_->port(), cmd, sizeof cmd);
    ASSERT_TRUE(WaitLog("gwcfgd: revision 1 confirmed with gwcfg confirm from 127.0.0.1:"))
        << Context();
    EXPECT_EQ(Read().change.state, StateOf(ChangeState::Confirmed));
}

// gwcfg set waits for the gateway's verdict and says how it went; with
// --no-wait it returns once the change is stored, and discover tells the
// verdict later.
struct ToolCase {
    const char *name;
    const char *server;
    bool no_wait;
    int status;
    const char *stream;  // "out" or "err"
    const char *says;    // a regular expression
};

class SafeApplyTool : public SafeApply, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(SafeApplyTool, SetSaysWhatBecameOfTheChange) {
    const ToolCase &c = GetParam();
    StartDaemon(/*window_s=*/3);
    StartForwarder();
    std::vector<std::string> args = {std::string("gateway_conf.server_address=") + c.server};
    if (c.no_wait) args.push_back("--no-wait");
    const ToolResult r = Tool("set", args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err << Context();
    EXPECT_TRUE(
        std::regex_search(std::string(c.stream) == "out" ? r.out : r.err, std::regex(c.says)))
        << "out:\n"
        << r.out << "err:\n"
        << r.err << Context();
    if (c.no_wait) {
        EXPECT_LT(r.seconds, 3.0);
        ASSERT_TRUE(WaitLog("gwcfgd: rolled back revision 1")) << Context();
        ASSERT_TRUE(WaitLog("restored as revision 2, runs")) << Context();
    }
    const ToolResult d = Tool("show", {});
    EXPECT_TRUE(
        std::regex_search(d.out,
                          std::regex(std::string("last change +") +
                                     (std::string(c.server).find("crash") != std::string::npos
                                          ? "rolled back \\(revision 1: the forwarder exited"
                                          : "confirmed \\(revision 1\\)"))))
        << d.out << d.err;
}

INSTANTIATE_TEST_SUITE_P(
    Tool, SafeApplyTool,
    ::testing::Values(
        ToolCase{
            "Confirmed", "good.example.net", false, 0, "out",
            "stored as revision 1, global_conf.json rewritten; confirmed: the forwarder has run it for the "
            "whole window"},
        ToolCase{
            "RolledBack", "crash-late.example.net", false, 1, "err",
            "gwcfg set: gateway 02:00:5e:10:00:01 rolled back revision 1 to the configuration before it \\(now "
            "revision 2\\): the forwarder exited [0-3] s after starting\\. "},
        ToolCase{
            "NoWait", "crash-late.example.net", true, 0, "out",
            "stored as revision 1, global_conf.json rewritten; the gateway watches the forwarder with it for "
            "up to [0-9]+ s"}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

TEST_F(SafeApply, GwcfgConfirmEndsTheWindowOfTheWatchedRevision) {
    StartDaemon(/*window_s=*/600);
    // Nothing watched yet: nothing is sent.
    ToolResult r = Tool("confirm", {});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("watches no change (its last change: not watched); nothing was sent"),
              std::string::npos)
        << r.err;
    StartForwarder();
    r = Tool("set", {"gateway_conf.server_address=good.example.net", "--no-wait"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_TRUE(WaitLog("started with revision 1; watching it")) << Context();
    r = Tool("discover", {});
    EXPECT_TRUE(std::regex_search(r.out, std::regex("watching \\(revision 1, [0-9]+ s left\\)")))
        << r.out;
    r = Tool("confirm", {});
    EXPECT_EQ(r.status, 0) << r.out << r.err << Context();
    EXPECT_NE(r.out.find(
                  "revision 1 confirmed; the gateway no longer keeps the configuration before it"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(WaitLog("gwcfgd: revision 1 confirmed with gwcfg confirm from 127.0.0.1:"))
        << Context();
    r = Tool("confirm", {});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("revision 1 is confirmed already"), std::string::npos) << r.out;
    r = Tool("show", {"--json"});
    EXPECT_NE(r.out.find("\"change_state\" : 2"), std::string::npos) << r.out;
}

// Empty when unshare can give this process the namespaces, else why not.
std::string ProbeNamespaces() {
    if (geteuid() != 0) return "needs root for private mount, IPC and pid namespaces";
    std::string out, err;
    const int status =
        gwtest::RunProgram({"unshare", "-p", "-f", "-m", "-i", "--mount-proc", "true"}, &out, &err,
                           10000);
    if (status != 0) return "unshare -p -f -m -i --mount-proc is not permitted here: " + err;
    return "";
}

}  // namespace

int main(int argc, char **argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing |= strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    if (getenv(kInsideEnv)) {
        setsid();
    } else if (!listing && !getenv(kSkipEnv)) {
        std::string why = GW_CAN_EXEC_TARGET ? ProbeNamespaces()
                                             : "this machine cannot start the target's programs";
        if (why.empty()) {
            char self[4096];
            const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
            if (n > 0) {
                self[n] = '\0';
                std::vector<std::string> args = {
                    "unshare",       "-p",      "-f",           "-m", "-i", "--mount-proc",
                    "--propagation", "private", "--kill-child", "--", self};
                for (int i = 1; i < argc; ++i)
                    args.push_back(argv[i]);
                std::vector<char *> av;
                for (std::string &a : args)
                    av.push_back(a.data());
                av.push_back(nullptr);
                setenv(kInsideEnv, "1", 1);
                execvp(av[0], av.data());
                unsetenv(kInsideEnv);
                why = std::string("cannot run unshare: ") + strerror(errno);
            } else {
                why = "cannot find this test program";
            }
        }
        setenv(kSkipEnv, why.c_str(), 1);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
