// Unit tests of the restart service's request parsing, restart sequence and
// receive loop, with every system call replaced by a recording fake.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "respawn_core.h"

namespace {

using respawn::ParseRequest;
using respawn::ParseStatus;
using respawn::Request;
using Events = std::vector<std::string>;

const std::string kDir = "/home/pi/lora0427/lora/packet_forwarder/basic_pkt_fwd";

// Thrown by the fake queue when a blocking receive finds nothing left in the
// script: the loop would wait forever.
struct QueueDrained {};

// What the fake msgrcv does on one call: fail with `err`, or hold the message
// `text` (kept when too long for a receive without MSG_NOERROR, as the
// kernel does).
struct QueueStep {
    int err;
    std::string text;
};

QueueStep Fail(int err) { return {err, ""}; }
QueueStep Msg(const std::string &text) { return {0, text}; }

// Records every call in order as a short text and answers from scripts.
class FakeSystem {
public:
    std::deque<int> open_results;  // queue id, or -errno
    std::deque<QueueStep> queue;
    int chdir_errno = 0;
    int kill_errno = 0;
    // Processes by pid as /proc shows them; a pid not listed is a running
    // basic_pkt_fwd, a listed one with errno set does not exist.
    struct Proc {
        std::string name;
        char state;
        int err;
    };
    std::map<pid_t, Proc> procs;
    // Whether a basic_pkt_fwd runs or is being launched, as the service's
    // look says; -1: the service gives no look. Then, for the look before
    // the launch (a request that stopped one), forwarder_runs_after.
    int forwarder_runs = 0;
    int forwarder_runs_after = 0;
    bool stopped_ends = true;  // the signalled forwarder ends in time
    // The renewal of another network stack than dhcpcd for eth0; with
    // renew_status the status of its shell command.
    std::string renew;
    int renew_status = 0;
    Events events;

    respawn::RespawnOps ops() {
        respawn::RespawnOps o;
        o.print = [this](const std::string &line) {
            if (!line.empty() && line.back() == '\n')
                events.push_back("out " + line.substr(0, line.size() - 1));
            else
                events.push_back("out-without-newline " + line);
        };
        o.process = [this](pid_t pid, std::string *name, char *state) {
            events.push_back("proc " + std::to_string(pid));
            auto p = procs.find(pid);
            if (p == procs.end()) {
                *name = "basic_pkt_fwd";
                *state = 'S';
                return 0;
            }
            if (p->second.err) {
                errno = p->second.err;
                return -1;
            }
            *name = p->second.name;
            *state = p->second.state;
            return 0;
        };
        if (forwarder_runs >= 0)
            o.forwarder_runs = [this]() {
                events.push_back("scan");
                const bool runs = forwarder_runs != 0;
                forwarder_runs = forwarder_runs_after;
                return runs;
            };
        o.wait_gone = [this](pid_t pid, unsigned ms) {
            events.push_back("wait " + std::to_string(pid) + " " + std::to_string(ms));
            return stopped_ends;
        };
        o.launch = [this](const char *command) {
            events.push_back(std::string("launch ") + command);
            return 4242;
        };
        o.kill = [this](pid_t pid, int sig) {
            events.push_back("kill " + std::to_string(pid) + " " + std::to_string(sig));
            if (kill_errno) {
                errno = kill_errno;
                return -1;
            }
            return 0;
        };
        o.shell = [this](const char *command) {
            events.push_back(std::string("sh ") + command);
            return !renew.empty() && command == renew ? renew_status : 0;
        };
        if (!renew.empty())
            o.renew_command = [this]() {
                return renew;
            };
        o.sleep = [this](unsigned seconds) {
            events.push_back("sleep " + std::to_string(seconds));
        };
        o.chdir = [this](const char *dir) {
            events.push_back(std::string("cd ") + dir);
            if (chdir_errno) {
                errno = chdir_errno;
                return -1;
            }
            return 0;
        };
        o.open_queue = [this]() {
            events.push_back("open");
            if (open_results.empty()) throw QueueDrained();
            int r = open_results.front();
            open_results.pop_front();
            if (r < 0) {
                errno = -r;
                return -1;
            }
            return r;
        };
        o.receive = [this](int q, void *area, std::size_t size, long type, int flags) {
            return Receive(q, area, size, type, flags);
        };
        return o;
    }

private:
    ssize_t Receive(int q, void *area, std::size_t size, long type, int flags) {
        std::string call = "recv q=" + std::to_string(q) + " size=" + std::to_string(size) +
                           " type=" + std::to_string(type) + Flags(flags);
        const unsigned char *bytes = static_cast<const unsigned char *>(area);
        for (std::size_t i = 0; i < sizeof(respawn::RecvArea); ++i) {
            if (bytes[i] != 0) {
                call += " (area not cleared)";
                break;
            }
        }
        events.push_back(call);

        if (queue.empty()) {
            if (flags & IPC_NOWAIT) {
                errno = ENOMSG;
                return -1;
            }
            throw QueueDrained();
        }
        QueueStep step = queue.front();
        if (step.err) {
            queue.pop_front();
            errno = step.err;
            return -1;
        }
        if (step.text.size() > size && !(flags & MSG_NOERROR)) {
            errno = E2BIG;
            return -1;
        }
        queue.pop_front();
        std::size_t n = std::min(size, step.text.size());
        auto *msg = static_cast<respawn::RecvArea *>(area);
        msg->mtype = type;
        memcpy(msg->mtext, step.text.data(), n);
        return static_cast<ssize_t>(n);
    }

