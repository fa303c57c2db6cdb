// End-to-end tests of the respawner program. The test executable re-runs
// itself under `unshare -p -f -m -i --mount-proc`, so that every test has a
// private PID, IPC and mount namespace: /home is a fresh tmpfs holding the key
// file and the forwarder directory, the message queue is private, and the
// only processes respawner can signal are the ones the test starts. A fake
// sudo first on PATH records what would have been run.
#include <fcntl.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "restart_request.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

const char kInsideEnv[] = "GWTEST_RESPAWNER_NS";
const char kSkipEnv[] = "GWTEST_RESPAWNER_SKIP";
const std::string kKeyFile = respawn::kKeyPath;
const std::string kForwarderDir = "/home/pi/lora0427/lora/packet_forwarder/basic_pkt_fwd";
const std::string kOk = "OK to restart basic_pkt_fwd service....";

std::vector<std::string> UnshareArgs() {
    std::vector<std::string> args = {"unshare", "-p",           "-f",          "-m",
                                     "-i",      "--mount-proc", "--kill-child"};
    if (geteuid() != 0)
        args.insert(args.begin() + 1, "-r");  // map the caller to root in a user namespace
    return args;
}

std::vector<char *> Argv(std::vector<std::string> &args) {
    std::vector<char *> out;
    for (auto &a : args)
        out.push_back(a.data());
    out.push_back(nullptr);
    return out;
}

