// views.cpp - gwcfg's output: see views.h.
#include "views.h"

#include <json/writer.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace gwcfg {

void print_table(std::ostream &out, const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> width;
    for (const auto &row : rows)
        for (size_t i = 0; i + 1 < row.size(); ++i) {
            if (width.size() <= i) width.resize(i + 1, 0);
            width[i] = std::max(width[i], row[i].size());
        }
    for (const auto &row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out << line << "\n";
    }
}

std::string or_dash(const std::string &s) { return s.empty() ? "-" : s; }

std::string text_of(const char *array, size_t size) {
    return std::string(array, strnlen(array, size));
}

std::string device_name(const gwblock::BlockContents &c) {
    return text_of(c.eqp.server_name, sizeof c.eqp.server_name);
}

std::string format_mhz(int64_t hz) {
    const bool negative = hz < 0;
    const uint64_t v = static_cast<uint64_t>(negative ? -hz : hz);
    std::string frac = std::to_string(1000000 + v % 1000000).substr(1);
    while (frac.size() > 1 && frac.back() == '0')
        frac.pop_back();
    return (negative ? "-" : "") + std::to_string(v / 1000000) + "." + frac;
}

namespace {

// 0 means that no address is known.
std::string ipv4(uint32_t a) { return a ? gwblock::format_ipv4(a) : "-"; }

// "10.1.2.3/16", or "10.1.2.3 mask 255.0.255.0" for a mask that is no prefix.
std::string with_mask(uint32_t addr, uint32_t mask) {
    int bits = 0;
    while (bits < 32 && (mask & (0x80000000u >> bits)))
        ++bits;
    const uint32_t prefix = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
    if (prefix == mask) return ipv4(addr) + "/" + std::to_string(bits);
    return ipv4(addr) + " mask " + ipv4(mask);
}

std::string yes_no(bool b) { return b ? "yes" : "no"; }
std::string on_off(bool b) { return b ? "on" : "off"; }

std::string khz(int64_t hz) {
    if (hz % 1000 == 0) return std::to_string(hz / 1000);
    return format_mhz(hz * 1000);  // three more decimals: kHz with a fraction
}

}  // namespace

std::string change_summary(const gwblock::ChangeStatus &c) {
    if (c.state == static_cast<uint8_t>(gwblock::ChangeState::None)) return "";
    std::string text = std::string(gwblock::change_state_word(c.state)) + " (revision " +
                       std::to_string(c.revision);
    const std::string reason = gwblock::change_reason_text(c);
    if (c.state == static_cast<uint8_t>(gwblock::ChangeState::Watching))
        text += ", " + std::to_string(c.left) + " s left";
    else if (!reason.empty())
        text += ": " + reason;
    return text + ")";
}

