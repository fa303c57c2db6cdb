// config_block.h - the 1024-byte configuration block and the datagrams that
// carry it, as the host daemon and the configuration tool both see them.
//
// One codec for both sides: gwcfgd encodes its live records into the block it
// answers discovery requests with and decodes the blocks it receives; gwcfg
// decodes discovery replies, changes keys and encodes the update it sends.
// The block layout is documented, offset by offset, in docs/config-block.md;
// every key with its rule in docs/keys.md (both generated from the key table
// and checked by tests/codec/docs_test.cpp).
//
// The key table names every field of the block by its global_conf.json path
// ("gateway_conf.server_address", "SX1301_conf.radio_0.freq",
// "serverIP_conf.fixed_ip", ...) and gives the text and JSON forms of its
// value with range checking, its unit, its meaning, and what the packet
// forwarder basic_pkt_fwd accepts in it. Keys of the "device_info" section
// (identity texts other than the device name, MAC address, live IPv4
// settings and revision) are read-only views: a gateway never takes them from
// a block.
//
// Two levels of checking, on purpose:
//   - decode() and set_value() accept what the block layout can carry (a
//     radio index 0 or 1, a port 0..65535, any printable text). A gateway may
//     already hold a configuration the forwarder refuses; it still decodes,
//     so `gwcfg show` can show it and `gwcfg set` can mend it.
//   - check_rules() judges a whole configuration by the forwarder's own
//     rules. It is applied where a configuration enters: `gwcfg set`, the
//     daemon's update handler and its profiles.
//
// encode(), decode(), crc32(), reply_checksum() and the datagram builders
// and parsers use no heap memory on their successful paths; only error
// messages, the rules and the text/JSON helpers allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "agent.h"