// Waits for a child for at most `ms`; kills it when it takes longer.
// Returns its wait status, or -1 when it had to be killed.
int WaitBounded(pid_t pid, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    int status = 0;
    while (Clock::now() < end) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// Empty when `unshare` can give this process the namespaces, else why not.
std::string ProbeNamespaces() {
    std::vector<std::string> args = UnshareArgs();
    args.push_back("true");
    pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        auto argv = Argv(args);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = WaitBounded(pid, 10000);
    if (status == -1) return "unshare did not finish";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        return "unshare is not installed (util-linux)";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "unshare -p -f -m -i --mount-proc is not permitted here (needs root or user "
               "namespaces)";
    return "";
}

double Seconds(const std::string &text) { return std::strtod(text.c_str(), nullptr); }

// One call recorded by the fake sudo.
struct SudoCall {
    double time;
    std::string cwd;
    std::string args;
};

class RespawnerE2E : public testing::Test {
protected:
    void SetUp() override {
        if (const char *why = getenv(kSkipEnv)) GTEST_SKIP() << "no private namespaces: " << why;
        if (!getenv(kInsideEnv) || getpid() != 1)
            GTEST_SKIP() << "not running inside the private PID namespace";
        ASSERT_EQ(getpgrp(), getpid()) << "the test must lead its own process group";
        namespace_init_ = true;
        struct stat st;
        if (stat("/home", &st) != 0 || !S_ISDIR(st.st_mode))
            GTEST_SKIP() << "no /home directory to mount the scratch tmpfs on";
        ASSERT_EQ(mount("gwtest", "/home", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=4m"), 0)
            << strerror(errno);
        mounted_ = true;
        // No network stack runs here, whatever this machine runs (the
        // respawner looks for /run/dhcpcd and /run/NetworkManager): it
        // renews with the given dhcpcd commands, through the fake sudo.
        if (stat("/run", &st) == 0 && S_ISDIR(st.st_mode)) {
            ASSERT_EQ(mount("gwtest", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=1m"),
                      0)
                << strerror(errno);
            run_mounted_ = true;
        }
        std::filesystem::create_directories(kForwarderDir);
        gwtest::WriteFile(kKeyFile, "");
        sudo_ = std::make_unique<gwtest::FakeSudo>();
    }

    void TearDown() override {
        if (namespace_init_) {
            // This process is the init of a PID namespace it made, so -1
            // reaches exactly what the test started there: respawner, the
            // victims and any forwarder launch still in the background.
            kill(-1, SIGKILL);
            while (waitpid(-1, nullptr, 0) > 0) {
            }
        }
        if (out_fd_ >= 0) close(out_fd_);
        key_t key = ftok(kKeyFile.c_str(), respawn::kProjectId);
        int q = key == -1 ? -1 : msgget(key, 0);
        if (q >= 0) msgctl(q, IPC_RMID, nullptr);
        sudo_.reset();
        if (mounted_) umount2("/home", MNT_DETACH);
        if (run_mounted_) umount2("/run", MNT_DETACH);
    }

    void StartRespawner() {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            execl(RESPAWNER_BIN, "respawner", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        out_fd_ = fds[0];
        respawner_ = pid;
    }

    // A process named basic_pkt_fwd (or `name`) that does nothing until a
    // signal ends it, without leaving a core file behind.
    pid_t StartVictim(const char *name = "basic_pkt_fwd") {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_NAME, name);
            prctl(PR_SET_DUMPABLE, 0);
            struct rlimit none = {0, 0};
            setrlimit(RLIMIT_CORE, &none);
            for (;;)
                pause();
        }
        // Named before any request can name it.
        const auto end = Clock::now() + std::chrono::seconds(3);
        while (Clock::now() < end && gwtest::ReadFile("/proc/" + std::to_string(pid) + "/comm") !=
                                         std::string(name).substr(0, 15) + "\n")
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return pid;
    }

    // Has the fake sudo start a stand-in forwarder for "./basic_pkt_fwd"
    // (a copy of sleep, named basic_pkt_fwd, that runs until a signal ends
    // it) after a random delay of 0 to max_delay_ms, as a slow sudo would:
    // half of the launches exec it (sudo without a session), the other half
    // wait for it as its parent (sudo with a PAM session).
    void UseStandInForwarder(int max_delay_ms) {
        std::filesystem::copy_file("/bin/sleep", kForwarderDir + "/basic_pkt_fwd");
        chmod((kForwarderDir + "/basic_pkt_fwd").c_str(), 0755);
        gwtest::WriteFile(sudo_->bin_dir() + "/sudo",
                          "#!/bin/sh\n"
                          "printf '%s\\t%s\\t%s\\n' \"$(date +%s.%N)\" \"$(pwd)\" \"$*\" >> '" +
                              sudo_->log_path() +
                              "'\n"
                              "[ \"$*\" = ./basic_pkt_fwd ] || exit 0\n"
                              "r=$(od -An -N2 -tu2 /dev/urandom)\n"
                              "ms=$((r % " +
                              std::to_string(max_delay_ms + 1) +
                              "))\n"
                              "sleep \"$((ms / 1000)).$((ms / 100 % 10))$((ms / 10 % 10))$((ms % "
                              "10))\"\n"
                              "[ $((r % 2)) = 0 ] && exec ./basic_pkt_fwd 3600\n"
                              "./basic_pkt_fwd 3600\n"
                              "status=$?\n"
                              "exit $status\n",
                          0755);
    }

    bool Alive(pid_t pid) {
        int status;
        return waitpid(pid, &status, WNOHANG) == 0;
    }

    // Waits for `pid` to end and tells whether SIGQUIT ended it.
    ::testing::AssertionResult EndedBySigquit(pid_t pid) {
        int status = WaitBounded(pid, 3000);
        if (status == -1)
            return ::testing::AssertionFailure() << "process " << pid << " was not stopped";
        if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGQUIT)
            return ::testing::AssertionFailure()
                   << "process " << pid << " ended with status " << status;
        return ::testing::AssertionSuccess();
    }

    int Queue() {
        key_t key = ftok(kKeyFile.c_str(), respawn::kProjectId);
        return key == -1 ? -1 : msgget(key, respawn::kQueueFlags);
    }

    // Posts a message the way a sender does.
    void Post(long type, const std::string &text) {
        int q = Queue();
        ASSERT_GE(q, 0) << strerror(errno);
        struct {
            long mtype;
            char mtext[256];
        } msg = {};
        ASSERT_LE(text.size(), sizeof msg.mtext);
        msg.mtype = type;
        memcpy(msg.mtext, text.data(), text.size());
        ASSERT_EQ(msgsnd(q, &msg, text.size(), 0), 0) << strerror(errno);
    }

    // Reads respawner's standard output until `count` lines equal to
    // `line` have arrived in all, or `ms` have passed.
    ::testing::AssertionResult WaitForLine(const std::string &line, int count = 1, int ms = 5000) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int seen = 0;
            for (const auto &l : lines_)
                seen += l == line;
            if (seen >= count) return ::testing::AssertionSuccess();
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return Missing(line, "timed out");
            struct pollfd p = {out_fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[512];
            ssize_t n = read(out_fd_, buf, sizeof buf);
            if (n <= 0) {
                eof_ = true;
                return Missing(line, "respawner closed its output");
            }
            pending_.append(buf, static_cast<size_t>(n));
            std::string::size_type nl;
            while ((nl = pending_.find('\n')) != std::string::npos) {
                lines_.push_back(pending_.substr(0, nl));
                pending_.erase(0, nl + 1);
            }
        }
    }

    ::testing::AssertionResult Missing(const std::string &line, const char *why) {
        auto r = ::testing::AssertionFailure();
        r << "no line \"" << line << "\" (" << why << "); lines so far:";
        for (const auto &l : lines_)
            r << "\n  " << l;
        return r;
    }

    bool WaitForLinePrefix(const std::string &prefix, int ms = 5000) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            for (const auto &l : lines_)
                if (l.compare(0, prefix.size(), prefix) == 0) return true;
            if (eof_) break;
            WaitForLine("\n", 1, 50);  // no line equals "\n": just reads for 50 ms
        }
        return false;
    }

    // The fake sudo's record, once it holds `count` calls (or after `ms`).
    std::vector<SudoCall> SudoCalls(size_t count, int ms = 3000) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        std::vector<SudoCall> calls;
        for (;;) {
            calls.clear();
            for (const auto &line : gwtest::SplitLines(gwtest::ReadFile(sudo_->log_path()))) {
                auto t1 = line.find('\t');
                auto t2 = line.find('\t', t1 + 1);
                if (t1 == std::string::npos || t2 == std::string::npos) continue;
                calls.push_back({Seconds(line.substr(0, t1)), line.substr(t1 + 1, t2 - t1 - 1),
                                 line.substr(t2 + 1)});
            }
            if (calls.size() >= count || Clock::now() >= end) return calls;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static Lines RequestLines(const std::string &text, const std::string &mode, pid_t pid) {
        return {"from respawner: " + text, "pid:" + std::to_string(pid), "rev_msg:" + mode, kOk};
    }

    static std::vector<std::string> Args(const std::vector<SudoCall> &calls) {
        std::vector<std::string> out;
        for (const auto &c : calls)
            out.push_back(c.args);
        return out;
    }

    std::unique_ptr<gwtest::FakeSudo> sudo_;
    pid_t respawner_ = -1;
    int out_fd_ = -1;
    Lines lines_;
    std::string pending_;
    bool eof_ = false;
    bool namespace_init_ = false;
    bool mounted_ = false;
    bool run_mounted_ = false;
};

