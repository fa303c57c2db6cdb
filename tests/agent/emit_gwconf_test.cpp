// emit_gwconf: the gateway record, and global_conf.json as the packet
// forwarder reads it, including the atomic replacement of the file.
#include "agent.h"
#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef GWCONF_GOLDEN_DIR
#error "GWCONF_GOLDEN_DIR must name the directory of the golden files"
#endif

namespace {

using gwtest::ReadFile;
using gwtest::TempDir;

const char kConf[] = "global_conf.json";

// ---- records ----------------------------------------------------------------

template <size_t N>
void SetText(char (&dst)[N], const char *text) {
    std::memset(dst, 0, N);
    std::strncpy(dst, text, N - 1);
}

// The equipment record after the factory defaults.
EqpConfig FactoryEqp() {
    EqpConfig e;
    std::memset(&e, 0, sizeof e);
    e.host_flag = 1;
    std::memcpy(e.vendor, "Vorna123456789012345678", 24);
    std::memcpy(e.model, "Model_LoRa_GW12", 16);
    std::memcpy(e.server_name, "DeviceName12345", 16);
    std::memcpy(e.serial_no, "SerialNo1234567", 16);
    std::memcpy(e.hw_id, "HW_ID_123456789", 16);
    e.networkmode = 1;
    e.fixed_ip = 0xC0A80001;
    e.fixed_netmask = 0xFFFFFF00;
    e.fixed_gateway = 0xC0A800FE;
    return e;
}

GatewayConfig ZeroGateway() {
    GatewayConfig g;
    std::memset(&g, 0, sizeof g);
    return g;
}

// A record as a host would fill it for an EU868 gateway.
GatewayConfig TypicalGateway() {
    GatewayConfig g = ZeroGateway();
    g.lorawan_public = true;
    g.clksrc = 1;
    const uint32_t freq[2] = {867500000, 868500000};
    for (int r = 0; r < 2; ++r) {
        g.radios[r].enable = true;
        g.radios[r].freq = freq[r];
        g.radios[r].rssi_offset = -166.0f;
        g.radios[r].tx_enable = r == 0;
        SetText(g.radios[r].type, "SX1257");
    }
    const int32_t ifs[8] = {-400000, -200000, 0, -400000, -200000, 0, 200000, 400000};
    for (int c = 0; c < 8; ++c) {
        g.chan_multiSF[c].enable = true;
        g.chan_multiSF[c].radio = c < 3 ? 1 : 0;
        g.chan_multiSF[c].if_freq = ifs[c];
    }
    g.chan_Lora_std = {true, 1, -200000, 250000, 7, {0, 0, 0, 0}};
    g.chan_FSK = {true, 1, 300000, 125000, 50000, {0, 0, 0, 0}};
    const int8_t power[16] = {-6, -3, 0, 3, 6, 10, 11, 12, 13, 14, 16, 20, 23, 25, 26, 27};
    for (int i = 0; i < 16; ++i)
        g.tx_lut[i] = {static_cast<uint8_t>(i % 4), static_cast<uint8_t>(i / 5), 0,
                       static_cast<uint8_t>(8 + i % 8), power[i]};
    g.tx_lut_count = 16;
    ForwarderSettings &s = g.gateway_conf;
    SetText(s.gateway_ID, "AA555A0000000000");
    SetText(s.server_address, "router.eu.thethings.network");
    s.serv_port_up = 1700;
    s.serv_port_down = 1700;
    s.keepalive_interval = 10;
    s.stat_interval = 30;
    s.push_timeout_ms = 100;
    s.forward_crc_valid = true;
    return g;
}

// ---- running the writer -----------------------------------------------------

std::string ConsoleLines(const EqpConfig &e) {
    char buf[256];
    snprintf(buf, sizeof buf,
             "**************server_name:%.16s******************\n"
             "**************server_fix_ip:%x******************\n",
             e.server_name, e.fixed_ip);
    return buf;
}

// Runs the writer in dir and returns what it printed.
std::string EmitIn(const std::string &dir, GatewayConfig &g, EqpConfig &e) {
    gwtest::ScopedCwd cwd(dir);
    gwtest::CaptureFd out(1);
    emit_gwconf(&g, &e);
    return out.text();
}

// The file the writer produces for these records in a fresh directory.
std::string Render(GatewayConfig g, EqpConfig e) {
    TempDir dir;
    EmitIn(dir.path(), g, e);
    return ReadFile(dir.file(kConf));
}

std::vector<std::string> ListDir(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *ent = readdir(d)) {
            std::string n = ent->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Json::Value Parse(const std::string &text) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);  // duplicate keys, trailing bytes
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors))
        << errors << "\n"
        << text;
    return root;
}

const Json::Value &At(const Json::Value &root, const std::vector<std::string> &path) {
    const Json::Value *v = &root;
    for (const auto &key : path) {
        if (!v->isObject() || !v->isMember(key)) {
            static const Json::Value missing;
            ADD_FAILURE() << "no member " << key;
            return missing;
        }
        v = &(*v)[key];
    }
    return *v;
}

// Every line of the text without its indentation and its trailing comma.
std::set<std::string> BareLines(const std::string &text) {
    std::set<std::string> out;
    for (auto line : gwtest::SplitLines(text)) {
        line.erase(0, line.find_first_not_of(' '));
        if (!line.empty() && line.back() == ',') line.pop_back();
        out.insert(line);
    }
    return out;
}

class EmitGwconf : public ::testing::Test {
protected:
    TempDir dir_;
    EqpConfig eqp_ = FactoryEqp();
};

// ---- the record and its accessor ----------------------------------------------

TEST_F(EmitGwconf, AccessorReturnsTheZeroFilledRecordWritably) {
    const GatewayConfig zero = ZeroGateway();
    ForwarderSettings zero_settings;
    std::memset(&zero_settings, 0, sizeof zero_settings);
    EXPECT_EQ(0, std::memcmp(&g_Gatewayconfig, &zero, sizeof zero));
    EXPECT_EQ(0, std::memcmp(&gateway_config, &zero_settings, sizeof zero_settings));

    GatewayConfig *gw = saGetGatewayconfig();
    ASSERT_EQ(&g_Gatewayconfig, gw);
    EXPECT_EQ(gw, saGetGatewayconfig());

    gw->clksrc = 7;
    EmitIn(dir_.path(), *saGetGatewayconfig(), eqp_);
    std::memset(&g_Gatewayconfig, 0, sizeof g_Gatewayconfig);
    EXPECT_EQ(7, Parse(ReadFile(dir_.file(kConf)))["SX1301_conf"]["clksrc"].asInt());
}