namespace gwblock {

// UDP port of the configuration service, used by gwcfgd and gwcfg alike
// unless told otherwise (--port).
constexpr uint16_t kDefaultPort = 48321;

constexpr size_t kBlockSize = UPDATE_PAYLOAD_SIZE;  // 1024
constexpr uint8_t kMagic[4] = {'G', 'W', 'C', 'B'};
// The layout version encode() writes by default, and the oldest one decode()
// reads. Version 2 carries the state of the gateway's last change in bytes
// that version 1 reserves (zero); a version 1 block reads as one whose last
// change is not watched.
constexpr uint16_t kVersion = 2;
constexpr uint16_t kOldestVersion = 1;
constexpr size_t kRevisionOffset = 8;
constexpr size_t kCrcOffset = kBlockSize - 4;

// The state of the gateway's last change, as its daemon judges it after
// the forwarder was restarted with it (docs/gwcfgd.md, "Safe apply"). The
// numbers are the block's.
enum class ChangeState : uint8_t {
    None = 0,        // not watched (no restart, no forwarder ran, or an older daemon)
    Watching = 1,    // the forwarder is watched; the verdict is due in `left` seconds
    Confirmed = 2,   // a forwarder started with it and ran for the whole window
    RolledBack = 3,  // it stopped the forwarder; the configuration before it was restored
    Failed = 4,      // rolled back, and the restored configuration failed too: kept, no more tries
};
constexpr uint8_t kChangeStates = 5;

enum class ChangeReason : uint8_t {
    None = 0,
    NoStart = 1,   // no forwarder started within the start timeout (`seconds`)
    Exited = 2,    // the forwarder exited `seconds` after starting, within the window
    Operator = 3,  // confirmed early by a Confirm command (gwcfg confirm)
};
constexpr uint8_t kChangeReasons = 4;

// What the block says of the last change. Read-only: a gateway never takes
// it from a received block.
struct ChangeStatus {
    uint32_t revision;  // the change: the watched one, or the one rolled back
    uint32_t seconds;   // NoStart: the start timeout; Exited: how long the forwarder ran
    uint32_t left;      // while a forwarder is watched: seconds until the verdict
    uint8_t state;      // ChangeState
    uint8_t reason;     // ChangeReason
};

// The gateway's configuration as one block carries it. Members the block
// does not carry (host_flag, host_reserved, spare, net_reserved*, the
// unnamed reserved bytes of the gateway record) are zero after decode() and
// ignored by encode().
struct BlockContents {
    EqpConfig eqp;
    GatewayConfig gw;
    uint32_t revision;
    ChangeStatus change;
    // The layout version: the one decode() read; the one encode() writes (0:
    // kVersion). A tool sends a gateway back the version it read, so a
    // gateway of an older version takes its update.
    uint16_t version;
};

// "not watched", "watching", "confirmed", "rolled back", "failed"; "?" for a
// number no version defines.
const char *change_state_word(uint8_t state);

// Why, in words, as the daemon's log and the tool say it: "no forwarder
// started within 20 s", "the forwarder exited 3 s after starting",
// "confirmed with gwcfg confirm"; "" without a reason.
std::string change_reason_text(const ChangeStatus &c);

// ---------------------------------------------------------------------------
// Block codec

// CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320, initial value and
// final xor 0xFFFFFFFF: the zlib crc32). crc32("123456789") == 0xCBF43926.
uint32_t crc32(const uint8_t *data, size_t len);

// Fills all 1024 bytes of out, in layout version in.version (kVersion when
// 0; a version 1 block leaves the change status out, zero). Texts are copied
// up to their terminator (at most the array size less one characters) and
// padded with zero bytes, so equal records give equal blocks. Values are
// written as they stand: a record holding a value decode() refuses (radio
// index 2, say) gives a block that decode() refuses with the same key named.
void encode(const BlockContents &in, uint8_t out[kBlockSize]);

// Validates the layout and, only when the whole block is sound, fills *out
// (value-initialised first; version set to the block's). On failure *out is
// untouched and *error, when not null, names the first fault, e.g. "bad CRC
// (stored 0x..., computed 0x...)" or "gateway_conf.server_address: text not
// terminated". Checks, in this order: magic, version (kOldestVersion to
// kVersion), CRC, then every field and reserved byte in offset order (in a
// version 1 block, the bytes of the change status are reserved). The
// forwarder's rules are not checked here: see check_rules().
bool decode(const uint8_t in[kBlockSize], BlockContents *out, std::string *error);

// True when encode(in) decodes; *error names the first fault otherwise.
bool validate(const BlockContents &in, std::string *error);

// Copies what a gateway takes from a received block into its own records:
// server_name, networkmode and the three fixed settings into *eqp, every
// named member of the gateway record into *gw. Nothing else of either record
// is touched (MAC address, identity texts, live settings, unnamed members).
void apply_block(const BlockContents &from, EqpConfig *eqp, GatewayConfig *gw);

// ---------------------------------------------------------------------------
// Datagrams (layouts in docs/config-block.md)

// 8-bit sum of the 1024 block bytes: the discovery reply's checksum.
uint8_t reply_checksum(const uint8_t block[kBlockSize]);

// 24 bytes: SEARCH_MAGIC and nine zero bytes.
void build_discovery_request(uint8_t out[SEARCH_COMMAND_LEN]);

// A command datagram: the MAC address, the command text (at most 11
// characters), the argument (at most 19), service_ip/port/type big-endian,
// every other byte zero. False (and out untouched) when a text is too long.
bool build_command(uint8_t out[MESSAGE_COMMAND_LEN], const uint8_t mac[6], const char *command,
                   const char *argument, uint32_t service_ip = 0, uint16_t service_port = 0,
                   uint16_t service_type = 0);

// The command that ends a gateway's confirmation window early: command text
// "Confirm", argument the revision being confirmed in decimal, so that a
// late or stale Confirm cannot confirm another change. The handler only
// logs it; the daemon acts on it before (docs/gwcfgd.md).
constexpr char kConfirmCommand[] = "Confirm";
void build_confirm(uint8_t out[MESSAGE_COMMAND_LEN], const uint8_t mac[6], uint32_t revision);

// Whether data is an 80-byte Confirm command for mac with a revision (1 to
// 10 decimal digits that fit 32 bits): true and *revision.
bool parse_confirm(const uint8_t *data, size_t len, const uint8_t mac[6], uint32_t *revision);

// An update datagram: the MAC address and the block, every other byte zero.
void build_update(uint8_t out[UPDATE_COMMAND_LEN], const uint8_t mac[6],
                  const uint8_t block[kBlockSize]);

// 1033 bytes: 'V', MAC, 0, block, checksum. What a gateway sends.
void build_discovery_reply(uint8_t out[SEARCH_FORMAT_LEN], const uint8_t mac[6],
                           const uint8_t block[kBlockSize]);

// Framing of a discovery reply: length 1033, marker 'V', checksum. Fills mac
// and block (either may be null) on success.
bool parse_discovery_frame(const uint8_t *data, size_t len, uint8_t mac[6],
                           uint8_t block[kBlockSize], std::string *error);

// Framing, then decode(), then the MAC inside the block must equal the one
// in the reply's header. *mac and *out are filled only on success.
bool parse_discovery_reply(const uint8_t *data, size_t len, uint8_t mac[6], BlockContents *out,
                           std::string *error);

// 32-byte server_ack_msg: 'V', the expected MAC, "ReceiveConfig" and its NUL.
bool parse_server_ack(const uint8_t *data, size_t len, const uint8_t mac[6], std::string *error);

// ---------------------------------------------------------------------------
// Text forms

// "00:11:22:33:44:55": six pairs of hexadecimal digits (either case) joined
// by ':' (or all by '-').
bool parse_mac(const std::string &text, uint8_t out[6]);
std::string format_mac(const uint8_t mac[6]);  // lower case, ':'

// Dotted decimal, four numbers 0..255 without leading zeros; host order
// result (192.168.0.1 -> 0xC0A80001).
bool parse_ipv4(const std::string &text, uint32_t *out);
std::string format_ipv4(uint32_t addr);

// The gateway EUI a gateway takes when its gateway_ID is unset: the first
// three bytes of the MAC address, FF FE, the last three, as 16 upper-case
// hexadecimal digits (B8:27:EB:12:34:56 -> "B827EBFFFE123456").
std::string gateway_id_from_mac(const uint8_t mac[6]);

// ---------------------------------------------------------------------------
// Key table

enum class ValueKind {
    Bool,  // one byte 0/1; text true/false
    U8,    // unsigned 8-bit
    I8,    // signed 8-bit
    I32,   // signed 32-bit
    U32,   // unsigned 32-bit
    F32,   // IEEE 754 single, finite
    Ipv4,  // unsigned 32-bit address, dotted text
    Text,  // NUL-terminated printable ASCII in a fixed array
    Mac,   // six bytes
};

struct KeyInfo {
    std::string path;  // "SX1301_conf.radio_0.freq"
    ValueKind kind;
    bool writable;           // taken from a block by the gateway
    size_t block_offset;     // where the field starts in the block
    size_t size;             // bytes in the block (array size for texts)
    size_t member_offset;    // where the member starts in BlockContents
    int64_t min, max;        // what the block may carry, for integer kinds
    uint16_t since_version;  // the first layout version with the field (reserved before)