const std::vector<std::string> kSequence = {"dhcpcd -k eth0", "dhcpcd -n eth0", "./basic_pkt_fwd"};

class RespawnerE2EMode : public RespawnerE2E, public testing::WithParamInterface<const char *> {};

// Any mode text gives the same sequence: stop, release, one second, rebind,
// relaunch from the forwarder's directory, each line as it happens.
TEST_P(RespawnerE2EMode, RequestStopsVictimRenewsLeaseAndRelaunches) {
    pid_t victim = StartVictim();
    StartRespawner();
    const std::string mode = GetParam();
    const std::string text = mode + ":" + std::to_string(victim);
    Post(1, text);

    ASSERT_TRUE(WaitForLine("rev_msg:" + mode));
    // Printed before the sequence: it cannot be done yet, the rebind comes a
    // second after the release.
    EXPECT_EQ(lines_.size(), 3u);
    EXPECT_TRUE(EndedBySigquit(victim));

    ASSERT_TRUE(WaitForLine(kOk));
    EXPECT_EQ(lines_, RequestLines(text, mode, victim));
    EXPECT_TRUE(Alive(respawner_));

    auto calls = SudoCalls(3);
    ASSERT_EQ(Args(calls), kSequence);
    double gap = calls[1].time - calls[0].time;
    EXPECT_GE(gap, 0.99);
    EXPECT_LT(gap, 5.0);
    EXPECT_GE(calls[2].time, calls[1].time);
    EXPECT_EQ(calls[2].cwd, kForwarderDir);
}

INSTANTIATE_TEST_SUITE_P(Modes, RespawnerE2EMode, testing::Values("fix_ip mode", "dhcp"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param[0] == 'f' ? "FixIp" : "Dhcp");
                         });

