// config_block.cpp - the configuration block codec, datagram helpers and key
// table shared by gwcfgd and gwcfg. Layout: docs/config-block.md.
#include "config_block.h"

#include <json/writer.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>

namespace gwblock {

namespace {

// ---------------------------------------------------------------------------
// Byte helpers

void put_be16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint16_t get_be16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t get_be32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

struct CrcTable {
    uint32_t v[256];
    constexpr CrcTable() : v() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
            v[i] = c;
        }
    }
};
constexpr CrcTable kCrcTable;

void set_error(std::string *error, const std::string &text) {
    if (error) *error = text;
}

std::string printf_string(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_string(const char *fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

bool printable(uint8_t c) { return c >= 0x20 && c <= 0x7E; }

// ---------------------------------------------------------------------------
// Key table construction. The block offsets below are the layout of
// docs/config-block.md; keep the two in step.

constexpr size_t kEqpBase = 16;
constexpr size_t kGwBase = 144;
constexpr size_t kRadioBase = kGwBase + 4;      // 148, 24 bytes each
constexpr size_t kRadioSize = 24;
constexpr size_t kChannelBase = 196;            // 16 bytes each
constexpr size_t kChannelSize = 16;
constexpr size_t kTxLutBase = 356;              // 4 bytes each
constexpr size_t kTxLutSize = 4;
constexpr size_t kFwdBase = 420;

static_assert(kChannelBase == kRadioBase + 2 * kRadioSize, "radios");
static_assert(kTxLutBase == kChannelBase + 10 * kChannelSize, "channels");
static_assert(kFwdBase == kTxLutBase + 16 * kTxLutSize, "tx_lut");

constexpr size_t kEqp = offsetof(BlockContents, eqp);
constexpr size_t kGw = offsetof(BlockContents, gw);

struct Range {
    int64_t min, max;
};

Range natural_range(ValueKind kind) {
    switch (kind) {
    case ValueKind::Bool: return {0, 1};
    case ValueKind::U8: return {0, UINT8_MAX};
    case ValueKind::I8: return {INT8_MIN, INT8_MAX};
    case ValueKind::I32: return {INT32_MIN, INT32_MAX};
    case ValueKind::U32:
    case ValueKind::Ipv4: return {0, UINT32_MAX};
    default: return {0, 0};
    }
}

class TableBuilder {
public:
    std::vector<KeyInfo> keys;

    void add(const std::string &path, ValueKind kind, bool writable, size_t block_offset,
             size_t size, size_t member_offset) {
        Range r = natural_range(kind);
        add_ranged(path, kind, writable, block_offset, size, member_offset, r.min, r.max);
    }
    void add_ranged(const std::string &path, ValueKind kind, bool writable, size_t block_offset,
                    size_t size, size_t member_offset, int64_t min, int64_t max) {
        keys.push_back(KeyInfo{path, kind, writable, block_offset, size, member_offset, min, max});
    }
};

std::vector<KeyInfo> build_table() {
    TableBuilder t;
    const std::string sx = "SX1301_conf.";

    t.add(sx + "lorawan_public", ValueKind::Bool, true, kGwBase + 0, 1,
          kGw + offsetof(GatewayConfig, lorawan_public));
    t.add(sx + "clksrc", ValueKind::U8, true, kGwBase + 1, 1, kGw + offsetof(GatewayConfig, clksrc));
    t.add(sx + "tx_lut_count", ValueKind::U8, true, kGwBase + 2, 1,
          kGw + offsetof(GatewayConfig, tx_lut_count));

    for (int i = 0; i < 2; ++i) {
        const std::string p = sx + "radio_" + std::to_string(i) + ".";
        const size_t b = kRadioBase + i * kRadioSize;
        const size_t m = kGw + offsetof(GatewayConfig, radios) + i * sizeof(RadioConfig);
        t.add(p + "freq", ValueKind::U32, true, b + 0, 4, m + offsetof(RadioConfig, freq));
        t.add(p + "rssi_offset", ValueKind::F32, true, b + 4, 4, m + offsetof(RadioConfig, rssi_offset));
        t.add(p + "enable", ValueKind::Bool, true, b + 8, 1, m + offsetof(RadioConfig, enable));
        t.add(p + "tx_enable", ValueKind::Bool, true, b + 9, 1, m + offsetof(RadioConfig, tx_enable));
        t.add(p + "type", ValueKind::Text, true, b + 10, sizeof(RadioConfig::type),
              m + offsetof(RadioConfig, type));
    }

    for (int i = 0; i < 10; ++i) {
        std::string name;
        size_t m = kGw;
        if (i < 8) {
            name = "chan_multiSF_" + std::to_string(i);
            m += offsetof(GatewayConfig, chan_multiSF) + i * sizeof(ChannelConfig);
        } else if (i == 8) {
            name = "chan_Lora_std";
            m += offsetof(GatewayConfig, chan_Lora_std);
        } else {
            name = "chan_FSK";
            m += offsetof(GatewayConfig, chan_FSK);
        }
        const std::string p = sx + name + ".";
        const size_t b = kChannelBase + i * kChannelSize;
        t.add(p + "enable", ValueKind::Bool, true, b + 0, 1, m + offsetof(ChannelConfig, enable));
        t.add_ranged(p + "radio", ValueKind::U8, true, b + 1, 1, m + offsetof(ChannelConfig, radio), 0, 1);
        t.add(p + "if", ValueKind::I32, true, b + 4, 4, m + offsetof(ChannelConfig, if_freq));
        t.add(p + "bandwidth", ValueKind::U32, true, b + 8, 4, m + offsetof(ChannelConfig, bandwidth));
        // The LoRa standard channel's datarate is its spreading factor and is
        // named so in global_conf.json.
        t.add(p + (i == 8 ? "spread_factor" : "datarate"), ValueKind::U32, true, b + 12, 4,
              m + offsetof(ChannelConfig, datarate));
    }

    for (int i = 0; i < 16; ++i) {
        const std::string p = sx + "tx_lut_" + std::to_string(i) + ".";
        const size_t b = kTxLutBase + i * kTxLutSize;
        const size_t m = kGw + offsetof(GatewayConfig, tx_lut) + i * sizeof(TxGainEntry);
        t.add(p + "dig_gain", ValueKind::U8, true, b + 0, 1, m + offsetof(TxGainEntry, dig_gain));
        t.add(p + "pa_gain", ValueKind::U8, true, b + 1, 1, m + offsetof(TxGainEntry, pa_gain));
        t.add(p + "mix_gain", ValueKind::U8, true, b + 2, 1, m + offsetof(TxGainEntry, mix_gain));
        t.add(p + "rf_power", ValueKind::I8, true, b + 3, 1, m + offsetof(TxGainEntry, rf_power));
    }

    {
        const std::string p = "gateway_conf.";
        const size_t m = kGw + offsetof(GatewayConfig, gateway_conf);
        const size_t b = kFwdBase;
        t.add(p + "gateway_ID", ValueKind::Text, true, b + 0, sizeof(ForwarderSettings::gateway_ID),
              m + offsetof(ForwarderSettings, gateway_ID));
        t.add(p + "server_address", ValueKind::Text, true, b + 20,
              sizeof(ForwarderSettings::server_address), m + offsetof(ForwarderSettings, server_address));
        t.add_ranged(p + "serv_port_up", ValueKind::I32, true, b + 84, 4,
                     m + offsetof(ForwarderSettings, serv_port_up), 0, 65535);
        t.add_ranged(p + "serv_port_down", ValueKind::I32, true, b + 88, 4,
                     m + offsetof(ForwarderSettings, serv_port_down), 0, 65535);
        t.add(p + "keepalive_interval", ValueKind::I32, true, b + 92, 4,
              m + offsetof(ForwarderSettings, keepalive_interval));
        t.add(p + "stat_interval", ValueKind::U32, true, b + 96, 4,
              m + offsetof(ForwarderSettings, stat_interval));
        t.add(p + "push_timeout_ms", ValueKind::I32, true, b + 100, 4,
              m + offsetof(ForwarderSettings, push_timeout_ms));
        t.add(p + "forward_crc_valid", ValueKind::Bool, true, b + 104, 1,
              m + offsetof(ForwarderSettings, forward_crc_valid));
        t.add(p + "forward_crc_error", ValueKind::Bool, true, b + 105, 1,
              m + offsetof(ForwarderSettings, forward_crc_error));
        t.add(p + "forward_crc_disabled", ValueKind::Bool, true, b + 106, 1,
              m + offsetof(ForwarderSettings, forward_crc_disabled));
    }

    {
        const std::string p = "serverIP_conf.";
        t.add(p + "server_name", ValueKind::Text, true, kEqpBase + 40, sizeof(EqpConfig::server_name),
              kEqp + offsetof(EqpConfig, server_name));
        t.add_ranged(p + "networkmode", ValueKind::U8, true, kEqpBase + 94, 1,
                     kEqp + offsetof(EqpConfig, networkmode), 0, 1);
        t.add(p + "fixed_ip", ValueKind::Ipv4, true, kEqpBase + 116, 4, kEqp + offsetof(EqpConfig, fixed_ip));
        t.add(p + "fixed_netmask", ValueKind::Ipv4, true, kEqpBase + 120, 4,
              kEqp + offsetof(EqpConfig, fixed_netmask));
        t.add(p + "fixed_gateway", ValueKind::Ipv4, true, kEqpBase + 124, 4,
              kEqp + offsetof(EqpConfig, fixed_gateway));
    }

    {
        const std::string p = "device_info.";
        t.add(p + "revision", ValueKind::U32, false, kRevisionOffset, 4, offsetof(BlockContents, revision));
        t.add(p + "vendor", ValueKind::Text, false, kEqpBase + 0, sizeof(EqpConfig::vendor),
              kEqp + offsetof(EqpConfig, vendor));
        t.add(p + "model", ValueKind::Text, false, kEqpBase + 24, sizeof(EqpConfig::model),
              kEqp + offsetof(EqpConfig, model));
        t.add(p + "serial_no", ValueKind::Text, false, kEqpBase + 56, sizeof(EqpConfig::serial_no),
              kEqp + offsetof(EqpConfig, serial_no));
        t.add(p + "hw_id", ValueKind::Text, false, kEqpBase + 72, sizeof(EqpConfig::hw_id),
              kEqp + offsetof(EqpConfig, hw_id));
        t.add(p + "mac", ValueKind::Mac, false, kEqpBase + 88, 6, kEqp + offsetof(EqpConfig, mac));
        t.add(p + "ip", ValueKind::Ipv4, false, kEqpBase + 96, 4, kEqp + offsetof(EqpConfig, ip));
        t.add(p + "netmask", ValueKind::Ipv4, false, kEqpBase + 100, 4, kEqp + offsetof(EqpConfig, netmask));
        t.add(p + "gateway", ValueKind::Ipv4, false, kEqpBase + 104, 4, kEqp + offsetof(EqpConfig, gateway));
        t.add(p + "pri_dns", ValueKind::Ipv4, false, kEqpBase + 108, 4, kEqp + offsetof(EqpConfig, pri_dns));
        t.add(p + "sec_dns", ValueKind::Ipv4, false, kEqpBase + 112, 4, kEqp + offsetof(EqpConfig, sec_dns));
    }
    return t.keys;
}

// Which key (index into the table) starts at each block offset, and which
// bytes belong to no key. Built once with the table.
struct Layout {
    std::vector<KeyInfo> keys;
    // owner[i]: index of the key covering byte i, kReserved, or kFixed
    // (magic, version, CRC).
    std::array<int16_t, kBlockSize> owner;
    static constexpr int16_t kReserved = -1;
    static constexpr int16_t kFixed = -2;

    Layout() : keys(build_table()) {
        owner.fill(kReserved);
        for (size_t i = 0; i < 6; ++i) owner[i] = kFixed;  // magic, version
        for (size_t i = kCrcOffset; i < kBlockSize; ++i) owner[i] = kFixed;
        for (size_t k = 0; k < keys.size(); ++k) {
            for (size_t i = 0; i < keys[k].size; ++i) {
                size_t at = keys[k].block_offset + i;
                if (at >= kCrcOffset || owner[at] != kReserved) abort();  // table fault
                owner[at] = static_cast<int16_t>(k);
            }
        }
    }
};

const Layout &layout() {
    static const Layout instance;
    return instance;
}

// Build the table at load time, so that the first datagram a daemon handles
// does not pay for (or allocate) it.
[[maybe_unused]] const bool kLayoutReady = (layout(), true);

uint8_t *member_ptr(BlockContents *bc, const KeyInfo &key) {
    return reinterpret_cast<uint8_t *>(bc) + key.member_offset;
}

const uint8_t *member_ptr(const BlockContents &bc, const KeyInfo &key) {
    return reinterpret_cast<const uint8_t *>(&bc) + key.member_offset;
}

// Integer member value, widened. Bools are read as their raw byte.
int64_t read_int_member(const uint8_t *p, ValueKind kind) {
    switch (kind) {
    case ValueKind::Bool:
    case ValueKind::U8: return p[0];
    case ValueKind::I8: {
        int8_t v;
        memcpy(&v, p, 1);
        return v;
    }
    case ValueKind::I32: {
        int32_t v;
        memcpy(&v, p, 4);
        return v;
    }
    case ValueKind::U32:
    case ValueKind::Ipv4: {
        uint32_t v;
        memcpy(&v, p, 4);
        return v;
    }
    default: return 0;
    }
}

void write_int_member(uint8_t *p, ValueKind kind, int64_t value) {
    switch (kind) {
    case ValueKind::Bool: {
        bool v = value != 0;
        memcpy(p, &v, 1);
        break;
    }
    case ValueKind::U8: p[0] = static_cast<uint8_t>(value); break;
    case ValueKind::I8: {
        int8_t v = static_cast<int8_t>(value);
        memcpy(p, &v, 1);
        break;
    }
    case ValueKind::I32: {
        int32_t v = static_cast<int32_t>(value);
        memcpy(p, &v, 4);
        break;
    }
    case ValueKind::U32:
    case ValueKind::Ipv4: {
        uint32_t v = static_cast<uint32_t>(value);
        memcpy(p, &v, 4);
        break;
    }
    default: break;
    }
}

float read_float_member(const uint8_t *p) {
    float f;
    memcpy(&f, p, 4);
    return f;
}

// Text member: bytes up to the terminator, at most size-1 of them.
size_t text_member_length(const uint8_t *p, size_t size) {
    size_t n = 0;
    while (n + 1 < size && p[n] != 0) ++n;
    return n;
}

// Reads one field of the block into *out after checking it. Returns false
// with *error set to "<key>: <fault>".
bool decode_field(const uint8_t *block, const KeyInfo &key, BlockContents *out, std::string *error) {
    const uint8_t *src = block + key.block_offset;
    uint8_t *dst = member_ptr(out, key);
    switch (key.kind) {
    case ValueKind::Bool:
        if (src[0] > 1) {
            set_error(error, key.path + printf_string(": flag byte %u, must be 0 or 1", src[0]));
            return false;
        }
        write_int_member(dst, key.kind, src[0]);
        return true;
    case ValueKind::U8:
    case ValueKind::I8:
    case ValueKind::I32:
    case ValueKind::U32:
    case ValueKind::Ipv4: {
        int64_t v;
        if (key.kind == ValueKind::U8) v = src[0];
        else if (key.kind == ValueKind::I8) v = static_cast<int8_t>(src[0]);
        else if (key.kind == ValueKind::I32) v = static_cast<int32_t>(get_be32(src));
        else v = get_be32(src);
        if (v < key.min || v > key.max) {
            if (key.path.size() > 6 && key.path.compare(key.path.size() - 6, 6, ".radio") == 0)
                set_error(error, key.path + printf_string(": radio index %" PRId64 ", must be 0 or 1", v));
            else
                set_error(error, key.path + printf_string(": value %" PRId64 " out of range %" PRId64
                                                          "..%" PRId64, v, key.min, key.max));
            return false;
        }
        write_int_member(dst, key.kind, v);
        return true;
    }
    case ValueKind::F32: {
        uint32_t bits = get_be32(src);
        float f;
        memcpy(&f, &bits, 4);
        if (!std::isfinite(f)) {
            set_error(error, key.path + ": not a finite number");
            return false;
        }
        memcpy(dst, &f, 4);
        return true;
    }
    case ValueKind::Text: {
        const void *nul = memchr(src, 0, key.size);
        if (!nul) {
            set_error(error, key.path + ": text not terminated");
            return false;
        }
        size_t len = static_cast<const uint8_t *>(nul) - src;
        for (size_t i = 0; i < len; ++i) {
            if (!printable(src[i])) {
                set_error(error, key.path + printf_string(": byte 0x%02X at position %zu is not "
                                                          "printable ASCII", src[i], i));
                return false;
            }
        }
        for (size_t i = len; i < key.size; ++i) {
            if (src[i] != 0) {
                set_error(error, key.path + ": bytes after the terminator are not zero");
                return false;
            }
        }
        memcpy(dst, src, key.size);
        return true;
    }
    case ValueKind::Mac:
        memcpy(dst, src, 6);
        return true;
    }
    return false;
}

void encode_field(const BlockContents &in, const KeyInfo &key, uint8_t *block) {
    uint8_t *dst = block + key.block_offset;
    const uint8_t *src = member_ptr(in, key);
    switch (key.kind) {
    case ValueKind::Bool:
    case ValueKind::U8:
    case ValueKind::I8: dst[0] = src[0]; break;
    case ValueKind::I32:
    case ValueKind::U32:
    case ValueKind::Ipv4:
    case ValueKind::F32: {
        uint32_t v;
        memcpy(&v, src, 4);
        put_be32(dst, v);
        break;
    }
    case ValueKind::Text: {
        size_t n = text_member_length(src, key.size);
        memcpy(dst, src, n);
        memset(dst + n, 0, key.size - n);
        break;
    }
    case ValueKind::Mac: memcpy(dst, src, 6); break;
    }
}

std::string format_float(float f) {
    char buf[64];
    for (int prec = 1; prec <= 9; ++prec) {
        snprintf(buf, sizeof buf, "%.*g", prec, static_cast<double>(f));
        if (strtof(buf, nullptr) == f) break;
    }
    return buf;
}

const char *kind_description(const KeyInfo &key) {
    switch (key.kind) {
    case ValueKind::Bool: return "true or false";
    case ValueKind::F32: return "a decimal number";
    case ValueKind::Ipv4: return "a dotted IPv4 address such as 192.168.0.1";
    case ValueKind::Text: return "a text";
    case ValueKind::Mac: return "a MAC address";
    default: return "an integer";
    }
}

// Checks an integer against the key's range and stores it.
bool store_int(BlockContents *bc, const KeyInfo &key, int64_t v, const std::string &shown,
               std::string *error) {
    if (v < key.min || v > key.max) {
        set_error(error, key.path + ": " + shown +
                             printf_string(" is out of range %" PRId64 "..%" PRId64, key.min, key.max));
        return false;
    }
    write_int_member(member_ptr(bc, key), key.kind, v);
    return true;
}

bool store_text(BlockContents *bc, const KeyInfo &key, const std::string &text, std::string *error) {
    if (text.size() > key.size - 1) {
        set_error(error, key.path + printf_string(": text of %zu characters is too long, at most %zu fit",
                                                  text.size(), key.size - 1));
        return false;
    }
    for (unsigned char c : text) {
        if (!printable(c)) {
            set_error(error, key.path + ": only printable ASCII characters are allowed in a text");
            return false;
        }
    }
    uint8_t *dst = member_ptr(bc, key);
    memset(dst, 0, key.size);
    memcpy(dst, text.data(), text.size());
    return true;
}

bool store_float(BlockContents *bc, const KeyInfo &key, double d, const std::string &shown,
                 std::string *error) {
    // Every double below FLT_MAX plus half a unit in the last place rounds
    // to a finite float; "3.4028235e+38", the shortest text of FLT_MAX that
    // get_value prints, lies above FLT_MAX itself.
    const double kFloatLimit = 0x1.ffffffp+127;
    if (!std::isfinite(d) || std::fabs(d) >= kFloatLimit) {
        set_error(error, key.path + ": " + shown + " is not a finite single-precision number");
        return false;
    }
    float f = static_cast<float>(d);
    memcpy(member_ptr(bc, key), &f, 4);
    return true;
}

// Decimal integer text: optional '-', digits, nothing else.
bool parse_decimal(const std::string &text, int64_t *out) {
    if (text.empty() || text.size() > 20) return false;
    size_t i = (text[0] == '-') ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t j = i; j < text.size(); ++j)
        if (text[j] < '0' || text[j] > '9') return false;
    errno = 0;
    char *end = nullptr;
    long long v = strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE || *end != 0) return false;
    *out = v;
    return true;
}

