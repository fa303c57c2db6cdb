// gwcfgd as a process: an update takes effect only when global_conf.json
// (in --conf-dir) and the fixed address (--fixed-ip-command) are written
// with the block; fixed settings that cannot work are refused.
#include "daemon_harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using gwdtest::Daemon;
using gwtest::ReadFile;
using gwtest::TempDir;
using gwtest::WriteFile;

namespace {

class GwcfgdApply : public ::testing::Test {
protected:
    void SetUp() override {
        gwdtest::WriteFixtureSiteScripts(state.path());
        // Records its arguments, one call a line; fails while "fail" exists.
        WriteFile(tools.file("fixed-ip"),
                  "#!/bin/sh\necho \"$*\" >> '" + tools.file("calls") +
                      "'\n"
                      "[ ! -e '" +
                      tools.file("fail") + "' ]\n",
                  0755);
    }
    std::vector<std::string> Options() {
        return {"--conf-dir",           conf.path(), "--fixed-ip-command",
                tools.file("fixed-ip"), "--limit",   "update=0/0"};
    }
    std::string Calls() {
        return gwtest::FileExists(tools.file("calls")) ? ReadFile(tools.file("calls")) : "";
    }
    // An update from the current configuration with one key changed.
    bool Update(Daemon &d, const std::vector<std::pair<std::string, std::string>> &keys) {
        gwblock::BlockContents bc{};
        if (!gwdtest::Discover(d.port(), &bc)) return false;
        std::string why;
        for (const auto &[key, value] : keys)
            if (!gwblock::set_value(&bc, key, value, &why)) return false;
        gwdtest::SendUpdate(d.port(), d.mac(), bc);
        return true;
    }
    uint32_t Revision(Daemon &d) {
        gwblock::BlockContents bc{};
        EXPECT_TRUE(gwdtest::Discover(d.port(), &bc)) << d.Log();
        return bc.revision;
    }
    TempDir state, conf, tools;
};

TEST_F(GwcfgdApply, WritesGlobalConfIntoTheConfDirAndAppliesTheFixedAddress) {
    Daemon d(state.path(), Options());
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    EXPECT_FALSE(gwtest::FileExists(state.file("global_conf.json")));
    Json::Value json;
    ASSERT_TRUE(gwdtest::ReadGlobalConf(conf.path(), &json));
    EXPECT_EQ(Calls(), "") << "nothing is applied before an update";

    ASSERT_TRUE(Update(d, {{"serverIP_conf.networkmode", "1"},
                           {"serverIP_conf.fixed_ip", "10.1.7.20"},
                           {"serverIP_conf.fixed_netmask", "255.255.0.0"},
                           {"serverIP_conf.fixed_gateway", "10.1.0.1"}}));
    ASSERT_TRUE(d.WaitLog("gwcfgd: update applied: revision 1")) << d.Log();
    ASSERT_TRUE(gwdtest::ReadGlobalConf(conf.path(), &json));
    EXPECT_EQ(json["serverIP_conf"]["fixed_ip"].asString(), "10.1.7.20");
    EXPECT_EQ(Calls(), "set 10.1.7.20/16 10.1.0.1\n");

    // Unchanged fixed settings are not applied again; networkmode 0 clears.
    ASSERT_TRUE(Update(d, {{"gateway_conf.server_address", "eu2.example.net"}}));
    ASSERT_TRUE(d.WaitLog("gwcfgd: update applied: revision 2")) << d.Log();
    ASSERT_TRUE(Update(d, {{"serverIP_conf.networkmode", "0"}}));
    ASSERT_TRUE(d.WaitLog("gwcfgd: update applied: revision 3")) << d.Log();
    EXPECT_EQ(Calls(), "set 10.1.7.20/16 10.1.0.1\nclear\n");
}

// global_conf.json that cannot be written, or a fixed address that cannot
// be applied: one log line, and the block, the file and what discovery
// shows stay as they were.
struct FailureCase {
    const char *name;
    const char *log;
};

void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.name; }

class GwcfgdApplyFailure : public GwcfgdApply, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(GwcfgdApplyFailure, RefusesTheUpdateAndChangesNothing) {
    Daemon d(state.path(), Options());
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    ASSERT_TRUE(Update(d, {{"serverIP_conf.networkmode", "0"}}));
    ASSERT_TRUE(d.WaitLog("gwcfgd: update applied: revision 1")) << d.Log();
    const std::string block = ReadFile(state.file("gwcfgd.block"));
    const std::string file = ReadFile(conf.file("global_conf.json"));