TEST_F(RespawnerE2E, BackToBackRequestsGiveTwoCompleteSequences) {
    pid_t first = StartVictim();
    StartRespawner();
    const std::string a = "fix_ip mode:" + std::to_string(first);
    Post(1, a);
    ASSERT_TRUE(WaitForLine("rev_msg:fix_ip mode"));
    // The second forwarder is there before the first request has launched
    // its own, so the first stops one and launches none; the second stops
    // the other and launches one.
    pid_t second = StartVictim();
    const std::string b = "dhcp:" + std::to_string(second);
    Post(1, b);

    ASSERT_TRUE(WaitForLine(kOk, 1, 8000));
    Lines want = RequestLines(a, "fix_ip mode", first);
    want.back() = "another basic_pkt_fwd runs or is being launched; no other launched";
    Lines more = RequestLines(b, "dhcp", second);
    want.insert(want.end(), more.begin(), more.end());
    EXPECT_EQ(lines_, want);
    EXPECT_TRUE(EndedBySigquit(first));
    EXPECT_TRUE(EndedBySigquit(second));

    // The dhcpcd commands of both requests, in order, then the one launch.
    EXPECT_EQ(Args(SudoCalls(5)),
              (std::vector<std::string>{"dhcpcd -k eth0", "dhcpcd -n eth0", "dhcpcd -k eth0",
                                        "dhcpcd -n eth0", "./basic_pkt_fwd"}));
}

// A request for the forwarder a request before it stopped, posted while the
// new one is still being launched (sudo takes its time), starts no second
// one.
TEST_F(RespawnerE2E, RequestDuringTheLaunchStartsNoSecondForwarder) {
    UseStandInForwarder(400);
    pid_t first = StartVictim();
    StartRespawner();
    const std::string a = "fix_ip mode:" + std::to_string(first);
    const std::string b = "dhcp mode:4194304";  // gwcfgd's "start one if none runs"
    Post(1, a);
    Post(1, b);
    ASSERT_TRUE(WaitForLine("rev_msg:dhcp mode", 1, 8000));
    ASSERT_TRUE(WaitForLinePrefix("no process 4194304 to stop", 3000));
    EXPECT_TRUE(EndedBySigquit(first));
    EXPECT_EQ(Args(SudoCalls(3)), kSequence);
}

// The running stand-in forwarders (zombies aside) and the lowest one's pid.
int CountForwarders(pid_t *lowest = nullptr) {
    int count = 0;
    if (lowest) *lowest = -1;
    for (const auto &e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.empty() || name[0] < '1' || name[0] > '9') continue;
        const std::string stat = gwtest::ReadFile(e.path().string() + "/stat");
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size())
            continue;
        if (stat.compare(open + 1, close - open - 1, "basic_pkt_fwd") != 0) continue;
        if (stat[close + 2] == 'Z' || stat[close + 2] == 'X') continue;
        ++count;
        const pid_t pid = std::atoi(name.c_str());
        if (lowest && (*lowest < 0 || pid < *lowest)) *lowest = pid;
    }
    return count;
}