// ---- layout -------------------------------------------------------------------

TEST_F(EmitGwconf, ZeroRecordWithFactoryEquipmentMatchesGoldenFile) {
    GatewayConfig gw = ZeroGateway();
    const std::string console = EmitIn(dir_.path(), gw, eqp_);

    const std::string golden = ReadFile(std::string(GWCONF_GOLDEN_DIR) + "/global_conf_zero.json");
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(golden, ReadFile(dir_.file(kConf)));
    EXPECT_EQ(
        "**************server_name:DeviceName12345******************\n"
        "**************server_fix_ip:c0a80001******************\n",
        console);
    EXPECT_EQ(std::vector<std::string>{kConf}, ListDir(dir_.path()));
    // The writer only reads the records.
    const GatewayConfig zero = ZeroGateway();
    const EqpConfig factory = FactoryEqp();
    EXPECT_EQ(0, std::memcmp(&gw, &zero, sizeof gw));
    EXPECT_EQ(0, std::memcmp(&eqp_, &factory, sizeof eqp_));
}

// ---- what the forwarder reads: every key, with its kind --------------------------

enum class Kind { Bool, Int, UInt, Real, String };

using Schema = std::map<std::string, Kind>;

const Schema kRadio = {{"enable", Kind::Bool},
                       {"freq", Kind::UInt},
                       {"rssi_offset", Kind::Real},
                       {"tx_enable", Kind::Bool},
                       {"type", Kind::String}};
const Schema kMultiSF = {{"enable", Kind::Bool}, {"if", Kind::Int}, {"radio", Kind::Int}};
const Schema kLoraStd = {{"bandwidth", Kind::UInt},
                         {"enable", Kind::Bool},
                         {"if", Kind::Int},
                         {"radio", Kind::Int},
                         {"spread_factor", Kind::UInt}};
const Schema kFsk = {{"bandwidth", Kind::UInt},
                     {"datarate", Kind::UInt},
                     {"enable", Kind::Bool},
                     {"if", Kind::Int},
                     {"radio", Kind::Int}};
const Schema kTxGain = {{"dig_gain", Kind::Int},
                        {"mix_gain", Kind::Int},
                        {"pa_gain", Kind::Int},
                        {"rf_power", Kind::Int}};
const Schema kForwarder = {{"forward_crc_disabled", Kind::Bool}, {"forward_crc_error", Kind::Bool},
                           {"forward_crc_valid", Kind::Bool},    {"gateway_ID", Kind::String},
                           {"keepalive_interval", Kind::Int},    {"push_timeout_ms", Kind::Int},
                           {"serv_port_down", Kind::Int},        {"serv_port_up", Kind::Int},
                           {"server_address", Kind::String},     {"stat_interval", Kind::UInt}};
const Schema kServerIp = {{"fixed_gateway", Kind::String},
                          {"fixed_ip", Kind::String},
                          {"fixed_netmask", Kind::String},
                          {"networkmode", Kind::Int},
                          {"server_name", Kind::String}};

bool HasKind(const Json::Value &v, Kind k) {
    const bool integral = v.type() == Json::intValue || v.type() == Json::uintValue;
    switch (k) {
        case Kind::Bool:
            return v.isBool();
        case Kind::Int:
            return integral && v.isInt();
        case Kind::UInt:
            return integral && v.isUInt();
        case Kind::Real:
            return v.type() == Json::realValue;
        case Kind::String:
            return v.isString();
    }
    return false;
}

void ExpectObject(const Json::Value &obj, const Schema &schema, const std::string &where) {
    ASSERT_TRUE(obj.isObject()) << where;
    std::vector<std::string> want;
    for (const auto &kv : schema)
        want.push_back(kv.first);
    EXPECT_EQ(want, obj.getMemberNames()) << where;
    for (const auto &kv : schema)
        if (obj.isMember(kv.first)) {
            EXPECT_TRUE(HasKind(obj[kv.first], kv.second)) << where << "." << kv.first;
        }
}

void ExpectForwarderReadable(const std::string &text) {
    const Json::Value root = Parse(text);
    ASSERT_TRUE(root.isObject());
    EXPECT_EQ((std::vector<std::string>{"SX1301_conf", "gateway_conf", "serverIP_conf"}),
              root.getMemberNames());

    const Json::Value &sx = root["SX1301_conf"];
    ASSERT_TRUE(sx.isObject());
    EXPECT_EQ(30u, sx.size());
    EXPECT_TRUE(HasKind(sx["lorawan_public"], Kind::Bool));
    EXPECT_TRUE(HasKind(sx["clksrc"], Kind::Int));
    for (int i = 0; i < 2; ++i)
        ExpectObject(sx["radio_" + std::to_string(i)], kRadio, "radio_" + std::to_string(i));
    for (int i = 0; i < 8; ++i) {
        const std::string key = "chan_multiSF_" + std::to_string(i);
        ExpectObject(sx[key], kMultiSF, key);
    }
    ExpectObject(sx["chan_Lora_std"], kLoraStd, "chan_Lora_std");
    ExpectObject(sx["chan_FSK"], kFsk, "chan_FSK");
    for (int i = 0; i < 16; ++i) {
        const std::string key = "tx_lut_" + std::to_string(i);
        ExpectObject(sx[key], kTxGain, key);
    }
    ExpectObject(root["gateway_conf"], kForwarder, "gateway_conf");
    ExpectObject(root["serverIP_conf"], kServerIp, "serverIP_conf");
}

