// The key table: global_conf.json paths, value parsing and ranges, the JSON
// form and profiles.
#include <gtest/gtest.h>

#include <json/reader.h>

#include <set>
#include <string>

#include "codec_fixtures.h"
#include "config_block.h"

using namespace gwblock;
using codec_test::RandomContents;
using codec_test::SampleContents;

namespace {

Json::Value ParseJson(const std::string &text) {
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errs;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errs)) << errs;
    return v;
}

}  // namespace

TEST(KeyTable, NamesEveryFieldOfGlobalConf) {
    std::set<std::string> paths;
    for (const KeyInfo &k : key_table())
        EXPECT_TRUE(paths.insert(k.path).second) << "twice: " << k.path;
    // Every key that global_conf.json carries, section by section.
    std::vector<std::string> expected = {"SX1301_conf.lorawan_public", "SX1301_conf.clksrc"};
    for (int r = 0; r < 2; ++r)
        for (const char *m : {"enable", "freq", "rssi_offset", "tx_enable", "type"})
            expected.push_back("SX1301_conf.radio_" + std::to_string(r) + "." + m);
    for (int c = 0; c < 8; ++c)
        for (const char *m : {"enable", "if", "radio"})
            expected.push_back("SX1301_conf.chan_multiSF_" + std::to_string(c) + "." + m);
    for (const char *m : {"bandwidth", "enable", "if", "radio", "spread_factor"})
        expected.push_back(std::string("SX1301_conf.chan_Lora_std.") + m);
    for (const char *m : {"bandwidth", "datarate", "enable", "if", "radio"})
        expected.push_back(std::string("SX1301_conf.chan_FSK.") + m);
    for (int t = 0; t < 16; ++t)
        for (const char *m : {"dig_gain", "mix_gain", "pa_gain", "rf_power"})
            expected.push_back("SX1301_conf.tx_lut_" + std::to_string(t) + "." + m);
    for (const char *m : {"forward_crc_disabled", "forward_crc_error", "forward_crc_valid",
                          "gateway_ID", "keepalive_interval", "push_timeout_ms", "serv_port_down",
                          "serv_port_up", "server_address", "stat_interval"})
        expected.push_back(std::string("gateway_conf.") + m);
    for (const char *m :
         {"fixed_gateway", "fixed_ip", "fixed_netmask", "networkmode", "server_name"})
        expected.push_back(std::string("serverIP_conf.") + m);
    for (const std::string &p : expected) {
        const KeyInfo *k = find_key(p);
        ASSERT_NE(k, nullptr) << p;
        EXPECT_TRUE(k->writable) << p;
    }
    EXPECT_EQ(find_key("SX1301_conf.chan_Lora_std.datarate"), nullptr);
    for (const char *ro :
         {"device_info.vendor", "device_info.model", "device_info.serial_no", "device_info.hw_id",
          "device_info.mac", "device_info.ip", "device_info.netmask", "device_info.gateway",
          "device_info.pri_dns", "device_info.sec_dns", "device_info.revision"}) {
        const KeyInfo *k = find_key(ro);
        ASSERT_NE(k, nullptr) << ro;
        EXPECT_FALSE(k->writable) << ro;
    }
}

TEST(KeyTable, ServesATool) {
    // Lookup by path, iteration by section or object, values with units.
    const std::vector<const KeyInfo *> radio = keys_in_section("SX1301_conf.radio_1");
    ASSERT_EQ(radio.size(), 5u);
    EXPECT_EQ(radio[0]->path, "SX1301_conf.radio_1.freq");
    EXPECT_EQ(radio[0]->pattern, "SX1301_conf.radio_N.freq");
    EXPECT_EQ(radio[0]->index, 1);
    EXPECT_EQ(keys_in_section("gateway_conf").size(), 10u);
    EXPECT_EQ(keys_in_section("serverIP_conf").size(), 5u);
    EXPECT_TRUE(keys_in_section("SX1301_conf.radio_2").empty());
    EXPECT_TRUE(keys_in_section("gateway").empty());

    const BlockContents b = SampleContents();
    EXPECT_EQ(format_with_unit(b, *find_key("SX1301_conf.radio_0.freq")), "867500000 Hz");
    EXPECT_EQ(format_with_unit(b, *find_key("gateway_conf.push_timeout_ms")), "100 ms");
    EXPECT_EQ(format_with_unit(b, *find_key("SX1301_conf.tx_lut_0.rf_power")), "-6 dBm");
    EXPECT_EQ(format_with_unit(b, *find_key("SX1301_conf.lorawan_public")), "true");
    EXPECT_EQ(layout_type(*find_key("gateway_conf.gateway_ID")), "text[20]");
    EXPECT_EQ(layout_type(*find_key("device_info.mac")), "bytes");
}