// Never two forwarders: hundreds of randomly timed requests, as gwcfgd posts
// them after updates ("restart the running one", "start one if none runs")
// and as a hostile local account may (any pid, the launch's own, malformed,
// oversized), with forwarders that exit by themselves and a respawner that
// is killed and started again, against a sudo that takes 0-500 ms to start
// the forwarder. The count of forwarders is sampled every 2 ms throughout.
TEST_F(RespawnerE2E, StressNeverRunsTwoForwarders) {
    UseStandInForwarder(500);
    const std::string log = "/home/respawner.log";
    auto start = [&]() {
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(fd, 1);
            execl(RESPAWNER_BIN, "respawner", static_cast<char *>(nullptr));
            _exit(127);
        }
        return pid;
    };
    respawner_ = start();

    std::atomic<bool> done{false};
    std::atomic<int> most{0};
    std::atomic<long> samples{0};
    std::thread sampler([&]() {
        while (!done) {
            const int n = CountForwarders();
            if (n > most) most = n;
            ++samples;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    std::mt19937 rng(std::random_device{}());
    auto pick = [&](int n) {
        return static_cast<int>(rng() % static_cast<unsigned>(n));
    };
    const int kRequests = 240;
    const auto deadline = Clock::now() + std::chrono::seconds(45);
    int updates = 0, hostile = 0, exits = 0, respawner_restarts = 0;
    for (int i = 0; i < kRequests && Clock::now() < deadline; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(250)));
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }  // launches a killed respawner left to this namespace's init
        pid_t fwd;
        CountForwarders(&fwd);
        const int kind = pick(100);
        std::string text;
        if (kind < 20) {  // an update: gwcfgd names the forwarder, or asks for one
            ++updates;
            text = "dhcp mode:" + std::to_string(fwd > 0 ? fwd : 4194304);
        } else if (kind < 30) {  // the watch's "start one if none runs"
            ++updates;
            text = "fix_ip mode:4194304";
        } else if (kind < 34) {  // a forwarder exits by itself
            ++exits;
            if (fwd > 0) kill(fwd, SIGKILL);
            continue;
        } else if (kind < 36) {  // the respawner is killed and started again
            ++respawner_restarts;
            kill(respawner_, SIGKILL);
            waitpid(respawner_, nullptr, 0);
            respawner_ = start();
            continue;
        } else {
            ++hostile;
            switch (pick(6)) {
                case 0:
                    text = "x:" + std::to_string(fwd > 0 ? fwd : 1);
                    break;
                case 1:
                    text = "x:" + std::to_string(1 + pick(400));
                    break;
                case 2:
                    text = "x:" + std::to_string(respawner_);
                    break;
                case 3:
                    text = "x:" + std::to_string(fwd > 0 ? fwd + 1 : 2);
                    break;
                case 4:
                    text = "no colon";
                    break;
                default:
                    text = std::string(60, 'x') + ":1";
                    break;
            }
        }
        Post(1, text);
    }
    // The queue drains (bounded), then the last launch settles.
    const auto drain = Clock::now() + std::chrono::seconds(50);
    msqid_ds info{};
    while (Clock::now() < drain && msgctl(Queue(), IPC_STAT, &info) == 0 && info.msg_qnum > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    done = true;
    sampler.join();

    const std::string out = gwtest::ReadFile(log);
    size_t restarts = 0;
    for (size_t at = 0; (at = out.find(kOk, at)) != std::string::npos; at += kOk.size())
        ++restarts;
    std::printf(
        "stress: %d updates, %d hostile requests, %d forwarder exits, %d respawner "
        "restarts, %zu launches, %ld samples, at most %d forwarders\n",
        updates, hostile, exits, respawner_restarts, restarts, samples.load(), most.load());
    EXPECT_EQ(info.msg_qnum, 0u) << "the queue did not drain";
    EXPECT_LE(most.load(), 1);
    EXPECT_GT(restarts, 5u) << out;
}

TEST_F(RespawnerE2E, MessageOfAnotherTypeStaysInTheQueue) {
    pid_t victim = StartVictim();
    pid_t bystander = StartVictim("bystander");
    StartRespawner();
    const std::string other = "fix_ip mode:" + std::to_string(bystander);
    const std::string text = "fix_ip mode:" + std::to_string(victim);
    Post(2, other);
    Post(1, text);

    ASSERT_TRUE(WaitForLine(kOk));
    EXPECT_EQ(lines_, RequestLines(text, "fix_ip mode", victim));
    EXPECT_TRUE(EndedBySigquit(victim));
    EXPECT_TRUE(Alive(bystander));

    struct {
        long mtype;
        char mtext[64];
    } msg = {};
    ssize_t n = msgrcv(Queue(), &msg, sizeof msg.mtext, 2, IPC_NOWAIT);
    ASSERT_GE(n, 0) << strerror(errno);
    EXPECT_EQ(std::string(msg.mtext, static_cast<size_t>(n)), other);
}

