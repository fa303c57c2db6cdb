// Fuzz harness: the configuration-block decoder. The first input byte says
// how to read the rest:
//   bit 7 clear: the rest is a block (cut or zero-padded to 1024 bytes);
//     bit 0 writes the right magic and version into it, bit 1 the right CRC,
//     so that mutations reach the field checks behind them. The block goes
//     through gwblock::decode.
//   bit 7 set: the rest is the raw memory of a BlockContents (cut or
//     zero-padded), which goes through gwblock::encode and then decode.
// Besides the sanitizers the harness aborts when
//   - decode accepts a block that encode does not give back byte for byte,
//     or fails without naming the fault, or touches its output on failure;
//   - a decoded block does not validate;
//   - a writable key's text form (get_value) does not set_value back to the
//     same value, or the decoded contents, written as JSON text (to_json)
//     and read back as a profile (apply_json_profile), do not give the same
//     writable keys: the roads by which gwcfg show output comes back in
//     gwcfg set and in profiles;
//   - encode of any record, when it decodes, is not a fixed point;
//   - the forwarder's rules, run on any record (decoded or raw), disagree
//     with themselves (check_rules against rule_faults) or report a fault
//     without a key and a message that names it.

#include "config_block.h"

#include <json/reader.h>
#include <json/writer.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fault(const char *what, const std::string &detail = "") {
    fprintf(stderr, "codec_fuzz: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    abort();
}

void PutBe32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// What a decoded block must survive.
void CheckDecoded(const uint8_t block[gwblock::kBlockSize], const gwblock::BlockContents &c) {
    uint8_t again[gwblock::kBlockSize];
    gwblock::encode(c, again);
    if (memcmp(again, block, sizeof again) != 0) {
        size_t i = 0;
        while (again[i] == block[i])
            ++i;
        char where[64];
        snprintf(where, sizeof where, "first difference at offset %zu", i);
        Fault("re-encoding a decoded block gives other bytes", where);
    }
    std::string error;
    if (!gwblock::validate(c, &error)) Fault("a decoded block does not validate", error);

    // Text forms, key by key, set back into one copy: each key must come
    // back as it was, and nothing else may change on the way.
    gwblock::BlockContents copy = c;
    for (const gwblock::KeyInfo &key : gwblock::key_table()) {
        if (!key.writable) continue;
        const std::string text = gwblock::get_value(c, key);
        if (!gwblock::set_value(&copy, key.path, text, &error))
            Fault("the text form of a key does not set back", key.path + "=" + text + ": " + error);
        const auto *was = reinterpret_cast<const uint8_t *>(&c) + key.member_offset;
        const auto *now = reinterpret_cast<const uint8_t *>(&copy) + key.member_offset;
        if (memcmp(now, was, key.size) != 0)
            Fault("the text form of a key sets another value", key.path + "=" + text);
    }
    if (memcmp(&copy, &c, sizeof c) != 0) Fault("setting the keys back changed another member");

    // JSON text and back, as a profile over empty contents.
    Json::StreamWriterBuilder w;
    const std::string json = Json::writeString(w, gwblock::to_json(c));
    Json::CharReaderBuilder rb;
    std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
    Json::Value parsed;
    std::string errs;
    if (!reader->parse(json.data(), json.data() + json.size(), &parsed, &errs))
        Fault("to_json wrote text that does not parse", errs);
    gwblock::BlockContents from_profile{};
    if (!gwblock::apply_json_profile(parsed, &from_profile, &error))
        Fault("to_json output is refused as a profile", error);
    const auto differ = gwblock::diff_keys(c, from_profile, true);
    if (!differ.empty())
        Fault("a key does not survive JSON text",
              differ.front()->path + ": " + gwblock::get_value(c, *differ.front()) + " -> " +
                  gwblock::get_value(from_profile, *differ.front()));
}

// The rules read every kind of member, and indices (clksrc, a channel's
// radio) that a raw record may hold out of range.
void CheckRules(const gwblock::BlockContents &c) {
    const std::vector<gwblock::RuleFault> faults = gwblock::rule_faults(c);
    std::string error;
    if (gwblock::check_rules(c, &error) != faults.empty())
        Fault("check_rules and rule_faults disagree", error);
    for (const gwblock::RuleFault &f : faults)
        if (!f.key || f.message.compare(0, f.key->path.size() + 1, f.key->path + "=") != 0)
            Fault("a rule fault does not name its key", f.message);
}

void DecodeBlock(uint8_t flags, const uint8_t *data, size_t size) {
    uint8_t block[gwblock::kBlockSize] = {};
    memcpy(block, data, size < sizeof block ? size : sizeof block);
    if (flags & 1) {
        memcpy(block, gwblock::kMagic, 4);
        block[4] = static_cast<uint8_t>(gwblock::kVersion >> 8);
        block[5] = static_cast<uint8_t>(gwblock::kVersion);
    }
    if (flags & 2) PutBe32(block + gwblock::kCrcOffset, gwblock::crc32(block, gwblock::kCrcOffset));

    gwblock::BlockContents out;
    memset(&out, 0xA5, sizeof out);
    gwblock::BlockContents untouched;
    memcpy(&untouched, &out, sizeof out);
    std::string error;
    if (!gwblock::decode(block, &out, &error)) {
        if (error.empty()) Fault("decode failed without naming the fault");
        if (memcmp(&out, &untouched, sizeof out) != 0)
            Fault("decode changed its output on failure", error);
        return;
    }
    CheckDecoded(block, out);
    CheckRules(out);
}

void EncodeRecord(const uint8_t *data, size_t size) {
    gwblock::BlockContents raw;
    memset(&raw, 0, sizeof raw);
    memcpy(&raw, data, size < sizeof raw ? size : sizeof raw);
    uint8_t block[gwblock::kBlockSize];
    gwblock::encode(raw, block);
    CheckRules(raw);
    gwblock::BlockContents decoded;
    std::string error, why_not;
    const bool valid = gwblock::validate(raw, &why_not);
    if (gwblock::decode(block, &decoded, &error) != valid)
        Fault("validate and decode of the encoded record disagree");
    if (valid)
        CheckDecoded(block, decoded);
    else if (error != why_not)
        Fault("validate names another fault than decode", error + " / " + why_not);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 0x80)
        EncodeRecord(data + 1, size - 1);
    else
        DecodeBlock(data[0], data + 1, size - 1);
    return 0;
}