struct SetCase {
    std::string key;
    std::string text;
    bool ok;
    std::string expect;  // value read back when ok, part of the message otherwise
};

void PrintTo(const SetCase &c, std::ostream *os) { *os << c.key << "=" << c.text; }

class SetValue : public ::testing::TestWithParam<SetCase> {};

TEST_P(SetValue, ParsesAndChecksRange) {
    const SetCase &c = GetParam();
    BlockContents b = SampleContents();
    const BlockContents before = b;
    std::string err;
    bool ok = set_value(&b, c.key, c.text, &err);
    ASSERT_EQ(ok, c.ok) << c.key << "=" << c.text << ": " << err;
    if (ok) {
        EXPECT_EQ(get_value(b, *find_key(c.key)), c.expect);
        EXPECT_TRUE(validate(b, &err)) << err;
    } else {
        EXPECT_NE(err.find(c.expect), std::string::npos) << err;
        EXPECT_EQ(memcmp(&b, &before, sizeof b), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    KeyTable, SetValue,
    ::testing::Values(
        SetCase{"gateway_conf.server_address", "nam1.cloud.example.com", true,
                "nam1.cloud.example.com"},
        SetCase{"gateway_conf.server_address", "", true, ""},
        SetCase{"gateway_conf.server_address", std::string(63, 's'), true, std::string(63, 's')},
        SetCase{"gateway_conf.server_address", std::string(64, 's'), false,
                "gateway_conf.server_address: text of 64 characters is too long, at most 63 fit"},
        SetCase{"gateway_conf.gateway_ID", "0123456789ABCDEF012", true, "0123456789ABCDEF012"},
        SetCase{"gateway_conf.gateway_ID", "0123456789ABCDEF0123", false, "at most 19 fit"},
        SetCase{"serverIP_conf.server_name", "gw\tnorth", false, "only printable ASCII"},
        SetCase{"SX1301_conf.radio_0.freq", "868100000", true, "868100000"},
        SetCase{"SX1301_conf.radio_0.freq", "4294967295", true, "4294967295"},
        SetCase{"SX1301_conf.radio_0.freq", "4294967296", false, "out of range 0..4294967295"},
        SetCase{"SX1301_conf.radio_0.freq", "-1", false, "out of range"},
        SetCase{"SX1301_conf.radio_0.freq", "868.1e6", false, "is not a frequency"},
        SetCase{"SX1301_conf.radio_0.freq", "", false, "is not a frequency"},
        SetCase{"SX1301_conf.radio_0.freq", "99999999999999999999999", false, "is not a frequency"},
        SetCase{"SX1301_conf.radio_0.freq", "+5", false, "is not a frequency"},
        SetCase{"SX1301_conf.chan_multiSF_3.if", "-200000", true, "-200000"},
        SetCase{"SX1301_conf.chan_multiSF_3.if", "2147483648", false,
                "out of range -2147483648..2147483647"},
        SetCase{"SX1301_conf.chan_multiSF_3.radio", "1", true, "1"},
        SetCase{"SX1301_conf.chan_multiSF_3.radio", "2", false, "out of range 0..1"},
        SetCase{"SX1301_conf.chan_Lora_std.spread_factor", "9", true, "9"},
        SetCase{"SX1301_conf.tx_lut_7.rf_power", "-6", true, "-6"},
        SetCase{"SX1301_conf.tx_lut_7.rf_power", "128", false, "out of range -128..127"},
        SetCase{"SX1301_conf.tx_lut_7.dig_gain", "256", false, "out of range 0..255"},
        SetCase{"SX1301_conf.lorawan_public", "false", true, "false"},
        SetCase{"SX1301_conf.lorawan_public", "1", false, "is not true or false"},
        SetCase{"SX1301_conf.lorawan_public", "TRUE", false, "is not true or false"},
        SetCase{"SX1301_conf.radio_1.rssi_offset", "-176.1", true, "-176.1"},
        SetCase{"SX1301_conf.radio_1.rssi_offset", "3", true, "3"},
        SetCase{"SX1301_conf.radio_1.rssi_offset", "nan", false, "not a finite"},
        SetCase{"SX1301_conf.radio_1.rssi_offset", "1e39", false, "not a finite"},
        // The shortest texts of the largest floats lie beyond them but round to them.
        SetCase{"SX1301_conf.radio_1.rssi_offset", "3.4028235e+38", true, "3.4028235e+38"},
        SetCase{"SX1301_conf.radio_1.rssi_offset", "-3.4028235e+38", true, "-3.4028235e+38"},
        SetCase{"SX1301_conf.radio_1.rssi_offset", "3.4028236e+38", false, "not a finite"},
        SetCase{"SX1301_conf.radio_1.rssi_offset", "-1x", false, "is not a decimal number"},
        SetCase{"serverIP_conf.fixed_ip", "10.0.0.7", true, "10.0.0.7"},
        SetCase{"serverIP_conf.fixed_ip", "10.0.0.256", false, "is not a dotted IPv4 address"},
        SetCase{"serverIP_conf.fixed_netmask", "255.255.255", false,
                "is not a dotted IPv4 address"},
        SetCase{"serverIP_conf.networkmode", "0", true, "0"},
        SetCase{"serverIP_conf.networkmode", "2", false, "out of range 0..1"},
        SetCase{"gateway_conf.serv_port_up", "1700", true, "1700"},
        SetCase{"gateway_conf.serv_port_up", "65536", false, "out of range 0..65535"},
        SetCase{"gateway_conf.stat_interval", "30", true, "30"},
        SetCase{"gateway_conf.forward_crc_error", "true", true, "true"},
        SetCase{"gateway_conf.server_adress", "x", false, "unknown key gateway_conf.server_adress"},
        SetCase{"device_info.vendor", "Other", false, "device_info.vendor is read-only"},
        SetCase{"device_info.mac", "00:11:22:33:44:66", false, "device_info.mac is read-only"},
        SetCase{"device_info.revision", "9", false, "is read-only"}));

// Frequencies in the units gwcfg shows them in, counted exactly: what show
// prints, set takes back.
struct FrequencyCase {
    const char *name;
    std::string text;
    bool ok;
    int64_t hz;         // ok: the value stored
    std::string shown;  // ok: format_frequency(); otherwise part of the error
};

class FrequencyText : public ::testing::TestWithParam<FrequencyCase> {};

TEST_P(FrequencyText, ParsesExactlyAndPrintsWhatItParses) {
    const FrequencyCase &c = GetParam();
    int64_t hz = -1;
    std::string why;
    ASSERT_EQ(gwblock::parse_frequency(c.text, &hz, &why), c.ok) << c.text << ": " << why;
    if (!c.ok) {
        EXPECT_NE(why.find(c.shown), std::string::npos) << why;
        return;
    }
    EXPECT_EQ(hz, c.hz);
    EXPECT_EQ(gwblock::format_frequency(hz), c.shown);
    int64_t again = -1;
    ASSERT_TRUE(gwblock::parse_frequency(c.shown, &again, &why)) << why;
    EXPECT_EQ(again, hz);
}

INSTANTIATE_TEST_SUITE_P(
    KeyTable, FrequencyText,
    ::testing::Values(
        FrequencyCase{"PlainHz", "868100000", true, 868100000, "868.1 MHz"},
        FrequencyCase{"MHzTight", "867.5MHz", true, 867500000, "867.5 MHz"},
        FrequencyCase{"MHzSpaced", "868.1 MHz", true, 868100000, "868.1 MHz"},
        FrequencyCase{"MHzLowerCase", "868.1mhz", true, 868100000, "868.1 MHz"},
        // 868.3 is no exact double: a float route would land a hertz off.
        FrequencyCase{"MHzNoFloatRounding", "868.300001MHz", true, 868300001, "868.300001 MHz"},
        FrequencyCase{"kHz", "125kHz", true, 125000, "125 kHz"},
        FrequencyCase{"NegativekHz", "-187.5 kHz", true, -187500, "-187.5 kHz"},
        FrequencyCase{"Hz", "500Hz", true, 500, "500 Hz"},
        FrequencyCase{"Zero", "0", true, 0, "0 Hz"},
        FrequencyCase{"TrailingZeros", "868.100000000MHz", true, 868100000, "868.1 MHz"},
        FrequencyCase{"SubHzInMHz", "868.1000005MHz", false, 0, "a fraction of a hertz"},
        FrequencyCase{"FractionWithoutUnit", "867.5", false, 0, "give one, for example 867.5MHz"},
        FrequencyCase{"UnknownUnit", "868.1 MHZz", false, 0, "unknown unit"},
        FrequencyCase{"Exponent", "868.1e6", false, 0, "unknown unit"},
        FrequencyCase{"Empty", "", false, 0, "not a frequency"},
        FrequencyCase{"OnlyUnit", "MHz", false, 0, "not a frequency"},
        FrequencyCase{"TooLong", "99999999999999999999999", false, 0, "too large"}),
    [](const ::testing::TestParamInfo<FrequencyCase> &i) {
        return std::string(i.param.name);
    });

TEST(KeyTable, SetTakesFrequenciesInUnitsAndChecksTheRange) {
    BlockContents b = SampleContents();
    std::string err;
    ASSERT_TRUE(set_value(&b, "SX1301_conf.radio_0.freq", "867.5MHz", &err)) << err;
    EXPECT_EQ(b.gw.radios[0].freq, 867500000u);
    ASSERT_TRUE(set_value(&b, "SX1301_conf.chan_multiSF_3.if", "-200 kHz", &err)) << err;
    EXPECT_EQ(get_value(b, *find_key("SX1301_conf.chan_multiSF_3.if")), "-200000");
    EXPECT_EQ(gwblock::format_for_people(b, *find_key("SX1301_conf.chan_multiSF_3.if")),
              "-200 kHz");
    EXPECT_FALSE(set_value(&b, "SX1301_conf.radio_0.freq", "4.3GHz", &err));
    EXPECT_NE(err.find("out of range 0..4294967295"), std::string::npos) << err;
    EXPECT_FALSE(set_value(&b, "SX1301_conf.radio_0.freq", "-1kHz", &err));
    EXPECT_NE(err.find("out of range"), std::string::npos) << err;
}

TEST(KeyTable, EveryWritableKeyReadsBackWhatIsWritten) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        const BlockContents src = RandomContents(seed);
        BlockContents dst{};
        for (const KeyInfo &k : key_table()) {
            if (!k.writable) continue;
            std::string err;
            ASSERT_TRUE(set_value(&dst, k.path, get_value(src, k), &err)) << k.path << ": " << err;
        }
        EXPECT_TRUE(diff_keys(src, dst, true).empty());
    }
}