void print_page(std::ostream &out, const Reply &r) {
    const gwblock::BlockContents &c = r.contents;
    const EqpConfig &e = c.eqp;
    const GatewayConfig &g = c.gw;
    const ForwarderSettings &f = g.gateway_conf;
    out << "gateway " << r.mac.text() << ", revision " << c.revision << ", at "
        << format_endpoint(r.from) << "\n\n";

    std::vector<std::vector<std::string>> rows;
    rows.push_back({"device name", or_dash(device_name(c))});
    rows.push_back({"last change", c.change.state == 0 ? "not watched" : change_summary(c.change)});
    rows.push_back({"identity", text_of(e.vendor, sizeof e.vendor) + " " +
                                    text_of(e.model, sizeof e.model) + ", serial " +
                                    or_dash(text_of(e.serial_no, sizeof e.serial_no)) +
                                    ", hardware " + or_dash(text_of(e.hw_id, sizeof e.hw_id))});
    rows.push_back({"network", "live " + with_mask(e.ip, e.netmask) + ", gateway " +
                                   ipv4(e.gateway) + ", DNS " + ipv4(e.pri_dns) + " " +
                                   ipv4(e.sec_dns)});
    rows.push_back(
        {"",
         "fixed " + with_mask(e.fixed_ip, e.fixed_netmask) + ", gateway " + ipv4(e.fixed_gateway) +
             (e.networkmode == 1 ? " (network mode 1: fixed settings)"
                                 : " (network mode " + std::to_string(e.networkmode) + ": DHCP)")});
    rows.push_back({"server", or_dash(text_of(f.server_address, sizeof f.server_address)) +
                                  ", port up " + std::to_string(f.serv_port_up) + ", down " +
                                  std::to_string(f.serv_port_down)});
    rows.push_back({"gateway ID", or_dash(text_of(f.gateway_ID, sizeof f.gateway_ID))});
    rows.push_back({"intervals", "keep-alive " + std::to_string(f.keepalive_interval) +
                                     " s, statistics " + std::to_string(f.stat_interval) +
                                     " s, push time-out " + std::to_string(f.push_timeout_ms) +
                                     " ms"});
    rows.push_back({"forwards", "CRC valid " + yes_no(f.forward_crc_valid) + ", CRC error " +
                                    yes_no(f.forward_crc_error) + ", no CRC " +
                                    yes_no(f.forward_crc_disabled)});
    rows.push_back({"concentrator", "LoRaWAN public " + yes_no(g.lorawan_public) +
                                        ", clock from radio " + std::to_string(g.clksrc)});
    print_table(out, rows);

    rows.clear();
    rows.push_back({"RADIO", "TYPE", "FREQ MHZ", "RSSI OFFSET", "RX", "TX"});
    for (int i = 0; i < 2; ++i) {
        const RadioConfig &rc = g.radios[i];
        rows.push_back(
            {std::to_string(i), or_dash(text_of(rc.type, sizeof rc.type)), format_mhz(rc.freq),
             gwblock::get_value(c, *gwblock::find_key("SX1301_conf.radio_" + std::to_string(i) +
                                                      ".rssi_offset")) +
                 " dB",
             on_off(rc.enable), on_off(rc.tx_enable)});
    }
    out << "\n";
    print_table(out, rows);

    rows.clear();
    rows.push_back({"CHANNEL", "RADIO", "IF KHZ", "FREQ MHZ", "BW KHZ", "SF/DATARATE", "RX"});
    auto channel = [&](const std::string &name, const ChannelConfig &ch, const std::string &bw,
                       const std::string &rate) {
        const int64_t centre = ch.radio < 2 ? static_cast<int64_t>(g.radios[ch.radio].freq) : 0;
        rows.push_back({name, std::to_string(ch.radio), khz(ch.if_freq),
                        format_mhz(centre + ch.if_freq), bw, rate, on_off(ch.enable)});
    };
    for (int i = 0; i < 8; ++i)
        channel("multiSF_" + std::to_string(i), g.chan_multiSF[i], "125", "SF7-12");
    channel("Lora_std", g.chan_Lora_std, khz(g.chan_Lora_std.bandwidth),
            "SF" + std::to_string(g.chan_Lora_std.datarate));
    channel("FSK", g.chan_FSK, g.chan_FSK.bandwidth ? khz(g.chan_FSK.bandwidth) : "default",
            std::to_string(g.chan_FSK.datarate) + " bit/s");
    out << "\n";
    print_table(out, rows);

    rows.assign(5, {});
    rows[0].push_back("TX TABLE");
    rows[1].push_back("power dBm");
    rows[2].push_back("PA gain");
    rows[3].push_back("mixer gain");
    rows[4].push_back("digital gain");
    for (int i = 0; i < 16; ++i) {
        const TxGainEntry &t = g.tx_lut[i];
        rows[0].push_back(std::to_string(i));
        rows[1].push_back(std::to_string(t.rf_power));
        rows[2].push_back(std::to_string(t.pa_gain));
        rows[3].push_back(std::to_string(t.mix_gain));
        rows[4].push_back(std::to_string(t.dig_gain));
    }
    out << "\n";
    print_table(out, rows);
}

void print_keys(std::ostream &out, const Reply &r) {
    out << "# gateway " << r.mac.text() << " at " << format_endpoint(r.from) << ", revision "
        << r.contents.revision << "\n";
    for (const gwblock::KeyInfo &k : gwblock::key_table())
        out << k.path << "=" << gwblock::get_value(r.contents, k) << "\n";
}

const Json::Value &json_at(const Json::Value &tree, const std::string &path) {
    const Json::Value *node = &tree;
    size_t start = 0;
    for (;;) {
        const size_t dot = path.find('.', start);
        const std::string name = path.substr(start, dot - start);
        if (!node->isObject() || !node->isMember(name)) return Json::Value::nullSingleton();
        node = &(*node)[name];
        if (dot == std::string::npos) return *node;
        start = dot + 1;
    }
}

std::vector<Change> changes_between(const gwblock::BlockContents &before,
                                    const gwblock::BlockContents &after) {
    std::vector<Change> out;
    const std::vector<const gwblock::KeyInfo *> keys = gwblock::diff_keys(before, after, true);
    if (keys.empty()) return out;
    const Json::Value a = gwblock::to_json(before), b = gwblock::to_json(after);
    for (const gwblock::KeyInfo *k : keys)
        out.push_back({k->path, gwblock::format_for_people(before, *k),
                       gwblock::format_for_people(after, *k), json_at(a, k->path),
                       json_at(b, k->path)});
    return out;
}

