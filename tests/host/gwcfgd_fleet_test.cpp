// A fleet: 50 gwcfgd daemons in network namespaces on one bridge, and gwcfg
// in a "laptop" namespace on the same bridge (tests/host/fleet_bed.h). Root
// only; the host's network is never touched.

#include "daemon_harness.h"
#include "fleet_bed.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kGateways = 50;
// What the tool may wait for an answer. Fifty daemons on a loaded test
// machine answer late now and then (each runs its address probes a few
// seconds after start); the tool returns as soon as the answers are in.
constexpr const char *kBudget = "5000";
using gwfleet::FleetBed;

std::string MacOf(int i) { return FleetBed::MacOf(i); }
std::string AddressOf(int i) { return FleetBed::AddressOf(i); }

// The fleet, built and serving; skips the test where that cannot be.
#define START_FLEET(fleet)                                                         \
    if (!FleetBed::Unavailable().empty()) GTEST_SKIP() << FleetBed::Unavailable(); \
    FleetBed fleet(kGateways);                                                     \
    ASSERT_EQ(fleet.Build(), "") << "cannot build the fleet's network";            \
    fleet.StartDaemons();                                                          \
    ASSERT_TRUE(fleet.AllServing(60000)) << "not every daemon started; first log:\n" << fleet.Log(0)

Json::Value ParseJson(const std::string &text) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    std::string err;
    if (!r->parse(text.data(), text.data() + text.size(), &v, &err))
        ADD_FAILURE() << "not JSON: " << err << "\n" << text;
    return v;
}

TEST(GwcfgdFleet, OneBroadcastFindsFiftyAndASetChangesOneGateway) {
    START_FLEET(fleet);

    std::string out, err;
    ASSERT_EQ(fleet.Tool({"discover", "--expect", std::to_string(kGateways), "--timeout", "15000",
                          "--json"},
                         &out, &err),
              0)
        << err;
    Json::Value list = ParseJson(out);
    ASSERT_EQ(list.size(), static_cast<unsigned>(kGateways)) << out << err;
    std::set<std::string> macs, addresses, ids;
    for (const Json::Value &g : list) {
        macs.insert(g["mac"].asString());
        addresses.insert(g["address"].asString());
        ids.insert(g["gateway_ID"].asString());
        EXPECT_FALSE(g["duplicate"].asBool());
        EXPECT_FALSE(g["duplicate_gateway_ID"].asBool());
        EXPECT_EQ(g["revision"].asUInt(), 0u);
    }
    EXPECT_EQ(macs.size(), static_cast<size_t>(kGateways));
    EXPECT_EQ(addresses.size(), static_cast<size_t>(kGateways));
    // No profile sets a gateway EUI: each gateway derives its own.
    EXPECT_EQ(ids.size(), static_cast<size_t>(kGateways));
    for (int i = 0; i < kGateways; ++i)
        EXPECT_EQ(macs.count(MacOf(i)), 1u) << MacOf(i);

    // Each daemon probed its own eth0 through the bundled site scripts.
    const int target = 17;
    ASSERT_EQ(fleet.Tool({"show", MacOf(target), "--json", "--timeout", kBudget}, &out, &err), 0)
        << err;
    EXPECT_EQ(ParseJson(out)["device_info"]["ip"].asString(), AddressOf(target));

    ASSERT_EQ(fleet.Tool({"set", MacOf(target), "gateway_conf.server_address=fleet-17.example.net",
                          "--timeout", kBudget},
                         &out, &err),
              0)
        << out << err;

    // Logs reach the file within the daemon's flush interval.
    EXPECT_TRUE(gwdtest::WaitFor(
        [&] {
            return fleet.Log(target).find("update applied") != std::string::npos;
        },
        3000));
    usleep(300 * 1000);
    for (int i = 0; i < kGateways; ++i) {
        Json::Value conf;
        ASSERT_TRUE(gwdtest::ReadGlobalConf(fleet.State(i), &conf)) << i;
        EXPECT_EQ(conf["gateway_conf"]["server_address"].asString(),
                  i == target ? "fleet-17.example.net" : "localhost")
            << "gateway " << i;
        EXPECT_EQ(gwdtest::Count(fleet.Log(i), "update applied"), i == target ? 1u : 0u) << i;
    }
    ASSERT_EQ(fleet.Tool({"discover", "--expect", std::to_string(kGateways), "--timeout", "15000",
                          "--json"},
                         &out, &err),
              0)
        << err;
    for (const Json::Value &g : ParseJson(out))
        EXPECT_EQ(g["revision"].asUInt(), g["mac"].asString() == MacOf(target) ? 1u : 0u)
            << g["mac"].asString();
}

