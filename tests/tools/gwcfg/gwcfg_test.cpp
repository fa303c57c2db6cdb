// gwcfg against a fake gateway on loopback: each command in-process through
// gwcfg::run, and the built binary for exit statuses and one full exchange.
#include <gtest/gtest.h>

#include <json/reader.h>
#include <fcntl.h>
#include <spawn.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <set>
#include <sstream>

#include "codec_fixtures.h"
#include "config_block.h"
#include "config_protocol.h"
#include "fake_gateway.h"
#include "gwcfg.h"
#include "gwcfg_fixture.h"
#include "test_support.h"

using codec_test::FakeGateway;
using codec_test::SampleContents;
using gwblock::BlockContents;
using namespace gwcfg_test;

// ---------------------------------------------------------------------------
// discover

TEST_F(GwcfgTest, DiscoverListsEveryGatewayOnce) {
    fake.add(UnitOf(Gateway(0x0b, "north-mast", "AA555A000000000B")));
    fake.add(UnitOf(Gateway(0x0a, "south-roof", "AA555A000000000A")));
    Result r = RunTool(At({"discover"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0].substr(0, 3), "MAC");
    for (const char *col :
         {"ADDRESS", "DEVICE NAME", "GATEWAY ID", "SERVER", "REVISION", "LAST CHANGE"})
        EXPECT_NE(lines[0].find(col), std::string::npos) << col;
    // Sorted by MAC address.
    EXPECT_TRUE(std::regex_match(lines[1],
                                 std::regex("00:11:22:33:44:0a +127\\.0\\.0\\.1 +south-roof +"
                                            "AA555A000000000A +router\\.eu\\.example\\.net +7 +-")))
        << lines[1];
    EXPECT_EQ(lines[2].substr(0, 17), kMacB);
    // The request goes out again within the timeout (against loss); each
    // gateway is still listed once.
    EXPECT_EQ(fake.received(SEARCH_COMMAND_LEN).size(), 3u);
}

TEST_F(GwcfgTest, DiscoverJson) {
    fake.add(UnitOf(Gateway(0x0a, "south-roof", "AA555A000000000A")));
    Result r = RunTool(At({"discover", "--json"}));
    ASSERT_EQ(r.status, 0) << r.err;
    Json::Value v = ParseJson(r.out);
    ASSERT_TRUE(v.isArray());
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]["mac"].asString(), kMacA);
    EXPECT_EQ(v[0]["address"].asString(), "127.0.0.1");
    EXPECT_EQ(v[0]["port"].asInt(), fake.port());
    EXPECT_EQ(v[0]["device_name"].asString(), "south-roof");
    EXPECT_EQ(v[0]["gateway_ID"].asString(), "AA555A000000000A");
    EXPECT_EQ(v[0]["server_address"].asString(), "router.eu.example.net");
    EXPECT_EQ(v[0]["revision"].asUInt(), 7u);
    EXPECT_FALSE(v[0]["duplicate"].asBool());
}

TEST_F(GwcfgTest, DiscoverFlagsDuplicateMacs) {
    fake.add(UnitOf(Gateway(0x0a, "one", "1")));
    fake.add(UnitOf(Gateway(0x0a, "two", "2")));
    fake.add(UnitOf(Gateway(0x0b, "three", "3")));
    Result r = RunTool(At({"discover"}));
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_NE(lines[1].find("DUPLICATE MAC"), std::string::npos);
    EXPECT_NE(lines[2].find("DUPLICATE MAC"), std::string::npos);
    EXPECT_EQ(lines[3].find("DUPLICATE MAC"), std::string::npos);
    EXPECT_NE(r.err.find("warning: MAC 00:11:22:33:44:0a answered 2 times"), std::string::npos)
        << r.err;

    Result j = RunTool(At({"discover", "--json"}));
    Json::Value v = ParseJson(j.out);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_TRUE(v[0]["duplicate"].asBool());
    EXPECT_TRUE(v[1]["duplicate"].asBool());
    EXPECT_FALSE(v[2]["duplicate"].asBool());
}