TEST(KeyTable, JsonHasTheSectionsAndValueKindsOfGlobalConf) {
    BlockContents b = SampleContents();
    b.gw.radios[0].freq = 3000000000u;
    Json::Value j = to_json(b);
    EXPECT_EQ(j.getMemberNames(), (std::vector<std::string>{"SX1301_conf", "device_info",
                                                            "gateway_conf", "serverIP_conf"}));
    const Json::Value &sx = j["SX1301_conf"];
    EXPECT_EQ(sx["chan_Lora_std"].getMemberNames(),
              (std::vector<std::string>{"bandwidth", "enable", "if", "radio", "spread_factor"}));
    EXPECT_EQ(sx["chan_FSK"].getMemberNames(),
              (std::vector<std::string>{"bandwidth", "datarate", "enable", "if", "radio"}));
    EXPECT_TRUE(sx["radio_0"]["freq"].isUInt());
    EXPECT_EQ(sx["radio_0"]["freq"].asUInt(), 3000000000u);
    EXPECT_TRUE(sx["radio_0"]["rssi_offset"].isDouble());
    EXPECT_EQ(sx["radio_0"]["rssi_offset"].asDouble(), -166.0);
    EXPECT_TRUE(sx["lorawan_public"].isBool());
    EXPECT_EQ(sx["chan_multiSF_0"]["if"].asInt(), -400000);
    EXPECT_EQ(sx["tx_lut_0"]["rf_power"].asInt(), -6);
    EXPECT_EQ(j["gateway_conf"]["server_address"].asString(), "router.eu.example.net");
    EXPECT_EQ(j["serverIP_conf"]["fixed_ip"].asString(), "192.168.0.1");
    EXPECT_EQ(j["serverIP_conf"]["networkmode"].asInt(), 1);
    EXPECT_EQ(j["device_info"]["mac"].asString(), "00:11:22:33:44:55");
    EXPECT_EQ(j["device_info"]["revision"].asUInt(), 7u);
}