TEST_F(EmitGwconf, ZeroAndTypicalRecordsCarryEveryKeyWithItsKind) {
    for (const GatewayConfig &g : {ZeroGateway(), TypicalGateway()}) {
        SCOPED_TRACE(g.lorawan_public ? "typical record" : "zero record");
        ExpectForwarderReadable(Render(g, eqp_));
    }
}

// ---- member values -----------------------------------------------------------------

struct ValueCase {
    const char *name;
    void (*fill)(GatewayConfig &, EqpConfig &);
    std::vector<std::string> path;
    Json::Value want;
    const char *line;  // the line as it stands in the file, or nullptr
};

void PrintTo(const ValueCase &c, std::ostream *os) { *os << c.name; }

void SetByte(bool &flag, uint8_t byte) { std::memcpy(&flag, &byte, 1); }

const std::vector<ValueCase> kValueCases = {
    {"NegativeIfMultiSF",
     [](GatewayConfig &g, EqpConfig &) {
         g.chan_multiSF[3].if_freq = -387500;
     },
     {"SX1301_conf", "chan_multiSF_3", "if"},
     Json::Value(-387500),
     "\"if\" : -387500"},
    {"NegativeIfLoraStd",
     [](GatewayConfig &g, EqpConfig &) {
         g.chan_Lora_std.if_freq = -200000;
     },
     {"SX1301_conf", "chan_Lora_std", "if"},
     Json::Value(-200000),
     "\"if\" : -200000"},
    {"MostNegativeIfFsk",
     [](GatewayConfig &g, EqpConfig &) {
         g.chan_FSK.if_freq = INT32_MIN;
     },
     {"SX1301_conf", "chan_FSK", "if"},
     Json::Value(INT32_MIN),
     "\"if\" : -2147483648"},
    {"RfPowerMinus6",
     [](GatewayConfig &g, EqpConfig &) {
         g.tx_lut[5].rf_power = -6;
     },
     {"SX1301_conf", "tx_lut_5", "rf_power"},
     Json::Value(-6),
     "\"rf_power\" : -6"},
    {"RfPowerMinus128",
     [](GatewayConfig &g, EqpConfig &) {
         g.tx_lut[15].rf_power = -128;
     },
     {"SX1301_conf", "tx_lut_15", "rf_power"},
     Json::Value(-128),
     "\"rf_power\" : -128"},
    {"RfPower127",
     [](GatewayConfig &g, EqpConfig &) {
         g.tx_lut[0].rf_power = 127;
     },
     {"SX1301_conf", "tx_lut_0", "rf_power"},
     Json::Value(127),
     "\"rf_power\" : 127"},
    {"GainBytesUnsigned",
     [](GatewayConfig &g, EqpConfig &) {
         g.tx_lut[9].mix_gain = 255;
     },
     {"SX1301_conf", "tx_lut_9", "mix_gain"},
     Json::Value(255),
     "\"mix_gain\" : 255"},
    {"Freq2Pow31",
     [](GatewayConfig &g, EqpConfig &) {
         g.radios[0].freq = 2147483648u;
     },
     {"SX1301_conf", "radio_0", "freq"},
     Json::Value(Json::UInt(2147483648u)),
     "\"freq\" : 2147483648"},
    {"FreqMax",
     [](GatewayConfig &g, EqpConfig &) {
         g.radios[1].freq = 4294967295u;
     },
     {"SX1301_conf", "radio_1", "freq"},
     Json::Value(Json::UInt(4294967295u)),
     "\"freq\" : 4294967295"},
    {"RssiOffsetAsStoredFloat",
     [](GatewayConfig &g, EqpConfig &) {
         g.radios[1].rssi_offset = -176.1f;
     },
     {"SX1301_conf", "radio_1", "rssi_offset"},
     Json::Value(static_cast<double>(-176.1f)),
     nullptr},
    {"RssiOffsetWhole",
     [](GatewayConfig &g, EqpConfig &) {
         g.radios[0].rssi_offset = -166.0f;
     },
     {"SX1301_conf", "radio_0", "rssi_offset"},
     Json::Value(-166.0),
     nullptr},
    {"RadioType",
     [](GatewayConfig &g, EqpConfig &) {
         SetText(g.radios[1].type, "SX1255");
     },
     {"SX1301_conf", "radio_1", "type"},
     Json::Value("SX1255"),
     nullptr},
    {"TxEnable",
     [](GatewayConfig &g, EqpConfig &) {
         g.radios[1].tx_enable = true;
     },
     {"SX1301_conf", "radio_1", "tx_enable"},
     Json::Value(true),
     nullptr},
    {"FlagByteOtherThanOne",
     [](GatewayConfig &g, EqpConfig &) {
         SetByte(g.radios[0].enable, 2);
     },
     {"SX1301_conf", "radio_0", "enable"},
     Json::Value(true),
     nullptr},
    {"LorawanPublic",
     [](GatewayConfig &g, EqpConfig &) {
         SetByte(g.lorawan_public, 0xFF);
     },
     {"SX1301_conf", "lorawan_public"},
     Json::Value(true),
     nullptr},
    {"ClksrcByte",
     [](GatewayConfig &g, EqpConfig &) {
         g.clksrc = 255;
     },
     {"SX1301_conf", "clksrc"},
     Json::Value(255),
     nullptr},
    {"RadioIndexByte",
     [](GatewayConfig &g, EqpConfig &) {
         g.chan_multiSF[7].radio = 255;
     },
     {"SX1301_conf", "chan_multiSF_7", "radio"},
     Json::Value(255),
     nullptr},
    {"LoraStdSpreadFactorFromDatarate",
     [](GatewayConfig &g, EqpConfig &) {
         g.chan_Lora_std.datarate = 7;
     },
     {"SX1301_conf", "chan_Lora_std", "spread_factor"},
     Json::Value(Json::UInt(7)),
     nullptr},
    {"LoraStdBandwidth",
     [](GatewayConfig &g, EqpConfig &) {
         g.chan_Lora_std.bandwidth = 250000;
     },
     {"SX1301_conf", "chan_Lora_std", "bandwidth"},
     Json::Value(Json::UInt(250000)),
     nullptr},
    {"FskDatarate",
     [](GatewayConfig &g, EqpConfig &) {
         g.chan_FSK.datarate = 50000;
     },
     {"SX1301_conf", "chan_FSK", "datarate"},
     Json::Value(Json::UInt(50000)),
     nullptr},
    {"FskBandwidthMax",
     [](GatewayConfig &g, EqpConfig &) {
         g.chan_FSK.bandwidth = 4294967295u;
     },
     {"SX1301_conf", "chan_FSK", "bandwidth"},
     Json::Value(Json::UInt(4294967295u)),
     "\"bandwidth\" : 4294967295"},
    {"DisabledRadioKeepsValues",
     [](GatewayConfig &g, EqpConfig &) {
         g.radios[1].enable = false;
         g.radios[1].freq = 868500000;
     },
     {"SX1301_conf", "radio_1", "freq"},
     Json::Value(Json::UInt(868500000)),
     nullptr},
    {"DisabledChannelKeepsValues",
     [](GatewayConfig &g, EqpConfig &) {
         g.chan_multiSF[2].enable = false;
         g.chan_multiSF[2].radio = 1;
     },
     {"SX1301_conf", "chan_multiSF_2", "radio"},
     Json::Value(1),
     nullptr},
    {"GatewayId",
     [](GatewayConfig &g, EqpConfig &) {
         SetText(g.gateway_conf.gateway_ID, "AA555A0000000101");
     },
     {"gateway_conf", "gateway_ID"},
     Json::Value("AA555A0000000101"),
     nullptr},
    {"ServerAddress",
     [](GatewayConfig &g, EqpConfig &) {
         SetText(g.gateway_conf.server_address, "10.20.30.40");
     },
     {"gateway_conf", "server_address"},
     Json::Value("10.20.30.40"),
     nullptr},
    {"PortUp",
     [](GatewayConfig &g, EqpConfig &) {
         g.gateway_conf.serv_port_up = 1680;
     },
     {"gateway_conf", "serv_port_up"},
     Json::Value(1680),
     nullptr},
    {"PortDown",
     [](GatewayConfig &g, EqpConfig &) {
         g.gateway_conf.serv_port_down = 1681;
     },
     {"gateway_conf", "serv_port_down"},
     Json::Value(1681),
     nullptr},
    {"NegativeKeepalive",
     [](GatewayConfig &g, EqpConfig &) {
         g.gateway_conf.keepalive_interval = -1;
     },
     {"gateway_conf", "keepalive_interval"},
     Json::Value(-1),
     "\"keepalive_interval\" : -1"},
    {"StatIntervalMax",
     [](GatewayConfig &g, EqpConfig &) {
         g.gateway_conf.stat_interval = 4294967295u;
     },
     {"gateway_conf", "stat_interval"},
     Json::Value(Json::UInt(4294967295u)),
     "\"stat_interval\" : 4294967295"},
    {"PushTimeout",
     [](GatewayConfig &g, EqpConfig &) {
         g.gateway_conf.push_timeout_ms = 100;
     },
     {"gateway_conf", "push_timeout_ms"},
     Json::Value(100),
     nullptr},
    {"CrcValidAlone",
     [](GatewayConfig &g, EqpConfig &) {
         g.gateway_conf.forward_crc_valid = true;
     },
     {"gateway_conf"},
     Json::Value(),
     nullptr},
    {"CrcErrorAlone",
     [](GatewayConfig &g, EqpConfig &) {
         g.gateway_conf.forward_crc_error = true;
     },
     {"gateway_conf"},
     Json::Value(),
     nullptr},
    {"CrcDisabledAlone",
     [](GatewayConfig &g, EqpConfig &) {
         g.gateway_conf.forward_crc_disabled = true;
     },
     {"gateway_conf"},
     Json::Value(),
     nullptr},
    {"ServerNameNeedsEscapes",
     [](GatewayConfig &, EqpConfig &e) {
         SetText(e.server_name, "a\"b\\c\td\x01/e");
     },
     {"serverIP_conf", "server_name"},
     Json::Value("a\"b\\c\td\x01/e"),
     "\"server_name\" : \"a\\\"b\\\\c\\td\\u0001/e\""},
    {"NetworkMode",
     [](GatewayConfig &, EqpConfig &e) {
         e.networkmode = 255;
     },
     {"serverIP_conf", "networkmode"},
     Json::Value(255),
     nullptr},
    {"FixedIpByteOrder",
     [](GatewayConfig &, EqpConfig &e) {
         e.fixed_ip = 0x0A010203;
     },
     {"serverIP_conf", "fixed_ip"},
     Json::Value("10.1.2.3"),
     nullptr},
    {"FixedNetmaskNone",
     [](GatewayConfig &, EqpConfig &e) {
         e.fixed_netmask = 0;
     },
     {"serverIP_conf", "fixed_netmask"},
     Json::Value("0.0.0.0"),
     nullptr},
    {"FixedGatewayAllOnes",
     [](GatewayConfig &, EqpConfig &e) {
         e.fixed_gateway = 0xFFFFFFFF;
     },
     {"serverIP_conf", "fixed_gateway"},
     Json::Value("255.255.255.255"),
     nullptr},
};

