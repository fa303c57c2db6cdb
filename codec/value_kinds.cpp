// value_kinds.cpp - one row per value kind: how a value of the kind sits in
// the block (big-endian, flags 0/1, NUL-padded texts), in the record, in the
// text form of `gwcfg show` / `gwcfg set` and in JSON. Every key of the table
// goes through the row of its kind; nothing else switches on the kind.
#include <json/writer.h>

#include <cerrno>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "codec_internal.h"
#include "gwutil.h"

namespace gwblock {
namespace detail {
namespace {

std::string range_text(const KeyInfo &key) {
    return printf_string("%" PRId64 "..%" PRId64, key.min, key.max);
}

// The offending JSON value as the profile wrote it, for messages only.
std::string shown(const Json::Value &v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    std::string s = Json::writeString(w, v);
    if (s.size() > 40) s = s.substr(0, 37) + "...";
    return s;
}

bool refuse(std::string *error, const KeyInfo &key, const std::string &why) {
    set_error(error, key.path + why);
    return false;
}

// "<key>: "<text>" is not an integer": a text that is no value of the kind.
bool not_a(std::string *error, const KeyInfo &key, const std::string &text,
           const std::string &more = "") {
    return refuse(error, key, ": \"" + text + "\" is not " + kind_ops(key.kind).text_form + more);
}

// ---------------------------------------------------------------------------
// Integers (u8, i8, i32, u32) and flags, by their C type.

template <typename T>
int64_t int_of(const uint8_t *member) {
    T v;
    memcpy(&v, member, sizeof v);
    return static_cast<int64_t>(v);
}

template <typename T>
void put_int(uint8_t *member, int64_t v) {
    const T t = static_cast<T>(v);
    memcpy(member, &t, sizeof t);
}

template <typename T>
void encode_int(const uint8_t *member, const KeyInfo &, uint8_t *field) {
    using U = std::make_unsigned_t<T>;
    U u;
    memcpy(&u, member, sizeof u);
    for (size_t i = 0; i < sizeof u; ++i)
        field[i] = static_cast<uint8_t>(static_cast<uint64_t>(u) >> (8 * (sizeof u - 1 - i)));
}

template <typename T>
bool decode_int(const uint8_t *field, const KeyInfo &key, uint8_t *member, std::string *error) {
    using U = std::make_unsigned_t<T>;
    uint64_t u = 0;
    for (size_t i = 0; i < sizeof(U); ++i)
        u = (u << 8) | field[i];
    const int64_t v = static_cast<T>(static_cast<U>(u));
    if (v < key.min || v > key.max) {
        static const char kRadio[] = ".radio";
        const size_t n = sizeof kRadio - 1;
        if (key.path.size() > n && key.path.compare(key.path.size() - n, n, kRadio) == 0)
            return refuse(error, key,
                          printf_string(": radio index %" PRId64 ", must be 0 or 1", v));
        return refuse(error, key,
                      printf_string(": value %" PRId64 " out of range ", v) + range_text(key));
    }
    put_int<T>(member, v);
    return true;
}

// Checks an integer against what the key's field may carry, then stores it.
template <typename T>
bool store_int(const KeyInfo &key, int64_t v, const std::string &shown_value, uint8_t *member,
               std::string *error) {
    if (v < key.min || v > key.max)
        return refuse(error, key, ": " + shown_value + " is out of range " + range_text(key));
    put_int<T>(member, v);
    return true;
}

template <typename T>
std::string format_int(const uint8_t *member, const KeyInfo &) {
    return std::to_string(int_of<T>(member));
}

bool is_frequency(const KeyInfo &key) { return strcmp(key.unit, "Hz") == 0; }

// A frequency in the units gwcfg shows ("867.5MHz", "125 kHz") or plain Hz.
template <typename T>
bool parse_frequency_member(const std::string &text, const KeyInfo &key, uint8_t *member,
                            std::string *error) {
    int64_t v;
    std::string why;
    if (!parse_frequency(text, &v, &why))
        return refuse(error, key,
                      ": \"" + text + "\" is not a frequency (" + why +
                          "); give Hz, kHz or MHz, such as 868100000, 868.1MHz or 125kHz");
    return store_int<T>(key, v, text, member, error);
}

template <typename T>
bool parse_int(const std::string &text, const KeyInfo &key, uint8_t *member, std::string *error) {
    if (is_frequency(key)) return parse_frequency_member<T>(text, key, member, error);
    int64_t v;
    if (!gwutil::parse_signed_decimal(text, &v))
        return not_a(error, key, text, " (" + range_text(key) + ")");
    return store_int<T>(key, v, text, member, error);
}

template <typename T>
Json::Value int_to_json(const uint8_t *member, const KeyInfo &) {
    if (std::is_same<T, uint32_t>::value)
        return Json::Value(static_cast<Json::UInt>(int_of<T>(member)));
    return Json::Value(static_cast<Json::Int>(int_of<T>(member)));
}

template <typename T>
bool int_from_json(const Json::Value &v, const KeyInfo &key, uint8_t *member, std::string *error) {
    if (!v.isIntegral() || v.isBool())
        return refuse(error, key, ": expected an integer, got " + shown(v));
    if (v.isUInt64() && !v.isInt64())
        return refuse(error, key, ": " + shown(v) + " is out of range " + range_text(key));
    return store_int<T>(key, v.asInt64(), shown(v), member, error);
}

// Flags: one byte 0 or 1 in the block; the record's bool.
int64_t bool_of(const uint8_t *member) { return member[0]; }

void put_bool(uint8_t *member, bool v) { memcpy(member, &v, 1); }

void encode_bool(const uint8_t *member, const KeyInfo &, uint8_t *field) { field[0] = member[0]; }

bool decode_bool(const uint8_t *field, const KeyInfo &key, uint8_t *member, std::string *error) {
    if (field[0] > 1)
        return refuse(error, key, printf_string(": flag byte %u, must be 0 or 1", field[0]));
    put_bool(member, field[0] != 0);
    return true;
}

std::string format_bool(const uint8_t *member, const KeyInfo &) {
    return member[0] ? "true" : "false";
}

bool parse_bool(const std::string &text, const KeyInfo &key, uint8_t *member, std::string *error) {
    if (text != "true" && text != "false") return not_a(error, key, text);
    put_bool(member, text == "true");
    return true;
}

Json::Value bool_to_json(const uint8_t *member, const KeyInfo &) {
    return Json::Value(member[0] != 0);
}

bool bool_from_json(const Json::Value &v, const KeyInfo &key, uint8_t *member, std::string *error) {
    if (!v.isBool()) return refuse(error, key, ": expected true or false, got " + shown(v));
    put_bool(member, v.asBool());
    return true;
}

// ---------------------------------------------------------------------------
// f32: the bit pattern big-endian in the block; finite only.

float float_of(const uint8_t *member) {
    float f;
    memcpy(&f, member, 4);
    return f;
}

bool store_float(const KeyInfo &key, double d, const std::string &shown_value, uint8_t *member,
                 std::string *error) {
    // Every double below FLT_MAX plus half a unit in the last place rounds
    // to a finite float; "3.4028235e+38", the shortest text of FLT_MAX that
    // get_value prints, lies above FLT_MAX itself.
    const double kFloatLimit = 0x1.ffffffp+127;
    if (!std::isfinite(d) || std::fabs(d) >= kFloatLimit)
        return refuse(error, key, ": " + shown_value + " is not a finite single-precision number");
    const float f = static_cast<float>(d);
    memcpy(member, &f, 4);
    return true;
}

bool decode_float(const uint8_t *field, const KeyInfo &key, uint8_t *member, std::string *error) {
    const uint32_t bits = get_be32(field);
    float f;
    memcpy(&f, &bits, 4);
    if (!std::isfinite(f)) return refuse(error, key, ": not a finite number");
    memcpy(member, &f, 4);
    return true;
}

std::string format_float_member(const uint8_t *member, const KeyInfo &) {
    return format_float(float_of(member));
}

bool parse_float(const std::string &text, const KeyInfo &key, uint8_t *member, std::string *error) {
    char *end = nullptr;
    errno = 0;
    const double d = text.empty() ? 0 : strtod(text.c_str(), &end);
    if (text.empty() || *end != 0 || isspace(static_cast<unsigned char>(text[0])))
        return not_a(error, key, text);
    return store_float(key, d, text, member, error);
}

Json::Value float_to_json(const uint8_t *member, const KeyInfo &) {
    return Json::Value(static_cast<double>(float_of(member)));
}

bool float_from_json(const Json::Value &v, const KeyInfo &key, uint8_t *member,
                     std::string *error) {
    if (!v.isNumeric() || v.isBool())
        return refuse(error, key, ": expected a number, got " + shown(v));
    return store_float(key, v.asDouble(), shown(v), member, error);
}

// ---------------------------------------------------------------------------
// ipv4: a u32 in the block and the record, dotted in text and JSON.

std::string format_ipv4_member(const uint8_t *member, const KeyInfo &) {
    return format_ipv4(static_cast<uint32_t>(int_of<uint32_t>(member)));
}

bool parse_ipv4_member(const std::string &text, const KeyInfo &key, uint8_t *member,
                       std::string *error) {
    uint32_t a;
    if (!parse_ipv4(text, &a)) return not_a(error, key, text);
    put_int<uint32_t>(member, a);
    return true;
}

// Addresses, texts and MAC addresses are JSON strings in their text form.
Json::Value string_to_json_via_format(const uint8_t *member, const KeyInfo &key) {
    return Json::Value(kind_ops(key.kind).format(member, key));
}

bool string_from_json(const Json::Value &v, const KeyInfo &key, uint8_t *member,
                      std::string *error) {
    if (!v.isString()) return refuse(error, key, ": expected a string, got " + shown(v));
    return kind_ops(key.kind).parse(v.asString(), key, member, error);
}

// ---------------------------------------------------------------------------
// text[N]: printable ASCII, NUL inside the array, zero bytes after it.

size_t text_length(const uint8_t *member, size_t size) {
    size_t n = 0;
    while (n + 1 < size && member[n] != 0)
        ++n;
    return n;
}

void encode_text(const uint8_t *member, const KeyInfo &key, uint8_t *field) {
    const size_t n = text_length(member, key.size);
    memcpy(field, member, n);
    memset(field + n, 0, key.size - n);
}

bool decode_text(const uint8_t *field, const KeyInfo &key, uint8_t *member, std::string *error) {
    const void *nul = memchr(field, 0, key.size);
    if (!nul) return refuse(error, key, ": text not terminated");
    const size_t len = static_cast<size_t>(static_cast<const uint8_t *>(nul) - field);
    for (size_t i = 0; i < len; ++i)
        if (!printable(field[i]))
            return refuse(error, key,
                          printf_string(": byte 0x%02X at position %zu is not printable ASCII",
                                        field[i], i));
    for (size_t i = len; i < key.size; ++i)
        if (field[i] != 0) return refuse(error, key, ": bytes after the terminator are not zero");
    memcpy(member, field, key.size);
    return true;
}

std::string format_text(const uint8_t *member, const KeyInfo &key) {
    return std::string(reinterpret_cast<const char *>(member), text_length(member, key.size));
}

bool parse_text(const std::string &text, const KeyInfo &key, uint8_t *member, std::string *error) {
    if (text.size() > key.size - 1)
        return refuse(error, key,
                      printf_string(": text of %zu characters is too long, at most %zu fit",
                                    text.size(), key.size - 1));
    for (unsigned char c : text)
        if (!printable(c))
            return refuse(error, key, ": only printable ASCII characters are allowed in a text");
    memset(member, 0, key.size);
    memcpy(member, text.data(), text.size());
    return true;
}

// ---------------------------------------------------------------------------
// MAC address: six bytes everywhere; a read-only view.

void encode_mac(const uint8_t *member, const KeyInfo &, uint8_t *field) {
    memcpy(field, member, 6);
}

bool decode_mac(const uint8_t *field, const KeyInfo &, uint8_t *member, std::string *) {
    memcpy(member, field, 6);
    return true;
}

std::string format_mac_member(const uint8_t *member, const KeyInfo &) { return format_mac(member); }

bool read_only(const std::string &, const KeyInfo &key, uint8_t *, std::string *error) {
    return refuse(error, key, " is read-only");
}

bool read_only_json(const Json::Value &, const KeyInfo &key, uint8_t *, std::string *error) {
    return refuse(error, key, " is read-only");
}

// ---------------------------------------------------------------------------
// The rows, in the order of ValueKind.

const KindOps kKinds[] = {
    // Bool
    {"bool", "true or false", 1, 0, 1, encode_bool, decode_bool, format_bool, parse_bool,
     bool_to_json, bool_from_json, bool_of},
    // U8
    {"u8", "an integer", 1, 0, UINT8_MAX, encode_int<uint8_t>, decode_int<uint8_t>,
     format_int<uint8_t>, parse_int<uint8_t>, int_to_json<uint8_t>, int_from_json<uint8_t>,
     int_of<uint8_t>},
    // I8
    {"i8", "an integer", 1, INT8_MIN, INT8_MAX, encode_int<int8_t>, decode_int<int8_t>,
     format_int<int8_t>, parse_int<int8_t>, int_to_json<int8_t>, int_from_json<int8_t>,
     int_of<int8_t>},
    // I32
    {"i32", "an integer", 4, INT32_MIN, INT32_MAX, encode_int<int32_t>, decode_int<int32_t>,
     format_int<int32_t>, parse_int<int32_t>, int_to_json<int32_t>, int_from_json<int32_t>,
     int_of<int32_t>},
    // U32
    {"u32", "an integer", 4, 0, UINT32_MAX, encode_int<uint32_t>, decode_int<uint32_t>,
     format_int<uint32_t>, parse_int<uint32_t>, int_to_json<uint32_t>, int_from_json<uint32_t>,
     int_of<uint32_t>},
    // F32
    {"f32", "a decimal number", 4, 0, 0, encode_int<uint32_t>, decode_float, format_float_member,
     parse_float, float_to_json, float_from_json, nullptr},
    // Ipv4
    {"ipv4", "a dotted IPv4 address such as 192.168.0.1", 4, 0, UINT32_MAX, encode_int<uint32_t>,
     decode_int<uint32_t>, format_ipv4_member, parse_ipv4_member, string_to_json_via_format,
     string_from_json, int_of<uint32_t>},
    // Text
    {"text", "a text", 0, 0, 0, encode_text, decode_text, format_text, parse_text,
     string_to_json_via_format, string_from_json, nullptr},
    // Mac
    {"bytes", "a MAC address", 6, 0, 0, encode_mac, decode_mac, format_mac_member, read_only,
     string_to_json_via_format, read_only_json, nullptr},
};

static_assert(sizeof kKinds / sizeof kKinds[0] == static_cast<size_t>(ValueKind::Mac) + 1,
              "one row per value kind");

}  // namespace

const KindOps &kind_ops(ValueKind kind) { return kKinds[static_cast<size_t>(kind)]; }

}  // namespace detail
}  // namespace gwblock