// Malformed requests signal nobody, run nothing, and do not stop the service.
TEST_F(RespawnerE2E, MalformedRequestsAreSkipped) {
    pid_t named = StartVictim("bystander");  // the pid some malformed texts carry
    pid_t victim = StartVictim();
    StartRespawner();
    const std::string id = std::to_string(named);
    struct {
        std::string text;
        std::string log;
    } const bad[] = {
        {"fix_ip mode " + id, "malformed request (no colon), ignored"},
        {"fix_ip mode:0", "malformed request (bad pid \"0\"), ignored"},
        {"fix_ip mode:-1", "malformed request (bad pid \"-1\"), ignored"},
        {"fix_ip mode:", "malformed request (bad pid \"\"), ignored"},
        {"fix_ip mode:" + id + "x", "malformed request (bad pid \"" + id + "x\"), ignored"},
        {"fix_ip mode:- " + id, "malformed request (bad pid \"- " + id + "\"), ignored"},
        {"fix_ip mode:" + id + " 1", "malformed request (bad pid \"" + id + " 1\"), ignored"},
        {"fix_ip mode:99999999999", "malformed request (bad pid \"99999999999\"), ignored"},
    };
    Lines want;
    for (const auto &b : bad) {
        Post(1, b.text);
        want.push_back("from respawner: " + b.text);
        want.push_back(b.log);
    }
    // Too long to receive: it must not block the queue for the requests behind it.
    Post(1, std::string(60 - id.size(), 'x') + ":" + id);
    want.push_back("malformed request (longer than 50 bytes), dropped");

    const std::string text = "dhcp:" + std::to_string(victim);
    Post(1, text);
    Lines served = RequestLines(text, "dhcp", victim);
    want.insert(want.end(), served.begin(), served.end());

    ASSERT_TRUE(WaitForLine(kOk));
    EXPECT_EQ(lines_, want);
    EXPECT_TRUE(EndedBySigquit(victim));
    EXPECT_TRUE(Alive(named));
    EXPECT_TRUE(Alive(respawner_));
    EXPECT_EQ(Args(SudoCalls(3)), kSequence);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(SudoCalls(3).size(), 3u);
}