class EmitGwconfValue : public ::testing::TestWithParam<ValueCase> {};

// Compares a parsed value with the expected one: same kind of JSON value,
// and for numbers the same number.
void ExpectSame(const Json::Value &want, const Json::Value &got) {
    switch (want.type()) {
        case Json::booleanValue:
            ASSERT_TRUE(got.isBool());
            EXPECT_EQ(want.asBool(), got.asBool());
            break;
        case Json::stringValue:
            ASSERT_TRUE(got.isString());
            EXPECT_EQ(want.asString(), got.asString());
            break;
        case Json::realValue:
            ASSERT_EQ(Json::realValue, got.type());
            EXPECT_EQ(want.asDouble(), got.asDouble());
            break;
        case Json::uintValue:
            ASSERT_TRUE(got.isUInt()) << got;
            EXPECT_EQ(want.asUInt(), got.asUInt());
            break;
        case Json::intValue:
            ASSERT_TRUE(got.isInt()) << got;
            EXPECT_EQ(want.asInt(), got.asInt());
            break;
        default:
            FAIL() << "unexpected kind in the table";
    }
}

TEST_P(EmitGwconfValue, LandsUnderItsKeyWithItsValue) {
    const ValueCase &c = GetParam();
    GatewayConfig gw = TypicalGateway();
    EqpConfig eqp = FactoryEqp();
    c.fill(gw, eqp);
    TempDir dir;
    const std::string console = EmitIn(dir.path(), gw, eqp);
    const std::string text = ReadFile(dir.file(kConf));
    const Json::Value root = Parse(text);

    if (c.want.isNull()) {
        // The three CRC flags: exactly the one set, under its own key.
        const ForwarderSettings &s = gw.gateway_conf;
        const Json::Value &o = At(root, c.path);
        EXPECT_EQ(s.forward_crc_valid, o["forward_crc_valid"].asBool());
        EXPECT_EQ(s.forward_crc_error, o["forward_crc_error"].asBool());
        EXPECT_EQ(s.forward_crc_disabled, o["forward_crc_disabled"].asBool());
    } else {
        ExpectSame(c.want, At(root, c.path));
    }
    if (c.line) {
        EXPECT_TRUE(BareLines(text).count(c.line)) << "missing line " << c.line << "\n" << text;
    }
    EXPECT_EQ(ConsoleLines(eqp), console);
    ExpectForwarderReadable(text);
}

