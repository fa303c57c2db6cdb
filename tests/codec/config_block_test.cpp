// The configuration block: CRC, layout, round trips, every validation fault,
// and the datagrams that carry the block.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "codec_fixtures.h"
#include "config_block.h"

using namespace gwblock;
using codec_test::RandomContents;
using codec_test::SampleContents;

namespace {

using Block = std::vector<uint8_t>;

Block Encode(const BlockContents &b) {
    Block out(kBlockSize);
    encode(b, out.data());
    return out;
}

uint32_t Be32(const Block &b, size_t at) {
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) |
           b[at + 3];
}

void Put32(Block &b, size_t at, uint32_t v) {
    b[at] = uint8_t(v >> 24);
    b[at + 1] = uint8_t(v >> 16);
    b[at + 2] = uint8_t(v >> 8);
    b[at + 3] = uint8_t(v);
}

void Reseal(Block &b) { Put32(b, kCrcOffset, crc32(b.data(), kCrcOffset)); }

size_t Offset(const std::string &key) {
    const KeyInfo *k = find_key(key);
    EXPECT_NE(k, nullptr) << key;
    return k ? k->block_offset : 0;
}

}  // namespace

TEST(Crc32, KnownVectors) {
    const char *check = "123456789";
    EXPECT_EQ(crc32(reinterpret_cast<const uint8_t *>(check), 9), 0xCBF43926u);
    EXPECT_EQ(crc32(nullptr, 0), 0u);
    const uint8_t a = 'a';
    EXPECT_EQ(crc32(&a, 1), 0xE8B7BE43u);
}

TEST(BlockLayout, HeaderFieldsAndCrcWhereDocumented) {
    BlockContents b = SampleContents();
    b.revision = 0x01020304;
    Block blk = Encode(b);
    EXPECT_EQ(std::string(blk.begin(), blk.begin() + 4), "GWCB");
    EXPECT_EQ(blk[4], 0);
    EXPECT_EQ(blk[5], 2);  // version 2, big-endian
    EXPECT_EQ(Be32(blk, 8), 0x01020304u);
    EXPECT_EQ(Be32(blk, 1020), crc32(blk.data(), 1020));
    // A few fields at their documented offsets, big-endian.
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&blk[56])), "DeviceName12345");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&blk[440])), "router.eu.example.net");
    EXPECT_EQ(Be32(blk, 148), 867500000u);                      // radio_0.freq
    EXPECT_EQ(Be32(blk, 148 + 4 * 0 + 4), 0xC3260000u);         // -166.0f
    EXPECT_EQ(Be32(blk, 132), 0xC0A80001u);                     // fixed_ip
    EXPECT_EQ(blk[110], 1);                                     // networkmode
    EXPECT_EQ(Be32(blk, 196 + 3 * 16 + 4), uint32_t(-400000));  // chan_multiSF_3.if
    EXPECT_EQ(blk[356 + 7 * 4 + 3], uint8_t(int8_t(8)));        // tx_lut_7.rf_power
    EXPECT_EQ(Offset("serverIP_conf.fixed_ip"), 132u);
    EXPECT_EQ(Offset("gateway_conf.forward_crc_disabled"), 526u);
    EXPECT_EQ(Offset("device_info.mac"), 104u);
}

