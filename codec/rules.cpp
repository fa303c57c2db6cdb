// rules.cpp - the forwarder's rules over several keys, beside the key table
// (each key's own rule is a field of its row in key_table.cpp), and the
// check of a whole configuration against all of them.
//
// The rules are facts of basic_pkt_fwd and of the SX1301 HAL libloragw: a
// value outside them makes the forwarder exit, spin, or quietly use another
// value than the one configured.
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec_internal.h"

namespace gwblock {
namespace detail {
namespace {

int64_t int_at(const BlockContents &in, const KeyInfo &key) {
    return kind_ops(key.kind).as_int(member_ptr(in, key));
}

int64_t int_at(const BlockContents &in, const std::string &path) {
    const KeyInfo *key = find_key(path);
    return key ? int_at(in, *key) : 0;
}

// "SX1301_conf.radio_0" of "SX1301_conf.radio_0.freq".
std::string object_of(const KeyInfo &key) { return key.path.substr(0, key.path.rfind('.')); }

std::string radio_path(int64_t index) { return "SX1301_conf.radio_" + std::to_string(index); }

bool clock_radio_enabled(const BlockContents &in, const KeyInfo &key, std::string *detail) {
    const int64_t radio = int_at(in, key);
    if (radio > 1 || int_at(in, radio_path(radio) + ".enable")) return true;  // > 1: its own rule
    *detail = "radio_" + std::to_string(radio) + " is disabled";
    return false;
}

bool radio_in_band(const BlockContents &in, const KeyInfo &key, std::string *detail) {
    const std::string radio = object_of(key);
    if (!int_at(in, radio + ".enable")) return true;
    const std::string type = get_value(in, *find_key(radio + ".type"));
    int64_t low_mhz, high_mhz;
    if (type == "SX1257") {
        low_mhz = 862;
        high_mhz = 1020;
    } else if (type == "SX1255") {
        low_mhz = 400;
        high_mhz = 510;
    } else {
        return true;  // the type's own rule reports it
    }
    const int64_t freq = int_at(in, key);
    if (freq >= low_mhz * 1000000 && freq <= high_mhz * 1000000) return true;
    *detail =
        printf_string("an %s tunes %" PRId64 "..%" PRId64 " MHz", type.c_str(), low_mhz, high_mhz);
    return false;
}

bool channel_radio_enabled(const BlockContents &in, const KeyInfo &key, std::string *detail) {
    if (!int_at(in, object_of(key) + ".enable")) return true;
    const int64_t radio = int_at(in, key);
    if (int_at(in, radio_path(radio) + ".enable")) return true;
    *detail = "radio_" + std::to_string(radio) + " is disabled";
    return false;
}

// The radio receives 1 MHz around its frequency: a channel must lie within
// 500 kHz of it, a 500 kHz wide channel within 550 kHz. Multi-SF channels
// are 125 kHz wide whatever their (unwritten) bandwidth key says.
bool channel_within_band(const BlockContents &in, const KeyInfo &key, std::string *detail) {
    const std::string channel = object_of(key);
    if (!int_at(in, channel + ".enable")) return true;
    const KeyInfo *bandwidth = find_key(channel + ".bandwidth");
    const int64_t width = bandwidth && bandwidth->forwarder_reads ? int_at(in, *bandwidth) : 125000;
    const int64_t offset = int_at(in, key);
    const int64_t reach = std::llabs(offset) + width / 2;
    const int64_t limit = width == 500000 ? 550000 : 500000;
    if (reach <= limit) return true;
    *detail =
        printf_string("|%" PRId64 "| + %" PRId64 " / 2 = %" PRId64 " Hz", offset, width, reach);
    return false;
}

bool power_not_decreasing(const BlockContents &in, const KeyInfo &key, std::string *detail) {
    if (key.index <= 0) return true;
    const std::string before = path_of(key.pattern, key.index - 1);
    const int64_t power_before = int_at(in, before);
    if (int_at(in, key) >= power_before) return true;
    *detail = printf_string("tx_lut_%d has %" PRId64 " dBm", key.index - 1, power_before);
    return false;
}

constexpr char kNamesEnabledRadio[] = "must name an enabled radio while the channel is enabled";
constexpr char kNoRadioEffect[] =
    "the channel would listen through a radio that is off and receive nothing";
constexpr char kWithinBandEffect[] = "the channel would lie outside the 1 MHz the radio receives";

}  // namespace

const CrossRule kCrossRules[] = {
    {"SX1301_conf.clksrc", "must name an enabled radio",
     "the concentrator would take its clock from a radio that is off and does not start",
     clock_radio_enabled},
    {"SX1301_conf.radio_N.freq",
     "must lie in the band of the radio's type while the radio is enabled: 862..1020 MHz for an SX1257, "
     "400..510 MHz for an SX1255",
     "the radio cannot be tuned there", radio_in_band},
    {"SX1301_conf.chan_multiSF_N.radio", kNamesEnabledRadio, kNoRadioEffect, channel_radio_enabled},
    {"SX1301_conf.chan_Lora_std.radio", kNamesEnabledRadio, kNoRadioEffect, channel_radio_enabled},
    {"SX1301_conf.chan_FSK.radio", kNamesEnabledRadio, kNoRadioEffect, channel_radio_enabled},
    {"SX1301_conf.chan_multiSF_N.if",
     "|if| + 62500 Hz (half of the channel's 125 kHz) must not exceed 500000 Hz while the channel is enabled",
     kWithinBandEffect, channel_within_band},
    {"SX1301_conf.chan_Lora_std.if",
     "|if| + half the bandwidth must not exceed 500000 Hz (550000 Hz for a 500 kHz channel) while the channel "
     "is enabled",
     kWithinBandEffect, channel_within_band},
    {"SX1301_conf.chan_FSK.if",
     "|if| + half the bandwidth must not exceed 500000 Hz (550000 Hz for a 500 kHz channel) while the channel "
     "is enabled",
     kWithinBandEffect, channel_within_band},
    {"SX1301_conf.tx_lut_N.rf_power", "must not be lower than the rf_power of the entry before",
     "the HAL picks the last entry whose power does not exceed the request, so downlinks would go out at "
     "the wrong power",
     power_not_decreasing},
};

const size_t kCrossRuleCount = sizeof kCrossRules / sizeof kCrossRules[0];

namespace {

bool host_name_or_address(const std::string &text) {
    if (text.empty()) return false;
    bool name = true;
    for (unsigned char c : text)
        name = name && (isalnum(c) || c == '-' || c == '.');
    if (name) return true;
    in6_addr a6;
    return inet_pton(AF_INET6, text.c_str(), &a6) == 1;
}

bool own_rule_holds(const KeyRule &rule, const KeyInfo &key, const BlockContents &in) {
    const uint8_t *member = member_ptr(in, key);
    switch (rule.check) {
        case Check::None:
            return true;
        case Check::Range: {
            const int64_t v = int_at(in, key);
            return v >= rule.min && (rule.max == kNoMax || v <= rule.max);
        }
        case Check::OneOf: {
            const int64_t v = int_at(in, key);
            for (size_t i = 0; i < rule.n_one_of; ++i)
                if (v == rule.one_of[i]) return true;
            return false;
        }
        case Check::HostName:
            return host_name_or_address(get_value(in, key));
        case Check::Eui: {
            const std::string id = get_value(in, key);
            return id.size() == 16 && std::all_of(id.begin(), id.end(), [](unsigned char c) {
                       return isxdigit(c) != 0;
                   });
        }
        case Check::RadioType: {
            const std::string type = get_value(in, key);
            return type == "SX1255" || type == "SX1257";
        }
        case Check::Finite: {
            float f;
            memcpy(&f, member, sizeof f);
            return std::isfinite(f);
        }
    }
    return true;
}

// Whether the key's own rule applies now: a rule marked when_enabled only
// while its radio or channel is enabled.
bool own_rule_applies(const Layout &l, size_t i, const BlockContents &in) {
    if (!l.rules[i].when_enabled || l.enable_key[i] < 0) return true;
    return int_at(in, l.keys[static_cast<size_t>(l.enable_key[i])]) != 0;
}

RuleFault fault(const KeyInfo &key, const BlockContents &in, const std::string &allowed,
                const std::string &detail, const char *effect) {
    RuleFault f;
    f.key = &key;
    f.value = get_value(in, key);
    f.message = key.path + "=" + (key.kind == ValueKind::Text ? "\"" + f.value + "\"" : f.value) +
                ": " + allowed;
    if (!detail.empty()) f.message += " (" + detail + ")";
    if (effect && *effect) f.message += std::string("; ") + effect;
    return f;
}

void own_faults(const Layout &l, size_t i, const BlockContents &in, std::vector<RuleFault> *out) {
    if (own_rule_applies(l, i, in) && !own_rule_holds(l.rules[i], l.keys[i], in))
        out->push_back(fault(l.keys[i], in, l.own_rule[i], "", l.rules[i].effect));
}

bool report(std::vector<RuleFault> faults, std::string *error) {
    if (faults.empty()) return true;
    std::string text = faults.front().message;
    if (faults.size() > 1) text += " (and " + std::to_string(faults.size() - 1) + " more)";
    set_error(error, text);
    return false;
}

}  // namespace
}  // namespace detail

std::vector<RuleFault> rule_faults(const BlockContents &in) {
    const detail::Layout &l = detail::layout();
    std::vector<RuleFault> out;
    for (size_t i = 0; i < l.keys.size(); ++i) {
        detail::own_faults(l, i, in, &out);
        for (size_t c : l.cross[i]) {
            const detail::CrossRule &rule = detail::kCrossRules[c];
            std::string why;
            if (!rule.holds(in, l.keys[i], &why))
                out.push_back(detail::fault(l.keys[i], in, rule.allowed, why, rule.effect));
        }
    }
    return out;
}

bool check_rules(const BlockContents &in, std::string *error) {
    return detail::report(rule_faults(in), error);
}

bool check_key_rule(const BlockContents &in, const KeyInfo &key, std::string *error) {
    const detail::Layout &l = detail::layout();
    std::vector<RuleFault> out;
    auto it = l.index.find(key.path);
    if (it != l.index.end()) detail::own_faults(l, it->second, in, &out);
    return detail::report(std::move(out), error);
}

bool fill_unset_gateway_id(BlockContents *io) {
    char *id = io->gw.gateway_conf.gateway_ID;
    if (id[0] != '\0') return false;
    const std::string derived = gateway_id_from_mac(io->eqp.mac);
    memset(id, 0, sizeof io->gw.gateway_conf.gateway_ID);
    memcpy(id, derived.data(), derived.size());
    return true;
}

}  // namespace gwblock