INSTANTIATE_TEST_SUITE_P(Members, EmitGwconfValue, ::testing::ValuesIn(kValueCases),
                         [](const ::testing::TestParamInfo<ValueCase> &i) {
                             return std::string(i.param.name);
                         });

TEST_F(EmitGwconf, RssiOffsetIsTheFloatNotTheIntendedDecimal) {
    GatewayConfig gw = ZeroGateway();
    gw.radios[0].rssi_offset = -176.1f;
    EmitIn(dir_.path(), gw, eqp_);
    const double got =
        Parse(ReadFile(dir_.file(kConf)))["SX1301_conf"]["radio_0"]["rssi_offset"].asDouble();
    EXPECT_EQ(static_cast<double>(-176.1f), got);
    EXPECT_NE(-176.1, got);
}

// Every entry lands under the key that carries its own index.
TEST_F(EmitGwconf, EntriesKeepTheirIndex) {
    GatewayConfig gw = ZeroGateway();
    for (int r = 0; r < 2; ++r)
        gw.radios[r].freq = 100u + r;
    for (int c = 0; c < 8; ++c)
        gw.chan_multiSF[c].if_freq = -1000 * (c + 1);
    for (int i = 0; i < 16; ++i)
        gw.tx_lut[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(16 + i), 0xEE,
                        static_cast<uint8_t>(32 + i), static_cast<int8_t>(-i)};
    EmitIn(dir_.path(), gw, eqp_);
    const Json::Value sx = Parse(ReadFile(dir_.file(kConf)))["SX1301_conf"];
    for (int r = 0; r < 2; ++r)
        EXPECT_EQ(100u + r, sx["radio_" + std::to_string(r)]["freq"].asUInt());
    for (int c = 0; c < 8; ++c)
        EXPECT_EQ(-1000 * (c + 1), sx["chan_multiSF_" + std::to_string(c)]["if"].asInt());
    for (int i = 0; i < 16; ++i) {
        const Json::Value &t = sx["tx_lut_" + std::to_string(i)];
        EXPECT_EQ(i, t["dig_gain"].asInt()) << i;
        EXPECT_EQ(16 + i, t["pa_gain"].asInt()) << i;
        EXPECT_EQ(32 + i, t["mix_gain"].asInt()) << i;
        EXPECT_EQ(-i, t["rf_power"].asInt()) << i;
    }
}

class EmitGwconfTxLutCount : public ::testing::TestWithParam<int> {};

TEST_P(EmitGwconfTxLutCount, AllSixteenEntriesWhateverTheCount) {
    GatewayConfig gw = TypicalGateway();
    gw.tx_lut_count = static_cast<uint8_t>(GetParam());
    const std::string text = Render(gw, FactoryEqp());
    EXPECT_EQ(Render(TypicalGateway(), FactoryEqp()), text);
    const Json::Value sx = Parse(text)["SX1301_conf"];
    int luts = 0;
    for (const auto &key : sx.getMemberNames())
        luts += key.rfind("tx_lut_", 0) == 0;
    EXPECT_EQ(16, luts);
}

INSTANTIATE_TEST_SUITE_P(Counts, EmitGwconfTxLutCount, ::testing::Values(0, 1, 8, 15, 16, 255));

// Texts are read up to the end of their arrays, even with no NUL inside;
// the bytes after each array are non-zero so an overrun would show.
TEST_F(EmitGwconf, TextsStopAtTheEndOfTheirArrays) {
    GatewayConfig gw = TypicalGateway();
    std::memcpy(gw.radios[0].type, "ABCDEFGHIJK", 11);
    std::memcpy(gw.radios[1].type, "LMNOPQRSTUV", 11);
    gw.radios[1].enable = true;
    gw.chan_multiSF[0].enable = true;
    std::memcpy(gw.gateway_conf.gateway_ID, "0123456789ABCDEFGHIJ", 20);
    std::memset(gw.gateway_conf.server_address, 'x', 64);
    gw.gateway_conf.serv_port_up = 0x41414141;
    EqpConfig eqp = FactoryEqp();
    std::memcpy(eqp.server_name, "Sixteen_chars_ab", 16);

    const std::string console = EmitIn(dir_.path(), gw, eqp);
    const Json::Value root = Parse(ReadFile(dir_.file(kConf)));
    EXPECT_EQ("ABCDEFGHIJK", root["SX1301_conf"]["radio_0"]["type"].asString());
    EXPECT_EQ("LMNOPQRSTUV", root["SX1301_conf"]["radio_1"]["type"].asString());
    EXPECT_EQ("0123456789ABCDEFGHIJ", root["gateway_conf"]["gateway_ID"].asString());
    EXPECT_EQ(std::string(64, 'x'), root["gateway_conf"]["server_address"].asString());
    EXPECT_EQ("Sixteen_chars_ab", root["serverIP_conf"]["server_name"].asString());
    EXPECT_EQ(
        "**************server_name:Sixteen_chars_ab******************\n"
        "**************server_fix_ip:c0a80001******************\n",
        console);
}

