// key_table.cpp - the key table: one row per key, or per family of keys that
// differ only in an index (radio_N, chan_multiSF_N, tx_lut_N). A row gives
// the key's place in the block and in the records, its kind, what the block
// may carry, whether global_conf.json carries it and the forwarder reads it,
// its unit, its rule and its meaning. The rules over several keys sit beside
// the table, in rules.cpp. docs/config-block.md and docs/keys.md are
// generated from this table (tests/codec/docs_test.cpp).
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec_internal.h"

namespace gwblock {

namespace detail {
namespace {

// ---------------------------------------------------------------------------
// Row types

enum class Use {
    Forwarder,  // written to global_conf.json and read by basic_pkt_fwd
    FileOnly,   // written to global_conf.json, never read by basic_pkt_fwd
    BlockOnly,  // carried by the block and the record, never written to the file
    View,       // read-only view of the gateway's own state
};

// What a field may carry beyond its kind's natural range (integer kinds).
struct Carry {
    int64_t min, max;
    bool set;
};
constexpr Carry kNatural{0, 0, false};
constexpr Carry carry(int64_t min, int64_t max) { return {min, max, true}; }

constexpr KeyRule kNone{Check::None, 0, 0, {0, 0, 0}, 0, false, nullptr, nullptr};

constexpr KeyRule range(int64_t min, int64_t max, const char *effect) {
    return {Check::Range, min, max, {0, 0, 0}, 0, false, nullptr, effect};
}
constexpr KeyRule range_when_enabled(int64_t min, int64_t max, const char *effect,
                                     const char *allowed = nullptr) {
    return {Check::Range, min, max, {0, 0, 0}, 0, true, allowed, effect};
}
constexpr KeyRule text_rule(Check check, const char *allowed, const char *effect) {
    return {check, 0, 0, {0, 0, 0}, 0, false, allowed, effect};
}

struct FieldRow {
    const char *name;
    ValueKind kind;
    size_t block;   // offset in the record's part of the block
    size_t member;  // offset in the record (instance 0) within BlockContents
    size_t size;    // texts: the array's size; 0 for the others (the kind's)
    Carry carry;
    Use use;
    const char *unit;
    KeyRule rule;
    const char *meaning;
    uint16_t since = 1;  // the first layout version with the field
};

struct GroupRow {
    const char *path;  // "SX1301_conf.radio_N": "_N" stands for the index
    int count;
    size_t block, block_stride;
    size_t member, member_stride;
    // The group has an "enable" key; rules marked when_enabled hold only
    // while it is true, and say so with this phrase.
    const char *enabled_phrase;
    const FieldRow *fields;
    size_t n_fields;
};

// ---------------------------------------------------------------------------
// Where the records sit in the block and in BlockContents

constexpr size_t kEqpBase = 16;
constexpr size_t kGwBase = 144;
constexpr size_t kRadioBase = 148;  // 24 bytes each
constexpr size_t kRadioSize = 24;
constexpr size_t kChannelBase = 196;  // 16 bytes each
constexpr size_t kChannelSize = 16;
constexpr size_t kTxLutBase = 356;  // 4 bytes each
constexpr size_t kTxLutSize = 4;
constexpr size_t kFwdBase = 420;

static_assert(kChannelBase == kRadioBase + 2 * kRadioSize, "radios");
static_assert(kTxLutBase == kChannelBase + 10 * kChannelSize, "channels");
static_assert(kFwdBase == kTxLutBase + 16 * kTxLutSize, "tx_lut");

constexpr size_t kEqp = offsetof(BlockContents, eqp);
constexpr size_t kGw = offsetof(BlockContents, gw);
constexpr size_t kChange = offsetof(BlockContents, change);

// The last change: state and reason in header bytes 6 and 7, its revision
// in bytes 12 to 15, its counts of seconds past the forwarder's settings.
constexpr size_t kChangeStateOffset = 6;
constexpr size_t kChangeRevisionOffset = 12;
constexpr size_t kChangeSecondsOffset = 528;

#define GW(m) offsetof(GatewayConfig, m)
#define RADIO(m) offsetof(RadioConfig, m)
#define CHAN(m) offsetof(ChannelConfig, m)
#define TX(m) offsetof(TxGainEntry, m)
#define FWD(m) offsetof(ForwarderSettings, m)
#define EQP(m) offsetof(EqpConfig, m)
#define CHG(m) offsetof(ChangeStatus, m)

// ---------------------------------------------------------------------------
// What the forwarder does with a value it cannot use (facts of basic_pkt_fwd
// and the SX1301 HAL libloragw)

constexpr char kTxTableEffect[] =
    "the HAL refuses the TX gain table part-way and every downlink then goes out at the power of "
    "the last entry it took";
constexpr char kFskEffect[] = "the HAL refuses the FSK channel, which then receives nothing";

// ---------------------------------------------------------------------------
// The rows

const FieldRow kConcentrator[] = {
    {"lorawan_public", ValueKind::Bool, 0, GW(lorawan_public), 0, kNatural, Use::Forwarder, "",
     kNone, "LoRaWAN public network sync word (false: private network)"},
    {"clksrc",
     ValueKind::U8,
     1,
     GW(clksrc),
     0,
     kNatural,
     Use::Forwarder,
     "",
     {Check::Range,
      0,
      1,
      {0, 0, 0},
      0,
      false,
      "must be 0 or 1",
      "there is no other radio to take the clock from and the concentrator does not start"},
     "radio whose clock drives the concentrator: 0 radio_0, 1 radio_1"},
    {"tx_lut_count", ValueKind::U8, 2, GW(tx_lut_count), 0, kNatural, Use::BlockOnly, "", kNone,
     "TX gain table counter; never written to global_conf.json, which always carries all sixteen entries"},
};

const FieldRow kRadio[] = {
    {"freq", ValueKind::U32, 0, RADIO(freq), 0, kNatural, Use::Forwarder, "Hz", kNone,
     "centre frequency of the radio"},
    {"rssi_offset", ValueKind::F32, 4, RADIO(rssi_offset), 0, kNatural, Use::Forwarder, "dB",
     text_rule(Check::Finite, "must be a finite number",
               "the forwarder's RSSI values would be meaningless"),
     "RSSI correction of the radio"},
    {"enable", ValueKind::Bool, 8, RADIO(enable), 0, kNatural, Use::Forwarder, "", kNone,
     "radio in use"},
    {"tx_enable", ValueKind::Bool, 9, RADIO(tx_enable), 0, kNatural, Use::Forwarder, "", kNone,
     "radio may transmit"},
    {"type", ValueKind::Text, 10, RADIO(type), sizeof(RadioConfig::type), kNatural, Use::Forwarder,
     "",
     text_rule(Check::RadioType, "must be \"SX1255\" or \"SX1257\" exactly",
               "the forwarder knows no other radio and the concentrator does not start"),
     "radio model"},
};

#define CHANNEL_COMMON                                                                    \
    {"enable", ValueKind::Bool, 0,  CHAN(enable), 0,                                      \
     kNatural, Use::Forwarder,  "", kNone,        "channel in use"},                      \
        {"radio",                                                                         \
         ValueKind::U8,                                                                   \
         1,                                                                               \
         CHAN(radio),                                                                     \
         0,                                                                               \
         carry(0, 1),                                                                     \
         Use::Forwarder,                                                                  \
         "",                                                                              \
         kNone,                                                                           \
         "radio the channel receives through, 0 or 1"},                                   \
    {                                                                                     \
        "if", ValueKind::I32, 4, CHAN(if_freq), 0, kNatural, Use::Forwarder, "Hz", kNone, \
            "offset of the channel from its radio's frequency"                            \
    }

const FieldRow kMultiSfChannel[] = {
    CHANNEL_COMMON,
    {"bandwidth", ValueKind::U32, 8, CHAN(bandwidth), 0, kNatural, Use::BlockOnly, "Hz", kNone,
     "never written to global_conf.json: multi-SF channels are 125 kHz wide"},
    {"datarate", ValueKind::U32, 12, CHAN(datarate), 0, kNatural, Use::BlockOnly, "", kNone,
     "never written to global_conf.json: multi-SF channels take SF7 to SF12"},
};

const FieldRow kLoraStdChannel[] = {
    CHANNEL_COMMON,
    {"bandwidth",
     ValueKind::U32,
     8,
     CHAN(bandwidth),
     0,
     kNatural,
     Use::Forwarder,
     "Hz",
     {Check::OneOf,
      0,
      0,
      {125000, 250000, 500000},
      3,
      true,
      "must be 125000, 250000 or 500000 Hz",
      "the HAL silently uses 250 kHz instead"},
     "bandwidth of the LoRa standard channel"},
    {"spread_factor", ValueKind::U32, 12, CHAN(datarate), 0, kNatural, Use::Forwarder, "",
     range_when_enabled(7, 12, "the HAL silently uses SF9 instead"),
     "spreading factor of the LoRa standard channel"},
};

const FieldRow kFskChannel[] = {
    CHANNEL_COMMON,
    {"bandwidth", ValueKind::U32, 8, CHAN(bandwidth), 0, kNatural, Use::Forwarder, "Hz",
     range_when_enabled(0, 500000, kFskEffect, "must be 0 (the HAL's default) or 1..500000 Hz"),
     "bandwidth of the FSK channel"},
    {"datarate", ValueKind::U32, 12, CHAN(datarate), 0, kNatural, Use::Forwarder, "bit/s",
     range_when_enabled(500, 250000, kFskEffect), "data rate of the FSK channel"},
};

#undef CHANNEL_COMMON

const FieldRow kTxGain[] = {
    {"dig_gain", ValueKind::U8, 0, TX(dig_gain), 0, kNatural, Use::Forwarder, "",
     range(0, 3, kTxTableEffect), "digital gain"},
    {"pa_gain", ValueKind::U8, 1, TX(pa_gain), 0, kNatural, Use::Forwarder, "",
     range(0, 3, kTxTableEffect), "power amplifier gain"},
    {"mix_gain", ValueKind::U8, 2, TX(mix_gain), 0, kNatural, Use::Forwarder, "",
     range(8, 15, kTxTableEffect), "mixer gain"},
    {"rf_power", ValueKind::I8, 3, TX(rf_power), 0, kNatural, Use::Forwarder, "dBm", kNone,
     "RF output power of the entry"},
};

const FieldRow kForwarder[] = {
    {"gateway_ID", ValueKind::Text, 0, FWD(gateway_ID), sizeof(ForwarderSettings::gateway_ID),
     kNatural, Use::Forwarder, "",
     text_rule(
         Check::Eui, "must be exactly 16 hexadecimal digits",
         "the forwarder reads it as a 64-bit hexadecimal number and would announce another gateway EUI "
         "(0, a cut-off number or FFFFFFFFFFFFFFFF); set it empty and the gateway derives one from its "
         "MAC address"),
     "gateway EUI; empty: derived from the MAC address"},
    {"server_address", ValueKind::Text, 20, FWD(server_address),
     sizeof(ForwarderSettings::server_address), kNatural, Use::Forwarder, "",
     text_rule(
         Check::HostName,
         "must be a host name (letters, digits, '-' and '.') or an IPv4 or IPv6 address, without blanks",
         "the forwarder cannot resolve it and exits at start"),
     "network server: host name or IP address"},
    {"serv_port_up", ValueKind::I32, 84, FWD(serv_port_up), 0, carry(0, 65535), Use::Forwarder, "",
     range(1, 65535, "the forwarder cannot reach the server on port 0"),
     "server port for upstream traffic"},
    {"serv_port_down", ValueKind::I32, 88, FWD(serv_port_down), 0, carry(0, 65535), Use::Forwarder,
     "", range(1, 65535, "the forwarder cannot reach the server on port 0"),
     "server port for downstream traffic"},
    {"keepalive_interval", ValueKind::I32, 92, FWD(keepalive_interval), 0, kNatural, Use::Forwarder,
     "s", range(1, kNoMax, "below 1 s the forwarder's keep-alive loop spins without pause"),
     "interval of the forwarder's keep-alive requests to the server"},
    {"stat_interval", ValueKind::U32, 96, FWD(stat_interval), 0, kNatural, Use::Forwarder, "s",
     range(1, kNoMax, "at 0 the forwarder's statistics loop spins without pause"),
     "interval of the forwarder's statistics reports"},
    {"push_timeout_ms", ValueKind::I32, 100, FWD(push_timeout_ms), 0, kNatural, Use::Forwarder,
     "ms",
     range(
         1, 1999,
         "the forwarder sets its upstream receive time-out to half of it: from 2000 on, or below 0, that "
         "fails and its upstream thread stops; 0 waits forever"),
     "how long the forwarder waits for the server to acknowledge uplinks"},
    {"forward_crc_valid", ValueKind::Bool, 104, FWD(forward_crc_valid), 0, kNatural, Use::Forwarder,
     "", kNone, "forward received packets whose CRC is valid"},
    {"forward_crc_error", ValueKind::Bool, 105, FWD(forward_crc_error), 0, kNatural, Use::Forwarder,
     "", kNone, "forward received packets whose CRC failed"},
    {"forward_crc_disabled", ValueKind::Bool, 106, FWD(forward_crc_disabled), 0, kNatural,
     Use::Forwarder, "", kNone, "forward received packets sent without CRC"},
};

const FieldRow kServerIp[] = {
    {"server_name", ValueKind::Text, 40, EQP(server_name), sizeof(EqpConfig::server_name), kNatural,
     Use::FileOnly, "", kNone, "device name"},
    {"networkmode", ValueKind::U8, 94, EQP(networkmode), 0, carry(0, 1), Use::FileOnly, "", kNone,
     "network mode: 1 fixed settings, 0 DHCP"},
    {"fixed_ip", ValueKind::Ipv4, 116, EQP(fixed_ip), 0, kNatural, Use::FileOnly, "", kNone,
     "fixed address"},
    {"fixed_netmask", ValueKind::Ipv4, 120, EQP(fixed_netmask), 0, kNatural, Use::FileOnly, "",
     kNone, "fixed netmask"},
    {"fixed_gateway", ValueKind::Ipv4, 124, EQP(fixed_gateway), 0, kNatural, Use::FileOnly, "",
     kNone, "fixed default gateway"},
};

const FieldRow kDeviceInfo[] = {
    {"revision", ValueKind::U32, kRevisionOffset, offsetof(BlockContents, revision), 0, kNatural,
     Use::View, "", kNone, "configuration revision"},
    {"vendor", ValueKind::Text, kEqpBase + 0, kEqp + EQP(vendor), sizeof(EqpConfig::vendor),
     kNatural, Use::View, "", kNone, "vendor text"},
    {"model", ValueKind::Text, kEqpBase + 24, kEqp + EQP(model), sizeof(EqpConfig::model), kNatural,
     Use::View, "", kNone, "model text"},
    {"serial_no", ValueKind::Text, kEqpBase + 56, kEqp + EQP(serial_no),
     sizeof(EqpConfig::serial_no), kNatural, Use::View, "", kNone, "serial number"},
    {"hw_id", ValueKind::Text, kEqpBase + 72, kEqp + EQP(hw_id), sizeof(EqpConfig::hw_id), kNatural,
     Use::View, "", kNone, "hardware identifier"},
    {"mac", ValueKind::Mac, kEqpBase + 88, kEqp + EQP(mac), 0, kNatural, Use::View, "", kNone,
     "MAC address, first byte first; equals the MAC of the discovery reply that carries the block"},
    {"ip", ValueKind::Ipv4, kEqpBase + 96, kEqp + EQP(ip), 0, kNatural, Use::View, "", kNone,
     "live address"},
    {"netmask", ValueKind::Ipv4, kEqpBase + 100, kEqp + EQP(netmask), 0, kNatural, Use::View, "",
     kNone, "live netmask"},
    {"gateway", ValueKind::Ipv4, kEqpBase + 104, kEqp + EQP(gateway), 0, kNatural, Use::View, "",
     kNone, "live default gateway"},
    {"pri_dns", ValueKind::Ipv4, kEqpBase + 108, kEqp + EQP(pri_dns), 0, kNatural, Use::View, "",
     kNone, "live primary DNS server"},
    {"sec_dns", ValueKind::Ipv4, kEqpBase + 112, kEqp + EQP(sec_dns), 0, kNatural, Use::View, "",
     kNone, "live secondary DNS server"},
    // The last change (version 2): in the header's reserved bytes, and two
    // counts of seconds after the forwarder's settings.
    {"change_state", ValueKind::U8, kChangeStateOffset, kChange + CHG(state), 0,
     carry(0, kChangeStates - 1), Use::View, "", kNone,
     "state of the last change: 0 not watched, 1 watching, 2 confirmed, 3 rolled back, 4 failed (rolled back, "
     "and the configuration restored failed too)",
     2},
    {"change_reason", ValueKind::U8, kChangeStateOffset + 1, kChange + CHG(reason), 0,
     carry(0, kChangeReasons - 1), Use::View, "", kNone,
     "why: 0 none, 1 no forwarder started within the start timeout, 2 the forwarder exited within the window, 3 "
     "confirmed with gwcfg confirm",
     2},
    {"change_revision", ValueKind::U32, kChangeRevisionOffset, kChange + CHG(revision), 0, kNatural,
     Use::View, "", kNone, "revision of the last change: the one watched, or the one rolled back",
     2},
    {"change_seconds", ValueKind::U32, kChangeSecondsOffset, kChange + CHG(seconds), 0, kNatural,
     Use::View, "s", kNone, "reason 1: the start timeout; reason 2: how long the forwarder ran", 2},
    {"change_left", ValueKind::U32, kChangeSecondsOffset + 4, kChange + CHG(left), 0, kNatural,
     Use::View, "s", kNone, "while a forwarder is watched: time until the verdict", 2},
};

#define FIELDS(rows) rows, sizeof rows / sizeof rows[0]

constexpr char kRadioEnabled[] = "while the radio is enabled";
constexpr char kChannelEnabled[] = "while the channel is enabled";

// In block order within the records; the order of key_table().
const GroupRow kGroups[] = {
    {"SX1301_conf", 1, kGwBase, 0, kGw, 0, nullptr, FIELDS(kConcentrator)},
    {"SX1301_conf.radio_N", 2, kRadioBase, kRadioSize, kGw + GW(radios), sizeof(RadioConfig),
     kRadioEnabled, FIELDS(kRadio)},
    {"SX1301_conf.chan_multiSF_N", 8, kChannelBase, kChannelSize, kGw + GW(chan_multiSF),
     sizeof(ChannelConfig), kChannelEnabled, FIELDS(kMultiSfChannel)},
    {"SX1301_conf.chan_Lora_std", 1, kChannelBase + 8 * kChannelSize, 0, kGw + GW(chan_Lora_std), 0,
     kChannelEnabled, FIELDS(kLoraStdChannel)},
    {"SX1301_conf.chan_FSK", 1, kChannelBase + 9 * kChannelSize, 0, kGw + GW(chan_FSK), 0,
     kChannelEnabled, FIELDS(kFskChannel)},
    {"SX1301_conf.tx_lut_N", 16, kTxLutBase, kTxLutSize, kGw + GW(tx_lut), sizeof(TxGainEntry),
     nullptr, FIELDS(kTxGain)},
    {"gateway_conf", 1, kFwdBase, 0, kGw + GW(gateway_conf), 0, nullptr, FIELDS(kForwarder)},
    {"serverIP_conf", 1, kEqpBase, 0, kEqp, 0, nullptr, FIELDS(kServerIp)},
    {"device_info", 1, 0, 0, 0, 0, nullptr, FIELDS(kDeviceInfo)},
};

#undef FIELDS
#undef GW
#undef RADIO
#undef CHAN
#undef TX
#undef FWD
#undef EQP
#undef CHG

// ---------------------------------------------------------------------------
// Expansion

std::string own_rule_text(const KeyRule &rule, const char *unit, const char *enabled_phrase) {
    std::string text;
    if (rule.allowed) {
        text = rule.allowed;
    } else if (rule.check == Check::Range) {
        const std::string u = *unit ? std::string(" ") + unit : "";
        text = rule.max == kNoMax
                   ? printf_string("must be at least %" PRId64, rule.min) + u
                   : printf_string("must be %" PRId64 "..%" PRId64, rule.min, rule.max) + u;
    }
    if (!text.empty() && rule.when_enabled && enabled_phrase)
        text += std::string(" ") + enabled_phrase;
    return text;
}

void join(std::string *to, const std::string &text) {
    if (text.empty()) return;
    if (!to->empty()) *to += "; ";
    *to += text;
}

[[noreturn]] void table_fault(const std::string &what) {
    fprintf(stderr, "gwcodec: key table fault: %s\n", what.c_str());
    abort();
}

Layout build_layout() {
    Layout l;
    l.owner.fill(Layout::kReserved);
    for (size_t i = 0; i < 6; ++i)
        l.owner[i] = Layout::kFixed;  // magic, version
    for (size_t i = kCrcOffset; i < kBlockSize; ++i)
        l.owner[i] = Layout::kFixed;

    for (const GroupRow &g : kGroups) {
        const std::string group(g.path);
        const size_t n_at = group.find("_N");
        const std::string section = group.substr(0, group.find('.'));
        for (int i = 0; i < g.count; ++i) {
            const std::string prefix = n_at == std::string::npos
                                           ? group
                                           : group.substr(0, n_at + 1) + std::to_string(i) +
                                                 group.substr(n_at + 2);
            for (size_t f = 0; f < g.n_fields; ++f) {
                const FieldRow &row = g.fields[f];
                const KindOps &ops = kind_ops(row.kind);
                KeyInfo k;
                k.path = prefix + "." + row.name;
                k.kind = row.kind;
                k.writable = row.use != Use::View;
                k.block_offset = g.block + static_cast<size_t>(i) * g.block_stride + row.block;
                k.size = row.size ? row.size : ops.size;
                k.member_offset = g.member + static_cast<size_t>(i) * g.member_stride + row.member;
                k.min = row.carry.set ? row.carry.min : ops.min;
                k.max = row.carry.set ? row.carry.max : ops.max;
                k.since_version = row.since;
                k.pattern = group + "." + row.name;
                k.index = n_at == std::string::npos ? -1 : i;
                k.count = g.count;
                k.block_stride = n_at == std::string::npos ? 0 : g.block_stride;
                k.section = section;
                k.in_global_conf = row.use == Use::Forwarder || row.use == Use::FileOnly;
                k.forwarder_reads = row.use == Use::Forwarder;
                k.unit = row.unit;
                k.meaning = row.meaning;
                k.rule = own_rule_text(row.rule, row.unit, g.enabled_phrase);
                l.own_rule.push_back(k.rule);
                if (row.rule.effect) k.rule_effect = row.rule.effect;
                std::vector<size_t> cross;
                for (size_t c = 0; c < kCrossRuleCount; ++c) {
                    if (k.pattern != kCrossRules[c].pattern) continue;
                    join(&k.rule, kCrossRules[c].allowed);
                    join(&k.rule_effect, kCrossRules[c].effect);
                    cross.push_back(c);
                }
                l.cross.push_back(std::move(cross));
                if (k.size == 0 || k.block_offset + k.size > kCrcOffset ||
                    k.member_offset + k.size > sizeof(BlockContents))
                    table_fault(k.path + " lies outside the block or the records");
                const int16_t key_index = static_cast<int16_t>(l.keys.size());
                for (size_t b = 0; b < k.size; ++b) {
                    if (l.owner[k.block_offset + b] != Layout::kReserved)
                        table_fault(k.path + " overlaps another field");
                    l.owner[k.block_offset + b] = key_index;
                }
                if (!l.index.emplace(k.path, l.keys.size()).second) table_fault(k.path + " twice");
                l.rules.push_back(row.rule);
                l.enabled_phrase.push_back(g.enabled_phrase);
                l.keys.push_back(std::move(k));
            }
        }
    }
    for (size_t i = 0; i < l.keys.size(); ++i) {
        int enable = -1;
        if (l.enabled_phrase[i]) {
            const std::string &path = l.keys[i].path;
            auto it = l.index.find(path.substr(0, path.rfind('.')) + ".enable");
            if (it == l.index.end()) table_fault(path + ": its group has no enable key");
            enable = static_cast<int>(it->second);
        }
        l.enable_key.push_back(enable);
    }
    for (size_t c = 0; c < kCrossRuleCount; ++c) {
        bool used = false;
        for (const KeyInfo &k : l.keys)
            used = used || k.pattern == kCrossRules[c].pattern;
        if (!used) table_fault(std::string("rule on unknown keys ") + kCrossRules[c].pattern);
    }
    return l;
}

// Build the table at load time, so that the first datagram a daemon handles
// does not pay for (or allocate) it.
[[maybe_unused]] const bool kLayoutReady = (layout(), true);

}  // namespace

const Layout &layout() {
    static const Layout instance = build_layout();
    return instance;
}

std::string path_of(const std::string &pattern, int index) {
    const size_t at = pattern.find("_N");
    if (at == std::string::npos) return pattern;
    return pattern.substr(0, at + 1) + std::to_string(index) + pattern.substr(at + 2);
}

}  // namespace detail

using detail::kind_ops;
using detail::layout;
using detail::member_ptr;

const std::vector<KeyInfo> &key_table() { return layout().keys; }

const KeyInfo *find_key(const std::string &path) {
    const auto &l = layout();
    auto it = l.index.find(path);
    return it == l.index.end() ? nullptr : &l.keys[it->second];
}

std::vector<const KeyInfo *> keys_in_section(const std::string &section) {
    std::vector<const KeyInfo *> out;
    const std::string prefix = section + ".";
    for (const KeyInfo &key : layout().keys)
        if (key.path.compare(0, prefix.size(), prefix) == 0) out.push_back(&key);
    return out;
}

std::string layout_type(const KeyInfo &key) {
    std::string name = kind_ops(key.kind).type_name;
    if (key.kind == ValueKind::Text) name += "[" + std::to_string(key.size) + "]";
    return name;
}

std::string get_value(const BlockContents &in, const KeyInfo &key) {
    return kind_ops(key.kind).format(member_ptr(in, key), key);
}

std::string format_with_unit(const BlockContents &in, const KeyInfo &key) {
    std::string text = get_value(in, key);
    if (*key.unit) text += std::string(" ") + key.unit;
    return text;
}

std::string format_for_people(const BlockContents &in, const KeyInfo &key) {
    if (std::string(key.unit) == "Hz" && kind_ops(key.kind).as_int)
        return format_frequency(kind_ops(key.kind).as_int(member_ptr(in, key)));
    return get_value(in, key);
}

bool set_value(BlockContents *io, const std::string &path, const std::string &text,
               std::string *error) {
    const KeyInfo *key = find_key(path);
    if (!key) {
        detail::set_error(error, "unknown key " + path);
        return false;
    }
    if (!key->writable) {
        detail::set_error(error,
                          path +
                              " is read-only: the gateway keeps its identity, MAC address, live "
                              "network settings and revision itself");
        return false;
    }
    return kind_ops(key->kind).parse(text, *key, member_ptr(io, *key), error);
}

std::vector<const KeyInfo *> diff_keys(const BlockContents &a, const BlockContents &b,
                                       bool writable_only) {
    std::vector<const KeyInfo *> out;
    for (const KeyInfo &key : layout().keys) {
        if (writable_only && !key.writable) continue;
        if (get_value(a, key) != get_value(b, key)) out.push_back(&key);
    }
    return out;
}

}  // namespace gwblock
