// gwcfg's verbs on several gateways at once, against fake gateways on
// loopback: one that answers, one that does not, one that refuses updates;
// the files (apply, backup, diff), get and the page of show; and what a
// hostile host on the network can and cannot make the tool believe.
#include <signal.h>
#include <sys/stat.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include "gwcfg_fixture.h"

using namespace gwcfg_test;

namespace {

// The value at a dotted path of a JSON tree; null when it has none.
Json::Value JsonAt(const Json::Value &tree, const std::string &path) {
    Json::Value node = tree;
    size_t start = 0;
    for (;;) {
        const size_t dot = path.find('.', start);
        const std::string name = path.substr(start, dot - start);
        if (!node.isObject() || !node.isMember(name)) return Json::Value();
        node = node[name];
        if (dot == std::string::npos) return node;
        start = dot + 1;
    }
}

// A UDP socket on a loopback address that waits for one request and sends
// replies to its sender.
class Flooder {
public:
    explicit Flooder(const char *address) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, address, &a.sin_addr);
        int big = 4 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            throw std::runtime_error("bind");
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Flooder() { close(fd_); }
    uint16_t port() const { return port_; }
    bool WaitForRequest(sockaddr_in *from, int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return false;
        uint8_t buf[64];
        socklen_t len = sizeof *from;
        return recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(from), &len) ==
               SEARCH_COMMAND_LEN;
    }
    void SendTo(const sockaddr_in &to, const std::vector<uint8_t> &d) {
        sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// The MAC address in an update datagram, as text.
std::string UpdateMac(const std::vector<uint8_t> &d) {
    return gwblock::format_mac(&d[gwproto::kUpdateMacOffset]);
}

size_t UpdatesFor(FakeGateway &fake, const std::string &mac) {
    size_t n = 0;
    for (const auto &d : fake.received(UPDATE_COMMAND_LEN))
        n += UpdateMac(d) == mac;
    return n;
}

// Four gateways behind one fake: two that answer and take updates, one
// that never answers, one that answers but refuses every update.
class FleetVerbs : public GwcfgTest {
protected:
    void SetUp() override {
        fake.add(UnitOf(Gateway(0x0a, "south-roof", "A")));
        fake.add(UnitOf(Gateway(0x0b, "north-mast", "B")));
        FakeGateway::Unit mute = UnitOf(Gateway(0x0c, "mute", "C"));
        mute.answer_discovery = false;
        mute.ack_clear = false;
        fake.add(mute);
        FakeGateway::Unit refusing = UnitOf(Gateway(0x0d, "refuses", "D"));
        refusing.take_updates = false;
        fake.add(refusing);
    }

    std::string Write(const std::string &name, const std::string &text) {
        gwtest::WriteFile(dir.file(name), text);
        return dir.file(name);
    }

    const std::string kMacC = "00:11:22:33:44:0c";
    const std::string kMacD = "00:11:22:33:44:0d";
    gwtest::TempDir dir;
};

// The table row of a MAC address in a summary.
std::string RowOf(const std::string &out, const std::string &mac) {
    for (const std::string &line : Lines(out))
        if (line.compare(0, mac.size(), mac) == 0) return line;
    return "";
}

// ---------------------------------------------------------------------------
// Many gateways in one run

TEST_F(FleetVerbs, SetChangesEveryGatewayAtOnceAndSaysHowEachFared) {
    Result r = RunTool(
        At({"set", kMacA, kMacB, kMacC, kMacD, "gateway_conf.server_address=lns.example.net"}));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    // The same change on two gateways is listed once.
    EXPECT_NE(r.out.find(
                  "changed on 00:11:22:33:44:0a, 00:11:22:33:44:0b:\n"
                  "  gateway_conf.server_address: router.eu.example.net -> lns.example.net\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(
        std::regex_search(r.out, std::regex("\nMAC +DEVICE NAME +RESULT +REVISION +DETAIL\n")))
        << r.out;
    EXPECT_TRUE(
        std::regex_match(RowOf(r.out, kMacA), std::regex(kMacA + " +south-roof +changed +7 -> 8")))
        << r.out;
    EXPECT_TRUE(
        std::regex_match(RowOf(r.out, kMacB), std::regex(kMacB + " +north-mast +changed +7 -> 8")))
        << r.out;
    EXPECT_TRUE(
        std::regex_match(RowOf(r.out, kMacC),
                         std::regex(kMacC + " +- +failed +- +did not answer within 300 ms")))
        << r.out;
    EXPECT_TRUE(std::regex_match(
        RowOf(r.out, kMacD),
        std::regex(kMacD + " +refuses +failed +7 +did not take the update \\(still revision 7\\)")))
        << r.out;
    EXPECT_NE(r.out.find("2 of 4 gateways done, 2 failed.\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("2 of 4 gateways failed"), std::string::npos) << r.err;

    EXPECT_STREQ(fake.contents(0).gw.gateway_conf.server_address, "lns.example.net");
    EXPECT_STREQ(fake.contents(1).gw.gateway_conf.server_address, "lns.example.net");
    EXPECT_EQ(fake.contents(3).revision, 7u);
    // One update for each gateway that took it; nothing for the mute one.
    EXPECT_EQ(UpdatesFor(fake, kMacA), 1u);
    EXPECT_EQ(UpdatesFor(fake, kMacB), 1u);
    EXPECT_EQ(UpdatesFor(fake, kMacC), 0u);
    EXPECT_GE(UpdatesFor(fake, kMacD), 1u);

    // Exit 0 only when every gateway succeeded; nothing to change is success.
    r = RunTool(At({"set", kMacA, kMacB, "gateway_conf.server_address=lns.example.net"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(
        std::regex_match(RowOf(r.out, kMacA),
                         std::regex(kMacA + " +south-roof +unchanged +8 +nothing to change")))
        << r.out;
}

// The gateways are asked at once: the run takes about one census and one
// read-back, not one exchange per gateway after the other.
TEST_F(FleetVerbs, GatewaysAreAskedAtOnce) {
    for (int i = 0; i < 40; ++i)
        fake.add(UnitOf(Gateway(static_cast<uint8_t>(0x40 + i), "many", "F")));
    std::vector<std::string> args = {"set"};
    for (int i = 0; i < 40; ++i)
        args.push_back(
            gwblock::format_mac(Gateway(static_cast<uint8_t>(0x40 + i), "", "F").eqp.mac));
    args.push_back("gateway_conf.serv_port_up=1701");
    const auto start = std::chrono::steady_clock::now();
    Result r = RunTool(At(args, 500));
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("40 of 40 gateways done.\n"), std::string::npos) << r.out;
    // One after the other, 40 gateways would take 40 census windows.
    EXPECT_LT(took, std::chrono::milliseconds(4000));
}

TEST_F(FleetVerbs, AllTakesEveryGatewayThatAnswersAndExpectGuardsAPartialFleet) {
    Result r = RunTool(At({"set", "--all", "--expect", "4", "gateway_conf.serv_port_up=1701"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        r.err.find(
            "only 3 of the 4 expected gateways answered within 300 ms; nothing was sent to any of them"),
        std::string::npos)
        << r.err;
    EXPECT_TRUE(fake.received(UPDATE_COMMAND_LEN).empty());

    r = RunTool(At({"set", "--all", "--expect=3", "gateway_conf.serv_port_up=1701"}));
    EXPECT_EQ(r.status, 1) << r.err;  // the refusing one
    EXPECT_NE(r.out.find("2 of 3 gateways done, 1 failed."), std::string::npos) << r.out;
    EXPECT_EQ(fake.contents(0).gw.gateway_conf.serv_port_up, 1701);
    EXPECT_EQ(fake.contents(1).gw.gateway_conf.serv_port_up, 1701);
    EXPECT_EQ(RowOf(r.out, kMacC), "");

    r = RunTool(At({"show", "--all", "--json"}));
    EXPECT_EQ(r.status, 0) << r.err;
    Json::Value all = ParseJson(r.out);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0]["device_info"]["mac"].asString(), kMacA);  // sorted by MAC address
}

TEST_F(FleetVerbs, DryRunShowsTheChangeAndSendsNothing) {
    Result r =
        RunTool(At({"set", kMacA, kMacB, "SX1301_conf.radio_0.freq=867700000", "--dry-run"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("would change on 00:11:22:33:44:0a, 00:11:22:33:44:0b:\n"
                         "  SX1301_conf.radio_0.freq: 867.5 MHz -> 867.7 MHz\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(
        std::regex_match(RowOf(r.out, kMacA), std::regex(kMacA + " +south-roof +would change +7")))
        << r.out;
    EXPECT_TRUE(fake.received(UPDATE_COMMAND_LEN).empty());

    r = RunTool(At({"set", kMacA, "SX1301_conf.radio_0.freq=867700000", "--dry-run"}));
    EXPECT_EQ(r.out,
              "00:11:22:33:44:0a: would change (revision 7); nothing was sent\n"
              "  SX1301_conf.radio_0.freq: 867.5 MHz -> 867.7 MHz\n");
    EXPECT_TRUE(fake.received(UPDATE_COMMAND_LEN).empty());
}

TEST_F(FleetVerbs, JsonGivesScriptsEachGatewaysResult) {
    Result r = RunTool(At({"set", kMacA, kMacC, "gateway_conf.serv_port_up=1701", "--json"}));
    EXPECT_EQ(r.status, 1);
    Json::Value v = ParseJson(r.out);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]["mac"].asString(), kMacA);
    EXPECT_TRUE(v[0]["ok"].asBool());
    EXPECT_EQ(v[0]["result"].asString(), "changed");
    EXPECT_EQ(v[0]["revision_before"].asUInt(), 7u);
    EXPECT_EQ(v[0]["revision_after"].asUInt(), 8u);
    EXPECT_EQ(v[0]["changes"][0]["key"].asString(), "gateway_conf.serv_port_up");
    EXPECT_EQ(v[0]["changes"][0]["before"].asString(), "1700");
    EXPECT_EQ(v[0]["changes"][0]["after"].asString(), "1701");
    EXPECT_FALSE(v[1]["ok"].asBool());
    EXPECT_TRUE(v[1]["address"].isNull());
    EXPECT_EQ(v[1]["error"].asString(), "did not answer within 300 ms");
}

TEST_F(FleetVerbs, CommandsGoToEveryGateway) {
    Result r = RunTool(At({"clear", kMacA, kMacB, kMacC}));
    EXPECT_EQ(r.status, 1);
    // MAC addresses given, clear asks no census first: no device names.
    EXPECT_TRUE(std::regex_match(RowOf(r.out, kMacA), std::regex(kMacA + " +- +acknowledged +-")))
        << r.out;
    EXPECT_TRUE(
        std::regex_match(RowOf(r.out, kMacC),
                         std::regex(kMacC + " +- +failed +- +no acknowledgement within 300 ms")))
        << r.out;

    r = RunTool(At({"reboot", "--all"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("3 of 3 gateways done."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("The gateway only logs Reboot: it does not restart."), std::string::npos)
        << r.out;

    r = RunTool(At({"timesync", kMacA, kMacB}));
    EXPECT_EQ(r.status, 0) << r.err;
    std::set<std::string> synced;
    for (const auto &d : fake.received(MESSAGE_COMMAND_LEN))
        if (std::string(reinterpret_cast<const char *>(&d[gwproto::kCommandTextOffset])) ==
            "TimeSync") {
            synced.insert(gwblock::format_mac(&d[gwproto::kCommandMacOffset]));
            EXPECT_EQ(d[gwproto::kArgumentOffset], '@');
        }
    EXPECT_EQ(synced, (std::set<std::string>{kMacA, kMacB}));
}

// The count of gateways that answered is drawn soon after each answer,
// in the right number: the census of set listens for the whole timeout, and
// the line must not stay at "0 gateways answered" meanwhile.
TEST_F(FleetVerbs, ProgressCountsTheGatewaysThatAnsweredAsTheyAnswer) {
    for (size_t i = 1; i < 4; ++i)
        fake.edit(i, [](FakeGateway::Unit &u) {
            u.answer_discovery = false;
        });
    std::ostringstream out, err;
    gwcfg::RunOptions on;
    on.progress = true;
    int status =
        gwcfg::run(At({"set", kMacA, "gateway_conf.serv_port_up=1701"}, 1000), out, err, on);
    EXPECT_EQ(status, 0) << err.str();
    const std::string e = err.str();
    const size_t one = e.find("1 gateway answered");
    ASSERT_NE(one, std::string::npos) << e;
    EXPECT_EQ(e.find("0 gateways answered", one), std::string::npos) << e;
    EXPECT_EQ(e.find("1 gateways"), std::string::npos) << e;
}

// Ctrl-C while a gateway watches its forwarder: the gateway goes on, and
// the tool says so and how to follow it up; exit 130 as for any Ctrl-C.
TEST_F(FleetVerbs, CtrlCDuringTheWaitSaysWhatTheGatewayStillDoes) {
    fake.edit(0, [](FakeGateway::Unit &u) {
        u.after_update = [](BlockContents &b) {
            b.change = gwblock::ChangeStatus{b.revision, 0, 60,
                                             static_cast<uint8_t>(gwblock::ChangeState::Watching),
                                             0};
        };
    });
    const std::string out_path = dir.file("out"), err_path = dir.file("err");
    std::vector<std::string> args = {GWCFG_BINARY};
    for (const std::string &a : At({"set", kMacA, "gateway_conf.serv_port_up=1701"}))
        args.push_back(a);
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    // The wait has begun once the gateway took the update and was asked again.
    bool waiting = false;
    for (int i = 0; i < 100 && !waiting; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        waiting = fake.contents(0).revision == 8 && fake.received(SEARCH_COMMAND_LEN).size() >= 4;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(pid, SIGINT);
    int ws = 0;
    waitpid(pid, &ws, 0);
    ASSERT_TRUE(waiting);
    ASSERT_TRUE(WIFEXITED(ws));
    EXPECT_EQ(WEXITSTATUS(ws), 130);
    const std::string err = gwtest::ReadFile(err_path);
    EXPECT_NE(err.find("gwcfg set: interrupted. Gateway 00:11:22:33:44:0a still watches the "
                       "forwarder with revision 8: it keeps the change if the forwarder runs "
                       "through the window, and rolls it back on its own if the forwarder fails. "
                       "Follow it with gwcfg show 00:11:22:33:44:0a --to 127.0.0.1:" +
                       std::to_string(fake.port()) +
                       ", or keep the change now with gwcfg confirm 00:11:22:33:44:0a --to "
                       "127.0.0.1:" +
                       std::to_string(fake.port()) + ".\n"),
              std::string::npos)
        << err;
}

// One vocabulary for scripts: the same names in every verb, numbers as
// numbers, and an error object on stdout when a command fails before it
// has a result.
TEST_F(FleetVerbs, JsonSpeaksOneVocabularyAndAnswersErrorsOnStdout) {
    Result d = RunTool(At({"discover", "--json"}));
    Json::Value found = ParseJson(d.out);
    ASSERT_TRUE(found.isArray() && found.size() > 0) << d.out;
    Result s = RunTool(At({"set", kMacA, "gateway_conf.serv_port_up=1701", "--json"}));
    ASSERT_EQ(s.status, 0) << s.err;
    Json::Value set = ParseJson(s.out);
    for (const Json::Value *g : {&found[0], &set[0]}) {
        EXPECT_EQ((*g)["mac"].asString(), kMacA);
        EXPECT_EQ((*g)["device_name"].asString(), "south-roof");
        EXPECT_FALSE(g->isMember("server_name"));
    }
    EXPECT_TRUE(set[0]["changes"][0]["before"].isIntegral()) << s.out;
    EXPECT_EQ(set[0]["changes"][0]["after"].asInt(), 1701);

    for (const std::vector<std::string> &args :
         {At({"show", kMacC, "--json"}), At({"show", kMacA, "--json", "--bogus"})}) {
        Result r = RunTool(args);
        EXPECT_NE(r.status, 0);
        Json::Value e = ParseJson(r.out);
        EXPECT_EQ(e["status"].asInt(), r.status) << r.out;
        EXPECT_FALSE(e["error"].asString().empty()) << r.out;
        EXPECT_NE(r.err.find(e["error"].asString()), std::string::npos) << r.out << r.err;
    }
}

// On a terminal a progress line shows how far the work is; it is gone
// before the table.
TEST_F(FleetVerbs, ProgressLineOnATerminal) {
    std::ostringstream out, err;
    gwcfg::RunOptions on;
    on.progress = true;
    int status =
        gwcfg::run(At({"set", kMacA, kMacB, "gateway_conf.serv_port_up=1701"}), out, err, on);
    EXPECT_EQ(status, 0) << err.str();
    EXPECT_NE(err.str().find("gateways answered"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("2/2 gateways done, 0 failed"), std::string::npos) << err.str();
    EXPECT_EQ(err.str().substr(err.str().size() - 4), "\r\033[K");
    EXPECT_EQ(out.str().find('\r'), std::string::npos);
}

// While a gateway watches its forwarder with the change, a terminal counts
// down to the verdict; the verdict ends the wait at once, and a rollback
// is a failure that names the reason.
struct VerdictCase {
    const char *name;
    gwblock::ChangeState verdict;
    uint8_t reason;
    int status;
    const char *says;  // in out (0) or err (1)
};

class Verdicts : public FleetVerbs, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(Verdicts, SetCountsDownToTheVerdictAndReportsIt) {
    const VerdictCase &c = GetParam();
    fake.edit(0, [](FakeGateway::Unit &u) {
        u.after_update = [](BlockContents &b) {
            b.change = gwblock::ChangeStatus{b.revision, 0, 2,
                                             static_cast<uint8_t>(gwblock::ChangeState::Watching),
                                             0};
        };
    });
    std::thread verdict([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        fake.edit(0, [&c](FakeGateway::Unit &u) {
            u.contents.change.state = static_cast<uint8_t>(c.verdict);
            u.contents.change.reason = c.reason;
            u.contents.change.seconds = 1;
            u.contents.change.left = 0;
            if (c.verdict != gwblock::ChangeState::Confirmed) ++u.contents.revision;
        });
    });
    std::ostringstream out, err;
    gwcfg::RunOptions on;
    on.progress = true;
    const auto start = std::chrono::steady_clock::now();
    const int status =
        gwcfg::run(At({"set", kMacA, "gateway_conf.serv_port_up=1701"}), out, err, on);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    verdict.join();
    EXPECT_EQ(status, c.status) << out.str() << err.str();
    EXPECT_TRUE(
        std::regex_search(err.str(),
                          std::regex("00:11:22:33:44:0a watches the forwarder with revision 8: "
                                     "verdict in at most [12] s")))
        << err.str();
    EXPECT_NE((c.status == 0 ? out : err).str().find(c.says), std::string::npos)
        << out.str() << err.str();
    EXPECT_LT(took, 6.0);
}

INSTANTIATE_TEST_SUITE_P(
    Gateway, Verdicts,
    ::testing::Values(
        VerdictCase{
            "Confirmed", gwblock::ChangeState::Confirmed, 0, 0,
            "00:11:22:33:44:0a: stored as revision 8, global_conf.json rewritten; confirmed: the forwarder "
            "has run it for the whole window\n"},
        VerdictCase{
            "RolledBack", gwblock::ChangeState::RolledBack, 2, 1,
            "gwcfg set: gateway 00:11:22:33:44:0a rolled back revision 8 to the configuration before it (now "
            "revision 9): the forwarder exited 1 s after starting."},
        VerdictCase{
            "Failed", gwblock::ChangeState::Failed, 1, 1,
            "gwcfg set: gateway 00:11:22:33:44:0a rolled back revision 8 (no forwarder started within 1 s), "
            "and the configuration it restored failed too (now revision 9)."}),
    [](const auto &info) {
        return std::string(info.param.name);
    });

// A change of the network mode or the fixed address moves the gateway with
// the restart: through one address the tool cannot follow it, and says so
// instead of waiting for a verdict it cannot get.
TEST_F(FleetVerbs, AChangeThatMovesTheGatewayIsNotAwaitedThroughOneAddress) {
    fake.edit(0, [](FakeGateway::Unit &u) {
        u.after_update = [](BlockContents &b) {
            b.change = gwblock::ChangeStatus{b.revision, 0, 30,
                                             static_cast<uint8_t>(gwblock::ChangeState::Watching),
                                             0};
        };
    });
    const auto start = std::chrono::steady_clock::now();
    Result r = RunTool(At({"set", kMacA, "serverIP_conf.fixed_ip=192.168.0.77"}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(
        r.out.find(
            "00:11:22:33:44:0a: stored as revision 8, global_conf.json rewritten; the gateway watches the "
            "forwarder with it, but its address changes with the restart, so gwcfg cannot wait for the "
            "verdict at 127.0.0.1: gwcfg discover tells it\n"),
        std::string::npos)
        << r.out;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
}

// ---------------------------------------------------------------------------
// Files

TEST_F(FleetVerbs, ApplyChangesOnlyTheKeysTheFileHolds) {
    const BlockContents before = fake.contents(0);
    Result r = RunTool(At({"apply", kMacA, std::string(GW_PROFILES_DIR) + "/us915.json"}));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("00:11:22:33:44:0a: stored as revision 8, global_conf.json rewritten\n"
                         "  SX1301_conf.radio_0.freq: 867.5 MHz -> 904.3 MHz\n"),
              std::string::npos)
        << r.out;
    const BlockContents after = fake.contents(0);
    // A region plan leaves the server settings and the site alone.
    const Json::Value plan =
        ParseJson(gwtest::ReadFile(std::string(GW_PROFILES_DIR) + "/us915.json"));
    for (const gwblock::KeyInfo *k : gwblock::diff_keys(before, after, true)) {
        EXPECT_EQ(k->section, "SX1301_conf") << k->path;
        EXPECT_FALSE(JsonAt(plan, k->path).isNull()) << k->path << " is not in the plan";
    }
    EXPECT_STREQ(after.gw.gateway_conf.server_address, "router.eu.example.net");
    EXPECT_EQ(after.gw.radios[0].freq, 904300000u);

    // --only takes part of a file.
    const std::string file = Write("site.json", R"({"gateway_conf": {"serv_port_up": 1710},
                                                   "serverIP_conf": {"server_name": "renamed"}})");
    r = RunTool(At({"apply", kMacA, file, "--only", "serverIP_conf"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_STREQ(fake.contents(0).eqp.server_name, "renamed");
    EXPECT_EQ(fake.contents(0).gw.gateway_conf.serv_port_up, 1700);
}

struct BadFile {
    const char *name;
    const char *text;  // nullptr: no such file
    std::vector<std::string> options;
    const char *message;
};

class ApplyRefusesFiles : public FleetVerbs, public ::testing::WithParamInterface<BadFile> {};

TEST_P(ApplyRefusesFiles, BeforeAskingAnyGateway) {
    const BadFile &c = GetParam();
    const std::string path = c.text ? Write("f.json", c.text) : dir.file("missing.json");
    std::vector<std::string> args = {"apply", kMacA, path};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Result r = RunTool(At(args));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Nothing was sent."), std::string::npos) << r.err;
    EXPECT_TRUE(fake.received().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApplyRefusesFiles,
    ::testing::Values(
        BadFile{"NotJson", "{\"gateway_conf\": ", {}, "f.json: not JSON"},
        BadFile{"NotAnObject", "[1, 2]", {}, "not a profile or backup"},
        BadFile{"UnknownKey",
                R"({"gateway_conf": {"server_adress": "x"}})",
                {},
                "unknown key gateway_conf.server_adress"},
        BadFile{"BadValue", R"({"gateway_conf": {"serv_port_up": "x"}})", {}, "serv_port_up"},
        BadFile{"Empty", "{}", {}, "holds no key"},
        BadFile{"NothingOfOnly",
                R"({"gateway_conf": {"serv_port_up": 1701}})",
                {"--only", "serverIP_conf"},
                "holds no key of the sections given with --only"},
        BadFile{"Missing", nullptr, {}, "missing.json: No such file or directory"}),
    [](const ::testing::TestParamInfo<BadFile> &i) {
        return std::string(i.param.name);
    });

TEST_F(FleetVerbs, ABackupRestoresTheGatewayItWasTakenFrom) {
    const std::string backups = dir.file("backups/today");
    Result r = RunTool(At({"backup", kMacA, kMacB, kMacC, backups}));
    EXPECT_EQ(r.status, 1);  // the mute one
    EXPECT_TRUE(std::regex_match(
        RowOf(r.out, kMacA),
        std::regex(kMacA + " +south-roof +saved +7 +.*/backups/today/00-11-22-33-44-0a\\.json")))
        << r.out;
    const std::string file_a = backups + "/00-11-22-33-44-0a.json";
    ASSERT_TRUE(gwtest::FileExists(file_a));
    EXPECT_TRUE(gwtest::FileExists(backups + "/00-11-22-33-44-0b.json"));
    EXPECT_FALSE(gwtest::FileExists(backups + "/00-11-22-33-44-0c.json"));
    // The same JSON as show --json.
    EXPECT_EQ(ParseJson(gwtest::ReadFile(file_a)),
              ParseJson(RunTool(At({"show", kMacA, "--json"})).out));

    const BlockContents original = fake.contents(0);
    ASSERT_EQ(RunTool(At({"set", kMacA, "gateway_conf.server_address=elsewhere.example",
                          "SX1301_conf.radio_0.freq=867300000",
                          "SX1301_conf.radio_0.rssi_offset=-160.25",
                          "serverIP_conf.fixed_ip=10.9.9.9"}))
                  .status,
              0);
    r = RunTool(At({"diff", kMacA, file_a}));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("4 of the 142 keys both hold differ"), std::string::npos) << r.out;

    r = RunTool(At({"apply", kMacA, file_a}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(gwblock::diff_keys(original, fake.contents(0), true).empty());
    r = RunTool(At({"diff", kMacA, file_a}));
    EXPECT_EQ(r.out, "no differences in the 142 keys both hold\n");

    // On another gateway it would copy the first one's identity.
    r = RunTool(At({"apply", kMacB, file_a}));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(
                  file_a +
                  " is the backup of 00:11:22:33:44:0a: on 00:11:22:33:44:0b it would copy that "
                  "gateway's gateway ID"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(UpdatesFor(fake, kMacB), 0u);
    r = RunTool(At({"apply", kMacB, file_a, "--only", "SX1301_conf"}));
    EXPECT_EQ(r.status, 0) << r.err;

    // A directory of backups: each gateway takes its own.
    ASSERT_EQ(RunTool(At({"set", kMacA, kMacB, "gateway_conf.serv_port_up=1799"})).status, 0);
    r = RunTool(At({"apply", kMacA, kMacB, backups}));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(fake.contents(0).gw.gateway_conf.serv_port_up, 1700);
    EXPECT_EQ(fake.contents(1).gw.gateway_conf.serv_port_up, 1700);
    EXPECT_STREQ(fake.contents(1).eqp.server_name, "north-mast");
}

TEST_F(FleetVerbs, DiffComparesGatewaysAndFiles) {
    Result r = RunTool(At({"diff", kMacA, kMacB}));
    EXPECT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("KEY +00:11:22:33:44:0a +00:11:22:33:44:0b")))
        << r.out;
    EXPECT_TRUE(
        std::regex_match(lines[1],
                         std::regex("gateway_conf.gateway_ID +AA555A000000000A +AA555A000000000B")))
        << r.out;
    EXPECT_TRUE(
        std::regex_match(lines[2], std::regex("serverIP_conf.server_name +south-roof +north-mast")))
        << r.out;
    EXPECT_EQ(lines[3], "2 of the 142 keys both hold differ");

    // A file holds some keys: only those are compared.
    const std::string plan =
        Write("plan.json", R"({"SX1301_conf": {"radio_0": {"freq": 867100000, "enable": true}},
                                                   "gateway_conf": {"server_address": "router.eu.example.net"}})");
    r = RunTool(At({"diff", plan, kMacA, "--json"}));
    EXPECT_EQ(r.status, 0) << r.err;
    Json::Value v = ParseJson(r.out);
    ASSERT_EQ(v.size(), 1u) << r.out;
    EXPECT_EQ(v[0]["key"].asString(), "SX1301_conf.radio_0.freq");
    // Numbers as JSON numbers; the text shows them as show does.
    ASSERT_TRUE(v[0]["a"].isNumeric() && v[0]["b"].isNumeric()) << r.out;
    EXPECT_EQ(v[0]["a"].asUInt(), 867100000u);
    EXPECT_EQ(v[0]["b"].asUInt(), 867500000u);
    r = RunTool(At({"diff", plan, kMacA}));
    EXPECT_TRUE(
        std::regex_search(r.out, std::regex("SX1301_conf.radio_0.freq +867.1 MHz +867.5 MHz")))
        << r.out;

    // Two files: nothing is sent at all.
    const size_t before = fake.received().size();
    r = RunTool(At({"diff", plan, std::string(GW_PROFILES_DIR) + "/eu868.json"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("SX1301_conf.radio_0.freq"), std::string::npos) << r.out;
    EXPECT_EQ(fake.received().size(), before);

    r = RunTool(At({"diff", kMacA, kMacC}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("gateway 00:11:22:33:44:0c did not answer"), std::string::npos) << r.err;
}

// ---------------------------------------------------------------------------
// Views

struct GetCase {
    const char *name;
    std::vector<std::string> args;
    std::string out;
};

class GetPrints : public FleetVerbs, public ::testing::WithParamInterface<GetCase> {};

TEST_P(GetPrints, Values) {
    std::vector<std::string> args = {"get"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    Result r = RunTool(At(args));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GetPrints,
    ::testing::Values(
        GetCase{"OneKeyOneGateway",
                {"00:11:22:33:44:0a", "gateway_conf.server_address"},
                "router.eu.example.net\n"},
        GetCase{"SeveralKeys",
                {"00:11:22:33:44:0a", "SX1301_conf.radio_1.freq", "device_info.revision"},
                "SX1301_conf.radio_1.freq=868500000\ndevice_info.revision=7\n"},
        GetCase{"AnObject",
                {"00:11:22:33:44:0a", "SX1301_conf.radio_0"},
                "SX1301_conf.radio_0.freq=867500000\nSX1301_conf.radio_0.rssi_offset=-166\n"
                "SX1301_conf.radio_0.enable=true\nSX1301_conf.radio_0.tx_enable=true\n"
                "SX1301_conf.radio_0.type=SX1257\n"},
        GetCase{"SeveralGateways",
                {"00:11:22:33:44:0a", "00:11:22:33:44:0b", "serverIP_conf.server_name"},
                "00:11:22:33:44:0a  south-roof\n00:11:22:33:44:0b  north-mast\n"},
        GetCase{
            "SeveralGatewaysAndKeys",
            {"00:11:22:33:44:0a", "00:11:22:33:44:0b", "gateway_conf.serv_port_up",
             "device_info.mac"},
            "00:11:22:33:44:0a  gateway_conf.serv_port_up=1700\n00:11:22:33:44:0a  device_info.mac=00:11:22:33:44:0a\n"
            "00:11:22:33:44:0b  gateway_conf.serv_port_up=1700\n00:11:22:33:44:0b  "
            "device_info.mac=00:11:22:33:44:0b\n"},
        GetCase{
            "Json",
            {"00:11:22:33:44:0a", "gateway_conf.serv_port_up", "SX1301_conf.lorawan_public",
             "--json"},
            "{\n  \"SX1301_conf.lorawan_public\" : true,\n  \"gateway_conf.serv_port_up\" : 1700\n}\n"}),
    [](const ::testing::TestParamInfo<GetCase> &i) {
        return std::string(i.param.name);
    });

TEST_F(FleetVerbs, GetRefusesAnUnknownKeyBeforeAskingAnything) {
    Result r = RunTool(At({"get", kMacA, "gateway_conf.server_adress"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown key gateway_conf.server_adress"), std::string::npos) << r.err;
    EXPECT_TRUE(fake.received().empty());
}

TEST_F(FleetVerbs, ShowPrintsAPageAPersonReads) {
    fake.edit(0, [](FakeGateway::Unit &u) {
        u.contents.gw.chan_multiSF[7].enable = false;
        u.contents.gw.chan_FSK.bandwidth = 0;
    });
    Result r = RunTool(At({"show", kMacA}));
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    EXPECT_EQ(lines[0],
              "gateway 00:11:22:33:44:0a, revision 7, at 127.0.0.1:" + std::to_string(fake.port()));
    EXPECT_LT(lines.size(), 45u) << r.out;
    for (
        const char *want : {
            "device name +south-roof",
            "identity +Vorna123456789012345678 Model_LoRa_GW12, serial SerialNo1234567, hardware HW_ID_123456789",
            "network +live 10.0.0.5/24, gateway 10.0.0.1, DNS 10.0.0.1 8.8.8.8",
            " +fixed 192.168.0.1/24, gateway 192.168.0.254 \\(network mode 1: fixed settings\\)",
            "server +router.eu.example.net, port up 1700, down 1700",
            "gateway ID +AA555A000000000A",
            "intervals +keep-alive 10 s, statistics 30 s, push time-out 100 ms",
            "RADIO +TYPE +FREQ MHZ +RSSI OFFSET +RX +TX",
            "0 +SX1257 +867.5 +-166 dB +on +on",
            "1 +SX1257 +868.5 +-166 dB +on +off",
            "CHANNEL +RADIO +IF KHZ +FREQ MHZ +BW KHZ +SF/DATARATE +RX",
            // Absolute frequencies: the radio's plus the channel's offset.
            "multiSF_0 +1 +-400 +868.1 +125 +SF7-12 +on",
            "multiSF_3 +0 +-400 +867.1 +125 +SF7-12 +on",
            "multiSF_7 +0 +400 +867.9 +125 +SF7-12 +off",
            "Lora_std +1 +-200 +868.3 +250 +SF7 +on",
            "FSK +1 +300 +868.8 +default +50000 bit/s +on",
            "TX TABLE +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +10 +11 +12 +13 +14 +15",
            "power dBm +-6 +-4 +-2 +0 +2 +4 +6 +8 +10 +12 +14 +16 +18 +20 +22 +24",
        }) {
        bool found = false;
        for (const std::string &l : lines)
            found = found || std::regex_match(l, std::regex(want));
        EXPECT_TRUE(found) << want << "\n" << r.out;
    }
    // Members the forwarder never reads stay out of the page.
    EXPECT_EQ(r.out.find("tx_lut_count"), std::string::npos);
}

// ---------------------------------------------------------------------------
// A hostile host

// A forger at another address answers every discovery request with what the
// gateway was asked to take, as if it had: only the gateway that was changed
// counts for the read-back, and for a unicast --to only that address counts
// at all.
TEST_F(FleetVerbs, OnlyTheGatewayThatWasChangedCountsForTheReadBack) {
    fake.forge_from("127.0.0.2");
    fake.edit(3, [](FakeGateway::Unit &u) {
        u.forge_readback = true;
    });
    Result r = RunTool(At({"set", kMacD, "gateway_conf.server_address=lns.example.net"}));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.err.find("did not take the update: it still reads revision 7"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("warning: ignoring a reply of 00:11:22:33:44:0d from 127.0.0.2:"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(fake.contents(3).revision, 7u);

    // The forger now answers discovery too, from 127.0.0.2: not a second
    // gateway with that MAC, since --to names 127.0.0.1.
    r = RunTool(At({"discover"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("DUPLICATE"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("127.0.0.2"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("warning: ignoring a reply from 127.0.0.2:" + std::to_string(fake.port()) +
                         ": --to names 127.0.0.1"),
              std::string::npos)
        << r.err;
}

// Replies flooding the tool's port: at most 10,000 are kept, the duplicate
// MAC addresses are summed up in one pass and in a few lines, and the tool
// ends on time.
TEST(GwcfgHostileReplies, AFloodIsCappedAndEndsOnTime) {
    constexpr int kMacs = 10500;
    std::vector<std::vector<uint8_t>> replies;
    for (int i = 0; i < kMacs; ++i) {
        BlockContents b = codec_test::SampleContents();
        b.eqp.mac[3] = static_cast<uint8_t>(i >> 16);
        b.eqp.mac[4] = static_cast<uint8_t>(i >> 8);
        b.eqp.mac[5] = static_cast<uint8_t>(i);
        uint8_t block[gwblock::kBlockSize];
        gwblock::encode(b, block);
        std::vector<uint8_t> r(SEARCH_FORMAT_LEN);
        gwblock::build_discovery_reply(r.data(), b.eqp.mac, block);
        replies.push_back(r);
    }
    // Two sockets at 127.0.0.1: every MAC address answers from two places.
    Flooder a("127.0.0.1"), b("127.0.0.1");
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        sockaddr_in tool{};
        if (!a.WaitForRequest(&tool, 5000)) return;
        for (size_t i = 0; i < replies.size() && !stop; ++i) {
            a.SendTo(tool, replies[i]);
            b.SendTo(tool, replies[i]);
            // 10,000 datagrams a second: a tool under a sanitizer on a busy
            // machine still takes them all off the socket.
            if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    Result r = RunTool({"discover", "--to", "127.0.0.1:" + std::to_string(a.port()), "--timeout",
                        "6000", "--retries", "0"});
    const auto took = std::chrono::steady_clock::now() - start;
    stop = true;
    flood.join();
    EXPECT_EQ(r.status, 0);
    // Summing up the duplicates of 10,000 replies once took minutes.
    EXPECT_LT(took, std::chrono::seconds(20));
    const auto lines = Lines(r.out);
    EXPECT_LE(lines.size(), 10001u);
    EXPECT_GT(lines.size(), 1000u) << "too few replies arrived to judge";
    EXPECT_NE(r.err.find("warning: more than 10000 replies; kept the first 10000 and ignored"),
              std::string::npos)
        << r.err.substr(0, 2000);
    EXPECT_LE(Lines(r.err).size(), 14u) << r.err.substr(0, 2000);
    EXPECT_NE(r.err.find("more MAC addresses answered more than once"), std::string::npos)
        << r.err.substr(0, 2000);
}

}  // namespace