// ---- replacing the file ---------------------------------------------------------------

using gwtest::ScopedUmask;

mode_t ModeOf(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

struct ModeCase {
    int old_mode;  // -1: no previous file
    mode_t mask;
    mode_t want;
};

class EmitGwconfMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(EmitGwconfMode, NewFileGetsThePreviousOrTheDefaultMode) {
    const ModeCase c = GetParam();
    TempDir dir;
    if (c.old_mode >= 0) gwtest::WriteFile(dir.file(kConf), std::string(10000, 'o'), c.old_mode);
    GatewayConfig gw = TypicalGateway();
    EqpConfig eqp = FactoryEqp();
    {
        ScopedUmask mask(c.mask);
        EmitIn(dir.path(), gw, eqp);
    }
    EXPECT_EQ(Render(gw, eqp), ReadFile(dir.file(kConf)));
    EXPECT_EQ(c.want, ModeOf(dir.file(kConf)));
    EXPECT_EQ(std::vector<std::string>{kConf}, ListDir(dir.path()));
}

INSTANTIATE_TEST_SUITE_P(Modes, EmitGwconfMode,
                         ::testing::Values(ModeCase{-1, 022, 0644}, ModeCase{-1, 077, 0600},
                                           ModeCase{-1, 002, 0664}, ModeCase{0600, 022, 0600},
                                           ModeCase{0640, 077, 0640}, ModeCase{0604, 000, 0604},
                                           // A file left writable for others loses the
                                           // write bits the umask withholds.
                                           ModeCase{0666, 027, 0644}, ModeCase{0666, 002, 0664},
                                           ModeCase{0662, 022, 0640}));

TEST_F(EmitGwconf, ReplacementKeepsTheOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a file to another owner needs root";
    gwtest::WriteFile(dir_.file(kConf), "old\n", 0640);
    ASSERT_EQ(0, chown(dir_.file(kConf).c_str(), 65534, 65534));
    GatewayConfig gw = ZeroGateway();
    EmitIn(dir_.path(), gw, eqp_);
    struct stat st;
    ASSERT_EQ(0, stat(dir_.file(kConf).c_str(), &st));
    EXPECT_EQ(65534u, st.st_uid);
    EXPECT_EQ(65534u, st.st_gid);
    EXPECT_EQ(0640u, st.st_mode & 07777);
}

// A global_conf.json that is a symbolic link stays one; the file it names
// is replaced (or created, when the link dangles).
TEST_F(EmitGwconf, SymbolicLinkIsFollowed) {
    const std::string golden = ReadFile(std::string(GWCONF_GOLDEN_DIR) + "/global_conf_zero.json");
    for (const bool dangling : {false, true}) {
        SCOPED_TRACE(dangling ? "dangling link" : "link to a file");
        TempDir dir;
        ASSERT_EQ(0, mkdir(dir.file("real").c_str(), 0755));
        if (!dangling) gwtest::WriteFile(dir.file("real/conf.json"), "old\n", 0640);
        ASSERT_EQ(0, symlink("real/conf.json", dir.file(kConf).c_str()));
        GatewayConfig gw = ZeroGateway();
        EmitIn(dir.path(), gw, eqp_);

        struct stat st;
        ASSERT_EQ(0, lstat(dir.file(kConf).c_str(), &st));
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_EQ(golden, ReadFile(dir.file("real/conf.json")));
        if (!dangling) {
            EXPECT_EQ(0640u, ModeOf(dir.file("real/conf.json")));
        }
        EXPECT_EQ((std::vector<std::string>{kConf, "real"}), ListDir(dir.path()));
        EXPECT_EQ(std::vector<std::string>{"conf.json"}, ListDir(dir.file("real")));
    }
}

// ---- failures leave the previous file as it was -----------------------------------------
//
// Each case runs in a child process: it sets up the previous file, breaks
// the directory (private mount namespace, resource limit, another user),
// calls the writer, mends the breakage and calls it again. What the
// directory held at each step comes back through a pipe.

std::string OldContent() {
    std::string s;
    for (int i = 0; s.size() < 8000; ++i)
        s += "previous configuration, line " + std::to_string(i) + "\n";
    return s;
}

// nullptr on success, else what failed.
using Step = const char *(*)(const std::string &work);

struct FailureCase {
    const char *name;
    bool mount_namespace;
    bool old_file;
    Step prepare;   // before the previous file is written
    Step break_it;  // after it is written
    Step mend;
};

void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.name; }

const char *Nothing(const std::string &) { return nullptr; }

const char *ReadOnlyBind(const std::string &path) {
    if (mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) return "bind mount";
    if (mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        return "read-only remount";
    return nullptr;
}

const char *Unmount(const std::string &path) {
    return umount2(path.c_str(), MNT_DETACH) == 0 ? nullptr : "umount";
}

const char *ReadOnlyDir(const std::string &work) { return ReadOnlyBind(work); }
const char *ReadOnlyFile(const std::string &work) { return ReadOnlyBind(work + "/" + kConf); }
const char *UnmountDir(const std::string &work) { return Unmount(work); }
const char *UnmountFile(const std::string &work) { return Unmount(work + "/" + kConf); }

const char *TinyTmpfs(const std::string &work) {
    if (mount("tmpfs", work.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") != 0)
        return "tmpfs mount";
    return nullptr;
}

// Fills the file system, then frees one page: less room than the new text
// needs, so the write stops part-way.
const char *FillUp(const std::string &work) {
    const std::string filler = work + "/filler";
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return "filler";
    std::vector<char> block(4096, 'f');
    off_t size = 0;
    for (int i = 0; i < 1024; ++i) {
        ssize_t n = write(fd, block.data(), block.size());
        if (n <= 0) break;
        size += n;
    }
    const off_t keep = size - sysconf(_SC_PAGESIZE);
    const bool ok = size > 0 && keep >= 0 && ftruncate(fd, keep) == 0;
    close(fd);
    return ok ? nullptr : "filling the file system";
}

const char *RemoveFiller(const std::string &work) {
    return unlink((work + "/filler").c_str()) == 0 ? nullptr : "unlink filler";
}

const char *FileSizeLimit(const std::string &) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl;
    if (getrlimit(RLIMIT_FSIZE, &rl) != 0) return "getrlimit";
    rl.rlim_cur = 1000;
    return setrlimit(RLIMIT_FSIZE, &rl) == 0 ? nullptr : "setrlimit";
}

const char *NoFileSizeLimit(const std::string &) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_FSIZE, &rl) != 0) return "getrlimit";
    rl.rlim_cur = rl.rlim_max;
    return setrlimit(RLIMIT_FSIZE, &rl) == 0 ? nullptr : "setrlimit";
}