    const std::string which = GetParam().name;
    if (which == "GlobalConfUnwritable") {
        // A directory in the file's place: no writer can put a file there.
        ASSERT_EQ(0, rename(conf.file("global_conf.json").c_str(), conf.file("kept").c_str()));
        ASSERT_EQ(0, mkdir(conf.file("global_conf.json").c_str(), 0755));
    } else {
        WriteFile(tools.file("fail"), "");
    }
    ASSERT_TRUE(Update(d, {{"serverIP_conf.networkmode", "1"},
                           {"gateway_conf.server_address", "never.example.net"}}));
    ASSERT_TRUE(d.WaitLog(GetParam().log)) << d.Log();
    EXPECT_EQ(gwdtest::Count(d.Log(), "update refused"), 1u) << d.Log();
    EXPECT_EQ(Revision(d), 1u);
    EXPECT_EQ(ReadFile(state.file("gwcfgd.block")), block);
    for (const auto &entry : std::filesystem::directory_iterator(state.path()))
        EXPECT_NE(entry.path().filename().string().rfind("gwcfgd.block.tmp", 0), 0u)
            << entry.path() << " is left behind";
    if (which != "GlobalConfUnwritable") {
        EXPECT_EQ(ReadFile(conf.file("global_conf.json")), file) << "the old file is restored";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GwcfgdApplyFailure,
    ::testing::Values(FailureCase{"GlobalConfUnwritable",
                                  "gwcfgd: update refused: global_conf.json not written: "},
                      FailureCase{"FixedAddressNotApplied",
                                  "gwcfgd: update refused: fixed address not applied: "}),
    [](const ::testing::TestParamInfo<FailureCase> &i) {
        return std::string(i.param.name);
    });

struct FixedCase {
    const char *name;
    const char *ip, *mask, *gw;
    const char *refusal;  // nullptr: accepted
};

void PrintTo(const FixedCase &c, std::ostream *os) { *os << c.name; }

class GwcfgdFixedSettings : public GwcfgdApply, public ::testing::WithParamInterface<FixedCase> {};

TEST_P(GwcfgdFixedSettings, ThatCannotWorkAreRefusedLikeAnyRuleBreach) {
    const FixedCase &c = GetParam();
    Daemon d(state.path(), Options());
    ASSERT_TRUE(d.WaitReady()) << d.Log();
    ASSERT_TRUE(Update(d, {{"serverIP_conf.networkmode", "1"},
                           {"serverIP_conf.fixed_ip", c.ip},
                           {"serverIP_conf.fixed_netmask", c.mask},
                           {"serverIP_conf.fixed_gateway", c.gw}}));
    if (!c.refusal) {
        ASSERT_TRUE(d.WaitLog("gwcfgd: update applied: revision 1")) << d.Log();
        return;
    }
    ASSERT_TRUE(d.WaitLog(std::string("gwcfgd: update refused: ") + c.refusal)) << d.Log();
    EXPECT_EQ(Revision(d), 0u);
    EXPECT_EQ(Calls(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GwcfgdFixedSettings,
    ::testing::Values(
        FixedCase{"Sound", "192.168.5.9", "255.255.255.0", "192.168.5.1", nullptr},
        FixedCase{"NoGateway", "192.168.5.9", "255.255.255.0", "0.0.0.0", nullptr},
        FixedCase{"PointToPoint", "10.0.0.1", "255.255.255.254", "10.0.0.0", nullptr},
        FixedCase{"AddressZero", "0.0.0.0", "255.255.255.0", "192.168.5.1",
                  "serverIP_conf.fixed_ip 0.0.0.0 is no address"},
        FixedCase{"NetmaskWithAHole", "192.168.5.9", "255.0.255.0", "192.168.5.1",
                  "serverIP_conf.fixed_netmask 255.0.255.0 is not a netmask"},
        FixedCase{"NetmaskZero", "192.168.5.9", "0.0.0.0", "192.168.5.1",
                  "serverIP_conf.fixed_netmask 0.0.0.0 is not a netmask"},
        FixedCase{"NetworkAddress", "192.168.5.0", "255.255.255.0", "192.168.5.1",
                  "serverIP_conf.fixed_ip 192.168.5.0 is the network or broadcast address"},
        FixedCase{"BroadcastAddress", "192.168.5.255", "255.255.255.0", "192.168.5.1",
                  "serverIP_conf.fixed_ip 192.168.5.255 is the network or broadcast address"},
        FixedCase{"GatewayOutsideTheSubnet", "192.168.5.9", "255.255.255.0", "192.168.6.1",
                  "serverIP_conf.fixed_gateway 192.168.6.1 is not another address in the subnet"},
        FixedCase{"GatewayIsTheAddress", "192.168.5.9", "255.255.255.0", "192.168.5.9",
                  "serverIP_conf.fixed_gateway 192.168.5.9 is not another address in the subnet"}),
    [](const ::testing::TestParamInfo<FixedCase> &i) {
        return std::string(i.param.name);
    });

}  // namespace