TEST(BlockLayout, RepeatedRecordsAtTheirDocumentedStrides) {
    struct Rel {
        const char *suffix;
        size_t offset;
    };
    const Rel radio[] = {
        {"freq", 0}, {"rssi_offset", 4}, {"enable", 8}, {"tx_enable", 9}, {"type", 10}};
    for (int n = 0; n < 2; ++n)
        for (const Rel &r : radio)
            EXPECT_EQ(Offset("SX1301_conf.radio_" + std::to_string(n) + "." + r.suffix),
                      148 + 24 * n + r.offset);
    const Rel channel[] = {
        {"enable", 0}, {"radio", 1}, {"if", 4}, {"bandwidth", 8}, {"datarate", 12}};
    for (int n = 0; n < 8; ++n)
        for (const Rel &r : channel)
            EXPECT_EQ(Offset("SX1301_conf.chan_multiSF_" + std::to_string(n) + "." + r.suffix),
                      196 + 16 * n + r.offset);
    EXPECT_EQ(Offset("SX1301_conf.chan_Lora_std.enable"), 324u);
    EXPECT_EQ(Offset("SX1301_conf.chan_Lora_std.spread_factor"), 336u);
    EXPECT_EQ(Offset("SX1301_conf.chan_FSK.datarate"), 352u);
    const Rel tx[] = {{"dig_gain", 0}, {"pa_gain", 1}, {"mix_gain", 2}, {"rf_power", 3}};
    for (int n = 0; n < 16; ++n)
        for (const Rel &r : tx)
            EXPECT_EQ(Offset("SX1301_conf.tx_lut_" + std::to_string(n) + "." + r.suffix),
                      356 + 4 * n + r.offset);
    EXPECT_EQ(Offset("SX1301_conf.tx_lut_count"), 146u);
    EXPECT_EQ(Offset("gateway_conf.push_timeout_ms"), 520u);
}

TEST(BlockCodec, RoundTripsRandomRecords) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(seed);
        const BlockContents in = RandomContents(seed);
        Block blk = Encode(in);
        BlockContents out;
        std::string err;
        ASSERT_TRUE(decode(blk.data(), &out, &err)) << err;
        EXPECT_TRUE(diff_keys(in, out, false).empty());
        EXPECT_EQ(Encode(out), blk);  // one record, one byte pattern
    }
}

TEST(BlockCodec, CarriesOnlyTheNamedMembers) {
    BlockContents in = SampleContents();
    in.eqp.host_flag = 9;
    in.eqp.spare[1] = 4;
    in.eqp.net_reserved1 = 77;
    in.gw.radios[0].reserved[2] = 5;
    in.gw.tx_lut[3].reserved = 6;
    Block blk = Encode(in);
    EXPECT_EQ(Encode(SampleContents()), blk);
    BlockContents out;
    ASSERT_TRUE(decode(blk.data(), &out, nullptr));
    EXPECT_EQ(out.eqp.host_flag, 0);
    EXPECT_EQ(out.gw.radios[0].reserved[2], 0);
    // Bytes after a text's terminator in the record do not reach the block.
    BlockContents dirty = SampleContents();
    dirty.gw.gateway_conf.server_address[40] = 'x';
    EXPECT_EQ(Encode(dirty), blk);
}

struct FaultCase {
    const char *name;
    std::function<void(Block &)> mutate;
    bool reseal;  // recompute the CRC after the change
    std::string message;
};

void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.name; }

class BlockFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(BlockFaults, NamesTheFault) {
    const FaultCase &c = GetParam();
    Block blk = Encode(SampleContents());
    c.mutate(blk);
    if (c.reseal) Reseal(blk);
    BlockContents out = RandomContents(99);
    const BlockContents before = out;
    std::string err;
    EXPECT_FALSE(decode(blk.data(), &out, &err));
    EXPECT_EQ(err, c.message);
    // A refused block leaves the output alone.
    EXPECT_EQ(memcmp(&out, &before, sizeof out), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Decode, BlockFaults,
    ::testing::Values(
        FaultCase{"Magic",
                  [](Block &b) {
                      b[0] = 'X';
                  },
                  true, "bad magic 58 57 43 42 (a configuration block starts with \"GWCB\")"},
        FaultCase{"Version",
                  [](Block &b) {
                      b[5] = 3;
                  },
                  true, "unsupported block version 3 (this build reads versions 1 to 2)"},
        FaultCase{"VersionZero",
                  [](Block &b) {
                      b[5] = 0;
                  },
                  true, "unsupported block version 0 (this build reads versions 1 to 2)"},
        // Version 1 reserves what version 2 says of the last change.
        FaultCase{"HeaderReservedInVersion1",
                  [](Block &b) {
                      b[5] = 1;
                      b[6] = 1;
                  },
                  true, "reserved byte at offset 6 is 0x01, must be 0"},
        FaultCase{"ChangeRevisionReservedInVersion1",
                  [](Block &b) {
                      b[5] = 1;
                      b[14] = 8;
                  },
                  true, "reserved byte at offset 14 is 0x08, must be 0"},
        FaultCase{"ChangeSecondsReservedInVersion1",
                  [](Block &b) {
                      b[5] = 1;
                      b[531] = 3;
                  },
                  true, "reserved byte at offset 531 is 0x03, must be 0"},
        FaultCase{"ChangeState",
                  [](Block &b) {
                      b[6] = 5;
                  },
                  true, "device_info.change_state: value 5 out of range 0..4"},
        FaultCase{"ChangeReason",
                  [](Block &b) {
                      b[7] = 4;
                  },
                  true, "device_info.change_reason: value 4 out of range 0..3"},
        FaultCase{"AfterTheChangeSeconds",
                  [](Block &b) {
                      b[536] = 1;
                  },
                  true, "reserved byte at offset 536 is 0x01, must be 0"},
        FaultCase{"RadioReserved",
                  [](Block &b) {
                      b[148 + 22] = 0x80;
                  },
                  true, "reserved byte at offset 170 is 0x80, must be 0"},
        FaultCase{"TailReserved",
                  [](Block &b) {
                      b[1019] = 0xFF;
                  },
                  true, "reserved byte at offset 1019 is 0xFF, must be 0"},
        FaultCase{"TextNotTerminated",
                  [](Block &b) {
                      memset(&b[440], 'a', 64);
                  },
                  true, "gateway_conf.server_address: text not terminated"},
        FaultCase{"TextNotPrintable",
                  [](Block &b) {
                      b[420 + 2] = 0x1B;
                  },
                  true, "gateway_conf.gateway_ID: byte 0x1B at position 2 is not printable ASCII"},
        FaultCase{"TextPadding",
                  [](Block &b) {
                      b[56 + 15] = 'z';
                      b[56 + 14] = 0;
                  },
                  true, "serverIP_conf.server_name: bytes after the terminator are not zero"},
        FaultCase{"RadioIndex",
                  [](Block &b) {
                      b[196 + 3 * 16 + 1] = 2;
                  },
                  true, "SX1301_conf.chan_multiSF_3.radio: radio index 2, must be 0 or 1"},
        FaultCase{"Flag",
                  [](Block &b) {
                      b[144] = 2;
                  },
                  true, "SX1301_conf.lorawan_public: flag byte 2, must be 0 or 1"},
        FaultCase{"NetworkMode",
                  [](Block &b) {
                      b[110] = 3;
                  },
                  true, "serverIP_conf.networkmode: value 3 out of range 0..1"},
        FaultCase{"Port",
                  [](Block &b) {
                      Put32(b, 504, 70000);
                  },
                  true, "gateway_conf.serv_port_up: value 70000 out of range 0..65535"},
        FaultCase{"NegativePort",
                  [](Block &b) {
                      Put32(b, 508, uint32_t(-1));
                  },
                  true, "gateway_conf.serv_port_down: value -1 out of range 0..65535"},
        FaultCase{"FloatNaN",
                  [](Block &b) {
                      Put32(b, 148 + 24 + 4, 0x7FC00000);
                  },
                  true, "SX1301_conf.radio_1.rssi_offset: not a finite number"},
        // Two faults: the one at the lower offset is named.
        FaultCase{"FirstFaultWins",
                  [](Block &b) {
                      b[196 + 1] = 7;           // chan_multiSF_0.radio
                      memset(&b[16], 'v', 24);  // vendor, not terminated
                  },
                  true, "device_info.vendor: text not terminated"}),
    [](const ::testing::TestParamInfo<FaultCase> &info) {
        return std::string(info.param.name);
    });

// The last change: header bytes 6 (state), 7 (reason), 12 to 15 (its
// revision), then its seconds at 528 and 532, all read-only.
TEST(BlockLayout, ChangeStatusWhereDocumented) {
    BlockContents b = SampleContents();
    b.change = ChangeStatus{8, 3, 41, static_cast<uint8_t>(ChangeState::RolledBack),
                            static_cast<uint8_t>(ChangeReason::Exited)};
    Block blk = Encode(b);
    EXPECT_EQ(blk[6], 3);
    EXPECT_EQ(blk[7], 2);
    EXPECT_EQ(Be32(blk, 12), 8u);
    EXPECT_EQ(Be32(blk, 528), 3u);
    EXPECT_EQ(Be32(blk, 532), 41u);
    BlockContents out;
    std::string err;
    ASSERT_TRUE(decode(blk.data(), &out, &err)) << err;
    EXPECT_EQ(out.version, 2);
    EXPECT_EQ(out.change.state, 3);
    EXPECT_EQ(out.change.seconds, 3u);
    EXPECT_EQ(change_reason_text(out.change), "the forwarder exited 3 s after starting");
    EXPECT_STREQ(change_state_word(out.change.state), "rolled back");
    for (const char *key :
         {"device_info.change_state", "device_info.change_reason", "device_info.change_revision",
          "device_info.change_seconds", "device_info.change_left"}) {
        ASSERT_NE(find_key(key), nullptr) << key;
        EXPECT_FALSE(find_key(key)->writable) << key;
        EXPECT_EQ(find_key(key)->since_version, 2) << key;
    }
    // A gateway never takes it from an update.
    BlockContents live = SampleContents();
    apply_block(out, &live.eqp, &live.gw);
    EXPECT_EQ(live.change.state, 0);
}

// A tool of this version reads a gateway of layout version 1 (nothing said
// of the last change) and sends it back a version 1 block.
TEST(BlockCodec, ReadsAndWritesVersion1) {
    BlockContents b = SampleContents();
    b.version = 1;
    b.change.state = static_cast<uint8_t>(ChangeState::Watching);  // left out of a version 1 block
    b.change.revision = 9;
    Block v1 = Encode(b);
    EXPECT_EQ(v1[5], 1);
    EXPECT_EQ(v1[6], 0);
    EXPECT_EQ(Be32(v1, 12), 0u);
    BlockContents out;
    std::string err;
    ASSERT_TRUE(decode(v1.data(), &out, &err)) << err;
    EXPECT_EQ(out.version, 1);
    EXPECT_EQ(out.change.state, 0);
    EXPECT_EQ(Encode(out), v1);
    // The same configuration in version 2 differs in the version only.
    out.version = 0;
    Block v2 = Encode(out);
    EXPECT_EQ(v2[5], 2);
    v2[5] = 1;
    Reseal(v2);
    EXPECT_EQ(v2, v1);
}

TEST(BlockCodec, CrcFaultNamesBothValues) {
    Block blk = Encode(SampleContents());
    uint32_t good = Be32(blk, 1020);
    blk[600] ^= 1;
    std::string err;
    BlockContents out;
    ASSERT_FALSE(decode(blk.data(), &out, &err));
    char expect[80];
    snprintf(expect, sizeof expect, "bad CRC (stored 0x%08X, computed 0x%08X)", good,
             crc32(blk.data(), 1020));
    EXPECT_EQ(err, expect);
}

TEST(BlockCodec, RecordsWithUnfitValuesGiveBlocksThatNameThem) {
    BlockContents b = SampleContents();
    b.gw.chan_FSK.radio = 5;
    std::string err;
    EXPECT_FALSE(validate(b, &err));
    EXPECT_EQ(err, "SX1301_conf.chan_FSK.radio: radio index 5, must be 0 or 1");

    // A text that fills its array without a terminator is cut, not overrun.
    b = SampleContents();
    memset(b.gw.radios[1].type, 'R', sizeof b.gw.radios[1].type);
    Block blk = Encode(b);
    BlockContents out;
    ASSERT_TRUE(decode(blk.data(), &out, &err)) << err;
    EXPECT_EQ(get_value(out, *find_key("SX1301_conf.radio_1.type")), std::string(10, 'R'));
    EXPECT_TRUE(validate(SampleContents(), &err)) << err;
}

TEST(BlockCodec, ApplyBlockTakesOnlyWhatTheGatewayAccepts) {
    const BlockContents from = RandomContents(5);
    BlockContents live = RandomContents(6);
    live.gw.radios[0].reserved[1] = 0xAB;
    live.eqp.host_flag = 1;
    const BlockContents before = live;
    apply_block(from, &live.eqp, &live.gw);
    EXPECT_TRUE(diff_keys(from, live, true).empty());
    for (const KeyInfo *k : diff_keys(before, live, false))
        EXPECT_TRUE(k->writable) << k->path;
    EXPECT_EQ(memcmp(live.eqp.mac, before.eqp.mac, 6), 0);
    EXPECT_EQ(memcmp(live.eqp.vendor, before.eqp.vendor, sizeof live.eqp.vendor), 0);
    EXPECT_EQ(live.eqp.ip, before.eqp.ip);
    EXPECT_EQ(live.eqp.host_flag, 1);
    EXPECT_EQ(live.gw.radios[0].reserved[1], 0xAB);
    EXPECT_EQ(live.revision, before.revision);
    EXPECT_EQ(live.eqp.fixed_gateway, from.eqp.fixed_gateway);
    EXPECT_EQ(live.gw.tx_lut_count, from.gw.tx_lut_count);
}

// ---------------------------------------------------------------------------
// Datagrams

namespace {
const uint8_t kMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
}

TEST(Datagrams, DiscoveryRequest) {
    uint8_t req[SEARCH_COMMAND_LEN];
    memset(req, 0xEE, sizeof req);
    build_discovery_request(req);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(req), 15), "Vorna Inc. QLM ");
    for (int i = 15; i < 24; ++i)
        EXPECT_EQ(req[i], 0) << i;
}