TEST(Profile, AppliesASubsetOfGlobalConfKeys) {
    BlockContents b = SampleContents();
    std::string err;
    ASSERT_TRUE(apply_json_profile(ParseJson(R"({
        "SX1301_conf": {
            "lorawan_public": false,
            "radio_0": { "freq": 904300000, "rssi_offset": -166.5, "type": "SX1257" },
            "chan_multiSF_2": { "enable": true, "radio": 0, "if": 300000 },
            "chan_Lora_std": { "spread_factor": 8, "bandwidth": 500000 },
            "tx_lut_15": { "rf_power": 27 }
        },
        "gateway_conf": { "server_address": "us.example.org", "serv_port_up": 1700 },
        "serverIP_conf": { "networkmode": 0, "fixed_ip": "10.1.2.3" }
    })"),
                                   &b, &err))
        << err;
    EXPECT_FALSE(b.gw.lorawan_public);
    EXPECT_EQ(b.gw.radios[0].freq, 904300000u);
    EXPECT_EQ(b.gw.radios[0].rssi_offset, -166.5f);
    EXPECT_EQ(b.gw.chan_multiSF[2].if_freq, 300000);
    EXPECT_EQ(b.gw.chan_Lora_std.datarate, 8u);
    EXPECT_EQ(b.gw.chan_Lora_std.bandwidth, 500000u);
    EXPECT_EQ(b.gw.tx_lut[15].rf_power, 27);
    EXPECT_STREQ(b.gw.gateway_conf.server_address, "us.example.org");
    EXPECT_EQ(b.eqp.networkmode, 0);
    EXPECT_EQ(b.eqp.fixed_ip, 0x0A010203u);
    EXPECT_EQ(b.gw.radios[1].freq, 868500000u);  // not in the profile: kept
}