// A previous file this process may not write, in a directory it may write.
// Root writes whatever the mode says, so as root the child becomes nobody.
const char *ReadOnlyMode(const std::string &work) {
    const std::string conf = work + "/" + kConf;
    if (chmod(conf.c_str(), 0444) != 0) return "chmod";
    if (geteuid() != 0) return nullptr;
    const std::string base = work.substr(0, work.rfind('/'));
    if (chmod(base.c_str(), 0711) != 0 || chown(work.c_str(), 65534, 65534) != 0 ||
        chown(conf.c_str(), 65534, 65534) != 0)
        return "handing the directory to nobody";
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
        return "becoming nobody";
    return nullptr;
}

const char *WritableMode(const std::string &work) {
    return chmod((work + "/" + kConf).c_str(), 0644) == 0 ? nullptr : "chmod";
}

const char *DirectoryInTheWay(const std::string &work) {
    return mkdir((work + "/" + kConf).c_str(), 0755) == 0 ? nullptr : "mkdir";
}

const char *RemoveDirectory(const std::string &work) {
    return rmdir((work + "/" + kConf).c_str()) == 0 ? nullptr : "rmdir";
}

const std::vector<FailureCase> kFailureCases = {
    {"UnwritableDirectory", true, true, Nothing, ReadOnlyDir, UnmountDir},
    {"UnwritableDirectoryNoPreviousFile", true, false, Nothing, ReadOnlyDir, UnmountDir},
    {"TargetOnReadOnlyMount", true, true, Nothing, ReadOnlyFile, UnmountFile},
    {"TargetWithoutWritePermission", false, true, Nothing, ReadOnlyMode, WritableMode},
    {"FileSystemFullPartWay", true, true, TinyTmpfs, FillUp, RemoveFiller},
    {"FileSizeLimitPartWay", false, true, Nothing, FileSizeLimit, NoFileSizeLimit},
    {"DirectoryInTheWay", false, false, Nothing, DirectoryInTheWay, RemoveDirectory},
};

struct Snapshot {
    std::string listing;
    std::string content;
};

Snapshot Take(const std::string &work) {
    Snapshot s;
    for (const auto &n : ListDir(work))
        s.listing += n + "\n";
    struct stat st;
    const std::string conf = work + "/" + kConf;
    if (lstat(conf.c_str(), &st) != 0)
        s.content = "<absent>";
    else if (S_ISDIR(st.st_mode))
        s.content = "<directory>";
    else
        s.content = ReadFile(conf);
    return s;
}

void SendString(int fd, const std::string &s) {
    const uint32_t n = static_cast<uint32_t>(s.size());
    std::string frame(reinterpret_cast<const char *>(&n), sizeof n);
    frame += s;
    size_t off = 0;
    while (off < frame.size()) {
        ssize_t w = write(fd, frame.data() + off, frame.size() - off);
        if (w <= 0) _exit(5);
        off += static_cast<size_t>(w);
    }
}

std::vector<std::string> ReceiveStrings(const std::string &bytes) {
    std::vector<std::string> out;
    size_t off = 0;
    while (off + 4 <= bytes.size()) {
        uint32_t n;
        std::memcpy(&n, bytes.data() + off, 4);
        off += 4;
        if (off + n > bytes.size()) break;
        out.push_back(bytes.substr(off, n));
        off += n;
    }
    return out;
}