TEST(Datagrams, CommandFieldsAtTheirOffsets) {
    uint8_t cmd[MESSAGE_COMMAND_LEN];
    memset(cmd, 0xEE, sizeof cmd);
    ASSERT_TRUE(build_command(cmd, kMac, "TimeSync", "20261207 11:12:13", 0xC0A80114, 5000, 7));
    Block b(cmd, cmd + sizeof cmd);
    for (int i = 0; i < 34; ++i)
        EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(memcmp(&b[34], kMac, 6), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&b[40])), "TimeSync");
    EXPECT_EQ(b[51], 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&b[52])), "20261207 11:12:13");
    EXPECT_EQ(Be32(b, 72), 0xC0A80114u);
    EXPECT_EQ(b[76] << 8 | b[77], 5000);
    EXPECT_EQ(b[78] << 8 | b[79], 7);

    // Texts that leave no room for their NUL are refused, buffer untouched.
    uint8_t other[MESSAGE_COMMAND_LEN];
    memset(other, 0xEE, sizeof other);
    EXPECT_FALSE(build_command(other, kMac, "ClrCfgBuf123", ""));
    EXPECT_FALSE(build_command(other, kMac, "TimeSync", "20261207 11:12:13 UT"));
    EXPECT_EQ(other[0], 0xEE);
    EXPECT_TRUE(build_command(other, kMac, "ClrCfgBuf12", "2026120711:12:13 UT"));
}

