// The forwarder's rules: every rule with a value it takes and one it
// refuses, the rules over several keys, the messages, and the gateway EUI
// derived from the MAC address.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codec_fixtures.h"
#include "config_block.h"

using namespace gwblock;
using codec_test::SampleContents;

namespace {

// Changes applied to the sample EU868 configuration (which the forwarder
// takes), then the faults reported on `key`: none, or one whose message
// holds `message`.
struct RuleCase {
    const char *name;
    std::vector<std::pair<std::string, std::string>> set;
    std::string key;
    bool refused;
    std::string message;
};

void PrintTo(const RuleCase &c, std::ostream *os) { *os << c.name; }

std::vector<RuleFault> FaultsOn(const std::vector<RuleFault> &all, const std::string &key) {
    std::vector<RuleFault> out;
    for (const RuleFault &f : all)
        if (f.key->path == key) out.push_back(f);
    return out;
}

class ForwarderRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(ForwarderRule, HoldsOrNamesKeyValueRuleAndEffect) {
    const RuleCase &c = GetParam();
    BlockContents b = SampleContents();
    std::string err;
    for (const auto &kv : c.set)
        ASSERT_TRUE(set_value(&b, kv.first, kv.second, &err)) << err;
    const std::vector<RuleFault> on_key = FaultsOn(rule_faults(b), c.key);
    if (!c.refused) {
        EXPECT_TRUE(on_key.empty()) << on_key.front().message;
        return;
    }
    ASSERT_EQ(on_key.size(), 1u) << "no fault (or several) on " << c.key;
    EXPECT_NE(on_key[0].message.find(c.message), std::string::npos) << on_key[0].message;
    EXPECT_EQ(on_key[0].value, get_value(b, *find_key(c.key)));
    // Every message says what the forwarder would do with the value.
    EXPECT_NE(on_key[0].message.find("; "), std::string::npos) << on_key[0].message;
}

const std::string kSx = "SX1301_conf.";
const std::string kFwd = "gateway_conf.";

const std::vector<RuleCase> kPerKeyCases = {
    RuleCase{"ServerName",
             {{kFwd + "server_address", "eu1.cloud.thethings.network"}},
             kFwd + "server_address",
             false,
             ""},
    RuleCase{"ServerIpv4",
             {{kFwd + "server_address", "192.168.0.10"}},
             kFwd + "server_address",
             false,
             ""},
    RuleCase{"ServerIpv6",
             {{kFwd + "server_address", "2001:db8::1"}},
             kFwd + "server_address",
             false,
             ""},
    RuleCase{"ServerEmpty",
             {{kFwd + "server_address", ""}},
             kFwd + "server_address",
             true,
             "gateway_conf.server_address=\"\": must be a host name"},
    RuleCase{"ServerWithBlank",
             {{kFwd + "server_address", "lns .example"}},
             kFwd + "server_address",
             true,
             "cannot resolve it and exits at start"},
    RuleCase{"ServerUnderscore",
             {{kFwd + "server_address", "lns_1.example"}},
             kFwd + "server_address",
             true,
             "=\"lns_1.example\""},
    RuleCase{"PortUpOne", {{kFwd + "serv_port_up", "1"}}, kFwd + "serv_port_up", false, ""},
    RuleCase{"PortUpTop", {{kFwd + "serv_port_up", "65535"}}, kFwd + "serv_port_up", false, ""},
    RuleCase{"PortUpZero",
             {{kFwd + "serv_port_up", "0"}},
             kFwd + "serv_port_up",
             true,
             "gateway_conf.serv_port_up=0: must be 1..65535"},
    RuleCase{"PortDownZero",
             {{kFwd + "serv_port_down", "0"}},
             kFwd + "serv_port_down",
             true,
             "must be 1..65535"},
    RuleCase{"KeepaliveOne",
             {{kFwd + "keepalive_interval", "1"}},
             kFwd + "keepalive_interval",
             false,
             ""},
    RuleCase{"KeepaliveZero",
             {{kFwd + "keepalive_interval", "0"}},
             kFwd + "keepalive_interval",
             true,
             "must be at least 1 s; below 1 s the forwarder's keep-alive loop spins"},
    RuleCase{"KeepaliveNegative",
             {{kFwd + "keepalive_interval", "-5"}},
             kFwd + "keepalive_interval",
             true,
             "=-5: must be at least 1 s"},
    RuleCase{"StatOne", {{kFwd + "stat_interval", "1"}}, kFwd + "stat_interval", false, ""},
    RuleCase{"StatZero",
             {{kFwd + "stat_interval", "0"}},
             kFwd + "stat_interval",
             true,
             "must be at least 1 s"},
    RuleCase{
        "PushTimeoutOne", {{kFwd + "push_timeout_ms", "1"}}, kFwd + "push_timeout_ms", false, ""},
    RuleCase{"PushTimeoutTop",
             {{kFwd + "push_timeout_ms", "1999"}},
             kFwd + "push_timeout_ms",
             false,
             ""},
    RuleCase{
        "PushTimeout2000",
        {{kFwd + "push_timeout_ms", "2000"}},
        kFwd + "push_timeout_ms",
        true,
        "gateway_conf.push_timeout_ms=2000: must be 1..1999 ms; the forwarder sets its upstream"},
    RuleCase{"PushTimeoutZero",
             {{kFwd + "push_timeout_ms", "0"}},
             kFwd + "push_timeout_ms",
             true,
             "0 waits forever"},
    RuleCase{"PushTimeoutNegative",
             {{kFwd + "push_timeout_ms", "-1"}},
             kFwd + "push_timeout_ms",
             true,
             "=-1: must be 1..1999 ms"},
    RuleCase{"EuiLowerCase",
             {{kFwd + "gateway_ID", "aa555a000000000f"}},
             kFwd + "gateway_ID",
             false,
             ""},
    RuleCase{"EuiNineteenDigits",
             {{kFwd + "gateway_ID", "0123456789ABCDEF012"}},
             kFwd + "gateway_ID",
             true,
             "must be exactly 16 hexadecimal digits"},
    RuleCase{"EuiWithDashes",
             {{kFwd + "gateway_ID", "AA-55-5A-00-00-00"}},
             kFwd + "gateway_ID",
             true,
             "another gateway EUI"},
    RuleCase{"EuiName",
             {{kFwd + "gateway_ID", "roof-gateway-one"}},
             kFwd + "gateway_ID",
             true,
             "=\"roof-gateway-one\""},
    RuleCase{"ClockRadioZero", {{kSx + "clksrc", "0"}}, kSx + "clksrc", false, ""},
    RuleCase{"ClockSourceTwo",
             {{kSx + "clksrc", "2"}},
             kSx + "clksrc",
             true,
             "SX1301_conf.clksrc=2: must be 0 or 1; there is no other radio"},
    RuleCase{"RadioSx1255InItsBand",
             {{kSx + "radio_0.type", "SX1255"}, {kSx + "radio_0.freq", "433175000"}},
             kSx + "radio_0.freq",
             false,
             ""},
    RuleCase{"RadioTypeLowerCase",
             {{kSx + "radio_0.type", "sx1257"}},
             kSx + "radio_0.type",
             true,
             "must be \"SX1255\" or \"SX1257\" exactly"},
    RuleCase{"RadioTypeUnknown",
             {{kSx + "radio_1.type", "SX9999"}},
             kSx + "radio_1.type",
             true,
             "knows no other radio"},
    RuleCase{"RadioTypeOfADisabledRadio",
             {{kSx + "radio_1.enable", "false"}, {kSx + "radio_1.type", ""}},
             kSx + "radio_1.type",
             true,
             "=\"\": must be"},
    RuleCase{"LoraStdBandwidth125",
             {{kSx + "chan_Lora_std.bandwidth", "125000"}},
             kSx + "chan_Lora_std.bandwidth",
             false,
             ""},
    RuleCase{"LoraStdBandwidth200k",
             {{kSx + "chan_Lora_std.bandwidth", "200000"}},
             kSx + "chan_Lora_std.bandwidth",
             true,
             "must be 125000, 250000 or 500000 Hz while the channel is "
             "enabled; the HAL silently uses 250 kHz instead"},
    RuleCase{"LoraStdBandwidthOfADisabledChannel",
             {{kSx + "chan_Lora_std.enable", "false"}, {kSx + "chan_Lora_std.bandwidth", "200000"}},
             kSx + "chan_Lora_std.bandwidth",
             false,
             ""},
    RuleCase{"SpreadFactor7",
             {{kSx + "chan_Lora_std.spread_factor", "7"}},
             kSx + "chan_Lora_std.spread_factor",
             false,
             ""},
    RuleCase{"SpreadFactor12",
             {{kSx + "chan_Lora_std.spread_factor", "12"}},
             kSx + "chan_Lora_std.spread_factor",
             false,
             ""},
    RuleCase{"SpreadFactor6",
             {{kSx + "chan_Lora_std.spread_factor", "6"}},
             kSx + "chan_Lora_std.spread_factor",
             true,
             "must be 7..12 while the channel is enabled; the HAL silently uses SF9 instead"},
    RuleCase{"SpreadFactor13",
             {{kSx + "chan_Lora_std.spread_factor", "13"}},
             kSx + "chan_Lora_std.spread_factor",
             true,
             "must be 7..12"},
    RuleCase{"FskDatarateLow",
             {{kSx + "chan_FSK.datarate", "500"}},
             kSx + "chan_FSK.datarate",
             false,
             ""},
    RuleCase{"FskDatarateTop",
             {{kSx + "chan_FSK.datarate", "250000"}},
             kSx + "chan_FSK.datarate",
             false,
             ""},
    RuleCase{"FskDatarate499",
             {{kSx + "chan_FSK.datarate", "499"}},
             kSx + "chan_FSK.datarate",
             true,
             "must be 500..250000 bit/s"},
    RuleCase{"FskDatarate300k",
             {{kSx + "chan_FSK.datarate", "300000"}},
             kSx + "chan_FSK.datarate",
             true,
             "the HAL refuses the FSK channel"},
    RuleCase{"FskDatarateOfADisabledChannel",
             {{kSx + "chan_FSK.enable", "false"}, {kSx + "chan_FSK.datarate", "300000"}},
             kSx + "chan_FSK.datarate",
             false,
             ""},
    RuleCase{"FskBandwidthDefault",
             {{kSx + "chan_FSK.bandwidth", "0"}},
             kSx + "chan_FSK.bandwidth",
             false,
             ""},
    RuleCase{"FskBandwidthTooWide",
             {{kSx + "chan_FSK.bandwidth", "500001"}},
             kSx + "chan_FSK.bandwidth",
             true,
             "must be 0 (the HAL's default) or 1..500000 Hz"},
    RuleCase{"DigGain3", {{kSx + "tx_lut_0.dig_gain", "3"}}, kSx + "tx_lut_0.dig_gain", false, ""},
    RuleCase{
        "DigGain4",
        {{kSx + "tx_lut_0.dig_gain", "4"}},
        kSx + "tx_lut_0.dig_gain",
        true,
        "SX1301_conf.tx_lut_0.dig_gain=4: must be 0..3; the HAL refuses the TX gain table part-way"},
    RuleCase{"PaGain3", {{kSx + "tx_lut_15.pa_gain", "3"}}, kSx + "tx_lut_15.pa_gain", false, ""},
    RuleCase{"PaGain5",
             {{kSx + "tx_lut_15.pa_gain", "5"}},
             kSx + "tx_lut_15.pa_gain",
             true,
             "must be 0..3"},
    RuleCase{"MixGain8", {{kSx + "tx_lut_9.mix_gain", "8"}}, kSx + "tx_lut_9.mix_gain", false, ""},
    RuleCase{
        "MixGain15", {{kSx + "tx_lut_9.mix_gain", "15"}}, kSx + "tx_lut_9.mix_gain", false, ""},
    RuleCase{"MixGain7",
             {{kSx + "tx_lut_9.mix_gain", "7"}},
             kSx + "tx_lut_9.mix_gain",
             true,
             "must be 8..15"},
    RuleCase{"MixGain16OnTheLastEntry",
             {{kSx + "tx_lut_15.mix_gain", "16"}},
             kSx + "tx_lut_15.mix_gain",
             true,
             "must be 8..15"},
    // Keys the forwarder does not read have no rule.
    RuleCase{"TxLutCount", {{kSx + "tx_lut_count", "200"}}, kSx + "tx_lut_count", false, ""},
    RuleCase{"MultiSfDatarate",
             {{kSx + "chan_multiSF_2.datarate", "4000000000"}},
             kSx + "chan_multiSF_2.datarate",
             false,
             ""},
    RuleCase{"NetworkMode",
             {{"serverIP_conf.networkmode", "0"}},
             "serverIP_conf.networkmode",
             false,
             ""},
};

const std::vector<RuleCase> kCrossKeyCases = {
    RuleCase{
        "ClockFromADisabledRadio",
        {{kSx + "radio_1.enable", "false"}},
        kSx + "clksrc",
        true,
        "SX1301_conf.clksrc=1: must name an enabled radio (radio_1 is disabled); the concentrator"},
    RuleCase{"Sx1257AtItsBandEdges",
             {{kSx + "radio_0.freq", "862000000"}, {kSx + "radio_1.freq", "1020000000"}},
             kSx + "radio_0.freq",
             false,
             ""},
    RuleCase{
        "Sx1257Below",
        {{kSx + "radio_0.freq", "861999999"}},
        kSx + "radio_0.freq",
        true,
        "SX1301_conf.radio_0.freq=861999999: must lie in the band of the radio's type while the radio is "
        "enabled: 862..1020 MHz for an SX1257, 400..510 MHz for an SX1255 (an SX1257 tunes 862..1020 MHz)"},
    RuleCase{"FrequencyOf100",
             {{kSx + "radio_1.freq", "100"}},
             kSx + "radio_1.freq",
             true,
             "cannot be tuned"},
    RuleCase{"FrequencyOfUint32Max",
             {{kSx + "radio_1.freq", "4294967295"}},
             kSx + "radio_1.freq",
             true,
             "=4294967295"},
    RuleCase{"Sx1255AtAnSx1257Frequency",
             {{kSx + "radio_0.type", "SX1255"}},
             kSx + "radio_0.freq",
             true,
             "(an SX1255 tunes 400..510 MHz)"},
    RuleCase{"FrequencyOfADisabledRadio",
             {{kSx + "radio_0.enable", "false"}, {kSx + "radio_0.freq", "100"}},
             kSx + "radio_0.freq",
             false,
             ""},
    RuleCase{
        "ChannelOnADisabledRadio",
        {{kSx + "radio_1.enable", "false"}},
        kSx + "chan_multiSF_0.radio",
        true,
        "SX1301_conf.chan_multiSF_0.radio=1: must name an enabled radio while the channel is enabled "
        "(radio_1 is disabled)"},
    RuleCase{"DisabledChannelOnADisabledRadio",
             {{kSx + "radio_1.enable", "false"}, {kSx + "chan_multiSF_0.enable", "false"}},
             kSx + "chan_multiSF_0.radio",
             false,
             ""},
    RuleCase{"LoraStdOnADisabledRadio",
             {{kSx + "radio_1.enable", "false"}},
             kSx + "chan_Lora_std.radio",
             true,
             "(radio_1 is disabled)"},
    RuleCase{"FskOnADisabledRadio",
             {{kSx + "radio_1.enable", "false"}},
             kSx + "chan_FSK.radio",
             true,
             "(radio_1 is disabled)"},
    RuleCase{"MultiSfAtTheBandEdge",
             {{kSx + "chan_multiSF_0.if", "-437500"}},
             kSx + "chan_multiSF_0.if",
             false,
             ""},
    RuleCase{"MultiSfPastTheBandEdge",
             {{kSx + "chan_multiSF_0.if", "437501"}},
             kSx + "chan_multiSF_0.if",
             true,
             "(|437501| + 125000 / 2 = 500001 Hz); the channel would lie outside"},
    RuleCase{"MultiSfAtMinus500k",
             {{kSx + "chan_multiSF_7.if", "-500000"}},
             kSx + "chan_multiSF_7.if",
             true,
             "=-500000"},
    RuleCase{"MultiSfAtInt32Max",
             {{kSx + "chan_multiSF_7.if", "2147483647"}},
             kSx + "chan_multiSF_7.if",
             true,
             "=2147483647"},
    RuleCase{"MultiSfDisabledFarOut",
             {{kSx + "chan_multiSF_7.enable", "false"}, {kSx + "chan_multiSF_7.if", "-500000"}},
             kSx + "chan_multiSF_7.if",
             false,
             ""},
    RuleCase{"LoraStd500kAt300k",
             {{kSx + "chan_Lora_std.bandwidth", "500000"}, {kSx + "chan_Lora_std.if", "300000"}},
             kSx + "chan_Lora_std.if",
             false,
             ""},
    RuleCase{"LoraStd500kPast300k",
             {{kSx + "chan_Lora_std.bandwidth", "500000"}, {kSx + "chan_Lora_std.if", "-300001"}},
             kSx + "chan_Lora_std.if",
             true,
             "(|-300001| + 500000 / 2 = 550001 Hz)"},
    RuleCase{"LoraStd250kAt375k",
             {{kSx + "chan_Lora_std.if", "375000"}},
             kSx + "chan_Lora_std.if",
             false,
             ""},
    RuleCase{"LoraStd250kPast375k",
             {{kSx + "chan_Lora_std.if", "375001"}},
             kSx + "chan_Lora_std.if",
             true,
             "must not exceed 500000 Hz"},
    RuleCase{"FskPastTheBandEdge",
             {{kSx + "chan_FSK.if", "437501"}},
             kSx + "chan_FSK.if",
             true,
             "(|437501| + 125000 / 2 = 500001 Hz)"},
    RuleCase{"PowerEqualToTheEntryBefore",
             {{kSx + "tx_lut_5.rf_power", "2"}},
             kSx + "tx_lut_5.rf_power",
             false,
             ""},
    RuleCase{
        "PowerBelowTheEntryBefore",
        {{kSx + "tx_lut_5.rf_power", "1"}},
        kSx + "tx_lut_5.rf_power",
        true,
        "SX1301_conf.tx_lut_5.rf_power=1: must not be lower than the rf_power of the entry before "
        "(tx_lut_4 has 2 dBm); the HAL picks the last entry"},
    RuleCase{"LowestFirstPower",
             {{kSx + "tx_lut_0.rf_power", "-128"}},
             kSx + "tx_lut_0.rf_power",
             false,
             ""},
};

std::string CaseName(const ::testing::TestParamInfo<RuleCase> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(PerKey, ForwarderRule, ::testing::ValuesIn(kPerKeyCases), CaseName);
INSTANTIATE_TEST_SUITE_P(OverSeveralKeys, ForwarderRule, ::testing::ValuesIn(kCrossKeyCases),
                         CaseName);

TEST(ForwarderRules, TheSampleAndTheEmptyConfiguration) {
    std::string err;
    EXPECT_TRUE(check_rules(SampleContents(), &err)) << err;

    // What a daemon holds before anything configured it: every key the
    // forwarder needs is missing.
    BlockContents empty{};
    const std::vector<RuleFault> faults = rule_faults(empty);
    std::set<std::string> keys;
    for (const RuleFault &f : faults)
        keys.insert(f.key->path);
    for (const char *k :
         {"gateway_conf.server_address", "gateway_conf.gateway_ID", "gateway_conf.serv_port_up",
          "gateway_conf.push_timeout_ms", "SX1301_conf.radio_0.type",
          "SX1301_conf.tx_lut_15.mix_gain", "SX1301_conf.clksrc"})
        EXPECT_EQ(keys.count(k), 1u) << k;
    // In table order, and check_rules gives the first with the count of the rest.
    for (size_t i = 1; i < faults.size(); ++i)
        EXPECT_LE(faults[i - 1].key, faults[i].key);
    EXPECT_FALSE(check_rules(empty, &err));
    EXPECT_EQ(err,
              faults.front().message + " (and " + std::to_string(faults.size() - 1) + " more)");
    EXPECT_EQ(faults.front().key->path, "SX1301_conf.clksrc");
}

TEST(ForwarderRules, RssiOffsetMustBeFinite) {
    BlockContents b = SampleContents();
    b.gw.radios[1].rssi_offset = std::numeric_limits<float>::quiet_NaN();
    std::string err;
    EXPECT_FALSE(check_rules(b, &err));
    EXPECT_EQ(err.find("SX1301_conf.radio_1.rssi_offset=nan: must be a finite number"), 0u) << err;
}

// A rule added to the table without a case above fails here.
TEST(ForwarderRules, EveryRuleOfTheTableHasACaseThatBreaksIt) {
    std::set<std::string> broken;
    for (const auto *cases : {&kPerKeyCases, &kCrossKeyCases})
        for (const RuleCase &c : *cases)
            if (c.refused) broken.insert(find_key(c.key)->pattern);
    broken.insert(
        "SX1301_conf.radio_N.rssi_offset");  // RssiOffsetMustBeFinite: NaN has no text to set
    for (const KeyInfo &k : key_table()) {
        // Every key the forwarder reads has a rule, but the flags; no other
        // key has one.
        EXPECT_EQ(!k.rule.empty(), k.forwarder_reads && k.kind != ValueKind::Bool) << k.path;
        if (k.rule.empty()) continue;
        EXPECT_FALSE(k.rule_effect.empty()) << k.path;
        EXPECT_EQ(broken.count(k.pattern), 1u) << "no case breaks the rule of " << k.pattern;
    }
}

TEST(ForwarderRules, OneKeyOnItsOwn) {
    BlockContents b{};
    std::string err;
    ASSERT_TRUE(set_value(&b, "gateway_conf.push_timeout_ms", "2000", &err));
    EXPECT_FALSE(check_key_rule(b, *find_key("gateway_conf.push_timeout_ms"), &err));
    EXPECT_NE(err.find("must be 1..1999 ms"), std::string::npos) << err;
    // A channel rule is judged only while the channel is enabled, and the
    // rules over several keys are not judged here at all.
    ASSERT_TRUE(set_value(&b, "SX1301_conf.chan_Lora_std.spread_factor", "6", &err));
    EXPECT_TRUE(check_key_rule(b, *find_key("SX1301_conf.chan_Lora_std.spread_factor"), &err));
    ASSERT_TRUE(set_value(&b, "SX1301_conf.chan_Lora_std.enable", "true", &err));
    EXPECT_FALSE(check_key_rule(b, *find_key("SX1301_conf.chan_Lora_std.spread_factor"), &err));
    EXPECT_TRUE(check_key_rule(b, *find_key("SX1301_conf.chan_Lora_std.radio"), &err));
}

TEST(GatewayId, DerivedFromTheMacAddressWhenUnset) {
    const uint8_t mac[6] = {0xb8, 0x27, 0xeb, 0x12, 0x34, 0x56};
    EXPECT_EQ(gateway_id_from_mac(mac), "B827EBFFFE123456");

    BlockContents b = SampleContents();
    codec_test::put_text(b.gw.gateway_conf.gateway_ID, sizeof b.gw.gateway_conf.gateway_ID, "");
    ASSERT_TRUE(fill_unset_gateway_id(&b));
    EXPECT_STREQ(b.gw.gateway_conf.gateway_ID, "001122FFFE334455");
    std::string err;
    EXPECT_TRUE(check_rules(b, &err)) << err;
    // A gateway_ID that is set, even a bad one, is left for the rules to judge.
    codec_test::put_text(b.gw.gateway_conf.gateway_ID, sizeof b.gw.gateway_conf.gateway_ID, "x");
    EXPECT_FALSE(fill_unset_gateway_id(&b));
    EXPECT_STREQ(b.gw.gateway_conf.gateway_ID, "x");
}

}  // namespace