    // The key's row of the table. A row stands for `count` keys that differ
    // only in an index N ("radio_N", "chan_multiSF_N", "tx_lut_N").
    std::string pattern;      // "SX1301_conf.radio_N.freq"; the path when count is 1
    int index;                // N, or -1 for a key without one
    int count;                // keys of the row (1 without an index)
    size_t block_stride;      // block_offset of key N+1 less that of key N (0 without)
    std::string section;      // "SX1301_conf", "gateway_conf", "serverIP_conf", "device_info"
    bool in_global_conf;      // emit_gwconf writes it into global_conf.json
    bool forwarder_reads;     // basic_pkt_fwd reads it from there
    const char *unit;         // "Hz", "dB", "dBm", "ms", "s", "bit/s", or ""
    const char *meaning;      // one line
    std::string rule;         // what the forwarder accepts, in words; "" when anything
                              // the block carries will do
    std::string rule_effect;  // what the forwarder does with anything else
};

// Every field of the block, in block order: "SX1301_conf", "gateway_conf",
// "serverIP_conf" keys first (grouped as in the records), then the read-only
// "device_info" keys.
const std::vector<KeyInfo> &key_table();
const KeyInfo *find_key(const std::string &path);

// The keys of one section ("gateway_conf") or of one object of a section
// ("SX1301_conf.radio_0"), in table order; empty for an unknown name.
std::vector<const KeyInfo *> keys_in_section(const std::string &section);

// The block's name of a key's type, as docs/config-block.md writes it:
// "bool", "u8", "i8", "i32", "u32", "f32", "ipv4", "text[20]", "bytes".
std::string layout_type(const KeyInfo &key);

// The value as text: true/false, decimal, shortest float text that reads
// back to the same float, dotted address, the text itself, formatted MAC.
std::string get_value(const BlockContents &in, const KeyInfo &key);

// get_value() followed by the key's unit, if it has one: "868100000 Hz".
std::string format_with_unit(const BlockContents &in, const KeyInfo &key);

// The value as gwcfg shows it to people: a frequency (unit "Hz") in MHz,
// kHz or Hz ("868.1 MHz", "-375 kHz", "0 Hz"), exact; every other key as
// get_value() writes it. set_value() reads it back.
std::string format_for_people(const BlockContents &in, const KeyInfo &key);

// A frequency as text, exact: "868.1 MHz" from 1 MHz up, "125 kHz" from
// 1 kHz up, "500 Hz" below.
std::string format_frequency(int64_t hz);

// "868100000", "868.1MHz", "868.1 MHz", "125kHz", "125 khz", "-375 kHz":
// decimal digits with an optional fraction and unit (Hz, kHz, MHz, GHz; no
// unit means Hz), counted exactly. False, with *why, for another text, an
// unknown unit, a fraction of a hertz or more than 12 digits.
bool parse_frequency(const std::string &text, int64_t *hz, std::string *why);

// Parses text for the key and stores it. Refuses unknown keys, read-only
// keys and values that do not parse or fit the block, naming key and reason
// in *error. The forwarder's rules are not checked: see check_rules().
bool set_value(BlockContents *io, const std::string &path, const std::string &text,
               std::string *error);

// Keys whose values differ between a and b (writable keys only, or all).
std::vector<const KeyInfo *> diff_keys(const BlockContents &a, const BlockContents &b,
                                       bool writable_only);

// ---------------------------------------------------------------------------
// The forwarder's rules

// One way in which a configuration breaks a rule of the forwarder.
struct RuleFault {
    const KeyInfo *key;  // the key the fault is reported on
    std::string value;   // its value, as get_value() writes it
    // "gateway_conf.push_timeout_ms=2000: must be 1..1999 ms; the forwarder
    // sets ..." : the key, its value, what is allowed (with the other values
    // that decide it, for a rule over several keys) and what the forwarder
    // would do with this one.
    std::string message;
};

// Every fault of the whole configuration, in key-table order (per key: its
// own rule first, then the rules over several keys reported on it). Empty
// when the forwarder takes the configuration. Per key: texts and numbers
// within the forwarder's ranges; per record: an enabled channel receives
// through an enabled radio within its band, an enabled radio is tuned within
// its type's band, the clock comes from an enabled radio, the TX gain table
// does not decrease in power. Keys the forwarder does not read have no rule.
// A gateway_ID that is still empty is a fault here: fill_unset_gateway_id()
// first, as the daemon and the tool do.
std::vector<RuleFault> rule_faults(const BlockContents &in);

// True when rule_faults(in) is empty; otherwise *error (when not null) is
// the first fault's message, followed by " (and N more)" when there are more.
bool check_rules(const BlockContents &in, std::string *error);

// The rules of one key on its own (not those over several keys), judged in
// the configuration `in` (a rule that holds only while a radio or channel
// is enabled is skipped while it is not). For refusing a bad value before a
// whole configuration is at hand. *error as for check_rules().
bool check_key_rule(const BlockContents &in, const KeyInfo &key, std::string *error);

// Writes gateway_id_from_mac(io->eqp.mac) into an empty gateway_ID. True
// when it did, false when the gateway_ID was set already.
bool fill_unset_gateway_id(BlockContents *io);

// ---------------------------------------------------------------------------
// JSON form and profiles

// The JSON object with the sections and keys of global_conf.json
// ("SX1301_conf", "gateway_conf", "serverIP_conf"), with the value kinds the
// file uses, plus "device_info" with the read-only views and the revision.
Json::Value to_json(const BlockContents &in);

// Applies a profile with the sections and keys of global_conf.json over *io:
// any subset of the writable keys; JSON booleans for flags, integers in
// range for numbers, numbers for rssi_offset, strings for addresses and
// texts. A "device_info" section (as to_json writes it) is ignored, so a
// `gwcfg show --json` output serves as a profile. Unknown sections or keys
// and bad values fail naming the key; on failure *io is untouched. The
// forwarder's rules are the caller's to check on the result.
bool apply_json_profile(const Json::Value &profile, BlockContents *io, std::string *error);

// Lays the profile `over` onto *base: objects are merged member by member,
// any other value of `over` replaces the one in *base. Applying the result
// gives what applying *base and then `over` gives.
void merge_json_profile(Json::Value *base, const Json::Value &over);

}  // namespace gwblock