// Confirm names the revision it confirms; anything else is no Confirm.
TEST(Datagrams, ConfirmCarriesTheRevision) {
    uint8_t cmd[MESSAGE_COMMAND_LEN];
    build_confirm(cmd, kMac, 4294967295u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&cmd[40])), "Confirm");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&cmd[52])), "4294967295");
    uint32_t rev = 0;
    EXPECT_TRUE(parse_confirm(cmd, sizeof cmd, kMac, &rev));
    EXPECT_EQ(rev, 4294967295u);

    const uint8_t other_mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x56};
    EXPECT_FALSE(parse_confirm(cmd, sizeof cmd, other_mac, &rev));
    EXPECT_FALSE(parse_confirm(cmd, sizeof cmd - 1, kMac, &rev));
    struct Bad {
        const char *command, *argument;
    };
    for (const Bad &bad : {Bad{"Confirm", ""}, Bad{"Confirm", "4294967296"}, Bad{"Confirm", "12a"},
                           Bad{"Confirm", "-1"}, Bad{"Confirm", " 7"}, Bad{"confirm", "7"},
                           Bad{"Confirmed", "7"}, Bad{"Reboot", "7"}}) {
        ASSERT_TRUE(build_command(cmd, kMac, bad.command, bad.argument));
        EXPECT_FALSE(parse_confirm(cmd, sizeof cmd, kMac, &rev))
            << bad.command << " " << bad.argument;
    }
}

