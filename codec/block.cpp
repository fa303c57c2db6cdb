// block.cpp - the block layout: magic, version, revision, every key's field
// at its offset, zero in every reserved byte, CRC-32 at the end.
#include <cinttypes>
#include <cstring>

#include "codec_internal.h"

namespace gwblock {

namespace {

using namespace detail;

struct CrcTable {
    uint32_t v[256];
    constexpr CrcTable() : v() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
            v[i] = c;
        }
    }
};
constexpr CrcTable kCrcTable;

}  // namespace

uint32_t crc32(const uint8_t *data, size_t len) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; ++i)
        c = kCrcTable.v[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void encode(const BlockContents &in, uint8_t out[kBlockSize]) {
    const uint16_t version = in.version ? in.version : kVersion;
    memset(out, 0, kBlockSize);
    memcpy(out, kMagic, 4);
    put_be16(out + 4, version);
    for (const KeyInfo &key : layout().keys)
        if (key.since_version <= version)
            kind_ops(key.kind).encode(member_ptr(in, key), key, out + key.block_offset);
    put_be32(out + kCrcOffset, crc32(out, kCrcOffset));
}

bool decode(const uint8_t in[kBlockSize], BlockContents *out, std::string *error) {
    if (memcmp(in, kMagic, 4) != 0) {
        set_error(error,
                  printf_string("bad magic %02X %02X %02X %02X (a configuration block starts "
                                "with \"GWCB\")",
                                in[0], in[1], in[2], in[3]));
        return false;
    }
    const uint16_t version = get_be16(in + 4);
    if (version < kOldestVersion || version > kVersion) {
        set_error(error,
                  printf_string("unsupported block version %u (this build reads versions %u to %u)",
                                version, kOldestVersion, kVersion));
        return false;
    }
    const uint32_t stored = get_be32(in + kCrcOffset);
    const uint32_t computed = crc32(in, kCrcOffset);
    if (stored != computed) {
        set_error(error, printf_string("bad CRC (stored 0x%08" PRIX32 ", computed 0x%08" PRIX32 ")",
                                       stored, computed));
        return false;
    }
    const Layout &l = layout();
    BlockContents tmp{};
    tmp.version = version;
    for (size_t i = 0; i < kCrcOffset; ++i) {
        const int16_t owner = l.owner[i];
        if (owner == Layout::kFixed) continue;
        // A field that came with a later version is reserved in this one.
        if (owner == Layout::kReserved ||
            l.keys[static_cast<size_t>(owner)].since_version > version) {
            if (in[i] != 0) {
                set_error(error, printf_string("reserved byte at offset %zu is 0x%02X, must be 0",
                                               i, in[i]));
                return false;
            }
            continue;
        }
        const KeyInfo &key = l.keys[static_cast<size_t>(owner)];
        if (key.block_offset != i) continue;  // inside a field already checked
        if (!kind_ops(key.kind).decode(in + i, key, member_ptr(&tmp, key), error)) return false;
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

const char *change_state_word(uint8_t state) {
    static const char *const kWords[kChangeStates] = {"not watched", "watching", "confirmed",
                                                      "rolled back", "failed"};
    return state < kChangeStates ? kWords[state] : "?";
}

std::string change_reason_text(const ChangeStatus &c) {
    switch (static_cast<ChangeReason>(c.reason)) {
        case ChangeReason::NoStart:
            return printf_string("no forwarder started within %" PRIu32 " s", c.seconds);
        case ChangeReason::Exited:
            return printf_string("the forwarder exited %" PRIu32 " s after starting", c.seconds);
        case ChangeReason::Operator:
            return "confirmed with gwcfg confirm";
        case ChangeReason::None:
            break;
    }
    return "";
}

void apply_block(const BlockContents &from, EqpConfig *eqp, GatewayConfig *gw) {
    constexpr size_t kEqp = offsetof(BlockContents, eqp);
    constexpr size_t kGw = offsetof(BlockContents, gw);
    for (const KeyInfo &key : layout().keys) {
        if (!key.writable) continue;
        uint8_t *dst;
        if (key.member_offset >= kGw && key.member_offset < kGw + sizeof(GatewayConfig))
            dst = reinterpret_cast<uint8_t *>(gw) + (key.member_offset - kGw);
        else
            dst = reinterpret_cast<uint8_t *>(eqp) + (key.member_offset - kEqp);
        memcpy(dst, member_ptr(from, key), key.size);
    }
}

}  // namespace gwblock