// Two gateways with one EUI look like one gateway to the network server.
// The forwarder reads the EUI as a number, so case does not matter; one
// gateway answering twice (a duplicate MAC) is not two gateways.
TEST_F(GwcfgTest, DiscoverFlagsGatewayIdsThatGatewaysShare) {
    fake.add(UnitOf(Gateway(0x0a, "one", "AA555A00000000CC")));
    fake.add(UnitOf(Gateway(0x0b, "two", "aa555a00000000cc")));
    fake.add(UnitOf(Gateway(0x0c, "three", "3")));
    fake.add(UnitOf(Gateway(0x0d, "twice-a", "4")));
    fake.add(UnitOf(Gateway(0x0d, "twice-b", "4")));
    Result r = RunTool(At({"discover"}));
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_NE(lines[1].find("DUPLICATE ID"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("DUPLICATE ID"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3].find("DUPLICATE"), std::string::npos) << lines[3];
    EXPECT_NE(lines[4].find("DUPLICATE MAC"), std::string::npos) << lines[4];
    EXPECT_EQ(lines[4].find("DUPLICATE ID"), std::string::npos) << lines[4];
    EXPECT_NE(r.err.find(
                  "warning: gateway ID AA555A00000000CC is used by 2 gateways (00:11:22:33:44:0a, "
                  "00:11:22:33:44:0b): the network server cannot tell them apart"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(gwtest::SplitLines(r.err).size(), 2u) << r.err;  // and the duplicate MAC

    Json::Value v = ParseJson(RunTool(At({"discover", "--json"})).out);
    ASSERT_EQ(v.size(), 5u);
    const std::vector<bool> shared = {true, true, false, false, false};
    for (unsigned i = 0; i < v.size(); ++i)
        EXPECT_EQ(v[i]["duplicate_gateway_ID"].asBool(), shared[i]) << i;
}

TEST_F(GwcfgTest, DiscoverIgnoresBrokenRepliesWithAWarning) {
    FakeGateway::Unit bad_sum = UnitOf(Gateway(0x01, "bad-sum", "1"));
    bad_sum.bad_checksum = true;
    FakeGateway::Unit bad_block = UnitOf(Gateway(0x02, "bad-block", "2"));
    bad_block.bad_block = true;
    fake.add(bad_sum);
    fake.add(bad_block);
    fake.add(UnitOf(Gateway(0x0a, "good", "3")));
    Result r = RunTool(At({"discover"}));
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[1].substr(0, 17), kMacA);
    EXPECT_NE(r.err.find("warning: ignoring a reply from 127.0.0.1:" + std::to_string(fake.port()) +
                         ": bad checksum"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("warning: ignoring the reply of 00:11:22:33:44:02 from 127.0.0.1:" +
                         std::to_string(fake.port()) + ": invalid configuration block: bad CRC"),
              std::string::npos)
        << r.err;
}

TEST_F(GwcfgTest, DiscoverKeepsHundredsOfRepliesArrivingAtOnce) {
    const int kGateways = 300;
    for (int i = 0; i < kGateways; ++i) {
        BlockContents b = Gateway(static_cast<uint8_t>(i), "fleet", "F");
        b.eqp.mac[4] = static_cast<uint8_t>(i >> 8);
        fake.add(UnitOf(b));
    }
    Result r = RunTool(At({"discover", "--json", "--expect", std::to_string(kGateways)}, 5000));
    ASSERT_EQ(r.status, 0) << r.err;
    Json::Value v = ParseJson(r.out);
    std::set<std::string> macs;
    for (const Json::Value &g : v)
        macs.insert(g["mac"].asString());
    EXPECT_EQ(macs.size(), static_cast<size_t>(kGateways));
}

TEST_F(GwcfgTest, DiscoverExpect) {
    fake.add(UnitOf(Gateway(0x0a, "a", "1")));
    fake.add(UnitOf(Gateway(0x0b, "b", "2")));
    auto start = std::chrono::steady_clock::now();
    Result r = RunTool(At({"discover", "--expect", "2"}, 20000));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(Lines(r.out).size(), 3u);

    r = RunTool(At({"discover", "--expect=3"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.out).size(), 3u);  // the two that answered are still listed
    EXPECT_NE(r.err.find("only 2 of the 3 expected gateways answered"), std::string::npos) << r.err;
}

TEST_F(GwcfgTest, NoAnswerIsExitOne) {
    FakeGateway::Unit mute = UnitOf(Gateway(0x0a, "mute", "1"));
    mute.answer_discovery = false;
    mute.ack_clear = false;
    fake.add(mute);
    struct {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{"discover"}, "no gateway answered within 150 ms"},
        {{"show", kMacA}, "gateway 00:11:22:33:44:0a did not answer within 150 ms"},
        {{"set", kMacA, "gateway_conf.serv_port_up=1701"}, "did not answer"},
        {{"timesync", kMacA}, "did not answer"},
        {{"reboot", kMacA}, "did not answer"},
        {{"clear", kMacA}, "no acknowledgement from 00:11:22:33:44:0a within 150 ms"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        Result r = RunTool(At(c.args, 150));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        // Each message says what to try next.
        EXPECT_NE(r.err.find("--timeout"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(fake.received(UPDATE_COMMAND_LEN).empty());
    // Nothing but discovery requests goes out before the gateway answered.
    for (auto &d : fake.received(MESSAGE_COMMAND_LEN))
        EXPECT_STREQ(reinterpret_cast<const char *>(&d[gwproto::kCommandTextOffset]), "ClrCfgBuf");
}

// ---------------------------------------------------------------------------
// show

TEST_F(GwcfgTest, ShowKeysPrintsEveryKey) {
    fake.add(UnitOf(Gateway(0x0a, "south-roof", "AA555A000000000A")));
    Result r = RunTool(At({"show", "00-11-22-33-44-0A", "--keys"}));
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), gwblock::key_table().size() + 1);
    EXPECT_EQ(lines[0], "# gateway 00:11:22:33:44:0a at 127.0.0.1:" + std::to_string(fake.port()) +
                            ", revision 7");
    for (const char *want :
         {"gateway_conf.server_address=router.eu.example.net", "SX1301_conf.radio_0.freq=867500000",
          "SX1301_conf.chan_multiSF_3.if=-400000", "SX1301_conf.tx_lut_7.rf_power=8",
          "serverIP_conf.fixed_ip=192.168.0.1", "serverIP_conf.server_name=south-roof",
          "serverIP_conf.networkmode=1", "device_info.mac=00:11:22:33:44:0a",
          "device_info.revision=7", "SX1301_conf.radio_0.rssi_offset=-166"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << want;

    Result j = RunTool(At({"show", kMacA, "--json"}));
    ASSERT_EQ(j.status, 0) << j.err;
    Json::Value v = ParseJson(j.out);
    EXPECT_EQ(v["gateway_conf"]["gateway_ID"].asString(), "AA555A000000000A");
    EXPECT_EQ(v["SX1301_conf"]["chan_Lora_std"]["spread_factor"].asUInt(), 7u);
    EXPECT_EQ(v["device_info"]["revision"].asUInt(), 7u);
}

// ---------------------------------------------------------------------------
// set

TEST_F(GwcfgTest, SetSendsTheChangeWithTheRevisionReadAndVerifies) {
    fake.add(UnitOf(Gateway(0x0b, "other", "2")));
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    Result r =
        RunTool(At({"set", kMacA, "gateway_conf.server_address=eu2.example.org",
                    "SX1301_conf.radio_0.freq=868.1 MHz", "serverIP_conf.fixed_ip=10.0.0.20"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("00:11:22:33:44:0a: stored as revision 8, global_conf.json rewritten"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(
                  "  gateway_conf.server_address: router.eu.example.net -> eu2.example.org\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  SX1301_conf.radio_0.freq: 867.5 MHz -> 868.1 MHz\n"), std::string::npos)
        << r.out;

    auto updates = fake.received(UPDATE_COMMAND_LEN);
    ASSERT_EQ(updates.size(), 1u);
    uint8_t mac[6];
    ASSERT_TRUE(gwblock::parse_mac(kMacA, mac));
    EXPECT_EQ(memcmp(&updates[0][gwproto::kUpdateMacOffset], mac, 6), 0);
    BlockContents sent;
    std::string err;
    ASSERT_TRUE(gwblock::decode(&updates[0][gwproto::kUpdateBlockOffset], &sent, &err)) << err;
    EXPECT_EQ(sent.revision, 7u);  // the revision read
    EXPECT_STREQ(sent.gw.gateway_conf.server_address, "eu2.example.org");
    EXPECT_EQ(sent.gw.radios[0].freq, 868100000u);
    EXPECT_EQ(sent.eqp.fixed_ip, 0x0A000014u);
    // Nothing else changed in what was sent.
    auto changed = gwblock::diff_keys(Gateway(0x0a, "target", "1"), sent, false);
    EXPECT_EQ(changed.size(), 3u);

    EXPECT_EQ(fake.contents(1).revision, 8u);
    EXPECT_EQ(fake.contents(0).revision, 7u);  // the other gateway is untouched
}

TEST_F(GwcfgTest, SetRefusesBadInputBeforeSendingAnything) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    struct {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{"set", kMacA, "gateway_conf.server_adress=x"},
         "unknown key gateway_conf.server_adress. Nothing was sent."},
        {{"set", kMacA, "SX1301_conf.radio_0.freq=868.1"},
         "SX1301_conf.radio_0.freq: \"868.1\" is not a frequency (a fraction of a hertz: without a "
         "unit the value is in Hz; give one, for example 867.5MHz)"},
        {{"set", kMacA, "SX1301_conf.chan_multiSF_3.radio=2"}, "out of range 0..1"},
        {{"set", kMacA, "serverIP_conf.fixed_ip=10.0.0"}, "is not a dotted IPv4 address"},
        {{"set", kMacA, "device_info.vendor=Acme"}, "device_info.vendor is read-only"},
        {{"set", kMacA, "gateway_conf.serv_port_up=1700", "gateway_conf.serv_port_up=1701"},
         "given twice"},
        {{"set", kMacA, "gateway_conf.serv_port_up"}, "is not KEY=VALUE"},
        {{"set", kMacA}, "KEY=VALUE is missing"},
        {{"set", "00:11:22:33:44", "gateway_conf.serv_port_up=1"}, "is not a MAC address"},
        // A good key first: still nothing goes out.
        {{"set", kMacA, "gateway_conf.serv_port_up=1701", "SX1301_conf.lorawan_public=yes"},
         "is not true or false"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.message);
        Result r = RunTool(At(c.args));
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_TRUE(fake.received().empty());
}

// A value the forwarder refuses on its own is refused before the gateway is
// even asked; one that breaks a rule together with the rest of the
// configuration after reading it. Either way no update goes out.
TEST_F(GwcfgTest, SetRefusesWhatTheForwarderWouldRefuse) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    struct {
        std::vector<std::string> args;
        bool asks;  // reads the gateway first
        const char *message;
    } cases[] = {
        {{"gateway_conf.push_timeout_ms=2000"},
         false,
         "gwcfg set: gateway_conf.push_timeout_ms=2000: must be 1..1999 ms; the forwarder sets its upstream "
         "receive time-out to half of it"},
        {{"gateway_conf.server_address=lns example"},
         false,
         "gateway_conf.server_address=\"lns example\": must be"},
        {{"gateway_conf.gateway_ID=B827EB-123456"}, false, "must be exactly 16 hexadecimal digits"},
        {{"SX1301_conf.radio_0.type=sx1257"}, false, "must be \"SX1255\" or \"SX1257\" exactly"},
        {{"SX1301_conf.tx_lut_3.mix_gain=7"},
         false,
         "SX1301_conf.tx_lut_3.mix_gain=7: must be 8..15"},
        {{"SX1301_conf.radio_1.enable=false", "SX1301_conf.clksrc=0"},
         true,
         "  SX1301_conf.chan_multiSF_0.radio=1: must name an enabled radio while the channel is enabled "
         "(radio_1 is disabled)"},
        {{"SX1301_conf.radio_0.freq=100"},
         true,
         "SX1301_conf.radio_0.freq=100: must lie in the band"},
        {{"SX1301_conf.chan_Lora_std.spread_factor=6"}, true, "the HAL silently uses SF9 instead"},
        {{"SX1301_conf.tx_lut_9.rf_power=-6"}, true, "(tx_lut_8 has 10 dBm)"},
    };
    size_t discoveries = 0;
    for (auto &c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> args = {"set", kMacA};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = RunTool(At(args));
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("othing was sent"), std::string::npos) << r.err;
        // A gateway with a working configuration gets no advice for one without.
        EXPECT_EQ(r.err.find("without a configuration"), std::string::npos) << r.err;
        if (c.asks) {
            EXPECT_NE(r.err.find("Give values that keep to these rules; the gateway keeps what it "
                                 "has. /usr/share/doc/gwcfg/keys.md lists every key"),
                      std::string::npos)
                << r.err;
        }
        discoveries += c.asks;
        EXPECT_EQ(fake.received(SEARCH_COMMAND_LEN).size(), discoveries);
    }
    EXPECT_TRUE(fake.received(UPDATE_COMMAND_LEN).empty());
    EXPECT_EQ(fake.contents(0).revision, 7u);
}

// A gateway without a configuration yet breaks many rules at once: one key
// alone is refused, listing what else is missing; the whole radio plan and
// server settings in one set bring it up, with the gateway EUI derived from
// the MAC address.
TEST_F(GwcfgTest, SetGivesAGatewayWithoutConfigurationAWholePlanAtOnce) {
    BlockContents bare{};
    ASSERT_TRUE(gwblock::parse_mac(kMacA, bare.eqp.mac));
    fake.add(UnitOf(bare));
    Result r = RunTool(At({"set", kMacA, "gateway_conf.server_address=lns.example.net"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(
        r.err.find(
            "gwcfg set: gateway_conf.gateway_ID is unset; setting 001122FFFE33440A, derived from the "
            "MAC address."),
        std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(
                  "would break the forwarder's rules; nothing was sent:\n  SX1301_conf.clksrc=0"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("\n  and [0-9]+ more\n"))) << r.err;
    EXPECT_NE(r.err.find("Set these keys too, in the same change: a gateway without a "
                         "configuration takes a whole radio plan"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(fake.received(UPDATE_COMMAND_LEN).empty());

    // Every key of the shipped EU868 plan and site defaults, as KEY=VALUE.
    BlockContents plan = bare;
    for (const char *file : {"eu868.json", "site-defaults.json"}) {
        std::string why;
        ASSERT_TRUE(gwblock::apply_json_profile(
            ParseJson(gwtest::ReadFile(std::string(GW_PROFILES_DIR) + "/" + file)), &plan, &why))
            << why;
    }
    std::vector<std::string> args = {"set", kMacA};
    for (const gwblock::KeyInfo *k : gwblock::diff_keys(bare, plan, true))
        args.push_back(k->path + "=" + gwblock::get_value(plan, *k));
    r = RunTool(At(args));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("stored as revision 1, global_conf.json rewritten"), std::string::npos)
        << r.out;
    EXPECT_STREQ(fake.contents(0).gw.gateway_conf.gateway_ID, "001122FFFE33440A");
    std::string why;
    EXPECT_TRUE(gwblock::check_rules(fake.contents(0), &why)) << why;
}

// Emptied, a gateway ID is derived from the MAC address: the way out of a
// gateway ID that several gateways share.
TEST_F(GwcfgTest, SetWithAnEmptyGatewayIdDerivesItFromTheMacAddress) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    Result r = RunTool(At({"set", kMacA, "gateway_conf.gateway_ID="}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("setting 001122FFFE33440A, derived from the MAC address"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("gateway_conf.gateway_ID: AA555A0000000001 -> 001122FFFE33440A"),
              std::string::npos)
        << r.out;
    EXPECT_STREQ(fake.contents(0).gw.gateway_conf.gateway_ID, "001122FFFE33440A");
}

// Renaming is what the device name is for: no warning makes it look wrong.
TEST_F(GwcfgTest, RenamingAGatewayWarnsOfNothing) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    Result r = RunTool(At({"set", kMacA, "serverIP_conf.server_name=north-mast"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("serverIP_conf.server_name: target -> north-mast"), std::string::npos)
        << r.out;
}

// The restore command a backup prints reaches the gateway the way the backup did.
TEST_F(GwcfgTest, BackupPrintsARestoreCommandWithItsOwnDestination) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    gwtest::TempDir dir;
    Result r = RunTool(At({"backup", kMacA, dir.file("b")}));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string file = dir.file("b") + "/00-11-22-33-44-0a.json";
    EXPECT_NE(r.out.find("; restore it with gwcfg apply " + kMacA + " " + file +
                         " --to 127.0.0.1:" + std::to_string(fake.port()) + "\n"),
              std::string::npos)
        << r.out;
}

TEST_F(GwcfgTest, SetWarnsAboutKeysTheForwarderNeverReads) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    Result r = RunTool(
        At({"set", kMacA, "serverIP_conf.fixed_ip=10.0.0.20", "SX1301_conf.tx_lut_count=8",
            "SX1301_conf.chan_multiSF_1.bandwidth=250000", "gateway_conf.serv_port_up=1701"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(
        r.err.find(
            "gwcfg set: warning: serverIP_conf.fixed_ip is written to global_conf.json, but the "
            "forwarder never reads it.\n"),
        std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(
                  "warning: SX1301_conf.tx_lut_count is kept by the gateway, but never written to "
                  "global_conf.json"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("warning: SX1301_conf.chan_multiSF_1.bandwidth is kept"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("serv_port_up"), std::string::npos) << r.err;
    EXPECT_EQ(fake.contents(0).revision, 8u);
}

TEST_F(GwcfgTest, SetReportsARefusedUpdate) {
    FakeGateway::Unit u = UnitOf(Gateway(0x0a, "target", "1"));
    u.take_updates = false;
    fake.add(u);
    Result r = RunTool(At({"set", kMacA, "gateway_conf.serv_port_up=1701"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("did not take the update: it still reads revision 7"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("gwcfg show 00:11:22:33:44:0a"), std::string::npos) << r.err;
    // Sent again while the gateway reads the old revision (it may have been
    // lost), once per try at most.
    const size_t updates = fake.received(UPDATE_COMMAND_LEN).size();
    EXPECT_GE(updates, 1u);
    EXPECT_LE(updates, 3u);
}

TEST_F(GwcfgTest, SetReportsWhatDoesNotReadBack) {
    FakeGateway::Unit u = UnitOf(Gateway(0x0a, "target", "1"));
    u.after_update = [](BlockContents &c) {
        c.gw.gateway_conf.serv_port_up = 1800;
    };
    fake.add(u);
    Result r = RunTool(At({"set", kMacA, "gateway_conf.serv_port_up=1701"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("gateway_conf.serv_port_up: sent 1701, reads 1800"), std::string::npos)
        << r.err;
}

TEST_F(GwcfgTest, SetWithNothingToChangeSendsNothingUnlessForced) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    Result r = RunTool(At({"set", kMacA, "gateway_conf.serv_port_up=1700"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("nothing to change"), std::string::npos) << r.out;
    EXPECT_TRUE(fake.received(UPDATE_COMMAND_LEN).empty());

    r = RunTool(At({"set", kMacA, "gateway_conf.serv_port_up=1700", "--force"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fake.received(UPDATE_COMMAND_LEN).size(), 1u);
    EXPECT_EQ(fake.contents(0).revision, 8u);
}

TEST_F(GwcfgTest, SetRefusesADuplicateMacUnlessForced) {
    fake.add(UnitOf(Gateway(0x0a, "one", "1")));
    fake.add(UnitOf(Gateway(0x0a, "two", "2")));
    Result r = RunTool(At({"set", kMacA, "gateway_conf.serv_port_up=1701"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("2 answers for MAC 00:11:22:33:44:0a"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--to ADDR"), std::string::npos) << r.err;
    EXPECT_TRUE(fake.received(UPDATE_COMMAND_LEN).empty());

    r = RunTool(At({"set", kMacA, "gateway_conf.serv_port_up=1701", "--force"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fake.received(UPDATE_COMMAND_LEN).size(), 1u);
}

// ---------------------------------------------------------------------------
// commands

TEST_F(GwcfgTest, ClearWaitsForTheAcknowledgement) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    Result r = RunTool(At({"clear", kMacA}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("00:11:22:33:44:0a acknowledged ClrCfgBuf"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the gateway cleared nothing, its configuration is unchanged"),
              std::string::npos)
        << r.out;
    auto cmds = fake.received(MESSAGE_COMMAND_LEN);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_STREQ(reinterpret_cast<const char *>(&cmds[0][gwproto::kCommandTextOffset]),
                 "ClrCfgBuf");
    uint8_t mac[6];
    gwblock::parse_mac(kMacA, mac);
    EXPECT_EQ(memcmp(&cmds[0][gwproto::kCommandMacOffset], mac, 6), 0);

    fake.edit(0, [](FakeGateway::Unit &u) {
        u.bad_ack = true;
    });
    r = RunTool(At({"clear", kMacA}, 200));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("acknowledgement without \"ReceiveConfig\""), std::string::npos) << r.err;
}

TEST_F(GwcfgTest, TimesyncSendsTheDateText) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    Result r = RunTool(At({"timesync", kMacA, "20261207 11:12:13"}));
    ASSERT_EQ(r.status, 0) << r.err;
    auto cmds = fake.received(MESSAGE_COMMAND_LEN);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_STREQ(reinterpret_cast<const char *>(&cmds[0][gwproto::kCommandTextOffset]), "TimeSync");
    EXPECT_STREQ(reinterpret_cast<const char *>(&cmds[0][gwproto::kArgumentOffset]),
                 "20261207 11:12:13");

    // Default: now, as seconds since the epoch, which mean the same in
    // every time zone: a gateway in another zone than this machine's is set
    // right.
    setenv("TZ", "America/New_York", 1);
    tzset();
    time_t before = time(nullptr);
    r = RunTool(At({"timesync", kMacA}));
    unsetenv("TZ");
    tzset();
    ASSERT_EQ(r.status, 0) << r.err;
    cmds = fake.received(MESSAGE_COMMAND_LEN);
    ASSERT_EQ(cmds.size(), 2u);
    std::string text(reinterpret_cast<const char *>(&cmds[1][gwproto::kArgumentOffset]));
    ASSERT_TRUE(std::regex_match(text, std::regex("@\\d{10}"))) << text;
    EXPECT_LE(std::llabs(std::stoll(text.substr(1)) - static_cast<long long>(before)), 5);
    EXPECT_NE(r.out.find("sent TimeSync \"" + text + "\" to 00:11:22:33:44:0a"), std::string::npos)
        << r.out;

    // '@' and a number: the gateway passes it to date -s.
    r = RunTool(At({"timesync", kMacA, "@1796641933"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_STREQ(reinterpret_cast<const char *>(
                     &fake.received(MESSAGE_COMMAND_LEN).at(2)[gwproto::kArgumentOffset]),
                 "@1796641933");
}

TEST_F(GwcfgTest, TimesyncRefusesTextsThatAreNoDate) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    for (const char *t : {"20261207\"; reboot", "$(id)", "20261207 11:12:13 UTC+1", ""}) {
        Result r = RunTool(At({"timesync", kMacA, t}));
        EXPECT_EQ(r.status, 2) << t;
        EXPECT_NE(r.err.find("is not a date text"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(fake.received().empty());
}

TEST_F(GwcfgTest, RebootSendsTheCommandToAGatewayThatAnswered) {
    fake.add(UnitOf(Gateway(0x0a, "target", "1")));
    Result r = RunTool(At({"reboot", kMacA}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "sent Reboot to 00:11:22:33:44:0a (at 127.0.0.1)\n"
              "The gateway only logs Reboot: it does not restart.\n");
    auto cmds = fake.received(MESSAGE_COMMAND_LEN);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_STREQ(reinterpret_cast<const char *>(&cmds[0][gwproto::kCommandTextOffset]), "Reboot");
    EXPECT_EQ(cmds[0][gwproto::kArgumentOffset], 0);
}

// ---------------------------------------------------------------------------
// the binary

TEST_F(GwcfgTest, BinaryUsageErrorsExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"discover", "--bogus"},
        {"discover", "--port", "0"},
        {"discover", "--port"},
        {"discover", "--timeout", "soon"},
        {"discover", "extra"},
        {"show"},
        {"show", kMacA, "--force"},
        {"clear", "nonsense"},
        {"timesync", kMacA, "a", "b"},
    };
    for (const auto &args : cases) {
        std::string shown;
        for (auto &a : args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        Result r = RunBinary(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("gwcfg"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(fake.received().empty());
}

TEST_F(GwcfgTest, BinaryHelpOnEveryCommand) {
    Result r = RunBinary({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: gwcfg VERB"), std::string::npos);
    for (const char *cmd : {"discover", "show", "get", "set", "apply", "backup", "diff", "timesync",
                            "clear", "reboot"}) {
        r = RunBinary({cmd, "--help"});
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_EQ(r.out.find(std::string("usage: gwcfg ") + cmd), 0u) << r.out;
        EXPECT_NE(r.out.find("--timeout MS"), std::string::npos) << r.out;
    }
}

TEST_F(GwcfgTest, BinaryAgainstTheFake) {
    fake.add(UnitOf(Gateway(0x0a, "south-roof", "AA555A000000000A")));
    Result r = RunBinary(At({"discover"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out).size(), 2u) << r.out;
    EXPECT_NE(r.out.find("south-roof"), std::string::npos);

    r = RunBinary(At({"set", kMacA, "gateway_conf.server_address=lns.example.com"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_STREQ(fake.contents(0).gw.gateway_conf.server_address, "lns.example.com");

    r = RunBinary(At({"show", "00:11:22:33:44:99"}, 100));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("gwcfg discover"), std::string::npos) << r.err;
}

// ---------------------------------------------------------------------------
// broadcast, in a private network namespace

TEST(GwcfgBroadcast, WithoutToEverythingGoesToTheLimitedBroadcastAddress) {
    if (geteuid() != 0) GTEST_SKIP() << "a private network namespace needs root";
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(77);
        // A veth pair with a default route: broadcasts leave through it and
        // loop back to the fake, which listens on every address.
        if (system("ip link set lo up && ip link add gwtest0 type veth peer name gwtest1 && "
                   "ip addr add 10.77.0.1/24 dev gwtest0 && ip link set gwtest1 up && "
                   "ip link set gwtest0 up && ip route add default dev gwtest0") != 0)
            _exit(78);
        int rc = 0;
        {
            FakeGateway fake(true);
            fake.add(UnitOf(Gateway(0x0a, "bcast", "1")));
            const std::string port = std::to_string(fake.port());
            Result d = RunTool({"discover", "--port", port, "--timeout", "300"});
            if (d.status != 0 || d.out.find("00:11:22:33:44:0a  10.77.0.1") == std::string::npos) {
                fprintf(stderr, "discover: %d\n%s%s", d.status, d.out.c_str(), d.err.c_str());
                rc = 1;
            }
            Result s = RunTool({"set", "00:11:22:33:44:0a", "gateway_conf.serv_port_up=1701",
                                "--port", port, "--timeout", "300"});
            if (s.status != 0 || fake.contents(0).gw.gateway_conf.serv_port_up != 1701) {
                fprintf(stderr, "set: %d\n%s%s", s.status, s.out.c_str(), s.err.c_str());
                rc = 1;
            }
        }
        _exit(rc);
    }
    int ws = 0;
    ASSERT_EQ(waitpid(pid, &ws, 0), pid);
    ASSERT_TRUE(WIFEXITED(ws));
    if (WEXITSTATUS(ws) == 77) GTEST_SKIP() << "unshare(CLONE_NEWNET) is not permitted here";
    if (WEXITSTATUS(ws) == 78) GTEST_SKIP() << "cannot set up a veth pair (is iproute2 installed?)";
    EXPECT_EQ(WEXITSTATUS(ws), 0);
}

// A laptop cabled straight to a gateway, or an isolated LAN: no default
// route, so 255.255.255.255 cannot leave. Discovery goes to each interface's
// broadcast address instead, and --verbose names them; with no interface
// left, the error names the ones left out and why.
TEST(GwcfgBroadcast, WithoutADefaultRouteEachInterfacesBroadcastAddressIsAsked) {
    const bool ci = getenv("CI") != nullptr;
    if (geteuid() != 0) {
        if (ci) FAIL() << "CI runs as root: a private network namespace is needed";
        GTEST_SKIP() << "a private network namespace needs root";
    }
    gwtest::TempDir dir;
    const std::string log = dir.file("log");
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(77);
        if (system("ip link set lo up && ip link add gwtest0 type veth peer name gwtest1 && "
                   "ip addr add 10.77.0.1/24 brd + dev gwtest0 && ip link set gwtest1 up && "
                   "ip link set gwtest0 up") != 0)
            _exit(78);
        std::string text;
        int rc = 0;
        auto fail = [&](const std::string &what, const Result &r) {
            text += what + ": " + std::to_string(r.status) + "\n" + r.out + r.err;
            rc = 1;
        };
        {
            FakeGateway fake(true);
            fake.add(UnitOf(Gateway(0x0a, "direct", "1")));
            const std::string port = std::to_string(fake.port());
            Result d = RunTool({"discover", "--port", port, "--timeout", "300", "--verbose"});
            if (d.status != 0 || d.out.find("00:11:22:33:44:0a  10.77.0.1") == std::string::npos ||
                d.err.find("gwcfg: asking 10.77.0.255:" + port + " (gwtest0)\n") ==
                    std::string::npos ||
                d.err.find("gwcfg: not asking 255.255.255.255:" + port +
                           ": Network is unreachable") == std::string::npos ||
                d.err.find("left out: lo (loopback; name it with --to 127.0.0.1)") ==
                    std::string::npos)
                fail("discover", d);
            Result s = RunTool({"set", "00:11:22:33:44:0a", "gateway_conf.serv_port_up=1701",
                                "--port", port, "--timeout", "300"});
            if (s.status != 0 || fake.contents(0).gw.gateway_conf.serv_port_up != 1701)
                fail("set", s);
            // No interface left to broadcast on.
            if (system("ip link set gwtest0 down") != 0) _exit(78);
            Result none = RunTool({"discover", "--port", port, "--timeout", "300"});
            if (none.status != 1 ||
                none.err.find("gwcfg: no network to broadcast on: 255.255.255.255:" + port +
                              ": Network is unreachable (no route carries it), and no interface "
                              "that is up has a broadcast address (left out: ") ==
                    std::string::npos ||
                none.err.find("gwtest0 (down)") == std::string::npos ||
                none.err.find("name a gateway with --to ADDR") == std::string::npos)
                fail("discover with no interface", none);
        }
        gwtest::WriteFile(log, text);
        _exit(rc);
    }
    int ws = 0;
    ASSERT_EQ(waitpid(pid, &ws, 0), pid);
    ASSERT_TRUE(WIFEXITED(ws));
    if (WEXITSTATUS(ws) == 77) {
        if (ci) FAIL() << "unshare(CLONE_NEWNET) failed under CI";
        GTEST_SKIP() << "unshare(CLONE_NEWNET) is not permitted here";
    }
    if (WEXITSTATUS(ws) == 78) {
        if (ci) FAIL() << "cannot set up a veth pair under CI (is iproute2 installed?)";
        GTEST_SKIP() << "cannot set up a veth pair (is iproute2 installed?)";
    }
    EXPECT_EQ(WEXITSTATUS(ws), 0) << gwtest::ReadFile(log);
}