TEST(Datagrams, UpdateCarriesMacAndBlock) {
    Block blk = Encode(SampleContents());
    uint8_t upd[UPDATE_COMMAND_LEN];
    memset(upd, 0xEE, sizeof upd);
    build_update(upd, kMac, blk.data());
    for (int i : {0, 15, 22, 23})
        EXPECT_EQ(upd[i], 0) << i;
    EXPECT_EQ(memcmp(upd + 16, kMac, 6), 0);
    EXPECT_EQ(memcmp(upd + 24, blk.data(), kBlockSize), 0);
}

TEST(Datagrams, ReplyChecksum) {
    Block blk(kBlockSize, 0);
    blk[0] = 0x12;
    blk[1023] = 0xF0;
    EXPECT_EQ(reply_checksum(blk.data()), 0x02);
    Block same(kBlockSize, 0x5A);
    EXPECT_EQ(reply_checksum(same.data()), 0x00);
}

TEST(Datagrams, DiscoveryReplyParsesBackToTheRecord) {
    const BlockContents in = SampleContents();
    Block blk = Encode(in);
    uint8_t reply[SEARCH_FORMAT_LEN];
    build_discovery_reply(reply, kMac, blk.data());
    EXPECT_EQ(reply[0], 'V');
    EXPECT_EQ(reply[7], 0);
    uint8_t mac[6] = {};
    BlockContents out;
    std::string err;
    ASSERT_TRUE(parse_discovery_reply(reply, sizeof reply, mac, &out, &err)) << err;
    EXPECT_EQ(memcmp(mac, kMac, 6), 0);
    EXPECT_TRUE(diff_keys(in, out, false).empty());
}