// In the child: the whole scenario; never returns.
[[noreturn]] void RunFailureChild(const FailureCase &c, const std::string &work, int out) {
    auto fail = [&](const char *status, const char *what) {
        SendString(out, std::string(status) + what + ": " + strerror(errno));
        _exit(0);
    };
    if (c.mount_namespace) {
        if (unshare(CLONE_NEWNS) != 0) fail("skip:", "private mount namespace (unshare)");
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            fail("skip:", "making mounts private");
    }
    if (const char *what = c.prepare(work)) fail("error:", what);
    if (c.old_file) {
        const std::string conf = work + "/" + kConf;
        int fd = open(conf.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
        const std::string old = OldContent();
        if (fd < 0 || write(fd, old.data(), old.size()) != static_cast<ssize_t>(old.size()))
            fail("error:", "previous file");
        close(fd);
        chmod(conf.c_str(), 0640);
    }
    if (const char *what = c.break_it(work)) fail("error:", what);

    GatewayConfig gw = TypicalGateway();
    EqpConfig eqp = FactoryEqp();
    const Snapshot before = Take(work);
    if (chdir(work.c_str()) != 0) fail("error:", "chdir");
    emit_gwconf(&gw, &eqp);
    fflush(stdout);
    const Snapshot failed = Take(work);

    if (chdir("/") != 0) fail("error:", "chdir /");
    if (const char *what = c.mend(work)) fail("error:", what);
    if (chdir(work.c_str()) != 0) fail("error:", "chdir");
    emit_gwconf(&gw, &eqp);
    fflush(stdout);
    const Snapshot mended = Take(work);

    SendString(out, "ok");
    for (const Snapshot *s : {&before, &failed, &mended}) {
        SendString(out, s->listing);
        SendString(out, s->content);
    }
    _exit(0);
}

class EmitGwconfFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(EmitGwconfFailure, PreviousFileIntactNoTempFileNextCallComplete) {
    const FailureCase &c = GetParam();
    const std::string reference = Render(TypicalGateway(), FactoryEqp());
    if (c.prepare == TinyTmpfs && reference.size() <= static_cast<size_t>(sysconf(_SC_PAGESIZE)))
        GTEST_SKIP() << "the text fits in one page; the write could not fail part-way";

    TempDir base;
    const std::string work = base.file("work");
    ASSERT_EQ(0, mkdir(work.c_str(), 0755));

    int pipefd[2];
    ASSERT_EQ(0, pipe(pipefd));
    std::string bytes;
    std::string console;
    int status = 0;
    {
        gwtest::CaptureFd out(1);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(pipefd[0]);
            RunFailureChild(c, work, pipefd[1]);
        }
        close(pipefd[1]);
        char buf[4096];
        ssize_t n;
        while ((n = read(pipefd[0], buf, sizeof buf)) > 0)
            bytes.append(buf, static_cast<size_t>(n));
        close(pipefd[0]);
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        console = out.text();
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

    const std::vector<std::string> got = ReceiveStrings(bytes);
    ASSERT_FALSE(got.empty());
    if (got[0].rfind("skip:", 0) == 0)
        GTEST_SKIP() << "cannot set up the failure here: " << got[0].substr(5);
    ASSERT_EQ("ok", got[0]) << "setting up the failure";
    ASSERT_EQ(7u, got.size());
    const Snapshot before{got[1], got[2]}, failed{got[3], got[4]}, mended{got[5], got[6]};

    // The failed call: nothing changed, no temporary file left behind.
    if (c.old_file) {
        EXPECT_EQ(OldContent(), before.content);
    }
    EXPECT_EQ(before.listing, failed.listing);
    EXPECT_EQ(before.content, failed.content);

    // Both calls printed their two lines.
    const std::string lines = ConsoleLines(FactoryEqp());
    EXPECT_EQ(lines + lines, console);

    // The next good call writes the complete file, and nothing else.
    EXPECT_EQ(std::string(kConf) + "\n", mended.listing);
    EXPECT_EQ(reference, mended.content);
}

INSTANTIATE_TEST_SUITE_P(Cases, EmitGwconfFailure, ::testing::ValuesIn(kFailureCases),
                         [](const ::testing::TestParamInfo<FailureCase> &i) {
                             return std::string(i.param.name);
                         });

// ---- a directory that refuses new names --------------------------------------------------
//
// The forwarder's directory may belong to another account while its
// global_conf.json is writable for the host: the file is then rewritten in
// place, unless the disk lacks room for the new text, when the old file must
// stay whole. Each case runs in a child that becomes nobody (root ignores
// directory permissions) in a private mount namespace with a small tmpfs.

struct InPlaceCase {
    const char *name;
    bool full_disk;
};

void PrintTo(const InPlaceCase &c, std::ostream *os) { *os << c.name; }

class EmitGwconfInPlace : public ::testing::TestWithParam<InPlaceCase> {};

TEST_P(EmitGwconfInPlace, WritableFileInALockedDirectory) {
    const InPlaceCase &c = GetParam();
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small tmpfs and to become another account";
    const std::string reference = Render(TypicalGateway(), FactoryEqp());
    const std::string old = "{ \"previous\" : true }\n";
    ASSERT_GT(reference.size(), static_cast<size_t>(sysconf(_SC_PAGESIZE)));

    TempDir base;
    const std::string work = base.file("work");
    ASSERT_EQ(0, mkdir(work.c_str(), 0755));
    ASSERT_EQ(0, chmod(base.path().c_str(), 0711));

    int pipefd[2];
    ASSERT_EQ(0, pipe(pipefd));
    gwtest::CaptureFd out(1);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipefd[0]);
        auto fail = [&](const char *status, const char *what) {
            SendString(pipefd[1], std::string(status) + what + ": " + strerror(errno));
            _exit(0);
        };
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            fail("skip:", "private mount namespace");
        if (const char *what = TinyTmpfs(work)) fail("error:", what);
        const std::string conf = work + "/" + kConf;
        gwtest::WriteFile(conf, old, 0644);
        if (chown(conf.c_str(), 65534, 65534) != 0) fail("error:", "chown");
        if (c.full_disk) {
            // Not a page left: the old file's one page cannot take the new text.
            if (const char *what = FillUp(work)) fail("error:", what);
            int fd = open((work + "/filler").c_str(), O_WRONLY | O_APPEND);
            std::vector<char> page(static_cast<size_t>(sysconf(_SC_PAGESIZE)), 'f');
            while (fd >= 0 && write(fd, page.data(), page.size()) > 0) {
            }
            if (fd >= 0) close(fd);
        }
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            fail("error:", "becoming nobody");
        if (chdir(work.c_str()) != 0) fail("error:", "chdir");
        GatewayConfig gw = TypicalGateway();
        EqpConfig eqp = FactoryEqp();
        emit_gwconf(&gw, &eqp);
        fflush(stdout);
        const Snapshot after = Take(work);
        SendString(pipefd[1], "ok");
        SendString(pipefd[1], after.listing);
        SendString(pipefd[1], after.content);
        _exit(0);
    }
    close(pipefd[1]);
    std::string bytes;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0)
        bytes.append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    out.text();
    const std::vector<std::string> got = ReceiveStrings(bytes);
    ASSERT_FALSE(got.empty());
    if (got[0].rfind("skip:", 0) == 0)
        GTEST_SKIP() << "cannot set up the case here: " << got[0].substr(5);
    ASSERT_EQ("ok", got[0]);
    ASSERT_EQ(3u, got.size());
    const std::string listing = std::string(c.full_disk ? "filler\n" : "") + kConf + "\n";
    EXPECT_EQ(listing, got[1]) << "no temporary file may be left";
    EXPECT_EQ(c.full_disk ? old : reference, got[2]);
}

INSTANTIATE_TEST_SUITE_P(Cases, EmitGwconfInPlace,
                         ::testing::Values(InPlaceCase{"RewrittenInPlace", false},
                                           InPlaceCase{"FullDiskKeepsTheOldFile", true}),
                         [](const ::testing::TestParamInfo<InPlaceCase> &i) {
                             return std::string(i.param.name);
                         });

}  // namespace