    static std::string Flags(int flags) {
        std::string s;
        if (flags & MSG_NOERROR) s += " noerror";
        if (flags & IPC_NOWAIT) s += " nowait";
        return s;
    }
};

// ---------------------------------------------------------------- parsing

struct ParseCase {
    const char *text;
    ParseStatus status;
    const char *mode;  // Ok only
    pid_t pid;         // Ok only
    const char *bad;   // BadPid only: the rejected id text
};

void PrintTo(const ParseCase &c, std::ostream *os) {
    *os << testing::PrintToString(std::string(c.text));
}

class ParseRequestTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseRequestTest, SplitsModeAndChecksPid) {
    const ParseCase &c = GetParam();
    Request req;
    std::string bad = "untouched";
    ASSERT_EQ(ParseRequest(c.text, &req, &bad), c.status) << c.text;
    if (c.status == ParseStatus::Ok) {
        EXPECT_EQ(req.mode, c.mode);
        EXPECT_EQ(req.pid, c.pid);
    } else if (c.status == ParseStatus::BadPid) {
        EXPECT_EQ(bad, c.bad);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ParseRequestTest,
    testing::Values(ParseCase{"fix_ip mode:1234", ParseStatus::Ok, "fix_ip mode", 1234, nullptr},
                    ParseCase{"dhcp:1234", ParseStatus::Ok, "dhcp", 1234, nullptr},
                    ParseCase{":42", ParseStatus::Ok, "", 42, nullptr},
                    ParseCase{"mode:77:extra", ParseStatus::Ok, "mode", 77, nullptr},
                    ParseCase{"mode:007", ParseStatus::Ok, "mode", 7, nullptr},
                    ParseCase{"mode:1", ParseStatus::Ok, "mode", 1, nullptr},
                    ParseCase{"mode:2147483647", ParseStatus::Ok, "mode", 2147483647, nullptr},
                    // What a sender may write around the digits, as atoi reads it.
                    ParseCase{"fix_ip mode:1234\n", ParseStatus::Ok, "fix_ip mode", 1234, nullptr},
                    ParseCase{"mode: 5", ParseStatus::Ok, "mode", 5, nullptr},
                    ParseCase{"mode:5 ", ParseStatus::Ok, "mode", 5, nullptr},
                    ParseCase{"mode:\t12\r\n", ParseStatus::Ok, "mode", 12, nullptr},
                    ParseCase{"mode:+5", ParseStatus::Ok, "mode", 5, nullptr},
                    ParseCase{"mode: 9 :extra", ParseStatus::Ok, "mode", 9, nullptr},
                    ParseCase{"", ParseStatus::NoColon, nullptr, 0, nullptr},
                    ParseCase{"fix_ip mode 1234", ParseStatus::NoColon, nullptr, 0, nullptr},
                    ParseCase{"mode:", ParseStatus::BadPid, nullptr, 0, ""},
                    ParseCase{"mode::5", ParseStatus::BadPid, nullptr, 0, ""},
                    ParseCase{"mode:0", ParseStatus::BadPid, nullptr, 0, "0"},
                    ParseCase{"mode:000", ParseStatus::BadPid, nullptr, 0, "000"},
                    ParseCase{"mode:-1", ParseStatus::BadPid, nullptr, 0, "-1"},
                    ParseCase{"mode: ", ParseStatus::BadPid, nullptr, 0, " "},
                    ParseCase{"mode:+", ParseStatus::BadPid, nullptr, 0, "+"},
                    ParseCase{"mode:++5", ParseStatus::BadPid, nullptr, 0, "++5"},
                    ParseCase{"mode:- 5", ParseStatus::BadPid, nullptr, 0, "- 5"},
                    ParseCase{"mode:5 5", ParseStatus::BadPid, nullptr, 0, "5 5"},
                    ParseCase{"mode:\n0\n", ParseStatus::BadPid, nullptr, 0, "\n0\n"},
                    ParseCase{"mode:12ab", ParseStatus::BadPid, nullptr, 0, "12ab"},
                    ParseCase{"mode:0x10", ParseStatus::BadPid, nullptr, 0, "0x10"},
                    ParseCase{"mode:2147483648", ParseStatus::BadPid, nullptr, 0, "2147483648"},
                    ParseCase{"mode:99999999999999999999", ParseStatus::BadPid, nullptr, 0,
                              "99999999999999999999"}));

// ------------------------------------------------------- restart sequence

Events Sequence(const std::string &text, const std::string &mode, const std::string &pid) {
    return {"out from respawner: " + respawn::Printable(text),
            "out pid:" + pid,
            "out rev_msg:" + mode,
            "proc " + pid,
            "kill " + pid + " " + std::to_string(SIGQUIT),
            "sh sudo dhcpcd -k eth0",
            "sleep 1",
            "sh sudo dhcpcd -n eth0",
            "cd " + kDir,
            "wait " + pid + " 10000",
            "scan",
            "launch sudo ./basic_pkt_fwd",
            "out OK to restart basic_pkt_fwd service...."};
}

struct SequenceCase {
    const char *text;
    const char *mode;
    const char *pid;
};

void PrintTo(const SequenceCase &c, std::ostream *os) {
    *os << testing::PrintToString(std::string(c.text));
}

class HandleRequestTest : public testing::TestWithParam<SequenceCase> {};

// Every well-formed request runs the same sequence, whatever its mode text.
TEST_P(HandleRequestTest, RunsTheWholeSequenceInOrder) {
    const SequenceCase &c = GetParam();
    FakeSystem sys;
    EXPECT_TRUE(respawn::HandleRequest(sys.ops(), c.text));
    EXPECT_EQ(sys.events, Sequence(c.text, c.mode, c.pid));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, HandleRequestTest,
    testing::Values(SequenceCase{"fix_ip mode:1234", "fix_ip mode", "1234"},
                    SequenceCase{"dhcp:1234", "dhcp", "1234"}, SequenceCase{":42", "", "42"},
                    SequenceCase{"web:77:x", "web", "77"},
                    SequenceCase{"fix_ip mode:1234\n", "fix_ip mode", "1234"}));

struct MalformedCase {
    const char *text;
    const char *log;
};

void PrintTo(const MalformedCase &c, std::ostream *os) {
    *os << testing::PrintToString(std::string(c.text));
}

class MalformedRequestTest : public testing::TestWithParam<MalformedCase> {};

// Signalling 0 or -1 would reach a process group or every process: nothing
// may happen for a request that does not name one process.
TEST_P(MalformedRequestTest, IsLoggedAndNothingRuns) {
    const MalformedCase &c = GetParam();
    FakeSystem sys;
    EXPECT_FALSE(respawn::HandleRequest(sys.ops(), c.text));
    EXPECT_EQ(sys.events,
              (Events{std::string("out from respawner: ") + c.text, std::string("out ") + c.log}));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MalformedRequestTest,
    testing::Values(MalformedCase{"fix_ip mode", "malformed request (no colon), ignored"},
                    MalformedCase{"fix_ip mode:0", "malformed request (bad pid \"0\"), ignored"},
                    MalformedCase{"fix_ip mode:-1", "malformed request (bad pid \"-1\"), ignored"},
                    MalformedCase{"fix_ip mode:", "malformed request (bad pid \"\"), ignored"},
                    MalformedCase{"fix_ip mode:1234x",
                                  "malformed request (bad pid \"1234x\"), ignored"}));

// Where dhcpcd does not run for eth0 alone, the stack's own renewal takes
// the place of the two dhcpcd commands; one that fails is logged and the
// forwarder is launched all the same (it needs no new lease to run).
TEST(HandleRequest, RenewsTheLeaseThroughTheStacksOwnCommand) {
    for (int status : {0, 1}) {
        FakeSystem sys;
        sys.renew = "/usr/lib/gwagent/gwagent-ask network renew";
        sys.renew_status = status;
        EXPECT_TRUE(respawn::HandleRequest(sys.ops(), "fix_ip mode:1234"));
        Events want = Sequence("fix_ip mode:1234", "fix_ip mode", "1234");
        const auto first = std::find(want.begin(), want.end(), "sh sudo dhcpcd -k eth0");
        ASSERT_NE(first, want.end());
        *first = "sh " + sys.renew;
        want.erase(first + 1, first + 3);  // the pause and the rebind
        if (status)
            want.insert(first + 1, "out renewing the lease of eth0 failed (" + sys.renew +
                                       "); journalctl -u 'gwagent-helper@*' says why");
        EXPECT_EQ(sys.events, want) << "status " << status;
    }
}

TEST(HandleRequest, DoesNotLaunchTheForwarderOutsideItsDirectory) {
    FakeSystem sys;
    sys.chdir_errno = ENOENT;
    EXPECT_FALSE(respawn::HandleRequest(sys.ops(), "fix_ip mode:1234"));
    Events want = Sequence("fix_ip mode:1234", "fix_ip mode", "1234");
    want.resize(want.size() - 4);  // no launch, no confirmation
    want.push_back("out cannot change to " + kDir +
                   ": No such file or directory; basic_pkt_fwd not launched");
    EXPECT_EQ(sys.events, want);
}

// Only a running basic_pkt_fwd is stopped, and nothing is relaunched when it
// cannot be: the queue is open to every local account, and a relaunch
// beside a forwarder that still runs would leave two.
struct TargetCase {
    const char *name;
    FakeSystem::Proc proc;
    int kill_errno;
    const char *log;
};

void PrintTo(const TargetCase &c, std::ostream *os) { *os << c.name; }

class RequestTargetTest : public testing::TestWithParam<TargetCase> {};

TEST_P(RequestTargetTest, NothingRestartsUnlessAForwarderWasStopped) {
    const TargetCase &c = GetParam();
    FakeSystem sys;
    sys.procs[1234] = c.proc;
    sys.kill_errno = c.kill_errno;
    sys.forwarder_runs = -1;  // no look: taken as one running
    EXPECT_FALSE(respawn::HandleRequest(sys.ops(), "fix_ip mode:1234"));
    Events want = {"out from respawner: fix_ip mode:1234", "out pid:1234",
                   "out rev_msg:fix_ip mode", "proc 1234"};
    if (c.kill_errno) want.push_back("kill 1234 " + std::to_string(SIGQUIT));
    want.push_back(std::string("out ") + c.log);
    EXPECT_EQ(sys.events, want);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, RequestTargetTest,
    testing::Values(
        TargetCase{"Gone",
                   {"", 'S', ENOENT},
                   0,
                   "no process 1234 to stop (No such file or directory); nothing restarted"},
        TargetCase{"AnotherProgram",
                   {"gwcfgd", 'S', 0},
                   0,
                   "process 1234 is \"gwcfgd\", not basic_pkt_fwd; nothing restarted"},
        TargetCase{"ANameThatOnlyStartsAlike",
                   {"basic_pkt_fwd2", 'S', 0},
                   0,
                   "process 1234 is \"basic_pkt_fwd2\", not basic_pkt_fwd; nothing restarted"},
        TargetCase{"ControlBytesInTheName",
                   {"a\x1b[2J\nb", 'S', 0},
                   0,
                   "process 1234 is \"a\\x1b[2J\\x0ab\", not basic_pkt_fwd; nothing restarted"},
        TargetCase{"Zombie",
                   {"basic_pkt_fwd", 'Z', 0},
                   0,
                   "basic_pkt_fwd 1234 has already ended; nothing restarted"},
        TargetCase{"NotOursToSignal",
                   {"basic_pkt_fwd", 'S', 0},
                   EPERM,
                   "cannot stop basic_pkt_fwd 1234: Operation not permitted; nothing restarted"},
        TargetCase{"EndedMeanwhile",
                   {"basic_pkt_fwd", 'R', 0},
                   ESRCH,
                   "cannot stop basic_pkt_fwd 1234: No such process; nothing restarted"}),
    [](const testing::TestParamInfo<TargetCase> &info) {
        return std::string(info.param.name);
    });

// A request for a process that is gone starts the forwarder when none runs
// at all: the configuration daemon asks so after a change stopped it (a
// forwarder that exited at start leaves no pid to name). With a forwarder
// running, or a process that is there (another program), nothing happens.
struct StartCase {
    const char *name;
    FakeSystem::Proc proc;
    int forwarder_runs;
    const char *log;  // the line after "proc 1234"; null: the sequence without the signal
};

void PrintTo(const StartCase &c, std::ostream *os) { *os << c.name; }

class StartWhenNoneRunsTest : public testing::TestWithParam<StartCase> {};

TEST_P(StartWhenNoneRunsTest, StartsOnlyWhenTheNamedProcessIsGoneAndNoneRuns) {
    const StartCase &c = GetParam();
    FakeSystem sys;
    sys.procs[1234] = c.proc;
    sys.forwarder_runs = c.forwarder_runs;
    const bool launched = respawn::HandleRequest(sys.ops(), "dhcp mode:1234");
    Events want = {"out from respawner: dhcp mode:1234", "out pid:1234", "out rev_msg:dhcp mode",
                   "proc 1234"};
    const bool gone = c.proc.err || c.proc.state == 'Z';
    if (gone && c.proc.err != EACCES) want.push_back("scan");
    if (!c.log) {
        Events seq = Sequence("dhcp mode:1234", "dhcp mode", "1234");
        want.push_back("out no basic_pkt_fwd runs (process 1234 is gone); starting one");
        seq.erase(seq.begin() + 9);                           // nothing stopped to wait for
        want.insert(want.end(), seq.begin() + 5, seq.end());  // from the lease on
    } else {
        want.push_back(std::string("out ") + c.log);
    }
    EXPECT_EQ(sys.events, want);
    EXPECT_EQ(launched, c.log == nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, StartWhenNoneRunsTest,
    testing::Values(StartCase{"NoSuchProcess", {"", 'S', ESRCH}, 0, nullptr},
                    StartCase{"NoStatFile", {"", 'S', ENOENT}, 0, nullptr},
                    StartCase{"AnEndedForwarder", {"basic_pkt_fwd", 'Z', 0}, 0, nullptr},
                    StartCase{"GoneWhileAnotherRuns",
                              {"", 'S', ESRCH},
                              1,
                              "no process 1234 to stop (No such process); nothing restarted"},
                    StartCase{"EndedWhileAnotherRuns",
                              {"basic_pkt_fwd", 'Z', 0},
                              1,
                              "basic_pkt_fwd 1234 has already ended; nothing restarted"},
                    StartCase{"NotOursToSee",
                              {"", 'S', EACCES},
                              0,
                              "no process 1234 to stop (Permission denied); nothing restarted"},
                    StartCase{"AnotherProgram",
                              {"gwcfgd", 'S', 0},
                              0,
                              "process 1234 is \"gwcfgd\", not basic_pkt_fwd; nothing restarted"}),
    [](const testing::TestParamInfo<StartCase> &info) {
        return std::string(info.param.name);
    });

// Never two forwarders: after the stop, nothing is launched until the
// stopped forwarder has ended, nor while another runs or a launch is under
// way (one that sudo has not turned into a forwarder yet).
struct LaunchCase {
    const char *name;
    bool stopped_ends;
    int runs_after_stop;
    const char *log;
};

void PrintTo(const LaunchCase &c, std::ostream *os) { *os << c.name; }

class LaunchAloneTest : public testing::TestWithParam<LaunchCase> {};

TEST_P(LaunchAloneTest, LaunchesNothingBesideAnotherForwarder) {
    const LaunchCase &c = GetParam();
    FakeSystem sys;
    sys.stopped_ends = c.stopped_ends;
    sys.forwarder_runs = c.runs_after_stop;
    EXPECT_FALSE(respawn::HandleRequest(sys.ops(), "dhcp mode:1234"));
    Events want = Sequence("dhcp mode:1234", "dhcp mode", "1234");
    want.resize(c.stopped_ends ? 11 : 10);  // up to the wait, or the look after it
    want.push_back(std::string("out ") + c.log);
    EXPECT_EQ(sys.events, want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LaunchAloneTest,
    testing::Values(
        LaunchCase{"StoppedOneStillRuns", false, 0,
                   "basic_pkt_fwd 1234 still runs 10 s after SIGQUIT; no other launched"},
        LaunchCase{"AnotherRunsOrIsBeingLaunched", true, 1,
                   "another basic_pkt_fwd runs or is being launched; no other launched"}),
    [](const testing::TestParamInfo<LaunchCase> &info) {
        return std::string(info.param.name);
    });

// Bytes from the queue reach the log as printable ASCII only: a request
// cannot forge a line of the service or send terminal controls.
struct EscapeCase {
    const char *name;
    std::string text;
    Events want;
};

void PrintTo(const EscapeCase &c, std::ostream *os) { *os << c.name; }

class LogEscapeTest : public testing::TestWithParam<EscapeCase> {};

TEST_P(LogEscapeTest, PrintsOtherBytesAsHexEscapes) {
    FakeSystem sys;
    respawn::HandleRequest(sys.ops(), GetParam().text);
    Events lines;
    for (const auto &e : sys.events)
        if (e.rfind("out ", 0) == 0) lines.push_back(e);
    EXPECT_EQ(lines, GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LogEscapeTest,
    testing::Values(
        EscapeCase{"ForgedConfirmation",
                   "x:1\nOK to restart basic_pkt_fwd service....",
                   {"out from respawner: x:1\\x0aOK to restart basic_pkt_fwd service....",
                    "out malformed request (bad pid \"1\\x0aOK to restart basic_pkt_fwd "
                    "service....\"), ignored"}},
        EscapeCase{"TerminalControlInTheMode",
                   "\x1b[2J\x7f\xff mode:7",
                   {"out from respawner: \\x1b[2J\\x7f\\xff mode:7", "out pid:7",
                    "out rev_msg:\\x1b[2J\\x7f\\xff mode",
                    "out OK to restart basic_pkt_fwd service...."}},
        EscapeCase{"PrintableTextAsIs",
                   "fix_ip mode ~!\\x:5",
                   {"out from respawner: fix_ip mode ~!\\x:5", "out pid:5",
                    "out rev_msg:fix_ip mode ~!\\x",
                    "out OK to restart basic_pkt_fwd service...."}}),
    [](const testing::TestParamInfo<EscapeCase> &info) {
        return std::string(info.param.name);
    });

// ------------------------------------------------------------ receive loop

const std::string kRecv5 = "recv q=5 size=50 type=1";
const std::string kRecv6 = "recv q=6 size=50 type=1";
const std::string kDrain5 = "recv q=5 size=51 type=1 noerror nowait";

struct ReceiveCase {
    const char *name;
    std::deque<int> open_results;
    std::deque<QueueStep> queue;
    std::string want_text;
    Events want_events;
};

void PrintTo(const ReceiveCase &c, std::ostream *os) { *os << c.name; }

class NextRequestTest : public testing::TestWithParam<ReceiveCase> {};

TEST_P(NextRequestTest, RetriesUntilARequestArrives) {
    const ReceiveCase &c = GetParam();
    FakeSystem sys;
    sys.open_results = c.open_results;
    sys.queue = c.queue;
    int queue = -1;
    std::string text;
    try {
        text = respawn::NextRequest(sys.ops(), &queue);
    } catch (const QueueDrained &) {
        ADD_FAILURE() << "the loop waited past its script";
    }
    EXPECT_EQ(text, c.want_text);
    EXPECT_EQ(sys.events, c.want_events);
}

const std::string k50(50, 'x');
const std::string k51 = std::string(46, 'x') + ":1234";

INSTANTIATE_TEST_SUITE_P(
    Script, NextRequestTest,
    testing::Values(
        ReceiveCase{
            "FirstTry", {5}, {Msg("fix_ip mode:1234")}, "fix_ip mode:1234", {"open", kRecv5}},
        ReceiveCase{"FiftyBytes", {5}, {Msg(k50)}, k50, {"open", kRecv5}},
        ReceiveCase{"InterruptedRetriedAtOnce",
                    {5},
                    {Fail(EINTR), Msg("dhcp:7")},
                    "dhcp:7",
                    {"open", kRecv5, kRecv5}},
        ReceiveCase{"RemovedQueueObtainedAgain",
                    {5, 6},
                    {Fail(EIDRM), Msg("dhcp:7")},
                    "dhcp:7",
                    {"open", kRecv5, "out msgrcv: Identifier removed; obtaining the queue again",
                     "open", kRecv6}},
        ReceiveCase{"InvalidQueueObtainedAgain",
                    {5, 6},
                    {Fail(EINVAL), Msg("dhcp:7")},
                    "dhcp:7",
                    {"open", kRecv5, "out msgrcv: Invalid argument; obtaining the queue again",
                     "open", kRecv6}},
        ReceiveCase{"SameQueueBackPauses",
                    {5, 5},
                    {Fail(EINVAL), Msg("dhcp:7")},
                    "dhcp:7",
                    {"open", kRecv5, "out msgrcv: Invalid argument; obtaining the queue again",
                     "open", "sleep 1", kRecv5}},
        ReceiveCase{"OtherErrorPauses",
                    {5},
                    {Fail(EACCES), Msg("dhcp:7")},
                    "dhcp:7",
                    {"open", kRecv5, "out msgrcv: Permission denied; retrying", "sleep 1", kRecv5}},
        ReceiveCase{"NoQueueYetRetried",
                    {-ENOENT, 5},
                    {Msg("dhcp:7")},
                    "dhcp:7",
                    {"open",
                     "out cannot obtain the message queue of /home/pi/fifo: No such file or "
                     "directory; retrying",
                     "sleep 1", "open", kRecv5}},
        ReceiveCase{"OversizedDropped",
                    {5},
                    {Msg(k51), Msg("dhcp:7")},
                    "dhcp:7",
                    {"open", kRecv5, kDrain5,
                     "out malformed request (longer than 50 bytes), dropped", kRecv5}},
        ReceiveCase{"OversizedTakenElsewhere",
                    {5},
                    {Fail(E2BIG), Msg("dhcp:7")},
                    "dhcp:7",
                    {"open", kRecv5, kDrain5}},
        ReceiveCase{"OversizedGoneBeforeDrain",
                    {5},
                    {Fail(E2BIG), Fail(ENOMSG), Msg("dhcp:7")},
                    "dhcp:7",
                    {"open", kRecv5, kDrain5, kRecv5}}),
    [](const testing::TestParamInfo<ReceiveCase> &info) {
        return std::string(info.param.name);
    });

TEST(NextRequest, KeepsTheQueueBetweenRequests) {
    FakeSystem sys;
    sys.open_results = {5};
    sys.queue = {Msg("a:1"), Msg("b:2")};
    auto ops = sys.ops();
    int queue = -1;
    EXPECT_EQ(respawn::NextRequest(ops, &queue), "a:1");
    EXPECT_EQ(queue, 5);
    EXPECT_EQ(respawn::NextRequest(ops, &queue), "b:2");
    EXPECT_EQ(sys.events, (Events{"open", kRecv5, kRecv5}));
}

}  // namespace