// The fleet verbs against real daemons, all at once: one daemon does not
// answer (stopped) and one refuses every update (it cannot store it: its
// stored block's name is taken by a directory).
TEST(GwcfgdFleet, FleetVerbsReachEveryDaemonAndSayHowEachFared) {
    START_FLEET(fleet);
    const int kStopped = 3, kRefusing = 4;
    fleet.StopDaemon(kStopped);
    ASSERT_EQ(mkdir((fleet.State(kRefusing) + "/gwcfgd.block").c_str(), 0755), 0);
    gwtest::WriteFile(fleet.State(kRefusing) + "/gwcfgd.block/keep", "");

    std::string out, err;
    std::vector<std::string> args = {"set"};
    for (int i = 0; i < 10; ++i)
        args.push_back(MacOf(i));
    args.push_back("gateway_conf.server_address=fleet.example.net");
    args.insert(args.end(), {"--timeout", kBudget});
    EXPECT_EQ(fleet.Tool(args, &out, &err), 1) << out << err;
    EXPECT_NE(out.find("8 of 10 gateways done, 2 failed."), std::string::npos) << out << err;
    const std::vector<std::string> lines = gwtest::SplitLines(out);
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        std::smatch m;
        const std::regex row(MacOf(i) + " +(\\S+) +(\\S+) +(.*)");
        bool found = false;
        for (const std::string &line : lines)
            if (std::regex_match(line, m, row)) {
                found = true;
                break;
            }
        ASSERT_TRUE(found) << out;
        if (i == kStopped) {
            EXPECT_EQ(m[2], "failed");
            EXPECT_NE(m[3].str().find("did not answer within " + std::string(kBudget) + " ms"),
                      std::string::npos)
                << m[3];
        } else if (i == kRefusing) {
            EXPECT_EQ(m[2], "failed");
            EXPECT_NE(m[3].str().find("did not take the update (still revision 0)"),
                      std::string::npos)
                << m[3];
        } else {
            EXPECT_EQ(m[2], "changed");
            EXPECT_EQ(m[3], "0 -> 1");
            Json::Value conf;
            ASSERT_TRUE(gwdtest::ReadGlobalConf(fleet.State(i), &conf));
            EXPECT_EQ(conf["gateway_conf"]["server_address"].asString(), "fleet.example.net");
        }
    }
    EXPECT_NE(fleet.Log(kRefusing).find("update refused"), std::string::npos)
        << fleet.Log(kRefusing);

    // A partial fleet is left alone.
    EXPECT_EQ(fleet.Tool({"apply", "--all", "--expect", "50",
                          std::string(GW_PROFILES_DIR) + "/us915.json", "--timeout", kBudget},
                         &out, &err),
              1);
    EXPECT_NE(err.find("only 49 of the 50 expected gateways answered"), std::string::npos) << err;

    // Back up every gateway, move the fleet to another region plan, and
    // restore it from the backups.
    gwtest::TempDir backups;
    ASSERT_EQ(fleet.Tool({"backup", "--all", "--expect", "49", backups.path(), "--timeout",
                          kBudget},
                         &out, &err),
              0)
        << out << err;
    EXPECT_NE(out.find("49 of 49 gateways done."), std::string::npos) << out;
    EXPECT_TRUE(gwtest::FileExists(backups.path() + "/02-fa-00-00-00-01.json"));

    EXPECT_EQ(fleet.Tool({"apply", "--all", "--expect", "49",
                          std::string(GW_PROFILES_DIR) + "/us915.json", "--timeout", kBudget},
                         &out, &err),
              1)
        << out << err;
    EXPECT_NE(out.find("48 of 49 gateways done, 1 failed."), std::string::npos) << out << err;
    Json::Value conf;
    ASSERT_TRUE(gwdtest::ReadGlobalConf(fleet.State(0), &conf));
    EXPECT_EQ(conf["SX1301_conf"]["radio_0"]["freq"].asUInt(), 904300000u);
    // A region plan leaves the server alone.
    EXPECT_EQ(conf["gateway_conf"]["server_address"].asString(), "fleet.example.net");

    // The refusing one never left its plan: nothing to change there.
    EXPECT_EQ(fleet.Tool({"apply", "--all", backups.path(), "--timeout", kBudget}, &out, &err), 0)
        << out << err;
    EXPECT_NE(out.find("49 of 49 gateways done."), std::string::npos) << out << err;
    ASSERT_TRUE(gwdtest::ReadGlobalConf(fleet.State(20), &conf));
    EXPECT_EQ(conf["SX1301_conf"]["radio_0"]["freq"].asUInt(), 867500000u);
    EXPECT_EQ(conf["gateway_conf"]["server_address"].asString(), "localhost");
    EXPECT_EQ(fleet.Tool({"diff", MacOf(20), backups.path() + "/02-fa-00-00-00-15.json",
                          "--timeout", kBudget},
                         &out, &err),
              0)
        << err;
    EXPECT_NE(out.find("no differences"), std::string::npos) << out;
}

}  // namespace
