// gwcfgd and gwcfg as processes over loopback: the whole road of a
// configuration change as a field engineer runs it.

#include "daemon_harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using gwdtest::Daemon;
using gwtest::TempDir;

namespace {

const std::string kTool = GWCFG_PATH;

struct Result {
    int status;
    std::string out, err;
};

class GwcfgAgainstGwcfgd : public ::testing::Test {
protected:
    void SetUp() override {
        gwdtest::WriteFixtureSiteScripts(state.path());
        StartDaemon();
    }

    void StartDaemon() {
        daemon.reset();
        daemon = std::make_unique<Daemon>(state.path(), std::vector<std::string>{}, env,
                                          "02:00:5e:10:00:2a", port);
        port = daemon->port();
        ASSERT_TRUE(daemon->WaitReady()) << daemon->Log();
    }

    // gwcfg COMMAND [ARGS...] against the daemon on loopback.
    Result Tool(const std::string &command, const std::vector<std::string> &args = {}) {
        std::vector<std::string> argv = {kTool, command};
        argv.insert(argv.end(), args.begin(), args.end());
        for (const char *opt : {"--to", "127.0.0.1", "--port"})
            argv.push_back(opt);
        argv.push_back(std::to_string(port));
        argv.push_back("--timeout");
        argv.push_back("400");
        Result r;
        r.status = gwtest::RunProgram(argv, &r.out, &r.err, 20000);
        return r;
    }