TEST(Profile, RefusesBadProfilesAndChangesNothing) {
    struct {
        const char *json;
        const char *message;
    } cases[] = {
        {R"([1, 2])", "a profile is a JSON object"},
        {R"({"SX1301_conf": {"radio_2": {"freq": 1}}})", "unknown section SX1301_conf.radio_2"},
        {R"({"gateway_conf": {"server_adress": "x"}})", "unknown key gateway_conf.server_adress"},
        {R"({"misc": 1})", "unknown key misc"},
        {R"({"SX1301_conf": {"lorawan_public": "true"}})",
         "SX1301_conf.lorawan_public: expected true or false, got \"true\""},
        {R"({"SX1301_conf": {"clksrc": 256}})", "SX1301_conf.clksrc: 256 is out of range 0..255"},
        {R"({"SX1301_conf": {"radio_0": {"freq": -5}}})",
         "SX1301_conf.radio_0.freq: -5 is out of range"},
        {R"({"SX1301_conf": {"radio_0": {"freq": 18446744073709551615}}})",
         "is out of range 0..4294967295"},
        {R"({"SX1301_conf": {"radio_0": {"freq": "868100000"}}})", "expected an integer"},
        {R"({"SX1301_conf": {"chan_FSK": {"radio": 1.5}}})", "expected an integer, got 1.5"},
        {R"({"SX1301_conf": {"chan_FSK": {"radio": 3}}})", "out of range 0..1"},
        {R"({"SX1301_conf": {"radio_0": {"rssi_offset": "x"}}})", "expected a number"},
        {R"({"SX1301_conf": {"radio_0": {"rssi_offset": 1e300}}})",
         "not a finite single-precision number"},
        {R"({"SX1301_conf": {"radio_0": {"type": 1257}}})", "expected a string"},
        {R"({"SX1301_conf": {"radio_0": {"type": "SX1257-long-name"}}})", "too long"},
        {R"({"SX1301_conf": {"radio_0": {"freq": {}}}})",
         "SX1301_conf.radio_0.freq: expected an integer"},
        {R"({"serverIP_conf": {"fixed_ip": "192.168.0"}})",
         "serverIP_conf.fixed_ip: \"192.168.0\" is not a dotted IPv4"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.json);
        BlockContents b = SampleContents();
        // A valid key first, so a half-applied profile would show.
        Json::Value profile = ParseJson(c.json);
        if (profile.isObject() && !profile["SX1301_conf"].isMember("clksrc"))
            profile["SX1301_conf"]["clksrc"] = 0;
        const BlockContents before = b;
        std::string err;
        EXPECT_FALSE(apply_json_profile(profile, &b, &err));
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(memcmp(&b, &before, sizeof b), 0);
    }
}

TEST(Profile, ShowJsonServesAsAProfile) {
    const BlockContents src = RandomContents(42);
    BlockContents dst = RandomContents(43);
    const BlockContents before = dst;
    std::string err;
    ASSERT_TRUE(apply_json_profile(to_json(src), &dst, &err)) << err;
    EXPECT_TRUE(diff_keys(src, dst, true).empty());
    // The read-only views of the JSON are not taken over.
    EXPECT_EQ(memcmp(dst.eqp.mac, before.eqp.mac, 6), 0);
    EXPECT_EQ(dst.revision, before.revision);
    EXPECT_EQ(memcmp(dst.eqp.vendor, before.eqp.vendor, sizeof dst.eqp.vendor), 0);
}
