// codec_internal.h - what the parts of the codec share. Private to the
// gwcodec target: not on any consumer's include path.
//
//   value_kinds.cpp  one row per value kind: block, text and JSON forms
//   key_table.cpp    one row per key (or family of keys): offsets, kind,
//                    unit, meaning, whether the forwarder reads it, its rule
//   rules.cpp        the rules over several keys, beside the table, and the
//                    check of a whole configuration
//   block.cpp        block layout: encode, decode, CRC
//   datagrams.cpp    the datagrams that carry a block
//   text_forms.cpp   MAC, IPv4, decimal and float texts
//   profiles.cpp     the JSON form and profiles
#pragma once

#include <array>
#include <cstdarg>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <json/value.h>

#include "config_block.h"
#include "gwutil.h"

namespace gwblock {
namespace detail {

// ---------------------------------------------------------------------------
// Helpers

inline void put_be16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void put_be32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline uint16_t get_be16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline uint32_t get_be32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void set_error(std::string *error, const std::string &text) {
    if (error) *error = text;
}

// Messages: printf into a string, cut at 255 characters.
using gwutil::printf_string;

inline bool printable(uint8_t c) { return c >= 0x20 && c <= 0x7E; }

// Shortest "%g" text that reads back to the same float.
std::string format_float(float f);

// ---------------------------------------------------------------------------
// Value kinds (value_kinds.cpp): one row per kind.

struct KindOps {
    const char *type_name;  // the layout's name of the type ("u32"; texts add their size)
    const char *text_form;  // for messages: "an integer", "true or false", ...
    size_t size;            // bytes in the block; 0: the key's own (texts)
    int64_t min, max;       // natural range of the integer kinds (bool: 0..1)
    // Block field <-> record member. decode checks the field and fills the
    // member only when it is sound; it allocates only to report a fault.
    void (*encode)(const uint8_t *member, const KeyInfo &key, uint8_t *field);
    bool (*decode)(const uint8_t *field, const KeyInfo &key, uint8_t *member, std::string *error);
    // Text form (gwcfg show / set) <-> member. parse leaves the member
    // untouched on failure.
    std::string (*format)(const uint8_t *member, const KeyInfo &key);
    bool (*parse)(const std::string &text, const KeyInfo &key, uint8_t *member, std::string *error);
    // JSON form (global_conf.json's value kinds, profiles) <-> member.
    Json::Value (*to_json)(const uint8_t *member, const KeyInfo &key);
    bool (*from_json)(const Json::Value &value, const KeyInfo &key, uint8_t *member,
                      std::string *error);
    // The member as a number (integer kinds and bool; null for the others).
    int64_t (*as_int)(const uint8_t *member);
};

const KindOps &kind_ops(ValueKind kind);

// ---------------------------------------------------------------------------
// Rules of one key (a field of the key's row in key_table.cpp)

enum class Check {
    None,       // anything the block carries
    Range,      // min..max (max kNoMax: at least min)
    OneOf,      // one of one_of[0..n_one_of)
    HostName,   // letters, digits, '-', '.'; or an IPv6 literal
    Eui,        // exactly 16 hexadecimal digits
    RadioType,  // "SX1255" or "SX1257"
    Finite,     // a finite number
};

constexpr int64_t kNoMax = INT64_MAX;

struct KeyRule {
    Check check;
    int64_t min, max;
    int64_t one_of[3];
    size_t n_one_of;
    bool when_enabled;    // only while the key's radio or channel is enabled
    const char *allowed;  // the rule in words; null: composed from min..max
    const char *effect;   // what the forwarder does with any other value
};

// ---------------------------------------------------------------------------
// Rules over several keys (rules.cpp), reported on the keys of one pattern

struct CrossRule {
    const char *pattern;  // the keys the fault is reported on
    const char *allowed;
    const char *effect;
    // Whether the rule holds for `key`; *detail names the other values that
    // decide it ("radio_1 is disabled").
    bool (*holds)(const BlockContents &in, const KeyInfo &key, std::string *detail);
};

extern const CrossRule kCrossRules[];
extern const size_t kCrossRuleCount;

// ---------------------------------------------------------------------------
// The expanded table (key_table.cpp), built once at program load

struct Layout {
    std::vector<KeyInfo> keys;
    std::vector<KeyRule> rules;                // per key: its own rule
    std::vector<std::string> own_rule;         // per key: that rule in words
    std::vector<std::vector<size_t>> cross;    // per key: its rules over several keys
    std::vector<int> enable_key;               // per key: index of its radio's or channel's
                                               // "enable" key, or -1
    std::vector<const char *> enabled_phrase;  // per key: "while the radio is enabled"
    std::map<std::string, size_t> index;       // path -> key
    // owner[i]: index of the key covering byte i of the block, kReserved, or
    // kFixed (magic, version, CRC).
    std::array<int16_t, kBlockSize> owner;
    static constexpr int16_t kReserved = -1;
    static constexpr int16_t kFixed = -2;
};

const Layout &layout();

inline uint8_t *member_ptr(BlockContents *bc, const KeyInfo &key) {
    return reinterpret_cast<uint8_t *>(bc) + key.member_offset;
}

inline const uint8_t *member_ptr(const BlockContents &bc, const KeyInfo &key) {
    return reinterpret_cast<const uint8_t *>(&bc) + key.member_offset;
}

// The path of a key of the same row with another index:
// ("SX1301_conf.tx_lut_N.rf_power", 3) -> "SX1301_conf.tx_lut_3.rf_power".
std::string path_of(const std::string &pattern, int index);

}  // namespace detail
}  // namespace gwblock