// True when path names an object of the key tree ("SX1301_conf.radio_0").
bool is_section(const std::string &path) {
    const std::string prefix = path + ".";
    for (const KeyInfo &key : layout().keys)
        if (key.path.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

std::string join_path(const std::string &prefix, const std::string &name) {
    return prefix.empty() ? name : prefix + "." + name;
}

// Walks one JSON object, applying leaves through the key table.
bool apply_json_object(const Json::Value &obj, const std::string &prefix, BlockContents *bc,
                       std::string *error) {
    for (const std::string &name : obj.getMemberNames()) {
        const Json::Value &v = obj[name];
        const std::string path = join_path(prefix, name);
        if (prefix.empty() && name == "device_info") continue;  // read-only views
        const KeyInfo *key = find_key(path);
        if (v.isObject() && !key) {
            if (!is_section(path)) {
                set_error(error, "unknown section " + path);
                return false;
            }
            if (!apply_json_object(v, path, bc, error)) return false;
            continue;
        }
        if (!key) {
            set_error(error, "unknown key " + path);
            return false;
        }
        if (!key->writable) {
            set_error(error, path + " is read-only");
            return false;
        }
        // The offending value as the profile wrote it, for messages only.
        auto shown_trimmed = [&v]() {
            Json::StreamWriterBuilder w;
            w["indentation"] = "";
            std::string s = Json::writeString(w, v);
            if (s.size() > 40) s = s.substr(0, 37) + "...";
            return s;
        };
        switch (key->kind) {
        case ValueKind::Bool:
            if (!v.isBool()) {
                set_error(error, path + ": expected true or false, got " + shown_trimmed());
                return false;
            }
            write_int_member(member_ptr(bc, *key), key->kind, v.asBool() ? 1 : 0);
            break;
        case ValueKind::U8:
        case ValueKind::I8:
        case ValueKind::I32:
        case ValueKind::U32: {
            if (!v.isIntegral() || v.isBool()) {
                set_error(error, path + ": expected an integer, got " + shown_trimmed());
                return false;
            }
            if (v.isUInt64() && !v.isInt64()) {
                set_error(error, path + ": " + shown_trimmed() +
                                     printf_string(" is out of range %" PRId64 "..%" PRId64, key->min,
                                                   key->max));
                return false;
            }
            if (!store_int(bc, *key, v.asInt64(), shown_trimmed(), error)) return false;
            break;
        }
        case ValueKind::F32:
            if (!v.isNumeric() || v.isBool()) {
                set_error(error, path + ": expected a number, got " + shown_trimmed());
                return false;
            }
            if (!store_float(bc, *key, v.asDouble(), shown_trimmed(), error)) return false;
            break;
        case ValueKind::Ipv4:
        case ValueKind::Text:
            if (!v.isString()) {
                set_error(error, path + ": expected a string, got " + shown_trimmed());
                return false;
            }
            if (!set_value(bc, path, v.asString(), error)) return false;
            break;
        case ValueKind::Mac:
            set_error(error, path + " is read-only");
            return false;
        }
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Block codec

uint32_t crc32(const uint8_t *data, size_t len) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; ++i) c = kCrcTable.v[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void encode(const BlockContents &in, uint8_t out[kBlockSize]) {
    const Layout &l = layout();
    memset(out, 0, kBlockSize);
    memcpy(out, kMagic, 4);
    put_be16(out + 4, kVersion);
    for (const KeyInfo &key : l.keys) encode_field(in, key, out);
    put_be32(out + kCrcOffset, crc32(out, kCrcOffset));
}

bool decode(const uint8_t in[kBlockSize], BlockContents *out, std::string *error) {
    if (memcmp(in, kMagic, 4) != 0) {
        set_error(error, printf_string("bad magic %02X %02X %02X %02X (a configuration block starts "
                                       "with \"GWCB\")", in[0], in[1], in[2], in[3]));
        return false;
    }
    uint16_t version = get_be16(in + 4);
    if (version != kVersion) {
        set_error(error, printf_string("unsupported block version %u (this build reads version %u)",
                                       version, kVersion));
        return false;
    }
    uint32_t stored = get_be32(in + kCrcOffset);
    uint32_t computed = crc32(in, kCrcOffset);
    if (stored != computed) {
        set_error(error, printf_string("bad CRC (stored 0x%08" PRIX32 ", computed 0x%08" PRIX32 ")",
                                       stored, computed));
        return false;
    }
    const Layout &l = layout();
    BlockContents tmp{};
    for (size_t i = 0; i < kCrcOffset; ++i) {
        int16_t owner = l.owner[i];
        if (owner == Layout::kFixed) continue;
        if (owner == Layout::kReserved) {
            if (in[i] != 0) {
                set_error(error, printf_string("reserved byte at offset %zu is 0x%02X, must be 0", i, in[i]));
                return false;
            }
            continue;
        }
        const KeyInfo &key = l.keys[owner];
        if (key.block_offset != i) continue;  // inside a field already checked
        if (!decode_field(in, key, &tmp, error)) return false;
    }
    *out = tmp;
    return true;
}

bool validate(const BlockContents &in, std::string *error) {
    uint8_t block[kBlockSize];
    encode(in, block);
    BlockContents scratch;
    return decode(block, &scratch, error);
}

void apply_block(const BlockContents &from, EqpConfig *eqp, GatewayConfig *gw) {
    for (const KeyInfo &key : layout().keys) {
        if (!key.writable) continue;
        const uint8_t *src = member_ptr(from, key);
        uint8_t *dst;
        if (key.member_offset >= kGw && key.member_offset < kGw + sizeof(GatewayConfig))
            dst = reinterpret_cast<uint8_t *>(gw) + (key.member_offset - kGw);
        else
            dst = reinterpret_cast<uint8_t *>(eqp) + (key.member_offset - kEqp);
        memcpy(dst, src, key.size);
    }
}

// ---------------------------------------------------------------------------
// Datagrams

uint8_t reply_checksum(const uint8_t block[kBlockSize]) {
    uint8_t sum = 0;
    for (size_t i = 0; i < kBlockSize; ++i) sum = static_cast<uint8_t>(sum + block[i]);
    return sum;
}

void build_discovery_request(uint8_t out[SEARCH_COMMAND_LEN]) {
    memset(out, 0, SEARCH_COMMAND_LEN);
    memcpy(out, SEARCH_MAGIC, SEARCH_MAGIC_LEN);
}

bool build_command(uint8_t out[MESSAGE_COMMAND_LEN], const uint8_t mac[6], const char *command,
                   const char *argument, uint32_t service_ip, uint16_t service_port,
                   uint16_t service_type) {
    if (!argument) argument = "";
    size_t clen = strlen(command), alen = strlen(argument);
    if (clen > 11 || alen > 19) return false;
    memset(out, 0, MESSAGE_COMMAND_LEN);
    memcpy(out + 34, mac, 6);
    memcpy(out + 40, command, clen);
    memcpy(out + 52, argument, alen);
    put_be32(out + 72, service_ip);
    put_be16(out + 76, service_port);
    put_be16(out + 78, service_type);
    return true;
}

void build_update(uint8_t out[UPDATE_COMMAND_LEN], const uint8_t mac[6], const uint8_t block[kBlockSize]) {
    memset(out, 0, UPDATE_COMMAND_LEN);
    memcpy(out + 16, mac, 6);
    memcpy(out + 24, block, kBlockSize);
}

void build_discovery_reply(uint8_t out[SEARCH_FORMAT_LEN], const uint8_t mac[6],
                           const uint8_t block[kBlockSize]) {
    out[0] = REPLY_MARKER;
    memcpy(out + 1, mac, 6);
    out[7] = 0;
    memcpy(out + 8, block, kBlockSize);
    out[8 + kBlockSize] = reply_checksum(block);
}

bool parse_discovery_frame(const uint8_t *data, size_t len, uint8_t mac[6], uint8_t block[kBlockSize],
                           std::string *error) {
    if (len != SEARCH_FORMAT_LEN) {
        set_error(error, printf_string("not a discovery reply: %zu bytes, expected %d", len, SEARCH_FORMAT_LEN));
        return false;
    }
    if (data[0] != REPLY_MARKER) {
        set_error(error, printf_string("not a discovery reply: first byte 0x%02X, expected 'V'", data[0]));
        return false;
    }
    uint8_t sum = reply_checksum(data + 8);
    if (sum != data[8 + kBlockSize]) {
        set_error(error, printf_string("bad checksum (reply says 0x%02X, block sums to 0x%02X)",
                                       data[8 + kBlockSize], sum));
        return false;
    }
    if (mac) memcpy(mac, data + 1, 6);
    if (block) memcpy(block, data + 8, kBlockSize);
    return true;
}

bool parse_discovery_reply(const uint8_t *data, size_t len, uint8_t mac[6], BlockContents *out,
                           std::string *error) {
    uint8_t frame_mac[6];
    if (!parse_discovery_frame(data, len, frame_mac, nullptr, error)) return false;
    BlockContents tmp;
    std::string fault;
    if (!decode(data + 8, &tmp, &fault)) {
        set_error(error, "invalid configuration block: " + fault);
        return false;
    }
    if (memcmp(tmp.eqp.mac, frame_mac, 6) != 0) {
        set_error(error, "the block's MAC address " + format_mac(tmp.eqp.mac) +
                             " differs from the reply's " + format_mac(frame_mac));
        return false;
    }
    if (mac) memcpy(mac, frame_mac, 6);
    if (out) *out = tmp;
    return true;
}

bool parse_server_ack(const uint8_t *data, size_t len, const uint8_t mac[6], std::string *error) {
    static const char kText[] = "ReceiveConfig";  // 13 characters and the NUL
    if (len != SERVER_ACK_MSG_LEN) {
        set_error(error, printf_string("not an acknowledgement: %zu bytes, expected %d", len,
                                       SERVER_ACK_MSG_LEN));
        return false;
    }
    if (data[0] != REPLY_MARKER) {
        set_error(error, printf_string("not an acknowledgement: first byte 0x%02X, expected 'V'", data[0]));
        return false;
    }
    if (memcmp(data + 1, mac, 6) != 0) {
        set_error(error, "acknowledgement from another gateway (" + format_mac(data + 1) + ")");
        return false;
    }
    if (memcmp(data + 8, kText, sizeof kText) != 0) {
        set_error(error, "acknowledgement without \"ReceiveConfig\"");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Text forms

bool parse_mac(const std::string &text, uint8_t out[6]) {
    if (text.size() != 17) return false;
    const char sep = text[2];
    if (sep != ':' && sep != '-') return false;
    uint8_t mac[6];
    for (int i = 0; i < 6; ++i) {
        int v = 0;
        for (int j = 0; j < 2; ++j) {
            char c = text[i * 3 + j];
            int d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else return false;
            v = v * 16 + d;
        }
        if (i < 5 && text[i * 3 + 2] != sep) return false;
        mac[i] = static_cast<uint8_t>(v);
    }
    memcpy(out, mac, 6);
    return true;
}

std::string format_mac(const uint8_t mac[6]) {
    char buf[18];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
             mac[5]);
    return buf;
}

bool parse_ipv4(const std::string &text, uint32_t *out) {
    uint32_t addr = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
        size_t start = i;
        unsigned v = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
            v = v * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
        }
        size_t digits = i - start;
        if (digits == 0 || v > 255) return false;
        if (digits > 1 && text[start] == '0') return false;  // no octal look-alikes
        addr = (addr << 8) | v;
    }
    if (i != text.size()) return false;
    *out = addr;
    return true;
}

std::string format_ipv4(uint32_t addr) {
    char buf[16];
    snprintf(buf, sizeof buf, "%u.%u.%u.%u", addr >> 24, (addr >> 16) & 0xFF, (addr >> 8) & 0xFF, addr & 0xFF);
    return buf;
}

// ---------------------------------------------------------------------------
// Key table

const std::vector<KeyInfo> &key_table() { return layout().keys; }

const KeyInfo *find_key(const std::string &path) {
    static const std::map<std::string, size_t> index = [] {
        std::map<std::string, size_t> m;
        const auto &keys = layout().keys;
        for (size_t i = 0; i < keys.size(); ++i) m[keys[i].path] = i;
        return m;
    }();
    auto it = index.find(path);
    return it == index.end() ? nullptr : &layout().keys[it->second];
}

std::string get_value(const BlockContents &in, const KeyInfo &key) {
    const uint8_t *p = member_ptr(in, key);
    switch (key.kind) {
    case ValueKind::Bool: return p[0] ? "true" : "false";
    case ValueKind::U8:
    case ValueKind::I8:
    case ValueKind::I32:
    case ValueKind::U32: return std::to_string(read_int_member(p, key.kind));
    case ValueKind::F32: return format_float(read_float_member(p));
    case ValueKind::Ipv4: return format_ipv4(static_cast<uint32_t>(read_int_member(p, key.kind)));
    case ValueKind::Text: return std::string(reinterpret_cast<const char *>(p), text_member_length(p, key.size));
    case ValueKind::Mac: return format_mac(p);
    }
    return "";
}

bool set_value(BlockContents *io, const std::string &path, const std::string &text, std::string *error) {
    const KeyInfo *key = find_key(path);
    if (!key) {
        set_error(error, "unknown key " + path);
        return false;
    }
    if (!key->writable) {
        set_error(error, path + " is read-only: the gateway keeps its identity, MAC address, live "
                                "network settings and revision itself");
        return false;
    }
    switch (key->kind) {
    case ValueKind::Bool:
        if (text == "true" || text == "false") {
            write_int_member(member_ptr(io, *key), key->kind, text == "true");
            return true;
        }
        set_error(error, path + ": \"" + text + "\" is not " + kind_description(*key));
        return false;
    case ValueKind::U8:
    case ValueKind::I8:
    case ValueKind::I32:
    case ValueKind::U32: {
        int64_t v;
        if (!parse_decimal(text, &v)) {
            set_error(error, path + ": \"" + text + "\" is not " + kind_description(*key) +
                                 printf_string(" (%" PRId64 "..%" PRId64 ")", key->min, key->max));
            return false;
        }
        return store_int(io, *key, v, text, error);
    }
    case ValueKind::F32: {
        char *end = nullptr;
        errno = 0;
        double d = text.empty() ? 0 : strtod(text.c_str(), &end);
        if (text.empty() || *end != 0 || isspace(static_cast<unsigned char>(text[0]))) {
            set_error(error, path + ": \"" + text + "\" is not " + kind_description(*key));
            return false;
        }
        return store_float(io, *key, d, text, error);
    }
    case ValueKind::Ipv4: {
        uint32_t a;
        if (!parse_ipv4(text, &a)) {
            set_error(error, path + ": \"" + text + "\" is not " + kind_description(*key));
            return false;
        }
        write_int_member(member_ptr(io, *key), key->kind, a);
        return true;
    }
    case ValueKind::Text: return store_text(io, *key, text, error);
    case ValueKind::Mac: break;
    }
    set_error(error, path + " is read-only");
    return false;
}

std::vector<const KeyInfo *> diff_keys(const BlockContents &a, const BlockContents &b, bool writable_only) {
    std::vector<const KeyInfo *> out;
    for (const KeyInfo &key : layout().keys) {
        if (writable_only && !key.writable) continue;
        if (get_value(a, key) != get_value(b, key)) out.push_back(&key);
    }
    return out;
}

Json::Value to_json(const BlockContents &in) {
    Json::Value root(Json::objectValue);
    for (const KeyInfo &key : layout().keys) {
        // Walk/create the objects along the path.
        Json::Value *node = &root;
        size_t start = 0, dot;
        while ((dot = key.path.find('.', start)) != std::string::npos) {
            node = &(*node)[key.path.substr(start, dot - start)];
            start = dot + 1;
        }
        Json::Value &leaf = (*node)[key.path.substr(start)];
        const uint8_t *p = member_ptr(in, key);
        switch (key.kind) {
        case ValueKind::Bool: leaf = Json::Value(p[0] != 0); break;
        case ValueKind::U8:
        case ValueKind::I8:
        case ValueKind::I32: leaf = Json::Value(static_cast<Json::Int>(read_int_member(p, key.kind))); break;
        case ValueKind::U32: leaf = Json::Value(static_cast<Json::UInt>(read_int_member(p, key.kind))); break;
        case ValueKind::F32: leaf = Json::Value(static_cast<double>(read_float_member(p))); break;
        case ValueKind::Ipv4:
        case ValueKind::Text:
        case ValueKind::Mac: leaf = Json::Value(get_value(in, key)); break;
        }
    }
    return root;
}

bool apply_json_profile(const Json::Value &profile, BlockContents *io, std::string *error) {
    if (!profile.isObject()) {
        set_error(error, "a profile is a JSON object with the sections of global_conf.json");
        return false;
    }
    BlockContents tmp = *io;
    if (!apply_json_object(profile, "", &tmp, error)) return false;
    *io = tmp;
    return true;
}

}  // namespace gwblock