    Json::Value ShowJson() {
        Result r = Tool("show", {mac(), "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        Json::Value v;
        Json::CharReaderBuilder b;
        std::unique_ptr<Json::CharReader> reader(b.newCharReader());
        std::string err;
        EXPECT_TRUE(reader->parse(r.out.data(), r.out.data() + r.out.size(), &v, &err)) << r.out;
        return v;
    }

    std::string mac() const { return daemon->mac_text(); }

    TempDir state;
    std::vector<std::string> env;
    int port = 0;
    std::unique_ptr<Daemon> daemon;
};

TEST_F(GwcfgAgainstGwcfgd, DiscoverShowAndSetThatSurvivesARestart) {
    Result found = Tool("discover", {"--json"});
    ASSERT_EQ(found.status, 0) << found.err;
    Json::Value list;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> reader(b.newCharReader());
    std::string err;
    ASSERT_TRUE(reader->parse(found.out.data(), found.out.data() + found.out.size(), &list, &err));
    ASSERT_EQ(list.size(), 1u) << found.out;
    EXPECT_EQ(list[0]["mac"].asString(), mac());
    EXPECT_EQ(list[0]["revision"].asUInt(), 0u);
    EXPECT_EQ(list[0]["device_name"].asString(), "DeviceName12345");

    Json::Value shown = ShowJson();
    EXPECT_EQ(shown["device_info"]["ip"].asString(), "10.1.2.3");
    EXPECT_EQ(shown["serverIP_conf"]["fixed_ip"].asString(), "192.168.0.1");

    Result set =
        Tool("set", {mac(), "gateway_conf.server_address=lns.example.net",
                     "serverIP_conf.server_name=roof-1", "SX1301_conf.radio_0.freq=867500000"});
    ASSERT_EQ(set.status, 0) << set.out << set.err << daemon->Log();
    EXPECT_NE(set.out.find(mac() + ": stored as revision 1, global_conf.json rewritten"),
              std::string::npos)
        << set.out;

    Json::Value conf;
    ASSERT_TRUE(gwdtest::ReadGlobalConf(state.path(), &conf));
    EXPECT_EQ(conf["gateway_conf"]["server_address"].asString(), "lns.example.net");
    EXPECT_EQ(conf["serverIP_conf"]["server_name"].asString(), "roof-1");
    EXPECT_EQ(conf["SX1301_conf"]["radio_0"]["freq"].asUInt(), 867500000u);

    ASSERT_EQ(daemon->Stop(), 0);
    unlink(state.file("global_conf.json").c_str());
    StartDaemon();
    shown = ShowJson();
    EXPECT_EQ(shown["device_info"]["revision"].asUInt(), 1u);
    EXPECT_EQ(shown["gateway_conf"]["server_address"].asString(), "lns.example.net");
    ASSERT_TRUE(gwdtest::ReadGlobalConf(state.path(), &conf));
    EXPECT_EQ(conf["gateway_conf"]["server_address"].asString(), "lns.example.net");
}

TEST_F(GwcfgAgainstGwcfgd, StaleRevisionIsRefusedAndTheToolSaysSo) {
    // Another tool read revision 0 before this one changed it.
    gwblock::BlockContents old{};
    ASSERT_TRUE(gwdtest::Discover(port, &old));
    ASSERT_EQ(Tool("set", {mac(), "gateway_conf.server_address=first.example"}).status, 0);

    std::string why;
    ASSERT_TRUE(gwblock::set_value(&old, "gateway_conf.server_address", "late.example", &why));
    gwdtest::SendUpdate(port, daemon->mac(), old);
    ASSERT_TRUE(daemon->WaitLog("update refused: it was made from revision 0")) << daemon->Log();
    Json::Value shown = ShowJson();
    EXPECT_EQ(shown["gateway_conf"]["server_address"].asString(), "first.example");
    EXPECT_EQ(shown["device_info"]["revision"].asUInt(), 1u);

    // A gateway that refuses the tool's own update (here: it cannot store
    // it) makes the set fail, and nothing changes.
    ASSERT_EQ(
        mkdir(state.file("gwcfgd.block.tmp." + std::to_string(daemon->process().pid())).c_str(),
              0755),
        0);
    Result set = Tool("set", {mac(), "gateway_conf.server_address=never.example"});
    EXPECT_EQ(set.status, 1) << set.out << set.err;
    EXPECT_FALSE(set.err.empty());
    EXPECT_EQ(ShowJson()["gateway_conf"]["server_address"].asString(), "first.example");
}

TEST_F(GwcfgAgainstGwcfgd, TimesyncRunsDateThroughSudo) {
    // The daemon runs `sudo date -s ...`: a fake sudo first on its PATH
    // records the call and runs nothing.
    gwtest::FakeSudo sudo;
    StartDaemon();
    Result r = Tool("timesync", {mac(), "20991207 11:12:13"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(gwdtest::WaitFor(
        [&] {
            return !sudo.calls().empty();
        },
        5000))
        << daemon->Log();
    EXPECT_EQ(sudo.calls().at(0), "date -s 20991207 11:12:13");

    // Without a text: the time now, as seconds since the epoch.
    const time_t before = time(nullptr);
    ASSERT_EQ(Tool("timesync", {mac()}).status, 0);
    ASSERT_TRUE(gwdtest::WaitFor(
        [&] {
            return sudo.calls().size() >= 2;
        },
        5000));
    std::smatch m;
    const std::string call = sudo.calls().at(1);
    ASSERT_TRUE(std::regex_match(call, m, std::regex("date -s @([0-9]+)"))) << call;
    EXPECT_LE(std::llabs(std::stoll(m[1]) - static_cast<long long>(before)), 5) << call;
}

TEST_F(GwcfgAgainstGwcfgd, ClearIsAcknowledgedAndRebootOnlyLogged) {
    Result clear = Tool("clear", {mac()});
    EXPECT_EQ(clear.status, 0) << clear.err;
    EXPECT_NE(clear.out.find("acknowledged ClrCfgBuf"), std::string::npos) << clear.out;
    EXPECT_NE(clear.out.find("the gateway cleared nothing"), std::string::npos) << clear.out;
    EXPECT_TRUE(daemon->WaitLog("ClearBuf Command Received."));

    Result reboot = Tool("reboot", {mac()});
    EXPECT_EQ(reboot.status, 0) << reboot.err;
    EXPECT_NE(reboot.out.find("The gateway only logs Reboot: it does not restart."),
              std::string::npos)
        << reboot.out;
    EXPECT_TRUE(daemon->WaitLog("Reboot Command Received."));
    // Still serving, configuration untouched.
    EXPECT_TRUE(daemon->process().Running());
    EXPECT_EQ(ShowJson()["device_info"]["revision"].asUInt(), 0u);
}

TEST_F(GwcfgAgainstGwcfgd, AnotherMacGetsNoAnswerAndChangesNothing) {
    const std::string other = "02:00:5e:10:00:2b";
    EXPECT_EQ(Tool("clear", {other}).status, 1);
    EXPECT_EQ(Tool("set", {other, "gateway_conf.server_address=x.example"}).status, 1);
    EXPECT_EQ(ShowJson()["device_info"]["revision"].asUInt(), 0u);
    EXPECT_EQ(gwdtest::Count(daemon->Log(), "update applied"), 0u);
}

}  // namespace