namespace {

// A value as it reads in a change line: texts quoted when empty or blank
// (a frequency's "868.1 MHz" is no text).
std::string shown(const std::string &v, const Json::Value &json) {
    if (json.isString() && (v.empty() || v.find(' ') != std::string::npos)) return "\"" + v + "\"";
    return v;
}

Json::Value outcome_json(const Outcome &o) {
    Json::Value v(Json::objectValue);
    v["mac"] = o.mac.text();
    v["address"] = o.found ? Json::Value(format_address(o.from)) : Json::Value();
    v["device_name"] = o.name;
    v["ok"] = o.ok;
    v["result"] = o.result;
    v["revision_before"] = o.has_before ? Json::Value(o.before) : Json::Value();
    v["revision_after"] = o.has_after ? Json::Value(o.after) : Json::Value();
    Json::Value changes(Json::arrayValue);
    for (const Change &c : o.changes) {
        Json::Value one;
        one["key"] = c.key;
        one["before"] = c.before_json;
        one["after"] = c.after_json;
        changes.append(one);
    }
    v["changes"] = changes;
    v["error"] = o.ok ? Json::Value() : Json::Value(o.detail);
    if (!o.path.empty()) v["file"] = o.path;
    if (!o.state.empty()) {
        Json::Value change(Json::objectValue);
        change["state"] = o.state;
        change["revision"] = o.change_revision;
        v["last_change"] = change;
    }
    return v;
}

}  // namespace

void print_changes(std::ostream &out, const std::vector<Change> &changes,
                   const std::string &indent) {
    for (const Change &c : changes)
        out << indent << c.key << ": " << shown(c.before, c.before_json) << " -> "
            << shown(c.after, c.after_json) << "\n";
}

void print_outcomes(std::ostream &out, std::ostream &err, const std::string &label,
                    const std::vector<Outcome> &outcomes, bool one_target, bool json) {
    if (json) {
        Json::Value arr(Json::arrayValue);
        for (const Outcome &o : outcomes)
            arr.append(outcome_json(o));
        Json::StreamWriterBuilder w;
        w["indentation"] = "  ";
        out << Json::writeString(w, arr) << "\n";
        for (const Outcome &o : outcomes)
            if (!o.ok && one_target) err << o.message;
        return;
    }
    if (one_target && outcomes.size() == 1) {
        const Outcome &o = outcomes[0];
        if (o.ok) {
            out << o.message;
            print_changes(out, o.changes);
        } else {
            err << o.message;
        }
        return;
    }
    // The changes, one list per group of gateways that saw the same.
    std::map<std::string, std::vector<const Outcome *>> groups;
    std::vector<std::string> order;
    for (const Outcome &o : outcomes) {
        if (o.changes.empty() || !o.ok) continue;
        std::string text;
        for (const Change &c : o.changes)
            text += c.key + '\0' + c.before + '\0' + c.after + '\0';
        text = o.result + '\0' + text;
        if (groups[text].empty()) order.push_back(text);
        groups[text].push_back(&o);
    }
    for (const std::string &key : order) {
        const auto &members = groups[key];
        std::string macs;
        for (size_t i = 0; i < members.size() && i < 5; ++i)
            macs += (i ? ", " : "") + members[i]->mac.text();
        if (members.size() > 5) macs += " and " + std::to_string(members.size() - 5) + " more";
        const std::string &result = members[0]->result;
        out << result << " on " << macs << ":\n";
        print_changes(out, members[0]->changes);
    }
    if (!order.empty()) out << "\n";
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"MAC", "DEVICE NAME", "RESULT", "REVISION", "DETAIL"});
    size_t failed = 0;
    for (const Outcome &o : outcomes) {
        std::string revision = "-";
        if (o.has_before) revision = std::to_string(o.before);
        if (o.has_after && (!o.has_before || o.after != o.before))
            revision = (o.has_before ? revision + " -> " : "") + std::to_string(o.after);
        rows.push_back({o.mac.text(), or_dash(o.name), o.result, revision,
                        o.path.empty() ? o.detail : o.path});
        failed += !o.ok;
    }
    print_table(out, rows);
    out << outcomes.size() - failed << " of " << count_of(outcomes.size(), "gateway") << " done";
    if (failed) out << ", " << failed << " failed";
    out << ".\n";
    if (failed)
        err << label << ": " << failed << " of " << count_of(outcomes.size(), "gateway")
            << " failed; the table says why.\n";
}

int exit_status(const std::vector<Outcome> &outcomes) {
    bool failed = false, only_refused = true;
    for (const Outcome &o : outcomes) {
        if (o.ok) continue;
        failed = true;
        only_refused = only_refused && o.refused;
    }
    if (!failed) return 0;
    return only_refused ? 2 : 1;
}

}  // namespace gwcfg