TEST(Datagrams, DiscoveryReplyFaults) {
    Block blk = Encode(SampleContents());
    struct Case {
        const char *name;
        std::function<void(std::vector<uint8_t> &)> mutate;
        std::string message;
    } cases[] = {
        {"short",
         [](std::vector<uint8_t> &r) {
             r.pop_back();
         },
         "not a discovery reply: 1032 bytes, expected 1033"},
        {"marker",
         [](std::vector<uint8_t> &r) {
             r[0] = 'v';
         },
         "not a discovery reply: first byte 0x76, expected 'V'"},
        {"checksum",
         [](std::vector<uint8_t> &r) {
             r[1032] ^= 0x10;
         },
         "bad checksum"},
        {"block",
         [](std::vector<uint8_t> &r) {
             r[8] = 'X';
             r[1032] = reply_checksum(&r[8]);
         },
         "invalid configuration block: bad magic"},
        {"mac",
         [](std::vector<uint8_t> &r) {
             r[6] = 0x56;
         },
         "the block's MAC address 00:11:22:33:44:55 differs from the reply's 00:11:22:33:44:56"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> reply(SEARCH_FORMAT_LEN);
        build_discovery_reply(reply.data(), kMac, blk.data());
        c.mutate(reply);
        std::string err;
        BlockContents out;
        uint8_t mac[6];
        EXPECT_FALSE(parse_discovery_reply(reply.data(), reply.size(), mac, &out, &err));
        EXPECT_EQ(err.substr(0, c.message.size()), c.message) << err;
    }
}

TEST(Datagrams, ServerAck) {
    // The acknowledgement a gateway with MAC 00:11:22:33:44:55 sends.
    const uint8_t ack[32] = {0x56, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, 0x52, 0x65, 0x63,
                             0x65, 0x69, 0x76, 0x65, 0x43, 0x6F, 0x6E, 0x66, 0x69, 0x67, 0x00};
    std::string err;
    EXPECT_TRUE(parse_server_ack(ack, sizeof ack, kMac, &err)) << err;
    const uint8_t other[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x56};
    EXPECT_FALSE(parse_server_ack(ack, sizeof ack, other, &err));
    EXPECT_EQ(err, "acknowledgement from another gateway (00:11:22:33:44:55)");
    EXPECT_FALSE(parse_server_ack(ack, 31, kMac, &err));
    EXPECT_EQ(err, "not an acknowledgement: 31 bytes, expected 32");
    uint8_t bad[32];
    memcpy(bad, ack, 32);
    bad[8] = 'r';
    EXPECT_FALSE(parse_server_ack(bad, 32, kMac, &err));
    EXPECT_EQ(err, "acknowledgement without \"ReceiveConfig\"");
    memcpy(bad, ack, 32);
    bad[21] = ' ';  // no NUL after the text
    EXPECT_FALSE(parse_server_ack(bad, 32, kMac, &err));
}

TEST(TextForms, Mac) {
    struct {
        const char *text;
        bool ok;
    } cases[] = {
        {"00:11:22:33:44:55", true},   {"aa-BB-cc-DD-ee-FF", true},
        {"00:11:22:33:44", false},     {"00:11:22:33:44:5", false},
        {"00:11:22:33:44:555", false}, {"00:11-22:33:44:55", false},
        {"0g:11:22:33:44:55", false},  {"", false},
        {"001122334455", false},
    };
    for (auto &c : cases) {
        uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
        EXPECT_EQ(parse_mac(c.text, mac), c.ok) << c.text;
    }
    uint8_t mac[6];
    ASSERT_TRUE(parse_mac("AA-BB-cc-DD-ee-0F", mac));
    EXPECT_EQ(format_mac(mac), "aa:bb:cc:dd:ee:0f");
}

TEST(TextForms, Ipv4) {
    struct {
        const char *text;
        bool ok;
        uint32_t value;
    } cases[] = {
        {"192.168.0.1", true, 0xC0A80001},
        {"0.0.0.0", true, 0},
        {"255.255.255.255", true, 0xFFFFFFFF},
        {"256.0.0.1", false, 0},
        {"1.2.3", false, 0},
        {"1.2.3.4.5", false, 0},
        {"01.2.3.4", false, 0},
        {"1.2.3.4 ", false, 0},
        {" 1.2.3.4", false, 0},
        {"1..2.3", false, 0},
        {"1.2.3.-4", false, 0},
        {"1234.1.1.1", false, 0},
        {"", false, 0},
    };
    for (auto &c : cases) {
        uint32_t v = 0;
        EXPECT_EQ(parse_ipv4(c.text, &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
            EXPECT_EQ(format_ipv4(v), c.text);
        }
    }
}