TEST_F(RespawnerE2E, QueueRemovedWhileWaitingIsObtainedAgain) {
    pid_t first = StartVictim();
    StartRespawner();
    const std::string a = "fix_ip mode:" + std::to_string(first);
    Post(1, a);
    ASSERT_TRUE(WaitForLine(kOk));
    ASSERT_EQ(SudoCalls(3).size(), 3u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // back in msgrcv

    ASSERT_EQ(msgctl(Queue(), IPC_RMID, nullptr), 0) << strerror(errno);
    ASSERT_TRUE(WaitForLinePrefix("msgrcv: "));

    pid_t second = StartVictim();  // one forwarder at a time
    const std::string b = "dhcp:" + std::to_string(second);
    Post(1, b);
    ASSERT_TRUE(WaitForLine(kOk, 2));
    EXPECT_TRUE(EndedBySigquit(first));
    EXPECT_TRUE(EndedBySigquit(second));
    Lines tail(lines_.end() - 4, lines_.end());
    EXPECT_EQ(tail, RequestLines(b, "dhcp", second));
    EXPECT_EQ(Args(SudoCalls(6)).size(), 6u);
}

// What echo writes ("...:<pid>\n") is a request like any other.
TEST_F(RespawnerE2E, RequestWithATrailingNewlineRestarts) {
    pid_t victim = StartVictim();
    StartRespawner();
    Post(1, "fix_ip mode:" + std::to_string(victim) + "\n");
    ASSERT_TRUE(WaitForLine(kOk));
    EXPECT_EQ(lines_, (Lines{"from respawner: fix_ip mode:" + std::to_string(victim) + "\\x0a",
                             "pid:" + std::to_string(victim), "rev_msg:fix_ip mode", kOk}));
    EXPECT_TRUE(EndedBySigquit(victim));
    EXPECT_EQ(Args(SudoCalls(3)), kSequence);
}

// The queue is open to every local account: a request that names anything
// but a forwarder stops nothing and starts nothing.
TEST_F(RespawnerE2E, ProcessThatIsNoForwarderIsLeftAlone) {
    pid_t bystander = StartVictim("gwcfgd");
    StartRespawner();
    const std::string id = std::to_string(bystander);
    Post(1, "fix_ip mode:" + id);
    ASSERT_TRUE(
        WaitForLine("process " + id + " is \"gwcfgd\", not basic_pkt_fwd; nothing restarted"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(Alive(bystander));
    EXPECT_TRUE(SudoCalls(1, 100).empty());
}

// Runs fn as the account nobody (65534) in a child; its exit status, or 77
// when this process cannot act as another account.
int AsStranger(const std::function<bool()> &fn) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(77);
        _exit(fn() ? 0 : 1);
    }
    int status = WaitBounded(pid, 5000);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The queue is the gateway's own (0620): another account can neither post
// to it nor have the respawner serve a queue it made first.
TEST_F(RespawnerE2E, StrangersCanNeitherPostNorOwnTheQueue) {
    const int squat = AsStranger([] {
        const key_t key = ftok(respawn::kKeyPath, respawn::kProjectId);
        return key != -1 && msgget(key, IPC_CREAT | 0666) >= 0;
    });
    if (squat == 77) GTEST_SKIP() << "needs root to act as another account";
    ASSERT_EQ(squat, 0);
    StartRespawner();
    ASSERT_TRUE(WaitForLinePrefix("the queue of /home/pi/fifo (id ")) << Missing("the queue", "");
    EXPECT_NE(lines_[0].find("belongs to uid 65534, not to this account: remove it with ipcrm -q"),
              std::string::npos)
        << lines_[0];
    ASSERT_EQ(msgctl(msgget(ftok(kKeyFile.c_str(), respawn::kProjectId), 0), IPC_RMID, nullptr), 0);

    // Its own queue, made on the next try.
    pid_t victim = StartVictim();
    const auto end = Clock::now() + std::chrono::seconds(5);
    msqid_ds info{};
    int q = -1;
    while (Clock::now() < end &&
           ((q = msgget(ftok(kKeyFile.c_str(), respawn::kProjectId), 0)) < 0 ||
            msgctl(q, IPC_STAT, &info) != 0))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(q, 0);
    EXPECT_EQ(info.msg_perm.mode & 0777, 0620u);
    EXPECT_EQ(info.msg_perm.uid, getuid());

    const std::string text = "x:" + std::to_string(victim);
    EXPECT_EQ(AsStranger([&text] {
                  const key_t key = ftok(respawn::kKeyPath, respawn::kProjectId);
                  const int queue = msgget(key, 0);
                  struct {
                      long mtype;
                      char mtext[64];
                  } msg = {1, ""};
                  memcpy(msg.mtext, text.data(), text.size());
                  return queue < 0
                             ? errno == EACCES
                             : msgsnd(queue, &msg, text.size(), IPC_NOWAIT) != 0 && errno == EACCES;
              }),
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(Alive(victim));
    EXPECT_TRUE(SudoCalls(1, 100).empty());
}

// Without the key file there is no key; the service keeps trying until the
// file exists instead of settling on a key no sender derives.
TEST_F(RespawnerE2E, WaitsForTheKeyFile) {
    ASSERT_EQ(unlink(kKeyFile.c_str()), 0);
    pid_t victim = StartVictim();
    StartRespawner();
    ASSERT_TRUE(
        WaitForLine("cannot obtain the message queue of /home/pi/fifo: No such file or "
                    "directory; retrying"));
    gwtest::WriteFile(kKeyFile, "");
    const std::string text = "fix_ip mode:" + std::to_string(victim);
    Post(1, text);
    ASSERT_TRUE(WaitForLine(kOk, 1, 6000));
    EXPECT_TRUE(EndedBySigquit(victim));
}

}  // namespace

int main(int argc, char **argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing |= strncmp(argv[i], "--gtest_list_tests", 18) == 0;

    if (getenv(kInsideEnv)) {
        // A session of its own: a process group that lies wholly inside the
        // namespace, so that a signal to "the process group" (pid 0) cannot
        // leave it and reach the processes that started the test.
        setsid();
    } else if (!listing && !getenv(kSkipEnv)) {
        std::string why = ProbeNamespaces();
        if (why.empty()) {
            char self[4096];
            ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
            if (n > 0) {
                self[n] = '\0';
                std::vector<std::string> args = UnshareArgs();
                args.push_back("--");
                args.push_back(self);
                for (int i = 1; i < argc; ++i)
                    args.push_back(argv[i]);
                setenv(kInsideEnv, "1", 1);
                auto av = Argv(args);
                execvp(av[0], av.data());
                unsetenv(kInsideEnv);
                why = std::string("cannot run unshare: ") + strerror(errno);
            } else {
                why = "cannot find this test program";
            }
        }
        setenv(kSkipEnv, why.c_str(), 1);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
